#!/usr/bin/env bash
# End to end through a CAN232 adapter: can232emu replays a candump log of
# 20000 mixed frames (standard, extended, remote; lengths 0..8) on a
# pseudo-terminal, telltrail logs them as CSV, and candump-compare checks that
# the log holds exactly those frames, in order, with consecutive counters.
# A second, short run stops telltrail with SIGTERM while the adapter lingers.
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

DIR=$(mktemp -d /tmp/tt232e2e.XXXXXX)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$DIR"
}
trap cleanup EXIT

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

# --- Run 1: replay, the adapter goes away at the end, telltrail ends itself.
"$EMU" --quiet --link "$DIR/ttyE2E" --replay "$DIR/traffic.log" --rate "$RATE" \
  2> "$DIR/emu.err" &
EMU_PID=$!
PIDS+=("$EMU_PID")
wait_for 10 test -L "$DIR/ttyE2E" || fail "emulator link did not appear"

DEVICE="..$DIR/ttyE2E" # telltrail opens /dev/../tmp/...
timeout 300 "$TELLTRAIL" "$DEVICE" 1 "$DIR/canlog" csv > "$DIR/telltrail.out" 2>&1 ||
  fail "telltrail exit status $?"
wait "$EMU_PID" || fail "emulator exit status $?"

grep -q "^serial port /dev/$DEVICE lost\$" "$DIR/telltrail.out" || fail "no lost-port line"
grep -q " terminated\$" "$DIR/telltrail.out" || fail "no termination line"
grep -q "^device: $DEVICE\$" "$DIR/telltrail.out" || fail "device line"
# shellcheck disable=SC2012
LOGS=$(ls "$DIR"/canlog_* | sort)
"$COMPARE" "$DIR/traffic.log" $LOGS > "$DIR/compare.out" || fail "logs differ: $(cat "$DIR/compare.out")"
grep -q "^$FRAMES frames compared: identical" "$DIR/compare.out" || fail "$(cat "$DIR/compare.out")"
echo "run 1: $(cat "$DIR/compare.out"); $(tail -n 1 "$DIR/emu.err" | sed 's/^can232emu: //')"

# --- Run 2: the adapter lingers; SIGTERM ends telltrail with its termination line.
rm -f "$DIR"/canlog_*
"$EMU" --quiet --link "$DIR/ttyE2E" --count 500 --rate 2000 --mix std,ext,rtr --seed 5 \
  --sent-log "$DIR/sent.log" --linger 2> "$DIR/emu2.err" &
EMU_PID=$!
PIDS+=("$EMU_PID")
wait_for 10 test -L "$DIR/ttyE2E" || fail "emulator link did not appear (run 2)"
"$TELLTRAIL" "$DEVICE" 1 "$DIR/canlog" csv > "$DIR/telltrail2.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
logged() { [ "$(cat "$DIR"/canlog_* 2>/dev/null | wc -l)" -ge 500 ]; }
wait_for 60 logged || fail "run 2: frames did not reach the log"
kill -TERM "$TT_PID"
wait_for 10 bash -c "! kill -0 $TT_PID 2>/dev/null" || fail "telltrail did not stop on SIGTERM"
wait "$TT_PID" || fail "run 2: telltrail exit status $?"
grep -q " terminated\$" "$DIR/telltrail2.out" || fail "run 2: no termination line"
if grep -q "lost" "$DIR/telltrail2.out"; then fail "run 2: port reported lost"; fi
kill -TERM "$EMU_PID"
wait "$EMU_PID" || fail "run 2: emulator exit status $?"
[ -L "$DIR/ttyE2E" ] && fail "emulator left its link behind"
"$COMPARE" "$DIR/sent.log" "$DIR"/canlog_* > "$DIR/compare2.out" || fail "run 2: $(cat "$DIR/compare2.out")"
echo "run 2: $(cat "$DIR/compare2.out"); stopped by SIGTERM"
echo PASS
