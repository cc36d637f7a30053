#!/usr/bin/env bash
# End to end through a CAN232 adapter: can232emu replays a candump log of
# 20000 mixed frames (standard, extended, remote; lengths 0..8) on a
# pseudo-terminal, telltrail logs them as CSV, and candump-compare checks that
# the log holds exactly those frames, in order, with consecutive counters.
# Shorter runs then check how a run ends, each against the emulator's log of
# what it sent (remote frames with and without data pairs, and lines a real
# adapter never sends, which must not be logged):
#   2. SIGTERM while the adapter lingers: exit status 0;
#   3. the emulator is killed during an hour-long period: the run ends at
#      once, with every frame written and exit status 1;
#   4. SIGHUP (terminal closed), onto a daily file whose last line was cut:
#      the part of a line is removed and the console says so, exit status 0;
#   5. the console piped into `head -n 1`: logging goes on after head has
#      ended, SIGTERM later writes every frame, exit status 0;
#   6. the adapter named by a path without "tty" in it, and a second logger
#      started on the same adapter under another name: the second is refused
#      with a clear line and exit status 1, the first logs every frame.
#
#   can232_end_to_end.sh TELLTRAIL CAN232EMU CANDUMP_COMPARE
set -euo pipefail

TELLTRAIL=$1
EMU=$2
COMPARE=$3
# shellcheck source=../../tools/lib/script_helpers.sh
. "$(dirname "$0")/../../tools/lib/script_helpers.sh"
FRAMES=${FRAMES:-20000}
RATE=${RATE:-4000}

make_workdir tt232e2e

# A candump -l log of mixed traffic, written independently of the emulator.
awk -v n="$FRAMES" 'BEGIN {
  srand(20261208); t = 1796688000
  for (i = 0; i < n; i++) {
    kind = int(rand() * 4); len = int(rand() * 9)
    ext = (kind == 1 || kind == 3); rtr = (kind >= 2)
    id = ext ? sprintf("%08X", int(rand() * 536870912)) : sprintf("%03X", int(rand() * 2048))
    if (rtr) data = (len > 0 ? "R" len : "R")
    else { data = ""; for (b = 0; b < len; b++) data = data sprintf("%02X", int(rand() * 256)) }
    printf "(%d.%06d) can0 %s#%s\n", t + int(i / 1000), (i % 1000) * 1000, id, data
  }
}' > "$DIR/traffic.log"
[ "$(wc -l < "$DIR/traffic.log")" -eq "$FRAMES" ] || fail "traffic log not written"

# --- Run 1: replay, the adapter goes away at the end, telltrail ends itself
# (exit status 1: the capture failed).
"$EMU" --quiet --link "$DIR/ttyE2E" --replay "$DIR/traffic.log" --rate "$RATE" \
  2> "$DIR/emu.err" &
EMU_PID=$!
PIDS+=("$EMU_PID")
wait_for 10 test -L "$DIR/ttyE2E" || fail "emulator link did not appear"
# As root the adapter is the dialout group's, as a real one is.
if [ "$(id -u)" -eq 0 ] && getent group dialout > /dev/null; then
  [ "$(stat -L -c %G:%a "$DIR/ttyE2E")" = dialout:660 ] ||
    fail "the emulator's terminal is $(stat -L -c %G:%a "$DIR/ttyE2E"), not dialout:660"
fi

DEVICE="..$DIR/ttyE2E" # telltrail opens /dev/../tmp/...
# The adapter going away is a failure of the run: exit status 1.
status=0
timeout 300 "$TELLTRAIL" "$DEVICE" 1 "$DIR/canlog" csv > "$DIR/telltrail.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "telltrail exit status $status, not 1"
wait "$EMU_PID" || fail "emulator exit status $?"

grep -q "^serial port /dev/$DEVICE lost\$" "$DIR/telltrail.out" || fail "no lost-port line"
grep -q " terminated\$" "$DIR/telltrail.out" || fail "no termination line"
grep -q "^device: $DEVICE\$" "$DIR/telltrail.out" || fail "device line"
# shellcheck disable=SC2012
LOGS=$(ls "$DIR"/canlog_* | sort)
"$COMPARE" "$DIR/traffic.log" $LOGS > "$DIR/compare.out" || fail "logs differ: $(cat "$DIR/compare.out")"
grep -q "^$FRAMES frames compared: identical" "$DIR/compare.out" || fail "$(cat "$DIR/compare.out")"
echo "run 1: $(cat "$DIR/compare.out"); $(tail -n 1 "$DIR/emu.err" | sed 's/^can232emu: //')"

