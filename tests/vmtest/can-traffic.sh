#!/bin/sh
# In the test guest: cangen sends 1000 frames on can0 while three receivers
# listen: candump -l (log file in the directory given as $1, checked by the
# host), candump in its plain form and can_count (a C++ test program). Checks
# what the guest sees: the plain dump, can_count's tally and the interface's
# transmit counter.
out=${1:?usage: can-traffic.sh DIR}
fail() { echo "can-traffic: $*"; exit 1; }

cd "$out" || fail "no directory $out"
candump -l -n 1001 can0 &          # the 1000 frames and the end frame
log_pid=$!
candump -n 1001 can0 >/tmp/plain.txt &
plain_pid=$!
can_count can0 >/tmp/count.txt &
count_pid=$!

# Start sending only when all three sockets are bound: each one is a receiver
# of every identifier on can0.
i=0
while [ "$(grep -c '^ *can0 ' /proc/net/can/rcvlist_all)" -lt 3 ]; do
  i=$((i + 1))
  [ $i -le 100 ] || fail "the receivers did not bind to can0 within 10 s"
  sleep 0.1
done

cangen can0 -n 1000 -g 1 -I 123 -L 8 -D i || fail "cangen failed"
cansend can0 7FF# || fail "cansend failed"

# A receiver that lost a frame would wait for ever: a watchdog ends them.
(sleep 20; kill $log_pid $plain_pid $count_pid 2>/dev/null) &
watchdog=$!
wait $log_pid || fail "candump -l did not receive every frame"
wait $plain_pid || fail "candump did not receive every frame"
wait $count_pid || fail "can_count failed: $(cat /tmp/count.txt)"
kill $watchdog 2>/dev/null

n=$(grep -c '^ *can0  123   \[8\]' /tmp/plain.txt)
[ "$n" -eq 1000 ] || fail "candump printed $n frames with identifier 123, not 1000"
[ "$(cat /tmp/count.txt)" = "123 1000" ] || fail "can_count counted: $(cat /tmp/count.txt)"
tx=$(cat /sys/class/net/can0/statistics/tx_packets)
[ "$tx" -eq 1001 ] || fail "can0 sent $tx frames, not 1001"
echo "can-traffic: 1000 frames received by candump -l, candump and can_count"
