#!/usr/bin/env bash
# The logger's database output end to end: can232emu sends frames on a
# pseudo-terminal, telltrail writes them into a throwaway MariaDB server of
# this test's own (tools/mariadb/test-server.sh), and candump-compare checks
# the table against what was sent: every frame one row, in order, consecutive
# counters, identifier and data as sent; receive times within the run.
#
#   1. Unix socket ("localhost"), mixed frames, stopped with SIGTERM
#   2. TCP (127.0.0.1), 20000 frames at 9009 frames/s, adapter goes away
#   3. the settings file's mysql element; a wrong password
#   4. an unusable client library: a name missing, not loadable, hidden
#   5. the server stopped during a run, then down at start-up
# After run 1 (with EXPORT): the rows as a candump log by telltrail-export,
# judged by python-can against what was sent, its identifier and time
# choices made by the server, and the view can_frames.
#
#   mysql_end_to_end.sh TELLTRAIL CAN232EMU CANDUMP_COMPARE STANDIN_DIR [EXPORT]
# STANDIN_DIR holds standin-missing/ and standin-broken/libmysqlclient.so.
set -euo pipefail

TELLTRAIL=$1
EMU=$2
COMPARE=$3
STANDINS=$4
EXPORT=${5:-}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SERVER=$ROOT/tools/mariadb/test-server.sh
# shellcheck source=../../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"

DIR=$(mktemp -d /tmp/ttdbe2e.XXXXXX)
PIDS=()
# The adapter's link: in /dev when we may (a device name beginning with tty),
# else beside the test's files, reached from /dev with "..".
if [ -w /dev ]; then
  LINK=/dev/ttyTTdb$$
  DEVICE=ttyTTdb$$
else
  LINK=$DIR/ttyE2E
  DEVICE=..$LINK