# start_emu <name> <options...>: starts the emulator in the background with
# its sent log in $DIR/<name>.sent; EMU_PID is its process.
start_emu() {
  local name=$1; shift
  rm -f "$DIR"/canlog_*
  "$EMU" --link "$DIR/ttyE2E" --sent-log "$DIR/$name.sent" "$@" 2> "$DIR/$name-emu.err" &
  EMU_PID=$!
  PIDS+=("$EMU_PID")
  wait_for 10 test -L "$DIR/ttyE2E" || fail "$name: emulator link did not appear"
}
# Every frame the emulator sent is in the log, and nothing else.
compare_sent() {
  local name=$1
  "$COMPARE" "$DIR/$name.sent" "$DIR"/canlog_* > "$DIR/$name.compare" ||
    fail "$name: $(cat "$DIR/$name.compare")"
}
logged() { [ "$(cat "$DIR"/canlog_* 2>/dev/null | wc -l)" -ge "$1" ]; }
gone() { ! kill -0 "$1" 2>/dev/null; }
now() { date +%s.%N; }
# Lines a real adapter never sends: extended identifiers above 29 bits.
NOISE=(--line T3FFFFFFF0 --line T200000001 --line R3FFFFFFF0)

# --- Run 2: the adapter lingers; SIGTERM ends telltrail with its termination line.
start_emu run2 --count 500 --rate 2000 --mix std,ext,rtr --seed 5 --linger "${NOISE[@]}"
"$TELLTRAIL" "$DEVICE" 1 "$DIR/canlog" csv > "$DIR/telltrail2.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
wait_for 60 logged 500 || fail "run 2: frames did not reach the log"
kill -TERM "$TT_PID"
wait_for 10 gone "$TT_PID" || fail "telltrail did not stop on SIGTERM"
wait "$TT_PID" || fail "run 2: telltrail exit status $?"
grep -q " terminated\$" "$DIR/telltrail2.out" || fail "run 2: no termination line"
if grep -q "lost" "$DIR/telltrail2.out"; then fail "run 2: port reported lost"; fi
kill -TERM "$EMU_PID"
wait "$EMU_PID" || fail "run 2: emulator exit status $?"
[ -L "$DIR/ttyE2E" ] && fail "emulator left its link behind"
compare_sent run2
# Remote frames came both ways, and carry their flag and length in the log.
grep -Eq '^\([0-9.]+\) emu0 [0-9A-F]+#R[1-8]$' "$DIR/run2.sent" || fail "run 2: no remote frames sent"
[ "$(awk -F, '$4 >= 1073741824 && $4 < 2147483648 || $4 >= 3221225472' "$DIR"/canlog_* | wc -l)" -gt 0 ] ||
  fail "run 2: no remote frames in the log"
echo "run 2: $(cat "$DIR/run2.compare"); stopped by SIGTERM"

