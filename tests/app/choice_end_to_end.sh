#!/usr/bin/env bash
# The choice of what to keep, end to end: can232emu replays a cyclic bus
# (ids 0x100..0x10F and 0x300 standard, two extended, one remote; most data
# unchanging), telltrail with a settings file holding a filter, logging on
# change every 2 s at least and listen-only writes its CSV log. The judge
# (below) applies the rules to what the emulator sent: exactly the frames
# the rules keep are written, with their capture counters, and the period
# lines count what the filter and the down-sampling left out. The adapter is
# opened with "L", never "O"; its status flags (the emulator's "F" answer)
# are reported.
#
#   choice_end_to_end.sh TELLTRAIL CAN232EMU
set -euo pipefail

TELLTRAIL=$1
EMU=$2
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
make_workdir ttchoice
DEVICE="..$DIR/ttyE2E"
EVERY=2

# A cyclic bus of 4000 frames: each round sends every identifier once; one
# identifier in four changes its data now and then.
/usr/bin/python3 - "$DIR/bus.log" << 'PY'
import sys
ids = ["%03X" % i for i in range(0x100, 0x110)] + ["300", "18FEF1AA", "18FEF2AA"]
with open(sys.argv[1], "w") as out:
    n = 0
    for round_ in range(200):
        for k, ident in enumerate(ids):
            value = (round_ // (7 + k)) if k % 4 == 0 else 0
            out.write("(%d.%06d) can0 %s#%02X11223344\n" % (1700000000 + n // 1000, n % 1000 * 1000, ident, value & 0xFF))
            n += 1
        out.write("(%d.%06d) can0 105#R\n" % (1700000000 + n // 1000, n % 1000 * 1000))
        n += 1
PY
total=$(wc -l < "$DIR/bus.log")

cat > "$DIR/choice.xml" << XML
<telltrail>
  <device Name="$DEVICE"/>
  <sleep Name="1"/>
  <log_file Name="$DIR/canlog" Format="csv"/>
  <filter Name="100:7F8,18FEF100:1FFFFF00"/>
  <downsample Name="changes" Every="$EVERY"/>
  <listen_only Name="1"/>
</telltrail>
XML

rm -f "$DIR/ttyE2E"
"$EMU" --link "$DIR/ttyE2E" --sent-log "$DIR/choice.sent" --linger --replay "$DIR/bus.log" \
  --rate 500 --status 0C 2> "$DIR/choice-emu.err" &
EMU_PID=$!
PIDS+=("$EMU_PID")
wait_for 10 test -L "$DIR/ttyE2E" || fail "emulator link did not appear"
start_telltrail choice "$DIR/choice.xml"

logged() { cat "$DIR"/canlog_* 2> /dev/null | wc -l; }
left_filter() { sum_reported "$DIR/choice.out" '^left out as the settings ask: \([0-9]*\) frames by the filter.*$'; }
left_same() { sum_reported "$DIR/choice.out" '^left out as the settings ask: .* \([0-9]*\) unchanged$'; }
accounted() { [ $(( $(logged) + $(left_filter) + $(left_same) )) -ge "$total" ]; }
wait_for 60 accounted ||
  fail "$(logged) written, $(left_filter) filtered, $(left_same) unchanged of $total sent"
stop_telltrail choice
stop_emulator

for line in "filter: 100:7F8,18FEF100:1FFFFF00 (applied as frames are read)" \
  "down-sampling: a frame when its data change, at least every $EVERY sec" "listen-only"; do
  grep -q -x -F "$line" "$DIR/choice.out" || fail "no start-up line \"$line\""
done
grep -q -x "adapter status: error warning, data overrun" "$DIR/choice.out" || fail "no adapter status line"
grep -q "CAN channel opened listen-only (L)" "$DIR/choice-emu.err" || fail "channel not opened with L"
if grep -q "opened (O)" "$DIR/choice-emu.err"; then fail "the channel was opened with O"; fi
[ "$(wc -l < "$DIR/choice.sent")" -eq "$total" ] || fail "the emulator sent $(wc -l < "$DIR/choice.sent") of $total"

/usr/bin/python3 - "$DIR/choice.sent" "$EVERY" "$(left_filter)" "$(left_same)" "$DIR"/canlog_* << 'PY' || fail "the log differs from the rules"
import datetime, sys
sent_path, every_ms, rep_filter, rep_same = sys.argv[1], int(sys.argv[2]) * 1000, int(sys.argv[3]), int(sys.argv[4])
EXT, RTR = 0x80000000, 0x40000000

def kept_by_filter(ident):
    if ident & EXT:
        return (ident & 0x1FFFFF00) == 0x18FEF100
    return (ident & 0x7F8) == 0x100

sent = []
for line in open(sent_path):
    text = line.split()[2]
    ident_text, data = text.split("#")
    ident = int(ident_text, 16) | (EXT if len(ident_text) == 8 else 0)
    if data.startswith("R"):
        sent.append((ident | RTR, None))
    else:
        sent.append((ident, bytes.fromhex(data)))
captured = [f for f in sent if kept_by_filter(f[0])]

logged = {}
for path in sys.argv[5:]:
    for line in open(path):
        v = line.strip().split(",")
        day = datetime.date.fromisoformat(v[1].strip("'")).toordinal()
        ms = day * 86400000 + int(v[2])
        data = bytes(int(b) for b in v[5:] if b != "NULL")
        logged[int(v[0])] = (int(v[3]), data, ms)

errors = []
last = {}
previous_ms = None
by_time = 0
for counter, (ident, data) in enumerate(captured):
    got = logged.pop(counter, None)
    if got is not None and (got[0] != ident or (data is not None and got[1] != data)):
        errors.append("counter %d: %s, sent %x %s" % (counter, got, ident, data))
    if data is None:
        if got is None:
            errors.append("counter %d: remote frame left out" % counter)
        continue
    key = ident
    changed = key not in last or last[key][0] != data
    if got is None:
        if changed:
            errors.append("counter %d: changed frame %x left out" % (counter, ident))
        elif previous_ms is not None and previous_ms - last[key][1] >= every_ms:
            errors.append("counter %d: %x unwritten for %d ms" % (counter, ident, previous_ms - last[key][1]))
        continue
    if not changed:
        if got[2] - last[key][1] < every_ms:
            errors.append("counter %d: unchanged %x written after %d ms" % (counter, ident, got[2] - last[key][1]))
        by_time += 1
    last[key] = (data, got[2])
    previous_ms = got[2]
if logged:
    errors.append("lines beyond the captured frames: %s" % sorted(logged)[:5])
written = len(captured) - rep_same
if rep_filter != len(sent) - len(captured):
    errors.append("filter count %d, expected %d" % (rep_filter, len(sent) - len(captured)))
if by_time == 0:
    errors.append("no unchanged frame was written for its age")
print("%d sent, %d filtered, %d captured, %d unchanged left out, %d written again for their age"
      % (len(sent), rep_filter, len(captured), rep_same, by_time))
for e in errors[:20]:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
PY
echo "the log holds exactly what the rules keep"

# A filter that lets nothing through: the periods still say what it left out.
sed 's|<filter Name="[^"]*"/>|<filter Name="7FF:7FF"/>|' "$DIR/choice.xml" > "$DIR/none.xml"
rm -f "$DIR"/canlog_*
rm -f "$DIR/ttyE2E"
"$EMU" --quiet --link "$DIR/ttyE2E" --linger --replay "$DIR/bus.log" --count 1000 --rate 500 \
  2> "$DIR/none-emu.err" &
EMU_PID=$!
PIDS+=("$EMU_PID")
wait_for 10 test -L "$DIR/ttyE2E" || fail "emulator link did not appear"
start_telltrail none "$DIR/none.xml"
none_filtered() { sum_reported "$DIR/none.out" '^left out as the settings ask: \([0-9]*\) frames by the filter.*$'; }
wait_for 60 eval '[ "$(none_filtered)" -ge 1000 ]' || fail "nothing through: $(none_filtered) of 1000 reported filtered"
stop_telltrail none
stop_emulator
[ "$(none_filtered)" -eq 1000 ] || fail "nothing through: $(none_filtered) reported filtered of 1000"
[ "$(logged)" -eq 0 ] || fail "nothing through: $(logged) lines logged"
echo "a filter that lets nothing through: $(none_filtered) frames reported filtered"
