#!/usr/bin/env bash
# The log file forms end to end, judged by the CAN world's own tools: the
# CAN232 emulator sends mixed standard, extended and remote frames of every
# length, telltrail logs them, and python-can (Debian's python3-can),
# can-utils' log2asc and python-can's logconvert read the result.
#   1. telltrail DEV 1 BASE candump trace: BASE_YYYYMMDD.log in the candump
#      syntax, python-can reads exactly the frames sent with the console's
#      times; log2asc and can.logconvert convert it
#   2. the settings file: Format="candump" with bitrate 250k on a 250 kbit/s
#      bus; the same bus with the default bit rate (no frames); Format="csv"
#      writes the command line's CSV lines; Format="xml" is refused
#   3. telltrail-export of the candump file (plain, gzip, zstd), of the CSV
#      file and of trace lines, with identifier and time filters
#   4. telltrail-retention of several settings files, some of them bad: the
#      good one's old days gone, the bad ones reported, exit status 2
#   5. telltrail-retention with the clock moved by faketime: old days gone,
#      closed days compressed and readable, the day in progress untouched
#
#   logformats_end_to_end.sh TELLTRAIL CAN232EMU EXPORT RETENTION CANDUMP_COMPARE
set -euo pipefail

TELLTRAIL=$1
EMU=$2
EXPORT=$3
RETENTION=$4
COMPARE=$5
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/lib/script_helpers.sh
. "$HERE/../../tools/lib/script_helpers.sh"
PY=/usr/bin/python3
JUDGE=$HERE/candump_judge.py

$PY -c 'import can' 2> /dev/null || { echo "SKIP: Debian's python3-can is not installed"; exit 77; }
for tool in log2asc faketime gzip zstd zcat zstdcat; do
  command -v "$tool" > /dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

make_workdir ttlogforms
LINK=$DIR/ttyLF
DEVICE=..$LINK # telltrail opens /dev/../tmp/...

start_emu() {
  local name=$1; shift
  rm -f "$LINK"
  "$EMU" --link "$LINK" --sent-log "$DIR/$name.sent.log" --linger "$@" 2> "$DIR/$name-emu.err" &
  EMU_PID=$!
  PIDS+=("$EMU_PID")
  wait_for 10 test -L "$LINK" || fail "$name: emulator link did not appear"
}
stop_emu() { kill -TERM "$EMU_PID"; wait "$EMU_PID" || fail "emulator exit status $?"; }
lines() { cat "$@" 2> /dev/null | wc -l; }
# run_logger NAME FRAMES ARGS...: telltrail until FRAMES lines are in
# $DIR/NAME_*, then SIGTERM; exit status 0 and the termination line.
run_logger() {
  local name=$1 frames=$2; shift 2
  "$TELLTRAIL" "$@" > "$DIR/$name.out" 2>&1 &
  local pid=$!
  PIDS+=("$pid")
  wait_for 60 eval "[ \$(lines $DIR/${name}_*) -ge $frames ]" || fail "$name: frames did not reach the log"
  kill -TERM "$pid"
  wait "$pid" || fail "$name: telltrail exit status $?"
  grep -q " terminated\$" "$DIR/$name.out" || fail "$name: no termination line"
}
# judge SENT LOGGED CHANNEL CARRIES [CONSOLE]: python-can's verdict in $DIR/judge.out.
# (python-can reads a candump log by its name's .log.)
judge() { $PY "$JUDGE" "$@" > "$DIR/judge.out" 2>&1 || fail "$(cat "$DIR/judge.out")"; }
verdict() { cat "$DIR/judge.out"; }

