#!/bin/sh
# The whole logger on a real kernel, against can-utils as the reference:
# while cangen sends, candump -l and telltrail record the same traffic side
# by side. Every frame candump recorded must be in telltrail's log once, in
# order, with consecutive counters, the same identifier, flag bits and data,
# and the kernel's receive time to the millisecond. SIGTERM must still write
# the last period and print the termination line.
# Then each form is replayed: telltrail-export turns the logs into a candump
# log, canplayer replays it onto can0 and candump -l records what went over
# the bus, which must be the logged frames, as far as the form carries them
# (every bit from candump and CSV logs, no flags from trace logs).
#
# Runs inside the test guest (tools/vmtest/run-in-guest.sh) with telltrail,
# telltrail-export, candump-compare and this script in the working directory.
set -u
FRAMES=${FRAMES:-50000}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run_case <name> <csv|trace|candump> <cangen options>...
run_case() {
  name=$1 form=$2
  shift 2
  dir=/tmp/$name
  mkdir -p "$dir"
  (cd "$dir" && exec candump -l can0) &
  dump=$!
  if [ "$form" != trace ]; then
    telltrail can0 1 "$dir/canlog" "$form" >"$dir/out.txt" &
  else
    telltrail can0 1 "$dir/canlog" >"$dir/out.txt" &
  fi
  logger=$!
  sleep 1
  for options in "$@"; do
    # shellcheck disable=SC2086
    cangen can0 $options || fail "$name: cangen $options"
  done
  sleep 1
  kill -TERM $logger
  wait $logger
  status=$?
  kill -INT $dump
  wait $dump 2>/dev/null
  [ $status -eq 0 ] || fail "$name: telltrail exit status $status"
  tail -n 1 "$dir/out.txt" | grep -q ' terminated$' || fail "$name: no termination line"
  grep -q '^log file: ' "$dir/out.txt" || fail "$name: no log file line"
  echo "$name: candump $(cat "$dir"/candump-*.log | wc -l) frames, telltrail $(cat "$dir"/canlog_* | wc -l) lines"
  ./candump-compare --time "$dir"/candump-*.log "$dir"/canlog_* || fail "$name: logs differ"
}

# Standard data frames with counting identifiers, lengths and data.
run_case csv_standard csv "-I i -L i -D i -n $FRAMES -g 0.1"
# Extended, remote and mixed frames, logged in trace form and as CSV.
run_case trace_mixed trace "-e -I i -L i -D r -n 2000 -g 0.1" "-R -I 7A5 -L 4 -n 500 -g 0.1" \
  "-I r -L r -D r -n 2000 -g 0.1" "-e -R -L 0 -n 200 -g 0.1"
run_case csv_mixed csv "-e -I r -L r -D r -n 3000 -g 0.1" "-R -I r -L r -n 1000 -g 0.1" \
  "-I i -L 8 -D i -n 3000 -g 0.1"

run_case candump_mixed candump "-e -I r -L r -D r -n 2000 -g 0.1" "-R -I r -L r -n 1000 -g 0.1" \
  "-I i -L 8 -D i -n 2000 -g 0.1"

# replay <name> <log>...: the export of telltrail's logs replayed onto can0.
replay() {
  name=$1
  shift
  dir=/tmp/replay_$name
  mkdir -p "$dir"
  ./telltrail-export -q "$@" >"$dir/export.log" || fail "$name: telltrail-export"
  (cd "$dir" && exec candump -l can0) &
  dump=$!
  sleep 1
  canplayer -I "$dir/export.log" || fail "$name: canplayer"
  sleep 1
  kill -INT $dump
  wait $dump 2>/dev/null
  echo "replay of $name: canplayer sent $(wc -l <"$dir/export.log") frames, candump recorded $(cat "$dir"/candump-*.log | wc -l)"
  ./candump-compare "$dir"/candump-*.log "$@" || fail "$name: the replay differs from the log"
}
replay candump /tmp/candump_mixed/canlog_*
replay csv /tmp/csv_mixed/canlog_*
replay trace /tmp/trace_mixed/canlog_*

[ $failures -eq 0 ] && echo "guest end-to-end: all cases passed"
exit $failures
