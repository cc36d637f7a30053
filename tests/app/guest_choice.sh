#!/bin/sh
# The choice of what to keep on a real kernel (vcan can0): a settings file
# with a filter (in the kernel), listen-only (accepted on a virtual
# interface, with a note) and a candump-form log; error frames sent on can0
# are logged as candump writes them and counted by class in the period
# lines; a frame the filter rejects is not logged.
#
# Runs inside the test guest (tools/vmtest/run-in-guest.sh) with telltrail
# and this script in the working directory; can0 is a vcan interface.
set -u
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# wait_until <seconds> <command...>: true once the command succeeds.
wait_until() {
  n=0
  limit=$(($1 * 10))
  shift
  until "$@"; do
    n=$((n + 1))
    [ $n -le $limit ] || return 1
    sleep 0.1
  done
}
lines() { cat /tmp/choice/canlog_* 2>/dev/null | wc -l; }
# sum <class>: the count of one class over the bus error lines
sum() {
  awk -v name="$1" '/^bus errors: / {
    sub(/^bus errors: /, ""); n = split($0, part, ", ")
    for (i = 1; i <= n; i++) { k = index(part[i], " "); if (substr(part[i], k + 1) == name) s += substr(part[i], 1, k - 1) }
  } END { print s + 0 }' /tmp/choice/out.txt
}
mkdir -p /tmp/choice
cat > /tmp/choice/s.xml << XML
<telltrail>
  <device Name="can0"/>
  <sleep Name="1"/>
  <log_file Name="/tmp/choice/canlog" Format="candump"/>
  <filter Name="100:7F8,18FEF100:1FFFFF00"/>
  <listen_only Name="1"/>
</telltrail>
XML
telltrail /tmp/choice/s.xml > /tmp/choice/out.txt &
logger=$!
# The filter's receivers are in place once the capture has bound its socket.
wait_until 20 grep -q '^ *can0 .* raw$' /proc/net/can/rcvlist_fil /proc/net/can/rcvlist_sff || fail "no filter receivers on can0"
cansend can0 100#01 && cansend can0 200#02 && cansend can0 18FEF1AA#03 && cansend can0 18FEF2AA#04 &&
  cansend can0 107#05 || fail "cansend data"
cansend can0 20000004#0004000000000000 && cansend can0 20000040#0000000000000000 &&
  cansend can0 20000028#0000000000000000 || fail "cansend error frames"
wait_until 20 eval '[ "$(lines)" -ge 6 ]' || fail "$(lines) lines logged of 6"
kill -TERM $logger
wait $logger
status=$?
[ $status -eq 0 ] || fail "exit status $status"
cat /tmp/choice/out.txt
logged=$(cut -d' ' -f3 /tmp/choice/canlog_* | tr '\n' ' ')
[ "$logged" = "100#01 18FEF1AA#03 107#05 20000004#0004000000000000 20000040#0000000000000000 20000028#0000000000000000 " ] ||
  fail "logged: $logged"
grep -q '^filter: 100:7F8,18FEF100:1FFFFF00 (in the kernel)$' /tmp/choice/out.txt || fail "no filter line"
grep -q '^listen-only: can0 is no CAN controller (vcan) and acknowledges nothing$' /tmp/choice/out.txt ||
  fail "no listen-only note"
[ "$(sum error-warning)" -eq 1 ] || fail "$(sum error-warning) error-warning"
[ "$(sum bus-off)" -eq 1 ] || fail "$(sum bus-off) bus-off"
[ "$(sum 'protocol violation')" -eq 1 ] || fail "$(sum 'protocol violation') protocol violations"
[ "$(sum 'no ACK')" -eq 1 ] || fail "$(sum 'no ACK') no ACK"
# The kernel's rejects are not counted as left out.
grep -q '^left out' /tmp/choice/out.txt && fail "the kernel's rejects were counted"
[ $failures -eq 0 ] && echo "choice in the guest: logged $logged"
exit $failures
