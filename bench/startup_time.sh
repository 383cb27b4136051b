#!/usr/bin/env bash
# Start-up time to the first shown window, measured as a whole process: from
# launching the executable until its window is mapped on an X server (Xvfb),
# median of several runs. Compares the plain build (no unit reachable on this
# machine) with the build attached to the virtual unit.
#   bench/startup_time.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-7}
tools/ensure_deps.sh
command -v xdotool >/dev/null || { SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo; $SUDO apt-get install -y -qq xdotool; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target skarvel-efis-config skarvel-efis-config-virtual >/dev/null

DISPLAY_NUM=:97
Xvfb "$DISPLAY_NUM" -screen 0 1280x800x24 >/dev/null 2>&1 &
XVFB=$!
trap 'kill $XVFB 2>/dev/null || true' EXIT
sleep 1
export DISPLAY=$DISPLAY_NUM

measure() {
  local exe=$1 times=() i t0 t1 pid
  for i in $(seq "$RUNS"); do
    t0=$(date +%s%N)
    "$exe" >/dev/null 2>&1 &
    pid=$!
    # Polled every 10 ms: xdotool's own --sync waits half a second between tries.
    until xdotool search --onlyvisible --name "Skarvel EFIS Config" >/dev/null 2>&1; do sleep 0.01; done
    t1=$(date +%s%N)
    kill "$pid"; wait "$pid" 2>/dev/null || true
    times+=($(( (t1 - t0) / 1000000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "median %d ms (min %d, max %d, %d runs)\n", a[int((NR+1)/2)], a[1], a[NR], NR}'
}

echo "no unit (skarvel-efis-config):             $(measure build/skarvel-efis-config)"
echo "virtual unit (skarvel-efis-config-virtual): $(measure build/skarvel-efis-config-virtual)"