# --- 1. Command line.
N=900
start_emu cli --count $N --rate 600 --mix std,ext,rtr --seed 21 --remote both
run_logger cli $N "$DEVICE" 1 "$DIR/cli" candump trace
stop_emu
FIRST=$(ls "$DIR"/cli_* | head -n 1)
[[ $FIRST =~ /cli_[0-9]{8}\.log$ ]] || fail "cli: daily file named $FIRST"
grep -q "^log file: $FIRST\$" "$DIR/cli.out" || fail "cli: no log file line for $FIRST"
LOG=$DIR/cli.log # (two daily files when the run crossed midnight)
cat "$DIR"/cli_* > "$LOG"
grep -q "^log file in candump log format\$" "$DIR/cli.out" || fail "cli: form not said"
# Every line: (10 digits.6 digits ending 000) device 3 or 8 digits # data or R.
DEV_RE=$(printf '%s' "$DEVICE" | sed 's/[.]/[.]/g')
bad=$(grep -Evc "^\([0-9]{10}\.[0-9]{3}000\) $DEV_RE ([0-9A-F]{3}|[0-9A-F]{8})#(([0-9A-F]{2}){0,8}|R[1-8]?)\$" "$LOG" || true)
[ "$bad" -eq 0 ] || fail "cli: $bad lines not in candump syntax: $(grep -Ev '#' "$LOG" | head -n 2)"
judge "$DIR/cli.sent.log" "$LOG" "$DEVICE" all "$DIR/cli.out"
echo "1. $N frames, every line in candump syntax; $(verdict)"
log2asc -I "$LOG" -O "$DIR/cli.asc" "$DEVICE" || fail "log2asc failed"
[ "$(grep -c ' Rx ' "$DIR/cli.asc")" -eq $N ] || fail "log2asc: $(grep -c ' Rx ' "$DIR/cli.asc") frames of $N"
$PY -m can.logconvert "$LOG" "$DIR/cli2.asc" > /dev/null || fail "can.logconvert failed"
asc=$($PY -c 'import can, sys; print(len(list(can.LogReader(sys.argv[1]))))' "$DIR/cli2.asc")
[ "$asc" -eq $N ] || fail "can.logconvert: $asc frames of $N in the ASC file"
echo "   log2asc and python -m can.logconvert: $N frames each"

# --- 2. Settings file.
settings() { # NAME FORMAT [BITRATE]
  { echo "<telltrail><device Name=\"$DEVICE\"/><sleep Name=\"1\"/>"
    [ -z "${3:-}" ] || echo "<bitrate Name=\"$3\"/>"
    echo "<log_file Name=\"$DIR/$1\" Format=\"$2\"/></telltrail>"; } > "$DIR/$1.xml"
}
settings xmldump candump 250k
start_emu xmldump --count $N --rate 600 --mix std,ext,rtr --seed 22 --bitrate S5
run_logger xmldump $N "$DIR/xmldump.xml"
stop_emu
grep -q "^CAN232 bit rate: 250 kbit/s (S5)\$" "$DIR/xmldump.out" || fail "xmldump: no bit rate line"
cat "$DIR"/xmldump_*.log > "$DIR/xmldump.log"
judge "$DIR/xmldump.sent.log" "$DIR/xmldump.log" "$DEVICE" all
echo "2. Format=candump, bitrate 250k: $(verdict)"

settings wrongrate candump
start_emu wrongrate --count 100 --rate 200 --bitrate S5
"$TELLTRAIL" "$DIR/wrongrate.xml" > "$DIR/wrongrate.out" 2>&1 &
pid=$!
PIDS+=("$pid")
wait_for 10 grep -q "opened at S1, the bus runs at S5" "$DIR/wrongrate-emu.err" ||
  fail "wrongrate: the adapter was not set to S1"
sleep 2
kill -TERM "$pid"
wait "$pid" || fail "wrongrate: exit status $?"
stop_emu
[ "$(lines "$DIR"/wrongrate_*)" -eq 0 ] || fail "wrongrate: frames at a wrong bit rate"
echo "   the same bus at the default S1: no frames"

