#!/bin/bash
# Runs mtr_main against simulated meters in a temporary root and shows what it
# read. Everything it starts is stopped again; nothing outside the temporary
# root is touched.
set -u
BIN=${BIN:-build/bin}
EXAMPLES=${EXAMPLES:-examples}
LIMIT=${DEMO_SECONDS:-100}

ROOT=$(mktemp -d /tmp/mtr-demo.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
  sleep 0.3
  for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$ROOT"
}
trap cleanup EXIT INT TERM

wait_for() {  # wait_for SECONDS COMMAND...
  local t=$1; shift
  local end=$((SECONDS + t))
  while ! "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.2
  done
}

first_line_value() {  # first_line_value FILE KEY -> value of KEY=... in FILE
  sed -n "s/.*$2=\([^ ]*\).*/\1/p" "$1" | head -n 1
}

# One line of simulated meters per family: each line is its own pty and its
# own mtr_main process, as on a concentrator with several ports.
# line: name simulator-description identifiers...
LINES=("mercury $EXAMPLES/metersim-mercury.json 101 102")
[ -f "$EXAMPLES/metersim-ce30x.json" ] && LINES+=("ce30x $EXAMPLES/metersim-ce30x.json 201")
[ -f "$EXAMPLES/metersim-ce2727.json" ] && LINES+=("ce2727 $EXAMPLES/metersim-ce2727.json 301")

for line in "${LINES[@]}"; do
  set -- $line
  "$BIN/mtr-metersim" "$2" --link "$ROOT/tty-$1" >"$ROOT/sim-$1.out" 2>"$ROOT/sim-$1.err" &
  PIDS+=($!)
done
for line in "${LINES[@]}"; do
  set -- $line
  wait_for 10 test -e "$ROOT/tty-$1" || { echo "simulator $1 did not start"; cat "$ROOT/sim-$1.err"; exit 1; }
done

# The configuration server's answers for every identifier, with the lines' ptys.
sed -e "s#@TTY_MERCURY@#$ROOT/tty-mercury#g" -e "s#@TTY_CE30X@#$ROOT/tty-ce30x#g" \
    -e "s#@TTY_CE2727@#$ROOT/tty-ce2727#g" "$EXAMPLES/demo-config.json" >"$ROOT/config.json"
"$BIN/mtr-confsrv" --config "$ROOT/config.json" --port 0 --sensor-port -1 >"$ROOT/confsrv.out" 2>&1 &
PIDS+=($!)
wait_for 10 grep -q config-port= "$ROOT/confsrv.out" || { echo "mtr-confsrv did not start"; exit 1; }
PORT=$(first_line_value "$ROOT/confsrv.out" config-port)

declare -A DAEMON
for line in "${LINES[@]}"; do
  set -- $line
  name=$1; shift 2
  args=()
  for id in "$@"; do args+=(-i "$id"); done
  MTR_ROOT=$ROOT MTR_CONFIG_URL="http://127.0.0.1:$PORT/" \
    "$BIN/mtr_main" -v 7 -l "$ROOT/mtr_main-$name.log" "${args[@]}" >"$ROOT/mtr_main-$name.out" 2>&1 &
  DAEMON[$name]=$!
  PIDS+=($!)
done
echo "mtr_main is polling ${#LINES[@]} simulated line(s); waiting for full sessions with archives..."

ids_of() { set -- $1; shift 2; echo "$@"; }
session_done() {  # a meter has read its archives once and is waiting again
  local id=$1 st="$ROOT/tmp/$id/1/tc_items/_Read_status"
  [ -s "$ROOT/mnt/storage/$id/timestamp_max_hourly" ] && [ -f "$st" ] && [ "$(cat "$st")" = wait ]
}
all_done() {
  for line in "${LINES[@]}"; do
    for id in $(ids_of "$line"); do session_done "$id" || return 1; done
  done
}
if ! wait_for "$LIMIT" all_done; then
  echo "not every meter finished a session within ${LIMIT}s; showing what is there"
fi

for line in "${LINES[@]}"; do
  for id in $(ids_of "$line"); do
    echo
    echo "=== meter $id ($(cat "$ROOT/tmp/$id/1/tc_items/MeterModel" 2>/dev/null || echo '?'))"
    printf '%-22s %s\n' item value
    for f in "$ROOT"/tmp/"$id"/[0-9]*/tc_items/*; do
      [ -f "$f" ] || continue
      n=$(basename "$f"); [ "$n" = _Read_status ] && continue
      sys=$(basename "$(dirname "$(dirname "$f")")")
      printf '%-22s %s\n' "$n${sys:+ [$sys]}" "$(head -c 60 "$f" | tr '\n' ' ')"
    done
    echo "--- archives (file: lines, newest line)"
    for f in "$ROOT"/mnt/storage/"$id"/[0-9]*/tc_archives/*; do
      [ -f "$f" ] || continue
      sys=$(basename "$(dirname "$(dirname "$f")")")
      printf '%-22s %6d  %s\n' "$(basename "$f") [$sys]" "$(wc -l <"$f")" "$(tail -n 1 "$f")"
    done
    for k in hourly daily monthly yearly; do
      t="$ROOT/mnt/storage/$id/timestamp_max_$k"
      [ -f "$t" ] && printf 'newest %-8s %s (%s)\n' "$k" "$(cat "$t")" "$(date -d "@$(cat "$t")" '+%F %T')"
    done
  done
done

# An orderly stop: the force-update markers end the meters' waits so the round
# in progress finishes, then SIGTERM is honoured.
for line in "${LINES[@]}"; do
  set -- $line
  name=$1
  kill -TERM "${DAEMON[$name]}" 2>/dev/null
  for id in $(ids_of "$line"); do : >"$ROOT/tmp/kzp_force_update_$id"; done
done
status=0
for line in "${LINES[@]}"; do
  set -- $line
  pid=${DAEMON[$1]}
  if wait_for 30 bash -c "! kill -0 $pid 2>/dev/null"; then
    wait "$pid"; rc=$?
    echo "mtr_main ($1) stopped with status $rc"
  else
    echo "mtr_main ($1) did not stop in time"; status=1
  fi
done
exit $status
