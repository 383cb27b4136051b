#!/usr/bin/env bash
# System calls the uploading thread makes per packet: one 1 MiB firmware
# upload per link against the virtual unit, no latency model, under strace;
# only the uploading thread's calls are counted.
#   bench/upload_syscalls.sh
# Over CAN FD the thread talks to the emulated socket with the real read,
# write and ppoll; the emulation adds its own calls on that thread (futex for
# its lock, newfstatat to check that a descriptor is still its socket),
# which the last line leaves out. Over USB the hidapi double makes no
# system calls of its own but futex: the figures that matter there are the
# hidapi calls, which bench_uploads prints, and the pause.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure_deps.sh
command -v strace >/dev/null || { SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo; $SUDO apt-get install -y -qq strace; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target bench_uploads >/dev/null

trace=$(mktemp)
ids=$(mktemp)
trap 'rm -f "$trace" "$ids"' EXIT
timeout 300 strace -f -qq -o "$trace" build/bench/bench_uploads --syscalls 2>"$ids"
while read -r _ link _ tid _ packets; do
  echo "$link: $packets packets"
  awk -v tid="$tid" '$1 == tid { name = $2; sub(/\(.*/, "", name); if (name ~ /^[a-z_0-9]+$/) print name }' "$trace" |
    sort | uniq -c | sort -rn |
    awk -v packets="$packets" '
      { printf "  %-16s %8d  %6.3f per packet\n", $2, $1, $1 / packets; if ($2 != "futex" && $2 != "newfstatat") own += $1 }
      END { printf "  the tool'"'"'s own    %8d  %6.3f per packet\n", own, own / packets }'
done < "$ids"