settings xmlcsv csv
start_emu xmlcsv --count $N --rate 600 --mix std,ext,rtr --seed 23
run_logger xmlcsv $N "$DIR/xmlcsv.xml"
stop_emu
grep -q "^use comma separated values\$" "$DIR/xmlcsv.out" || fail "xmlcsv: CSV not said"
[ "$(awk -F, 'NF != 13' "$DIR"/xmlcsv_* | wc -l)" -eq 0 ] || fail "xmlcsv: lines that are not CSV"
"$COMPARE" "$DIR/xmlcsv.sent.log" "$DIR"/xmlcsv_* > "$DIR/xmlcsv.compare" || fail "$(cat "$DIR/xmlcsv.compare")"
echo "   Format=csv: $(cat "$DIR/xmlcsv.compare")"

settings xmlbad xml
status=0
"$TELLTRAIL" "$DIR/xmlbad.xml" > "$DIR/xmlbad.out" 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "Format=xml: exit status $status"
grep -q '^log_file/Format refused: "xml" (trace, csv or candump)$' "$DIR/xmlbad.out" || fail "Format=xml: message"
[ -z "$(ls "$DIR"/xmlbad_* 2> /dev/null)" ] || fail "Format=xml: a file was made"
echo "   Format=xml: refused, exit status 255, no file"

# --- 3. Export.
cp "$LOG" "$DIR/copy.log"
gzip -k "$DIR/copy.log"
zstd -q "$DIR/copy.log"
for f in "$DIR/copy.log" "$DIR/copy.log.gz" "$DIR/copy.log.zst"; do
  "$EXPORT" -q "$f" > "$f.export" || fail "export of $f failed"
  cmp -s "$LOG" "$f.export" || fail "export of $f differs from the log"
done
"$EXPORT" -q "$DIR"/xmlcsv_* > "$DIR/csv.export.log" || fail "export of the CSV file failed"
grep -E '^ *[0-9]+  [0-9.]+ [0-9:.]+ ' "$DIR/cli.out" > "$DIR/trace.lines" # the console's frame lines
"$EXPORT" --iface "$DEVICE" "$DIR/trace.lines" > "$DIR/trace.export.log" 2> "$DIR/trace.err" ||
  fail "export of trace lines failed"
