#!/bin/bash
# Soak run: 16 simulated meters on four lines (two Mercury 230, one IEC 61107,
# one CE2727), each line its own mtr-metersim with random faults and its own
# mtr_main, one mtr-confsrv for all. Runs SOAK_SECONDS (default 3600), samples
# every mtr_main's resident memory and open descriptors each minute, then
# proves that no value was lost:
#   1. soak: the daemons poll the faulty lines for SOAK_SECONDS;
#   2. final session: the daemons are stopped, the simulators restarted on the
#      same descriptions without faults, and the daemons restarted on the same
#      storage until every meter finished a full session (archives included);
#   3. reference: a fresh daemon in a fresh root reads the same clean meters.
# A record of the reference that lies inside the span a soak file covers but
# is missing from it is lost; one present with another value is wrong. Both
# must be 0. Everything runs under a temporary root; nothing else is touched.
set -u
BIN=${BIN:-build/bin}
SOAK_SECONDS=${SOAK_SECONDS:-3600}
SAMPLE=${SOAK_SAMPLE_SECONDS:-60}
SEED=${SOAK_SEED:-$(date +%s)}
KEEP=${SOAK_KEEP:-0}
# SOAK_REPORT_ONLY=FOLDER: redo the comparison and the report of a kept run.
REPORT_ONLY=${SOAK_REPORT_ONLY:-}
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/meters.sh"

for exe in mtr_main mtr-metersim mtr-confsrv; do
  [ -x "$BIN/$exe" ] || { echo "soak: $BIN/$exe is missing (build first)"; exit 2; }
done

if [ -n "$REPORT_ONLY" ]; then
  WORK=$REPORT_ONLY
  KEEP=1
else
  WORK=$(mktemp -d /tmp/mtr-soak.XXXXXX)
fi
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
  sleep 0.5
  for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  if [ "$KEEP" = 1 ]; then echo "soak: files kept in $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { echo "[$(date '+%F %T')] $*"; }
wait_for() {  # wait_for SECONDS COMMAND...
  local end=$((SECONDS + $1)); shift
  while ! "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.5
  done
}
alive() { kill -0 "$1" 2>/dev/null; }
line_ids() { set -- $1; shift 2; echo "$@"; }
drop_pid() {
  local keep=() p
  for p in "${PIDS[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done
  PIDS=("${keep[@]}")
}

T0=$(date +%s)
TTYS=$WORK/tty
mkdir -p "$TTYS" "$WORK/desc"
[ -z "$REPORT_ONLY" ] && for entry in "${SOAK_LINES[@]}"; do
  set -- $entry
  soak_meters "$T0" "$1" >"$WORK/desc/$1.json"
done

declare -A SIM DAEMON
start_sims() {  # start_sims faults|clean
  local entry name speed extra
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    name=$1 speed=$2
    extra=""
    [ "$MODE" = faults ] && extra="$(soak_faults "$name") --seed $((SEED + ${#name}))"
    # shellcheck disable=SC2086
    "$BIN/mtr-metersim" "$WORK/desc/$name.json" --link "$TTYS/tty-$name" --baud "$speed" $extra \
      >>"$WORK/sim-$name.out" 2>>"$WORK/sim-$name.err" &
    SIM[$name]=$!
    PIDS+=($!)
  done
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    wait_for 10 test -e "$TTYS/tty-$1" || { echo "soak: simulator $1 did not start"; exit 1; }
  done
}
stop_sims() {
  local entry
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    kill -TERM "${SIM[$1]}" 2>/dev/null
    wait "${SIM[$1]}" 2>/dev/null
    drop_pid "${SIM[$1]}"
  done
}

CONF_PID=
start_confsrv() {  # start_confsrv PERIOD
  soak_config "$1" "$TTYS" >"$WORK/config.json"
  : >"$WORK/confsrv.out"
  "$BIN/mtr-confsrv" --config "$WORK/config.json" --port 0 --sensor-port -1 \
    >"$WORK/confsrv.out" 2>&1 &
  CONF_PID=$!
  PIDS+=($!)
  wait_for 10 grep -q config-port= "$WORK/confsrv.out" || { echo "soak: mtr-confsrv did not start"; exit 1; }
  PORT=$(sed -n 's/.*config-port=\([0-9]*\).*/\1/p' "$WORK/confsrv.out" | head -n 1)
}
stop_confsrv() {
  kill -TERM "$CONF_PID" 2>/dev/null
  wait "$CONF_PID" 2>/dev/null
  drop_pid "$CONF_PID"
}