# --- Run 3: the adapter is unplugged (emulator killed) during an hour-long period.
start_emu run3 --count 300 --rate 2000 --mix std,ext,rtr --seed 7 --linger "${NOISE[@]}"
"$TELLTRAIL" "$DEVICE" 3600 "$DIR/canlog" csv > "$DIR/telltrail3.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
wait_for 30 grep -q "all 300 frames sent" "$DIR/run3-emu.err" || fail "run 3: emulator did not send"
sleep 0.5 # the last bytes reach telltrail's capture thread
kill -KILL "$EMU_PID"
killed=$(now)
wait "$EMU_PID" 2>/dev/null || true
wait_for 10 gone "$TT_PID" || fail "run 3: telltrail still running 10 s after the adapter went away"
status=0
wait "$TT_PID" || status=$?
took=$(awk -v a="$killed" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
[ "$status" -eq 1 ] || fail "run 3: exit status $status, not 1"
awk -v t="$took" 'BEGIN { exit !(t < 3.0) }' || fail "run 3: took $took s to end"
grep -q "^serial port /dev/$DEVICE lost\$" "$DIR/telltrail3.out" || fail "run 3: no lost-port line"
tail -n 1 "$DIR/telltrail3.out" | grep -q " terminated\$" || fail "run 3: no termination line"
rm -f "$DIR/ttyE2E"
compare_sent run3
echo "run 3: $(cat "$DIR/run3.compare"); ended $took s after the adapter went away, exit status 1"

# --- Run 4: SIGHUP, onto a daily file whose last line a crash has cut.
start_emu run4 --count 300 --rate 2000 --mix std,ext,rtr --seed 9 --linger --remote bare
CUT="17,'2026-12-07',507"
for day in $(date -u +%Y%m%d) $(date -u -d '+1 minute' +%Y%m%d); do
  printf '%s' "$CUT" > "$DIR/canlog_$day"
done
"$TELLTRAIL" "$DEVICE" 3600 "$DIR/canlog" csv > "$DIR/telltrail4.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
wait_for 30 grep -q "all 300 frames sent" "$DIR/run4-emu.err" || fail "run 4: emulator did not send"
sleep 0.5
kill -HUP "$TT_PID"
wait_for 10 gone "$TT_PID" || fail "run 4: telltrail did not stop on SIGHUP"
wait "$TT_PID" || fail "run 4: telltrail exit status $?"
tail -n 1 "$DIR/telltrail4.out" | grep -q " terminated\$" || fail "run 4: no termination line"
kill -TERM "$EMU_PID"
wait "$EMU_PID" || fail "run 4: emulator exit status $?"
grep -q "^log file \"$DIR/canlog_[0-9]*\": cut last line removed (${#CUT} bytes)\$" "$DIR/telltrail4.out" ||
  fail "run 4: the cut line was not reported: $(cat "$DIR/telltrail4.out")"
LOG4=$(ls -S "$DIR"/canlog_* | head -n 1) # the day the frames went to
grep -q "^$CUT\$" "$LOG4" && fail "run 4: the cut line stayed in the file"
mv "$LOG4" "$DIR/run4.log"
rm -f "$DIR"/canlog_*
mv "$DIR/run4.log" "$DIR/canlog_run4"
compare_sent run4
echo "run 4: $(cat "$DIR/run4.compare"); stopped by SIGHUP, cut line removed"

# --- Run 5: the console goes into head -n 1, which ends after one line.
start_emu run5 --count 600 --rate 100 --mix std,ext,rtr --seed 11 --linger
mkfifo "$DIR/console"
head -n 1 < "$DIR/console" > "$DIR/head.out" &
HEAD_PID=$!
"$TELLTRAIL" "$DEVICE" 1 "$DIR/canlog" csv > "$DIR/console" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
wait "$HEAD_PID" || fail "run 5: head failed"
[ "$(cat "$DIR/head.out")" = "can-bus data logger" ] || fail "run 5: head read $(cat "$DIR/head.out")"
wait_for 30 logged 300 || fail "run 5: logging stopped when the console went away"
gone "$TT_PID" && fail "run 5: telltrail ended with the console"
wait_for 30 logged 600 || fail "run 5: not every frame logged"
kill -TERM "$TT_PID"
wait_for 10 gone "$TT_PID" || fail "run 5: telltrail did not stop on SIGTERM"
wait "$TT_PID" || fail "run 5: telltrail exit status $?"
kill -TERM "$EMU_PID"
wait "$EMU_PID" || fail "run 5: emulator exit status $?"
compare_sent run5
echo "run 5: $(cat "$DIR/run5.compare"); console piped into head, stopped by SIGTERM"

# --- Run 6: two loggers on one adapter. The first names it by a path that
# holds no "tty" (as /dev/serial/by-id/... names do); the second, under the
# emulator's own name, must be refused rather than split the byte stream.
start_emu run6 --count 2000 --rate 1000 --mix std,ext,rtr --seed 13 --linger
ln -s "$(readlink "$DIR/ttyE2E")" "$DIR/adapter-by-id"
"$TELLTRAIL" "$DIR/adapter-by-id" 1 "$DIR/canlog" candump > "$DIR/telltrail6.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
wait_for 30 logged 1 || fail "run 6: the first logger logged nothing"
status=0
timeout 30 "$TELLTRAIL" "$DEVICE" 1 "$DIR/second" csv > "$DIR/second.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "run 6: second logger exit status $status, not 1"
grep -q "^serial port /dev/$DEVICE not opened: EBUSY (Device or resource busy): another program" \
  "$DIR/second.out" || fail "run 6: second logger not refused: $(cat "$DIR/second.out")"
wait_for 60 logged 2000 || fail "run 6: not every frame logged"
kill -TERM "$TT_PID"
wait_for 10 gone "$TT_PID" || fail "run 6: telltrail did not stop on SIGTERM"
wait "$TT_PID" || fail "run 6: telltrail exit status $?"
kill -TERM "$EMU_PID"
wait "$EMU_PID" || fail "run 6: emulator exit status $?"
grep -q "^device: $DIR/adapter-by-id\$" "$DIR/telltrail6.out" || fail "run 6: device line"
compare_sent run6
echo "run 6: $(cat "$DIR/run6.compare"); a second logger on the adapter refused"
echo PASS
