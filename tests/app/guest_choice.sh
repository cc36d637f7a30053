#!/bin/sh
# The choice of what to keep on a real kernel (vcan can0): a filter in the
# kernel, listen-only (accepted on a virtual interface, with a note), a
# candump-form log; error frames sent on can0 are logged as candump writes
# them and counted by class; a frame the filter rejects is neither logged
# nor counted. Runs inside the test guest (tools/vmtest/run-in-guest.sh).
set -u
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# wait_until <seconds> <command...>: true once the command succeeds.
wait_until() {
  n=$(($1 * 10)); shift
  until "$@"; do n=$((n - 1)); [ $n -gt 0 ] || return 1; sleep 0.1; done
}
lines() { cat /tmp/choice/canlog_* 2>/dev/null | wc -l; }
# count <class>: the sum over the bus error lines
count() {
  awk -v name="$1" '/^bus errors: / { sub(/^bus errors: /, ""); n = split($0, part, ", ")
    for (i = 1; i <= n; i++) { k = index(part[i], " "); if (substr(part[i], k + 1) == name) s += substr(part[i], 1, k - 1) }
  } END { print s + 0 }' /tmp/choice/out.txt
}

mkdir -p /tmp/choice
cat > /tmp/choice/s.xml << XML
<telltrail><device Name="can0"/><sleep Name="1"/><log_file Name="/tmp/choice/canlog" Format="candump"/>
  <filter Name="100:7F8,18FEF100:1FFFFF00"/><listen_only Name="1"/></telltrail>
XML
telltrail /tmp/choice/s.xml > /tmp/choice/out.txt &
logger=$!
# The filter's receivers are in place once the capture has bound its socket.
wait_until 20 grep -q '^ *can0 .* raw$' /proc/net/can/rcvlist_fil || fail "no filter receivers on can0"
frames="100#01 200#02 18FEF1AA#03 18FEF2AA#04 107#05 20000004#0030000000000000 20000004#000C000000000000
  20000004#0003000000000000 20000002#0000000000000000 20000068#0000000000000000"
for f in $frames; do cansend can0 "$f" || fail "cansend $f"; done
wait_until 20 eval '[ "$(lines)" -ge 8 ]' || fail "$(lines) lines logged of 8"
kill -TERM $logger
wait $logger
status=$?
[ $status -eq 0 ] || fail "exit status $status"
cat /tmp/choice/out.txt
logged=$(cut -d' ' -f3 /tmp/choice/canlog_* | tr '\n' ' ')
[ "$logged" = "$(echo $frames | sed 's/200#02 //; s/18FEF2AA#04 //') " ] || fail "logged: $logged"
grep -q '^filter: 100:7F8,18FEF100:1FFFFF00 (in the kernel)$' /tmp/choice/out.txt || fail "no filter line"
grep -q '^listen-only: can0 is no CAN controller (vcan) and acknowledges nothing$' /tmp/choice/out.txt ||
  fail "no listen-only note"
for class in error-passive error-warning "RX overflow" "TX overflow" "lost arbitration" bus-off \
  "protocol violation" "no ACK"; do
  [ "$(count "$class")" -eq 1 ] || fail "$(count "$class") $class, not 1"
done
grep -q '^left out' /tmp/choice/out.txt && fail "the kernel's rejects were counted"
[ $failures -eq 0 ] && echo "choice in the guest: logged $logged"
exit $failures
