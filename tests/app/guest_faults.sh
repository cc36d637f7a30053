#!/bin/sh
# How the logger meets a SocketCAN interface that fails, on a real kernel:
#   1. an interface that does not exist: the run ends at once, exit status 1;
#   2. the interface goes down and up again during a run: one "down" line,
#      the frames before and after are logged, only one socket receives;
#   3. the interface is removed during an hour-long period: the run ends at
#      once with what it captured written, exit status 1.
#
# Runs inside the test guest (tools/vmtest/run-in-guest.sh) with telltrail
# and this script in the working directory; can0 is a vcan interface.
set -u
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
now() { cut -d' ' -f1 /proc/uptime; }
# seconds_since <uptime>
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
below() { awk -v t="$1" -v l="$2" 'BEGIN { exit !(t < l) }'; }
# wait_gone <pid> <seconds>: true once the process has ended.
wait_gone() {
  n=0
  while kill -0 "$1" 2>/dev/null; do
    n=$((n + 1))
    [ $n -le $(($2 * 10)) ] || return 1
    sleep 0.1
  done
}
# The identifiers (decimal) of a CSV log, one line.
ids() { cut -d, -f4 "$@" | tr '\n' ' '; }

# --- 1. No such interface.
start=$(now)
telltrail can9 86400 >/tmp/missing.out
status=$?
took=$(seconds_since "$start")
[ $status -eq 1 ] || fail "missing interface: exit status $status"
below "$took" 3 || fail "missing interface: took $took s"
grep -q '^socket error (ioctl) 19: ENODEV (No such device)$' /tmp/missing.out ||
  fail "missing interface: no ENODEV line: $(cat /tmp/missing.out)"
tail -n 1 /tmp/missing.out | grep -q ' terminated$' || fail "missing interface: no termination line"
echo "missing interface: ended after $took s, exit status $status"

# --- 2. Down and up again.
mkdir -p /tmp/down
telltrail can0 3600 /tmp/down/canlog csv >/tmp/down/out.txt &
logger=$!
sleep 1
# The sending socket takes no frames: one receiver on can0, telltrail's.
receivers=$(grep -c '^ *can0 .* raw$' /proc/net/can/rcvlist_all)
[ "$receivers" -eq 1 ] || fail "down/up: $receivers raw receivers on can0, not 1"
cansend can0 101#01 && cansend can0 102#02 || fail "down/up: cansend before"
sleep 1
ip link set can0 down
sleep 1
ip link set can0 up
sleep 1
cansend can0 103#03 && cansend can0 104#04 || fail "down/up: cansend after"
sleep 1
kill -0 $logger 2>/dev/null || fail "down/up: telltrail ended when the interface went down"
kill -TERM $logger
wait $logger
status=$?
[ $status -eq 0 ] || fail "down/up: exit status $status"
downs=$(grep -c '^interface can0 down$' /tmp/down/out.txt)
[ "$downs" -eq 1 ] || fail "down/up: $downs down lines"
grep -q 'socket error' /tmp/down/out.txt && fail "down/up: socket error reported"
[ "$(ids /tmp/down/canlog_*)" = "257 258 259 260 " ] ||
  fail "down/up: logged identifiers $(ids /tmp/down/canlog_*)"
tail -n 1 /tmp/down/out.txt | grep -q ' terminated$' || fail "down/up: no termination line"
echo "down/up: $downs down line, identifiers logged $(ids /tmp/down/canlog_*)"

# --- 3. Removed.
mkdir -p /tmp/gone
telltrail can0 3600 /tmp/gone/canlog csv >/tmp/gone/out.txt &
logger=$!
sleep 1
cansend can0 111#11 && cansend can0 112#12 || fail "removed: cansend"
sleep 1
start=$(now)
ip link del can0
wait_gone $logger 10 || fail "removed: telltrail still running 10 s later"
took=$(seconds_since "$start")
wait $logger
status=$?
[ $status -eq 1 ] || fail "removed: exit status $status"
below "$took" 3 || fail "removed: took $took s"
grep -q '^interface can0 removed$' /tmp/gone/out.txt || fail "removed: no removed line"
[ "$(ids /tmp/gone/canlog_*)" = "273 274 " ] || fail "removed: logged $(ids /tmp/gone/canlog_*)"
tail -n 1 /tmp/gone/out.txt | grep -q ' terminated$' || fail "removed: no termination line"
echo "removed: ended after $took s, exit status $status"

[ $failures -eq 0 ] && echo "guest faults: all cases passed"
exit $failures