start_daemons() {  # start_daemons ROOT PHASE
  local root=$1 phase=$2 entry name args id
  mkdir -p "$root"
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    name=$1
    args=()
    for id in $(line_ids "$entry"); do args+=(-i "$id"); done
    MTR_ROOT=$root MTR_CONFIG_URL="http://127.0.0.1:$PORT/" \
      "$BIN/mtr_main" -v 6 -l "$WORK/log-$phase-$name" "${args[@]}" \
      >"$WORK/out-$phase-$name" 2>&1 &
    DAEMON[$name]=$!
    PIDS+=($!)
  done
}

# An orderly stop: SIGTERM, and force-update markers so waiting meters end
# their wait and the round in progress finishes (a meter in its 180 s pause
# holds the round up). Returns non-zero when one had to be killed.
KILLED=0
stop_daemons() {  # stop_daemons ROOT
  local root=$1 entry pid id rc=0
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    kill -TERM "${DAEMON[$1]}" 2>/dev/null
  done
  local end=$((SECONDS + 900))
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    pid=${DAEMON[$1]}
    while alive "$pid" && [ $SECONDS -lt $end ]; do
      for id in $(line_ids "$entry"); do : >"$root/tmp/kzp_force_update_$id"; done
      sleep 2
    done
    if alive "$pid"; then
      say "mtr_main ($1) did not stop in 900 s; killed"
      kill -KILL "$pid"
      KILLED=$((KILLED + 1))
      rc=1
    fi
    wait "$pid" 2>/dev/null
    drop_pid "$pid"
  done
  return $rc
}

