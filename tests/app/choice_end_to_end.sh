#!/usr/bin/env bash
# The choice of what to keep, end to end: can232emu replays a cyclic bus
# (ids 0x100..0x10F and 0x300 standard, two extended, a remote frame; most
# data unchanging) to telltrail with a filter, logging on change every 2 s
# at least and listen-only; the judge applies the rules to what was sent:
# exactly the frames they keep are logged, with their capture counters, and
# the period lines count what was left out. The channel is opened with "L",
# never "O"; the adapter's status flags are reported. Then a filter that
# lets nothing through: its periods still say so.
#
#   choice_end_to_end.sh TELLTRAIL CAN232EMU
set -euo pipefail
TELLTRAIL=$1
EMU=$2
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
make_workdir ttchoice

/usr/bin/python3 - "$DIR/bus.log" << 'PY'
import sys
ids = ["%03X" % i for i in range(0x100, 0x110)] + ["300", "18FEF1AA", "18FEF2AA"]
with open(sys.argv[1], "w") as out:
    for r in range(200):
        for k, ident in enumerate(ids + ["105"]):
            data = "R" if k == len(ids) else "%02X11223344" % ((r // (7 + k)) % 256 if k % 4 == 0 else 0)
            out.write("(%d.%06d) can0 %s#%s\n" % (1700000000 + r, k * 1000, ident, data))
PY
total=$(wc -l < "$DIR/bus.log")
cat > "$DIR/choice.xml" << XML
<telltrail><device Name="..$DIR/ttyE2E"/><sleep Name="1"/><log_file Name="$DIR/canlog" Format="csv"/>
  <filter Name="100:7F8,18FEF100:1FFFFF00"/><downsample Name="changes" Every="2"/><listen_only Name="1"/></telltrail>
XML
sed 's|<filter Name="[^"]*"/>|<filter Name="7FF:7FF"/>|' "$DIR/choice.xml" > "$DIR/none.xml"

logged() { cat "$DIR"/canlog_* 2> /dev/null | wc -l; }
left() { sum_reported "$DIR/$1.out" "^left out as the settings ask: $2\$"; }
# run NAME COUNT: the emulator replays COUNT frames at 500/s, with the status
# flags 0C; telltrail runs until every frame is logged or counted left out.
run() {
  rm -f "$DIR"/canlog_* "$DIR/ttyE2E"
  "$EMU" --link "$DIR/ttyE2E" --sent-log "$DIR/$1.sent" --linger --replay "$DIR/bus.log" \
    --count "$2" --rate 500 --status 0C 2> "$DIR/$1-emu.err" &
  EMU_PID=$!
  PIDS+=("$EMU_PID")
  wait_for 10 test -L "$DIR/ttyE2E" || fail "$1: emulator link did not appear"
  start_telltrail "$1" "$DIR/$1.xml"
  accounted() {
    [ $(($(logged) + $(left "$1" '\([0-9]*\) frames by .*') + $(left "$1" '.* \([0-9]*\) unchanged'))) -ge "$2" ]
  }
  wait_for 60 accounted "$1" "$2" || fail "$1: $(logged) logged, the rest not accounted for"
  stop_telltrail "$1"
  stop_emulator
}

run choice "$total"
for line in "filter: 100:7F8,18FEF100:1FFFFF00 (applied as frames are read)" "listen-only" \
  "down-sampling: a frame when its data change, at least every 2 sec" \
  "adapter status: error warning, data overrun"; do
  grep -q -x -F "$line" "$DIR/choice.out" || fail "no line \"$line\""
done
grep -q "CAN channel opened listen-only (L)" "$DIR/choice-emu.err" || fail "channel not opened with L"
if grep -q "opened (O)" "$DIR/choice-emu.err"; then fail "the channel was opened with O"; fi

/usr/bin/python3 - "$DIR/choice.sent" "$(left choice '\([0-9]*\) frames by .*')" \
  "$(left choice '.* \([0-9]*\) unchanged')" "$DIR"/canlog_* << 'PY' || fail "the log differs from the rules"
import datetime, sys
EXT, RTR, EVERY = 0x80000000, 0x40000000, 2000
sent = []
for line in open(sys.argv[1]):
    ident, data = line.split()[2].split("#")
    sent.append((int(ident, 16) | (EXT if len(ident) == 8 else 0) | (RTR if data == "R" else 0),
                 None if data == "R" else bytes.fromhex(data)))
keep = lambda i: (i & 0x1FFFFF00) == 0x18FEF100 if i & EXT else (i & 0x7F8) == 0x100
captured = [f for f in sent if keep(f[0])]
logged = {}
for path in sys.argv[4:]:
    for line in open(path):
        v = line.strip().split(",")
        ms = datetime.date.fromisoformat(v[1].strip("'")).toordinal() * 86400000 + int(v[2])
        logged[int(v[0])] = (int(v[3]), bytes(int(b) for b in v[5:] if b != "NULL"), ms)
errors, last, previous, by_time, left_out = [], {}, None, 0, 0
for counter, (ident, data) in enumerate(captured):
    got = logged.pop(counter, None)
    if got is not None and (got[0] != ident or (data is not None and got[1] != data)):
        errors.append("counter %d: %s, sent %x %s" % (counter, got, ident, data))
    changed = data is None or ident not in last or last[ident][0] != data
    if got is None:
        left_out += 1
        # Left out: no change, and younger than EVERY even at the earliest
        # time it can have been received.
        if changed or (previous is not None and previous - last[ident][1] >= EVERY):
            errors.append("counter %d: %x left out" % (counter, ident))
        continue
    if not changed:
        if got[2] - last[ident][1] < EVERY:
            errors.append("counter %d: unchanged %x written after %d ms" % (counter, ident, got[2] - last[ident][1]))
        by_time += 1
    last[ident] = (data, got[2])
    previous = got[2]
errors += ["lines beyond the captured frames"] if logged else []
errors += ["filter count %s" % sys.argv[2]] if int(sys.argv[2]) != len(sent) - len(captured) else []
errors += ["unchanged count %s" % sys.argv[3]] if int(sys.argv[3]) != left_out else []
errors += ["no unchanged frame written for its age"] if by_time == 0 else []
print("%d sent, %s filtered, %d captured, %s unchanged left out, %d written for their age"
      % (len(sent), sys.argv[2], len(captured), sys.argv[3], by_time))
for e in errors[:20]:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
PY

run none 1000
[ "$(left none '\([0-9]*\) frames by .*')" -eq 1000 ] || fail "nothing through: not 1000 reported filtered"
[ "$(logged)" -eq 0 ] || fail "nothing through: $(logged) lines logged"
echo "the log holds exactly what the rules keep; a filter that keeps nothing says so every period"