fi
cleanup() {
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  "$SERVER" stop "$DIR/db" > /dev/null 2>&1 || true
  rm -f "$LINK"
  rm -rf "$DIR"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
sql() { "$SERVER" sql "$DIR/db" canlog -N -B -e "$1"; }
row_count() { sql "SELECT COUNT(*) FROM can_log"; }
has_rows() { [ "$(row_count)" -ge "$1" ]; }
dump_rows() {
  sql "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY counter" > "$1"
}
exited() { ! kill -0 "$1" 2>/dev/null; }

# check_rows NAME SENT_LOG FROM_MS TO_MS: the table holds the sent frames,
# received between the two times, in order.
check_rows() {
  local name=$1 sent=$2 from=$3 to=$4
  dump_rows "$DIR/$name.rows"
  "$COMPARE" "$sent" "$DIR/$name.rows" > "$DIR/$name.compare" ||
    fail "$name: table differs: $(cat "$DIR/$name.compare")"
  awk -F '\t' -v from="$from" -v to="$to" '
    $2 < from || $2 > to { print "row " NR ": timestamp " $2 " outside the run"; bad = 1; exit }
    NR > 1 && $2 < last { print "row " NR ": timestamp goes back"; bad = 1; exit }
    { last = $2 }
    END { exit bad }' "$DIR/$name.rows" > "$DIR/$name.time" ||
    fail "$name: $(cat "$DIR/$name.time")"
}

# start_emulator NAME ARGS...: the adapter with its sent-frame log.
start_emulator() {
  local name=$1; shift
  rm -f "$LINK"
  "$EMU" --quiet --link "$LINK" --sent-log "$DIR/$name.sent" "$@" 2> "$DIR/$name-emu.err" &
  EMU_PID=$!
  PIDS+=("$EMU_PID")
  wait_for 10 test -L "$LINK" || fail "$name: emulator link did not appear"
}

"$SERVER" start "$DIR/db" > "$DIR/server.out" 2>&1 || fail "test server: $(cat "$DIR/server.out")"
set -a
# shellcheck disable=SC1091
. "$DIR/db/env" # MYSQL_UNIX_PORT and MYSQL_TCP_PORT: the client library's defaults
set +a

# --- 1. Unix socket; SIGTERM ends the run, every frame captured is a row.
start_emulator run1 --count 3000 --rate 1500 --mix std,ext,rtr --seed 11 --linger
FROM=$(now_ms)
"$TELLTRAIL" "$DEVICE" 1 localhost mysql > "$DIR/run1.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
wait_for 60 has_rows 3000 || fail "run 1: $(row_count) rows of 3000"
kill -TERM "$TT_PID"
wait_for 10 exited "$TT_PID" || fail "run 1: telltrail did not stop on SIGTERM"
wait "$TT_PID" || fail "run 1: telltrail exit status $?"
TO=$(now_ms)
kill -TERM "$EMU_PID"; wait "$EMU_PID" || true
# (a device name reached through ".." draws the device-name complaint, after
# which the settings lines leave out the host)
if [ "${DEVICE#tty}" != "$DEVICE" ]; then
  grep -q "^mysql host: localhost\$" "$DIR/run1.out" || fail "run 1: no mysql host line"
fi
grep -q " terminated\$" "$DIR/run1.out" || fail "run 1: no termination line"
if grep "^mysql" "$DIR/run1.out" | grep -q -v "^mysql host: "; then fail "run 1: database error"; fi
check_rows run1 "$DIR/run1.sent" "$FROM" "$TO"
echo "run 1 (socket, SIGTERM): $(cat "$DIR/run1.compare")"

# --- 1b. The rows of run 1 as a candump log, and through the view.
if [ -z "$EXPORT" ]; then
  echo "run 1b: no telltrail-export given, not checked"
elif ! /usr/bin/python3 -c 'import can' 2> /dev/null; then
  echo "run 1b: SKIPPED: Debian's python3-can is not installed (tools/run-tests.sh installs it)"
else
  echo '<telltrail><mysql Host="localhost" User="pi" Password="quillfern" DB="canlog"/></telltrail>' \
    > "$DIR/export.xml"
  "$EXPORT" --mysql "$DIR/export.xml" > "$DIR/table.log" 2> "$DIR/table.err" ||
    fail "run 1b: export: $(cat "$DIR/table.err")"
  grep -q "from the table, which keeps no extended flag" "$DIR/table.err" || fail "run 1b: $(cat "$DIR/table.err")"
  cp "$DIR/run1.sent" "$DIR/run1.sent.log" # python-can reads a candump log by its .log
  /usr/bin/python3 "$ROOT/tests/tools/candump_judge.py" "$DIR/run1.sent.log" "$DIR/table.log" can0 noext \
    > "$DIR/judge.out" 2>&1 || fail "run 1b: $(cat "$DIR/judge.out")"
  # The server's choice by identifier and time is the export's own filter.
  id=$(sed -n '7s/.* \([0-9A-F]*\)#.*/\1/p' "$DIR/table.log")
  from=$(sed -n '500s/^(\([0-9.]*\)).*/\1/p' "$DIR/table.log")
  to=$(sed -n '2500s/^(\([0-9.]*\)).*/\1/p' "$DIR/table.log")
  for choice in "--id $id" "--id 100-3FF --from @$from" "--from @$from --to @$to"; do
    # shellcheck disable=SC2086
    "$EXPORT" -q --mysql "$DIR/export.xml" $choice > "$DIR/chosen.log" 2>&1 &&
      "$EXPORT" -q $choice "$DIR/table.log" | cmp -s - "$DIR/chosen.log" ||
      fail "run 1b: export --mysql $choice differs from the same choice of the whole table"
  done
  # The view, in another session time zone: the same times and frames.
  sql "SET time_zone = '+05:00'; SELECT CONCAT('(', LPAD(\`timestamp\` DIV 1000, 10, '0'), '.',
       LPAD(\`timestamp\` MOD 1000, 3, '0'), '000) can0 ', frame) FROM can_frames
       WHERE TIMESTAMPDIFF(MICROSECOND, '1970-01-01', time_utc) = \`timestamp\` * 1000
       ORDER BY \`timestamp\`, counter" | cmp -s - "$DIR/table.log" ||
    fail "run 1b: the view's times or frames differ from the export"
  sql "EXPLAIN SELECT time_utc, frame FROM can_frames WHERE can_id IN (0x180, 0x40000180)
       AND \`timestamp\` >= TIMESTAMPDIFF(SECOND, '1970-01-01', '2026-12-07 14:00') * 1000
       AND \`timestamp\` < TIMESTAMPDIFF(SECOND, '1970-01-01', '2026-12-07 15:00') * 1000
       ORDER BY \`timestamp\`, counter" | grep -q "id_time" || fail "run 1b: the example query does not use id_time"
  echo "run 1b (export, view): $(cat "$DIR/judge.out"); identifier and time choices by the server as by the export"
fi

# --- 2. TCP; a saturated bus's rate of eight-byte frames, the adapter goes
# away at the end and the run ends by itself.
sql "TRUNCATE can_log"
start_emulator run2 --count 20000 --rate 9009 --mix std,ext --seed 12
FROM=$(now_ms)
# (the adapter's going away ends the run with exit status 1)
status=0
timeout 120 "$TELLTRAIL" "$DEVICE" 1 127.0.0.1 mysql > "$DIR/run2.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "run 2: telltrail exit status $status"
TO=$(now_ms)
wait "$EMU_PID" || fail "run 2: emulator exit status $?"
if [ "${DEVICE#tty}" != "$DEVICE" ]; then
  grep -q "^mysql host: 127.0.0.1\$" "$DIR/run2.out" || fail "run 2: no mysql host line"
fi
grep -q " terminated\$" "$DIR/run2.out" || fail "run 2: no termination line"
if grep -E -q "overflow|not forwarded|^mysql_|^mysql (commit|transaction)" "$DIR/run2.out"; then
  fail "run 2: $(grep -E "overflow|not forwarded|^mysql" "$DIR/run2.out" | head -n 3)"
fi
check_rows run2 "$DIR/run2.sent" "$FROM" "$TO"
echo "run 2 (TCP): $(cat "$DIR/run2.compare"); $(tail -n 1 "$DIR/run2-emu.err" | sed 's/^can232emu: //')"

# --- 3. Settings file: the mysql element's parameters, with their fallbacks.
sql "TRUNCATE can_log"
cat > "$DIR/good.xml" <<XML
<telltrail>
  <device Name="$DEVICE"/>
  <sleep Name="1"/>
  <ip_address Name="127.0.0.1"/>
  <mysql User="pi" PW="quillfern" Database="canlog"/>
  <log_file Name="$DIR/beside"/>
</telltrail>
XML
start_emulator run3 --count 500 --rate 1000 --mix std,ext,rtr --seed 13
FROM=$(now_ms)
status=0
timeout 60 "$TELLTRAIL" "$DIR/good.xml" > "$DIR/run3.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "run 3: telltrail exit status $status"
TO=$(now_ms)
wait "$EMU_PID" || true
grep -q " terminated\$" "$DIR/run3.out" || fail "run 3: no termination line"
check_rows run3 "$DIR/run3.sent" "$FROM" "$TO"
# The log file runs beside the database, with every frame.
"$COMPARE" "$DIR/run3.sent" "$DIR"/beside_* > "$DIR/run3-log.compare" ||
  fail "run 3: the log file beside the database differs: $(cat "$DIR/run3-log.compare")"
echo "run 3 (settings file): $(cat "$DIR/run3.compare"); log file beside it: $(cat "$DIR/run3-log.compare")"

cat > "$DIR/bad.xml" <<XML
<telltrail><device Name="can0"/><mysql User="pi" Password="Wr0ng-Secret"/></telltrail>
XML
status=0
"$TELLTRAIL" "$DIR/bad.xml" > "$DIR/bad.out" 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "wrong password: exit status $status"
grep -q "^mysql_real_connect: Access denied for user 'pi'@'localhost'" "$DIR/bad.out" ||
  fail "wrong password: no connect error"
grep -q '^can not open database "canlog" (Host: localhost  User: pi,  Password: \*\*\*)$' \
  "$DIR/bad.out" || fail "wrong password: no masked database line"
if grep -q "Wr0ng-Secret" "$DIR/bad.out"; then fail "wrong password: the password was printed"; fi
if grep -q "^device:" "$DIR/bad.out"; then fail "wrong password: the run started"; fi
echo "wrong password: refused, exit status 255, password masked"

# The same with a spool: the capture starts first and the delivery thread's
# test finds the settings wrong: the same lines, exit status 255.
start_emulator badspool --rate 100 --mix std --seed 16 --linger
cat > "$DIR/badspool.xml" <<XML
<telltrail><device Name="$DEVICE"/><mysql User="pi" Password="Wr0ng-Secret"/><spool Name="$DIR/badspool.spool"/></telltrail>
XML
status=0
timeout 60 "$TELLTRAIL" "$DIR/badspool.xml" > "$DIR/badspool.out" 2>&1 || status=$?
kill -TERM "$EMU_PID"; wait "$EMU_PID" || true
[ "$status" -eq 255 ] || fail "wrong password with a spool: exit status $status: $(cat "$DIR/badspool.out")"
grep -q "^mysql_real_connect: Access denied for user 'pi'@'localhost'" "$DIR/badspool.out" ||
  fail "wrong password with a spool: no connect error"
grep -q '^can not open database "canlog" (Host: localhost  User: pi,  Password: \*\*\*)$' \
  "$DIR/badspool.out" || fail "wrong password with a spool: no masked database line"
echo "wrong password with a spool: refused once the capture runs, exit status 255"

# --- 4. Client library unusable: start-up fails with the loader's message.
# expect_refused NAME MESSAGE COMMAND...: a line begins with MESSAGE.
expect_refused() {
  local name=$1 message=$2; shift 2
  local status=0
  "$@" > "$DIR/$name.out" 2>&1 || status=$?
  [ "$status" -eq 255 ] || fail "$name: exit status $status"
  awk -v m="$message" 'index($0, m) == 1 { found = 1 } END { exit !found }' "$DIR/$name.out" ||
    fail "$name: no line beginning \"$message\""
  if grep -q " terminated\$" "$DIR/$name.out"; then fail "$name: the run started"; fi
  echo "$name: \"$message\", exit status 255"
}
expect_refused missing-name 'mysql methode "mysql_fetch_row" not loaded' \
  env LD_LIBRARY_PATH="$STANDINS/standin-missing" "$TELLTRAIL" can0 1 localhost mysql
expect_refused unloadable 'libmysqlclient.so not found' \
  env LD_LIBRARY_PATH="$STANDINS/standin-broken" "$TELLTRAIL" can0 1 localhost mysql
# A board without the library: hidden behind an empty file in a mount
# namespace of its own.
: > "$DIR/empty"
if unshare -m true 2> /dev/null; then
  expect_refused hidden-library 'libmysqlclient.so not found' \
    unshare -m sh -c 'for f in /usr/lib/*/libmysqlclient.so /usr/lib/libmysqlclient.so; do
                        [ -e "$f" ] && mount --bind "$1" "$(readlink -f "$f")"; done
                      shift; exec "$@"' sh "$DIR/empty" "$TELLTRAIL" can0 1 localhost mysql
else
  echo "SKIP hidden library: no mount namespace here (unshare -m not permitted)"
fi

# --- 5. Server stopped during a run: the next period's open fails with the
# library's message and the run ends by itself (exit status 1); what was
# stored before is
# the sent frames' beginning.
sql "TRUNCATE can_log"
start_emulator run5 --rate 200 --mix std,ext --seed 15 --linger
"$TELLTRAIL" "$DEVICE" 1 localhost mysql > "$DIR/run5.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
wait_for 30 has_rows 300 || fail "run 5: rows did not arrive"
"$SERVER" halt "$DIR/db"
wait_for 30 exited "$TT_PID" || fail "run 5: telltrail did not end after the server stopped"
status=0
wait "$TT_PID" || status=$?
kill -TERM "$EMU_PID"; wait "$EMU_PID" || true
[ "$status" -eq 1 ] || fail "run 5: exit status $status"
# (a stop that meets a period's insert ends the run on that statement)
grep -Eq "^mysql_real_connect: Can't connect to local server through socket|^mysql_query: " "$DIR/run5.out" ||
  fail "run 5: no connect error"
tail -n 1 "$DIR/run5.out" | grep -q " terminated\$" || fail "run 5: no termination line at the end"

# Down at start-up: the connect error, the capture halted, exit status 255.
expect_refused server-down "mysql_real_connect: Can't connect to server on '127.0.0.1'" \
  "$TELLTRAIL" can0 1 127.0.0.1 mysql

"$SERVER" resume "$DIR/db" > /dev/null
STORED=$(row_count)
head -n "$STORED" "$DIR/run5.sent" > "$DIR/run5.stored"
check_rows run5 "$DIR/run5.stored" 0 "$(now_ms)"
echo "run 5 (server stopped): run ended by itself; $(cat "$DIR/run5.compare")"
echo PASS