# Log lines of one line's daemon carry the meter as "[id][serial] "; framework
# lines do not, and belong to the meter that logged last (one turn at a time).
# count LOGFILE -> "id sessions exceptions errors" per meter
count() {
  awk '
    match($0, /: \[[0-9]+\]\[/) {
      s = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", s); cur = s; seen[cur] = 1
    }
    cur == "" { next }
    /functionThread\(\) current values size = [1-9]/ { sessions[cur]++ }
    /EXCEPTION!!! disconnecting/ { exceptions[cur]++ }
    / (Err|Crit|Alert|Emerg): / && !/has been STARTED|has been STOPPED|thread|directory not open/ { errors[cur]++ }
    END { for (m in seen) printf "%s %d %d %d\n", m, sessions[m], exceptions[m], errors[m] }
  ' "$1" 2>/dev/null
}

sessions_of() {  # sessions_of LOG ID
  count "$1" | awk -v id="$2" '$1 == id { print $2 }'
}

SOAK_ROOT=$WORK/root
REF_ROOT=$WORK/ref
SAMPLES=$WORK/samples
if [ -z "$REPORT_ONLY" ]; then
# ---------------------------------------------------------------- 1. soak
MODE=faults
start_sims
start_confsrv 60
SOAK_ROOT=$WORK/root
start_daemons "$SOAK_ROOT" soak
say "soak: ${#SOAK_LINES[@]} lines, 16 meters, ${SOAK_SECONDS}s, seed $SEED, work folder $WORK"

SAMPLES=$WORK/samples
: >"$SAMPLES"
sample() {  # one line per daemon: elapsed line rss_kb fds threads
  local entry pid rss fds thr
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    pid=${DAEMON[$1]}
    if ! alive "$pid"; then
      echo "$(( $(date +%s) - T0 )) $1 dead 0 0" >>"$SAMPLES"
      continue
    fi
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    thr=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
    echo "$(( $(date +%s) - T0 )) $1 ${rss:-0} ${fds:-0} ${thr:-0}" >>"$SAMPLES"
  done
}
END_SOAK=$((SECONDS + SOAK_SECONDS))
NEXT=$SECONDS
while [ $SECONDS -lt $END_SOAK ]; do
  if [ $SECONDS -ge $NEXT ]; then
    sample
    NEXT=$((NEXT + SAMPLE))
  fi
  sleep 1
done
sample
DEAD=$(grep -c ' dead ' "$SAMPLES")
say "soak over; stopping the daemons (a meter in its pause holds the round up to 180 s)"
stop_daemons "$SOAK_ROOT"
stop_sims
stop_confsrv

# ------------------------------------------------------- 2. final session
say "final fault-free session on the soak's storage"
MODE=clean
start_sims
start_confsrv 700
rm -rf "$SOAK_ROOT/tmp"  # the RAM area is lost as on a reboot
start_daemons "$SOAK_ROOT" final
# Two sessions per meter: the first reads the archives (period > 600 makes the
# pass due at once), the second proves the first ended. Markers end the waits.
final_done() {
  local entry id n
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    for id in $(line_ids "$entry"); do
      n=$(sessions_of "$WORK/log-$PHASE-$1" "$id")
      [ "${n:-0}" -ge 1 ] && : >"$PHASE_ROOT/tmp/kzp_force_update_$id" 2>/dev/null
      [ "${n:-0}" -ge 2 ] || return 1
    done
  done
}
PHASE=final PHASE_ROOT=$SOAK_ROOT
FINAL_START=$(date +%s)
FINAL_OK=1
wait_for 1800 final_done || { FINAL_OK=0; say "not every meter finished its final session"; }
FINAL_END=$(date +%s)
stop_daemons "$SOAK_ROOT"

# ---------------------------------------------------------- 3. reference
say "reference run in a fresh root"
REF_ROOT=$WORK/ref
start_daemons "$REF_ROOT" ref
PHASE=ref PHASE_ROOT=$REF_ROOT
REF_OK=1
wait_for 1800 final_done || { REF_OK=0; say "not every meter finished its reference session"; }
stop_daemons "$REF_ROOT"
stop_sims
stop_confsrv
echo "DEAD=$DEAD KILLED=$KILLED FINAL_OK=$FINAL_OK REF_OK=$REF_OK FINAL_START=$FINAL_START FINAL_END=$FINAL_END SEED=$SEED SOAK_SECONDS=$SOAK_SECONDS" >"$WORK/state"
else
  . "$WORK/state"
  # runs from before FINAL_START was kept: the final phase wrote config.json
  FINAL_START=${FINAL_START:-$(stat -c %Y "$WORK/config.json")}
  soak_config 700 "$WORK/tty" >"$WORK/config.json.report"
fi

# -------------------------------------------------------------- the report
# Records of a file: "ts value" with the value normalised to six decimals,
# from the release folder and the backup folder (rotation moves the oldest).
records() {  # records ROOT ID N NAME
  {
    cat "$1/mnt/storage/$2/$3/tc_archives/$4" 2>/dev/null
    cat "$1/mnt/storage/tc_backup/$2_$3_$4_"* 2>/dev/null
  } | awk -F, 'NF >= 3 { printf "%s %.6f\n", $1, $3 }'
}
# A torn file: a line that is not "ts,quality,value" or lacks its line feed.
torn_files() {
  local f n=0
  for f in "$1"/mnt/storage/*/[0-9]*/tc_archives/* "$1"/mnt/storage/tc_backup/*; do
    [ -f "$f" ] || continue
    if [ -s "$f" ] && [ "$(tail -c 1 "$f" | od -An -c | tr -d ' ')" != '\n' ]; then
      n=$((n + 1)); echo "torn (no final line feed): $f" >&2; continue
    fi
    if grep -qvE '^-?[0-9]+,-?[0-9]+,-?[0-9.]+$' "$f"; then
      n=$((n + 1)); echo "torn (bad line): $f" >&2
    fi
  done
  echo $n
}
# Archive files whose pass met a refusal: a request the meter answered with a
# status reply instead of the records ("ERROR CODE n"), which the driver takes
# as "nothing to add" and the pass goes on. The simulator never served what
# such a request asks for, so its records missing from the soak are counted
# as refused, not lost. Prints "id archive-name" per file so affected.
refused_files() {  # refused_files LOG
  awk '
    match($0, /: \[[0-9]+\]\[/) { s = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", s); id = s }
    id == "" { next }
    /get_arch_values\([a-z]+\) READ ARCHIVE REALLY/ {
      k = $0; sub(/.*get_arch_values\(/, "", k); sub(/\).*/, "", k); reading[id] = k; next
    }
    /get_arch_values\([a-z]+\) from / { k = $0; sub(/.*get_arch_values\(/, "", k); sub(/\).*/, "", k); kind[id] = k }
    /Request::parseReply: ERROR CODE/ && reading[id] != "" { refused[id, reading[id]] = 1 }
    /<<< Archive Parameter.s count/ { reading[id] = "" }
    /<<< Archive Parameter: / {
      n = $0; sub(/.*<<< Archive Parameter: /, "", n); sub(/ .*/, "", n); file_kind[id, n] = kind[id]
    }
    END { for (f in file_kind) { split(f, p, SUBSEP); if ((p[1], file_kind[f]) in refused) print p[1], p[2] } }
  ' "$1" 2>/dev/null | sort -u
}

