#!/bin/bash
# Runs every bench and writes one report: the summary table (each figure beside
# its goal) followed by each bench's own section. Usage: run.sh [OUTPUT.md]
# BIN (default build/bin) names the folder with mtr_main, the tools and the
# benches; BENCH_RUNS, IDLE_SECONDS, BUSY_SECONDS, STARTUP_RUNS shorten or
# lengthen the runs; BENCHES picks some of them.
set -u
BIN=${BIN:-build/bin}
OUT=${1:-bench/results.md}
export BIN
WORK=$(mktemp -d /tmp/mtr-bench-run.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

BENCHES=${BENCHES:-selftest line_efficiency idle_cost busy_cost startup storage_rotate archive_pass memory}
status=0
for b in $BENCHES; do
  exe="$BIN/bench_$b"
  if [ ! -x "$exe" ]; then
    echo "missing $exe" >&2
    echo "SUMMARY|bench_$b|not built||NOT DONE" >"$WORK/$b.out"
    status=1
    continue
  fi
  echo "== bench_$b ($(date +%T))" >&2
  "$exe" >"$WORK/$b.out" 2>"$WORK/$b.err" || {
    echo "bench_$b exited with $?; see below" >&2
    status=1
  }
  grep -v '^SUMMARY|' "$WORK/$b.out" >&2
  tail -n 5 "$WORK/$b.err" >&2
done

{
  echo "# mtr_main bench results"
  echo
  echo "Written by \`make bench\` on $(date '+%Y-%m-%d %H:%M %Z'); $(nproc) cores, $(uname -srm)," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end." \
    "Figures are medians of several runs; ranges in brackets are the spread between runs."
  echo
  if [ -n "${BENCH_ROOT:-}" ]; then
    ram="$BENCH_ROOT"
  elif [ "$(df --output=fstype /dev/shm 2>/dev/null | tail -n 1)" = tmpfs ]; then
    ram="/dev/shm (tmpfs)"
  else
    ram="/tmp"
  fi
  echo "The daemons under test keep their MTR_ROOT and log file on $ram, as the concentrator's" \
    "/tmp is RAM; the archive benches write to /tmp of this machine" \
    "($(df --output=fstype /tmp 2>/dev/null | tail -n 1)), standing in for the storage card." \
    "The simulated meters run under SCHED_FIFO when permitted: a meter's own hardware does not" \
    "share the CPU."
  echo
  echo "| figure | measured | goal | verdict |"
  echo "|---|---|---|---|"
  for b in $BENCHES; do
    [ -f "$WORK/$b.out" ] || continue
    grep '^SUMMARY|' "$WORK/$b.out" | awk -F'|' '{printf "| %s | %s | %s | %s |\n", $2, $3, $4, $5}'
  done
  echo
  for b in $BENCHES; do
    [ -f "$WORK/$b.out" ] && grep -v '^SUMMARY|' "$WORK/$b.out"
  done
} >"$OUT"
echo "wrote $OUT" >&2
exit $status
