#!/bin/sh
# Runs libFuzzer targets one after another and prints executions and findings
# per target. Usage: fuzz/run.sh BUILD_DIR SECONDS TARGET...
# Each target grows its working corpus in BUILD_DIR/corpus/<target> from the
# seeds in fuzz/corpus/<target>; what it finds lands in BUILD_DIR/findings/<target>
# (a finding's input is replayed with: BUILD_DIR/bin/fuzz_<target> FILE).
# Exits 1 when any target found something.
set -u
dir=$1
seconds=$2
shift 2
src=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir/logs"
summary="$dir/logs/summary.txt"
printf '%-16s %8s %12s %10s %8s %9s\n' target seconds executions exec/s corpus findings > "$summary"
failed=0
for t in "$@"; do
  bin="$dir/bin/fuzz_$t"
  if [ ! -x "$bin" ]; then
    echo "fuzz: $bin missing" >&2
    failed=1
    continue
  fi
  mkdir -p "$dir/corpus/$t" "$dir/findings/$t"
  log="$dir/logs/$t.log"
  echo "== fuzz_$t for ${seconds}s (log: $log)"
  start=$(date +%s)
  stamp="$dir/logs/$t.start"
  touch "$stamp"
  # Traces of the code under test go to standard output, libFuzzer's to standard error.
  "$bin" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$dir/findings/$t/" "$dir/corpus/$t" "$src/corpus/$t" >/dev/null 2>"$log"
  rc=$?
  took=$(( $(date +%s) - start ))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=0
  rate=$(( runs / (took > 0 ? took : 1) ))
  corpus=$(ls "$dir/corpus/$t" | wc -l)
  # Only what this run found: earlier findings stay for inspection.
  found=$(find "$dir/findings/$t" -type f -newer "$stamp" | wc -l)
  printf '%-16s %8s %12s %10s %8s %9s\n' "$t" "$took" "$runs" "$rate" "$corpus" "$found" >> "$summary"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    failed=1
    echo "fuzz_$t: exit status $rc, findings in $dir/findings/$t:" >&2
    grep -E 'ERROR|SUMMARY|failed:|Test unit written' "$log" | head -n 20 >&2
  fi
done
cat "$summary"
exit $failed