grep -q "frames from trace lines, which carry no flags" "$DIR/trace.err" || fail "export: no word on trace lines"
echo "3. export: the candump file plain, gzip and zstd as it is;"
judge "$DIR/xmlcsv.sent.log" "$DIR/csv.export.log" can0 all
echo "   CSV: $(verdict)"
judge "$DIR/cli.sent.log" "$DIR/trace.export.log" "$DEVICE" none
echo "   trace: $(verdict)"
# Filters: one identifier with its remote frames; a time range, counted by awk.
id=$(sed -n '5s/.* \([0-9A-F]*\)#.*/\1/p' "$LOG")
"$EXPORT" -q --id "$id" "$LOG" > "$DIR/id.export"
with_id=$(grep -c " $id#" "$LOG")
[ "$(lines "$DIR/id.export")" -eq "$with_id" ] && [ "$(grep -vc " $id#" "$DIR/id.export")" -eq 0 ] ||
  fail "export --id $id: $(lines "$DIR/id.export") lines, $with_id expected"
from=$(sed -n '100s/^(\([0-9]*\.[0-9]\{3\}\).*/\1/p' "$LOG")
to=$(sed -n '300s/^(\([0-9]*\.[0-9]\{3\}\).*/\1/p' "$LOG")
"$EXPORT" -q --from "@$from" --to "@$to" "$LOG" > "$DIR/time.export"
in_range=$(awk -v a="$from" -v b="$to" '{ t = substr($1, 2, 14) } t >= a && t < b' "$LOG" | wc -l)
[ "$(lines "$DIR/time.export")" -eq "$in_range" ] ||
  fail "export --from/--to: $(lines "$DIR/time.export") lines, $in_range expected"
day=$(date -u -d "@${from%.*}" +%Y-%m-%dT%H:%M:%S).${from#*.}
"$EXPORT" -q --from "$day" "$LOG" | cmp -s - <("$EXPORT" -q --from "@$from" "$LOG") ||
  fail "export --from $day differs from --from @$from"
echo "   --id $id: $with_id frames of $N; lines 100 to 299 by time: $in_range frames, as awk counts them"

# --- 4. Retention of several instances, one of whose settings files is bad
# (a typo, an invalid KeepDays, one that cannot be read): the others are
# done all the same, the bad ones reported, exit status 2. A dry run says
# what it found and would do, also when there is nothing to do.
mkdir -p "$DIR/inst/conf" "$DIR/inst/a"
printf '<t><log_file Name="%s" KeepDays="2"/></t>\n' "$DIR/inst/a/bus" > "$DIR/inst/conf/a.xml"
printf '<t><log_file Name="%s" KeepDays="2x"/></t>\n' "$DIR/inst/b/bus" > "$DIR/inst/conf/b.xml"
printf '<t><log_file Name="%s" KeepDays="2"/>\n' "$DIR/inst/c/bus" > "$DIR/inst/conf/c.xml"
ln -s "$DIR/inst/missing.xml" "$DIR/inst/conf/d.xml"
touch -d "2020-01-01 12:00" "$DIR/inst/a/bus_20200101" "$DIR/inst/a/bus_20200102"
TODAY_FILE=bus_$(date -u +%Y%m%d) # just written: not closed, whatever the day is by now
touch "$DIR/inst/a/$TODAY_FILE"
instances() { # EXPECTED-STATUS OPTIONS...
  local status=0
  "$RETENTION" "${@:2}" "$DIR/inst/conf" > "$DIR/inst.out" || status=$?
  [ "$status" -eq "$1" ] || fail "retention $*: exit status $status: $(cat "$DIR/inst.out")"
  [ "$(grep -c ': settings refused, its files left as they are$' "$DIR/inst.out")" -eq 3 ] ||
    fail "retention $*: bad settings files not each reported: $(cat "$DIR/inst.out")"
}
instances 2 -n
grep -q "^telltrail-retention: $DIR/inst/a/bus: 3 daily files (0.0 MB), 2 of them closed" "$DIR/inst.out" ||
  fail "retention -n: nothing said of what it found: $(cat "$DIR/inst.out")"
[ "$(grep -c "would remove $DIR/inst/a/bus_2020010[12] (older than 2 days)" "$DIR/inst.out")" -eq 2 ] ||
  fail "retention -n: $(cat "$DIR/inst.out")"
instances 2
[ "$(cd "$DIR/inst/a" && echo *)" = "$TODAY_FILE" ] ||
  fail "retention beside bad settings left $(cd "$DIR/inst/a" && echo *)"
instances 2 -n
grep -q "^telltrail-retention: $DIR/inst/a/bus: nothing to do\$" "$DIR/inst.out" ||
  fail "retention -n with nothing to do said: $(cat "$DIR/inst.out")"
echo "4. retention: 3 bad settings files reported, the good one's old days removed, exit status 2;"
echo "   a dry run says what it found, also when there is nothing to do"

# --- 5. Retention, the clock moved to March 2031 (the file times stay real,
# NO_FAKE_STAT); the days were written until 23:58, the sample time is 10 s.
mkdir "$DIR/ret"
fake() { # FAKE-TIME COMMAND...
  # (faketime's library is loaded before a sanitizer build's runtime)
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" NO_FAKE_STAT=1 \
    faketime "$@"
}
# The moved clock must reach the program: not so under user-mode emulation
# (a static qemu-arm takes no preloaded library).
touch -d "2031-03-01 12:00:00" "$DIR/ret/probe_20310301"
if ! fake "2031-03-03 00:00:00" "$RETENTION" -n --compress gzip "$DIR/ret/probe" 2> /dev/null |
  grep -q "would compress"; then
  echo "5. retention: SKIPPED here: faketime does not reach the program (user-mode emulation);"
  echo "   checked in the native and sanitizer stages"
  echo PASS
  exit 0
fi
rm "$DIR/ret/probe_20310301"
for d in 04 05 06 07 08 09 10; do
  cp "$LOG" "$DIR/ret/bus_203103$d.log"
  touch -d "2031-03-$d 23:58:00" "$DIR/ret/bus_203103$d.log"
done
touch -d "2031-03-10 00:04:00" "$DIR/ret/bus_20310310.log"
cp -p "$DIR/ret/bus_20310310.log" "$DIR/today.before"
cat > "$DIR/ret.xml" << XML
<telltrail><sleep Name="10"/>
<log_file Name="$DIR/ret/bus" Format="candump" KeepDays="3" Compress="gzip"/></telltrail>
XML
retention() { # FAKE-TIME EXPECTED-FILES
  fake "$1" "$RETENTION" "$DIR/ret.xml" > "$DIR/ret.out" ||
    fail "retention at $1: $(cat "$DIR/ret.out")"
  [ "$(cd "$DIR/ret" && echo *)" = "$2" ] || fail "retention at $1 left $(cd "$DIR/ret" && echo *)"
}
# Days before the last 3 go, day 08 is compressed; day 09 was written 7
# minutes ago (less than the sample time and 10 minutes), day 10 is today.
retention "2031-03-10 00:05:00" "bus_20310308.log.gz bus_20310309.log bus_20310310.log"
cmp -s "$DIR/today.before" "$DIR/ret/bus_20310310.log" &&
  [ "$(stat -c %Y "$DIR/ret/bus_20310310.log")" = "$(stat -c %Y "$DIR/today.before")" ] ||
  fail "retention touched the day in progress"
zcat "$DIR/ret/bus_20310308.log.gz" | cmp -s - "$LOG" || fail "retention: day 08 does not read back"
# Later lines of day 08 (a late period) join its compressed file; day 09 has rested.
head -n 3 "$LOG" > "$DIR/ret/bus_20310308.log"
touch -d "2031-03-10 00:03:00" "$DIR/ret/bus_20310308.log"
retention "2031-03-10 00:30:00" "bus_20310308.log.gz bus_20310309.log.gz bus_20310310.log"
zcat "$DIR/ret/bus_20310308.log.gz" | cmp -s - <(cat "$LOG" <(head -n 3 "$LOG")) ||
  fail "retention: day 08 with its late lines does not read back"
"$EXPORT" -q "$DIR/ret/bus_20310308.log.gz" | cmp -s - <(cat "$LOG" <(head -n 3 "$LOG")) ||
  fail "retention: day 08 does not export whole"
# The next day with zstd: day 10 compressed, day 08 beyond the 3 days.
sed -i 's/Compress="gzip"/Compress="zstd"/' "$DIR/ret.xml"
retention "2031-03-11 01:00:00" "bus_20310309.log.gz bus_20310310.log.zst"
zstdcat "$DIR/ret/bus_20310310.log.zst" | cmp -s - "$LOG" || fail "retention: day 10 does not read back"
"$EXPORT" -q "$DIR/ret/bus_20310310.log.zst" | cmp -s - "$LOG" || fail "retention: day 10 does not export"
# A size budget of 1 MB that today's file alone passes: every closed day
# goes, today's stays, and the excess is reported.
sed -i 's/KeepDays="3"/KeepDays="5" MaxMB="1"/' "$DIR/ret.xml"
for i in $(seq 30); do cat "$LOG"; done > "$DIR/ret/bus_20310312.log"
retention "2031-03-12 12:00:00" "bus_20310312.log"
grep -q "the days still written take .* MB, more than the budget of 1 MB" "$DIR/ret.out" ||
  fail "retention: excess not reported: $(cat "$DIR/ret.out")"
echo "5. retention: days beyond 3 removed, closed days compressed (gzip, zstd) and read back, late"
echo "   lines appended, the day in progress untouched, closed days removed for a size budget"
echo PASS