# compare ID -> "checked lost wrong dup"; details of lost/wrong on stderr
compare() {
  local id=$1 f dir rel n name miss
  local checked=0 lost=0 wrong=0 dup=0 refused=0
  for f in "$REF_ROOT"/mnt/storage/"$id"/[0-9]*/tc_archives/*; do
    [ -f "$f" ] || continue
    dir=$(dirname "$(dirname "$f")")
    n=$(basename "$dir")
    name=$(basename "$f")
    miss=lost
    grep -qx "$id $name" "$WORK/refused-files" && miss=refused
    read -r c l w d < <(
      {
        records "$SOAK_ROOT" "$id" "$n" "$name" | sed 's/^/S /'
        records "$REF_ROOT" "$id" "$n" "$name" | sed 's/^/R /'
      } | awk -v bound="$MUST_HOLD" -v miss="$miss" '
        # Several records may share a time (journal events): values are
        # compared as multisets per time.
        $1 == "S" { soak[$2] = soak[$2] " " $3 " "; scnt[$2]++
                    if (lo == "" || $2 + 0 < lo + 0) lo = $2; if (hi == "" || $2 + 0 > hi + 0) hi = $2; next }
        $1 == "R" { ref[$2] = ref[$2] " " $3 " "; rcnt[$2]++ }
        END {
          c = l = w = d = 0
          for (t in rcnt) {
            # the soak must hold what lies inside the span it covered, and
            # whatever the final session was sure to reach (up to `bound`)
            if (lo != "" && t + 0 < lo + 0) continue
            if ((hi == "" || t + 0 > hi + 0) && t + 0 > bound + 0) continue
            n = split(ref[t], rv, " ")
            for (i = 1; i <= n; i++) {
              c++
              if (index(soak[t], " " rv[i] " ") == 0) { l++; print miss " " t " " rv[i] > "/dev/stderr" }
            }
          }
          for (t in scnt) {
            if (!(t in rcnt)) continue
            n = split(soak[t], sv, " ")
            for (i = 1; i <= n; i++)
              if (index(ref[t], " " sv[i] " ") == 0) { w++; print "wrong " t " soak " sv[i] " ref" ref[t] > "/dev/stderr" }
            if (scnt[t] > rcnt[t]) d += scnt[t] - rcnt[t]
          }
          print c, l, w, d
        }' 2> >(sed "s#^#$id/$n/$name: #" >>"$WORK/compare.txt")
    )
    if [ "$miss" = refused ]; then
      refused=$((refused + l)); l=0
    fi
    checked=$((checked + c)); lost=$((lost + l)); wrong=$((wrong + w)); dup=$((dup + d))
  done
  echo "$checked $lost $wrong $dup $refused"
}

: >"$WORK/compare.txt"
for entry in "${SOAK_LINES[@]}"; do set -- $entry; refused_files "$WORK/log-soak-$1"; done \
  >"$WORK/refused-files"
# Every final archive pass ran after FINAL_START, so it reached at least the
# hour before the one FINAL_START lies in (the last complete hour then).
MUST_HOLD=$((FINAL_START / 3600 * 3600 - 3600))
declare -A SES EXC ERR
while read -r m s x e; do SES[$m]=$s; EXC[$m]=$x; ERR[$m]=$e; done < <(
  for entry in "${SOAK_LINES[@]}"; do set -- $entry; count "$WORK/log-soak-$1"; done)

REPORT=$WORK/report.txt
{
  echo "soak: $((SOAK_SECONDS / 60)) min, 16 meters on ${#SOAK_LINES[@]} lines, seed $SEED"
  echo
  printf '%-7s %-6s %-11s %9s %11s %7s %9s %6s %6s %4s %8s\n' line meter model sessions exceptions errors records lost wrong dup refused
  TOTAL_LOST=0 TOTAL_WRONG=0 TOTAL_REC=0 TOTAL_SES=0 TOTAL_REFUSED=0
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    line=$1
    for id in $(line_ids "$entry"); do
      model=$(sed -n "/\"$id\"/ s/.*\"manufacturer\": \"\([^\"]*\)\".*/\1/p" "$WORK/config.json" | head -n 1)
      read -r c l w d r < <(compare "$id")
      TOTAL_LOST=$((TOTAL_LOST + l)); TOTAL_WRONG=$((TOTAL_WRONG + w)); TOTAL_REC=$((TOTAL_REC + c))
      TOTAL_REFUSED=$((TOTAL_REFUSED + r))
      TOTAL_SES=$((TOTAL_SES + ${SES[$id]:-0}))
      printf '%-7s %-6s %-11s %9d %11d %7d %9d %6d %6d %4d %8d\n' "$line" "$id" "$model" "${SES[$id]:-0}" \
        "${EXC[$id]:-0}" "${ERR[$id]:-0}" "$c" "$l" "$w" "$d" "$r"
    done
  done
  echo
  echo "sessions: completed current-value reads; exceptions: sessions ended by a"
  echo "communication error (each followed by the 180 s pause); errors: Err/Crit log lines;"
  echo "records: reference archive records checked; lost/wrong: missing or different in"
  echo "the soak's files; dup: records stored twice with the same value; refused: missing"
  echo "because the meter answered the pass's request with a status reply (never served)."
  echo
  echo "resident memory (kB) and open descriptors of each mtr_main, per minute:"
  awk '
    { t = $1; l = $2; rss[l] = rss[l] " " $3; fd[l] = fd[l] " " $4; thr[l] = thr[l] " " $5
      if (!(l in first)) { first[l] = $3; ffd[l] = $4; order[++n] = l }
      last[l] = $3; lfd[l] = $4
      if ($3 > max[l]) max[l] = $3; if (min[l] == "" || $3 < min[l]) min[l] = $3
      if ($4 > maxfd[l]) maxfd[l] = $4; if (minfd[l] == "" || $4 < minfd[l]) minfd[l] = $4 }
    END {
      printf "%-7s %8s %8s %8s %8s   %5s %5s %5s\n", "line", "rss@1st", "rss@end", "rss min", "rss max", "fd min", "fd max", "fd@end"
      for (i = 1; i <= n; i++) { l = order[i]
        printf "%-7s %8d %8d %8d %8d   %5d %5d %5d\n", l, first[l], last[l], min[l], max[l], minfd[l], maxfd[l], lfd[l] }
    }' "$SAMPLES"
  echo
  echo "samples (elapsed s, line, rss kB, fds, threads):"
  awk '{ printf "  %6d %-7s %6d %4d %3d\n", $1, $2, $3, $4, $5 }' "$SAMPLES"
  echo
  TORN=$(torn_files "$SOAK_ROOT" 2>>"$WORK/compare.txt")
  echo "total: $TOTAL_SES sessions, $TOTAL_REC archive records checked, $TOTAL_LOST lost, $TOTAL_WRONG wrong, $TOTAL_REFUSED refused by the meter"
  echo "torn files: $TORN; daemons dead during the soak: $DEAD samples; killed at stop: $KILLED"
  echo "final session complete: $FINAL_OK; reference complete: $REF_OK"
  if [ -s "$WORK/compare.txt" ]; then
    echo
    echo "first differences:"
    head -n 40 "$WORK/compare.txt"
  fi
} >"$REPORT"
cat "$REPORT"
[ -n "${SOAK_REPORT:-}" ] && cp "$REPORT" "$SOAK_REPORT"

STATUS=0
[ "$TOTAL_LOST" = 0 ] && [ "$TOTAL_WRONG" = 0 ] && [ "$TORN" = 0 ] && [ "$DEAD" = 0 ] && \
  [ "$FINAL_OK" = 1 ] && [ "$REF_OK" = 1 ] && [ "$TOTAL_REC" -gt 0 ] || STATUS=1
[ $STATUS = 0 ] && echo "soak: PASS" || echo "soak: FAIL"
exit $STATUS
