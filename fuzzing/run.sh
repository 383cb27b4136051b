#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each, starting from its seed corpus
# (new inputs go to a scratch folder, the seeds stay as they are), and
# prints executions and findings per target. Exits non-zero on a finding.
#   fuzzing/run.sh BUILD_DIR SECONDS [OUT_DIR]
# A finding is kept in OUT_DIR (default: a temporary folder) as
# crash-*/timeout-*/leak-*, to replay with BUILD_DIR/fuzzing/<target> FILE.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=$2
out=${3:-$(mktemp -d)}
mkdir -p "$out"
export QT_QPA_PLATFORM=offscreen
# AddressSanitizer keeps freed memory unused for a while, to catch a later
# use of it: 32 MB still holds hundreds of inputs' worth, where the default
# 256 MB has a short run spend its first seconds faulting in fresh memory.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:quarantine_size_mb=32"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Targets run side by side, one per core (FUZZ_JOBS overrides): each still
# gets its SECONDS.
jobs=${FUZZ_JOBS:-$(nproc)}

# run_one TARGET_PATH: runs it and leaves its line in $out/TARGET/result,
# and "finding" there when it found something.
run_one() {
  local target_path=$1 target work log rc execs units result
  target=$(basename "$target_path")
  work="$out/$target"
  mkdir -p "$work/corpus"
  log="$work/log.txt"
  "$target_path" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$root/fuzzing/corpus/$target" >"$log" 2>&1
  rc=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  units=$(ls "$work/corpus" | wc -l)
  if [ "$rc" -eq 0 ]; then
    result="no finding"
  else
    result="FINDING (exit $rc): $(ls "$work" | grep -E '^(crash|timeout|leak|oom)-' | head -1)"
    touch "$work/finding"
  fi
  {
    printf '%-20s %10s %8s %s\n' "$target" "${execs:-?}" "$units" "$result"
    [ "$rc" -eq 0 ] || grep -E 'ERROR|invariant broken|runtime error|SUMMARY' "$log" | head -5 | sed 's/^/    /'
  } >"$work/result"
}

targets=()
for target_path in "$build"/fuzzing/fuzz_*; do
  [ -x "$target_path" ] && [ -f "$target_path" ] && targets+=("$target_path")
done
for target_path in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
    wait -n
  done
  run_one "$target_path" &
done
wait

status=0
printf '%-20s %10s %8s %s\n' target executions corpus result
for target_path in "${targets[@]}"; do
  work="$out/$(basename "$target_path")"
  cat "$work/result" 2>/dev/null || { echo "$(basename "$target_path"): did not run"; status=1; }
  [ -e "$work/finding" ] && status=1
done
exit $status
