#!/usr/bin/env bash
# Start-up time to the first shown window, measured as a whole process: from
# launching the executable until its window is mapped on an X server (Xvfb),
# median of several runs. Compares the plain build (no unit reachable on this
# machine) with the build attached to the virtual unit. Ends by itself: the
# X server is its own (a free display, kept across clients), every wait has
# a limit, and a window that does not come counts as a failed run.
#   bench/startup_time.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-7}
LIMIT_MS=15000   # per run
tools/ensure_deps.sh
command -v xdotool >/dev/null || { SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo; $SUDO apt-get install -y -qq xdotool; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target skarvel-efis-config skarvel-efis-config-virtual >/dev/null

displayfile=$(mktemp)
# -displayfd picks a free display and writes its number; -noreset keeps the
# server up when a measured window's process ends.
Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 3>"$displayfile" >/dev/null 2>&1 &
XVFB=$!
trap 'kill $XVFB 2>/dev/null || true; rm -f "$displayfile"' EXIT
for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.05; done
[ -s "$displayfile" ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(head -n1 "$displayfile")"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

measure() {
  local exe=$1 times=() failed=0 i t0 t pid
  for i in $(seq "$RUNS"); do
    t0=$(now_ms)
    "$exe" >/dev/null 2>&1 &
    pid=$!
    t=""
    # Polled every 10 ms: xdotool's own --sync waits half a second between tries.
    while [ $(( $(now_ms) - t0 )) -lt "$LIMIT_MS" ]; do
      if xdotool search --onlyvisible --name "Skarvel EFIS Config" >/dev/null 2>&1; then
        t=$(( $(now_ms) - t0 ))
        break
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.01
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    if [ -n "$t" ]; then times+=("$t"); else failed=$((failed + 1)); fi
  done
  if [ "${#times[@]}" -eq 0 ]; then
    echo "no window in $RUNS runs"
    return
  fi
  printf '%s\n' "${times[@]}" | sort -n | awk -v failed="$failed" '{a[NR]=$1} END {
    printf "median %d ms (min %d, max %d, %d runs", a[int((NR+1)/2)], a[1], a[NR], NR
    if (failed) printf ", %d without a window", failed
    print ")" }'
}

echo "no unit (skarvel-efis-config):             $(measure build/skarvel-efis-config)"
echo "virtual unit (skarvel-efis-config-virtual): $(measure build/skarvel-efis-config-virtual)"
