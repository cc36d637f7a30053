#!/usr/bin/env bash
# Store and forward end to end: can232emu sends frames on a pseudo-terminal,
# telltrail (settings file with <spool>) forwards them to a throwaway MariaDB
# server or to the PUT receiver behind nginx, and the far side goes away:
#
#   1. the database stopped 3 s into a run and started 6 s later: every
#      frame in the table once, in id order = frame order; SIGTERM: exit 0
#   2. the database down at start-up: the run goes on and delivers every
#      frame once the server is up
#   3. a database address that takes no packets: the run goes on, frames go
#      to the spool, SIGTERM still ends the run within seconds; the capture
#      does not wait for it: the kept frames' receive times are within 2 s
#      of their sending
#   4. the database down, kill -9 of telltrail, the server up, a second run
#      with the same settings: the first run's spooled frames, then the
#      second's, each once
#   5. a spool that would pass its MaxMB: the oldest frames dropped with a
#      count, the newest delivered
#   6. the spool directory on a small tmpfs that fills up: frames dropped
#      with a count, the run goes on
#   7. the PUT receiver's web server away for 4 s: every frame arrives, in
#      order
#   8. the server read-only for 3 s, the INSERT grant revoked for 5 s, the
#      table renamed away for 5 s: each an outage (away and back lines),
#      every frame stored once in order, none set aside as refused
#   9. rows the table refuses on their own: those frames alone in
#      rejected.log, every other frame stored in order; rejected.sql, sent
#      once the cause is mended, stores them as they were
#  10. one settings file with a candump log file, the database (a second
#      server) and PUT batches, that database away for 6 s: the log file and
#      the PUT batches go on meanwhile, every frame in the file and both tables
#  11. the spool folder removed while the database is away: exactly the
#      frames it held are lost and said, every other frame stored in order
# Runs as root in namespaces of its own (network: port 80; mount: tmpfs).
#
#   spool_end_to_end.sh TELLTRAIL CAN232EMU CANDUMP_COMPARE
set -euo pipefail

TELLTRAIL=$1
EMU=$2
COMPARE=$3
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
HTTPSERVER=$ROOT/tools/httpserver/httpserver.sh
DBSERVER=$ROOT/tools/mariadb/test-server.sh

# shellcheck source=../../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
require_pdo_mysql
if [ -z "${TT_OWN_MOUNTS:-}" ] && [ "$(id -u)" -eq 0 ] && unshare -m true 2> /dev/null; then
  TT_OWN_MOUNTS=1 exec unshare -m --propagation private "$0" "$@"
fi
enter_network_namespace "nginx mariadbd /usr/bin/python3" "$0" "$@"
make_workdir ttspool
CLEANUP_EXTRA='umount "$DIR/small" 2> /dev/null; "$HTTPSERVER" stop "$DIR/http" > /dev/null 2>&1; "$DBSERVER" stop "$DIR/db" > /dev/null 2>&1'
DEVICE="..$DIR/ttyE2E"

"$DBSERVER" start "$DIR/db" > "$DIR/db.out" 2>&1 || fail "database server: $(cat "$DIR/db.out")"
set -a
# shellcheck disable=SC1091
. "$DIR/db/env" # the client library's default socket and port
set +a
sql() { "$DBSERVER" sql "$DIR/db" canlog -N -B -e "$1"; }
rows() { sql "SELECT COUNT(*) FROM can_log"; }
db_halt() { "$DBSERVER" halt "$DIR/db"; }
db_resume() { "$DBSERVER" resume "$DIR/db" > /dev/null; }

# settings NAME OUTPUT...: a settings file with a spool in $DIR/NAME.spool.
settings() {
  local name=$1; shift
  { echo "<telltrail><device Name=\"$DEVICE\"/><sleep Name=\"1\"/>"
    printf '%s\n' "$@"
    echo "</telltrail>"; } > "$DIR/$name.xml"
}
MYSQL_OUT='<mysql Host="localhost" User="pi" Password="quillfern" DB="canlog"/>'

sent() { wc -l < "$DIR/$1.sent"; }
# table_is NAME SENT: the table, in id order, is exactly the sent frames.
table_is() {
  sql "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY id" > "$DIR/$1.rows"
  "$COMPARE" "$2" "$DIR/$1.rows" > "$DIR/$1.compare" || fail "$1: table differs: $(cat "$DIR/$1.compare")"
}

# --- 1. The database away for 6 s in the middle of a run.
settings db1 "$MYSQL_OUT" "<spool Name=\"$DIR/db1.spool\"/>"
start_emulator db1 --count 6000 --rate 500 --mix std,ext,rtr --seed 41
start_telltrail db1 "$DIR/db1.xml"
# outage NAME OUTPUT ROWS_BEFORE DOWN SECONDS UP ROWS: ROWS_BEFORE rows
# stored, the far side taken down for SECONDS, away and back lines from
# OUTPUT, then all ROWS in the table in frame order.
outage() {
  local name=$1 output=$2
  wait_for 20 eval "[ \"\$(rows)\" -ge $3 ]" || fail "$name: no rows"
  $4
  wait_for 15 grep -q "^$output away: .*; frames are kept in the spool\$" "$DIR/$name.out" ||
    fail "$name: no away line"
  sleep "$5"
  $6
  wait_for 90 grep -q "^$output back: [0-9]* spooled frames delivered\$" "$DIR/$name.out" ||
    fail "$name: no back line"
  wait_for 20 eval "[ \"\$(rows)\" -ge $7 ]" || fail "$name: $(rows) rows of $(sent "$name")"
  stop_telltrail "$name" 10
  stop_emulator
  table_is "$name" "$DIR/$name.sent"
  OUTAGE="$(cat "$DIR/$name.compare"); $(grep "^$output back" "$DIR/$name.out")"
}
outage db1 mysql 1000 db_halt 6 db_resume 6000
echo "1. database away 6 s: $OUTAGE"

# --- 2. The database down at start-up.
sql "TRUNCATE can_log"
db_halt
settings db2 "$MYSQL_OUT" "<spool Name=\"$DIR/db2.spool\"/>"
start_emulator db2 --count 3000 --rate 300 --mix std,ext --seed 42
start_telltrail db2 "$DIR/db2.xml"
wait_for 15 grep -q "^mysql away: " "$DIR/db2.out" || fail "db2: no away line"
sleep 3
exited "$TT_PID" && fail "db2: telltrail ended with the database down"
db_resume
wait_for 90 grep -q "^mysql back: " "$DIR/db2.out" || fail "db2: no back line"
wait_for 20 eval '[ "$(rows)" -ge 3000 ]' || fail "db2: $(rows) rows of $(sent db2)"
stop_telltrail db2 10
stop_emulator
table_is db2 "$DIR/db2.sent"
echo "2. database down at start-up: $(cat "$DIR/db2.compare")"

# --- 3. A database address that takes no packets: a listener whose accept
# queue is full drops further connection requests unanswered.
/usr/bin/python3 -c '
import socket, sys, time
l = socket.socket(); l.bind(("127.0.0.1", 0)); l.listen(0)
f = socket.socket(); f.connect(l.getsockname())
print(l.getsockname()[1], flush=True)
time.sleep(600)' > "$DIR/silent.port" &
PIDS+=($!)
wait_for 10 test -s "$DIR/silent.port" || fail "silent host: no port"
settings db3 "<mysql Host=\"127.0.0.1\" User=\"pi\" Password=\"quillfern\" DB=\"canlog\"/>" \
  "<spool Name=\"$DIR/db3.spool\"/>"
start_emulator db3 --rate 500 --mix std,ext --seed 43
MYSQL_TCP_PORT=$(cat "$DIR/silent.port") start_telltrail db3 "$DIR/db3.xml"
wait_for 30 grep -q "^mysql away: " "$DIR/db3.out" || fail "db3: no away line"
sleep 4
stop_telltrail db3 10
stop_emulator
grep -q "^spool: [0-9]* frames kept for the next run\$" "$DIR/db3.out" || fail "db3: nothing kept in the spool"
echo "3. silent database address: $(grep "^mysql away" "$DIR/db3.out"); $(grep "kept for the next run" "$DIR/db3.out"); stopped $STOP_SECONDS s after SIGTERM"
# The capture did not wait for the silent server: the kept frames, delivered
# by a run against the real server, carry their receive times, within 2 s
# of when the adapter sent them.
kept=$(sed -n 's/^spool: \([0-9]*\) frames kept for the next run$/\1/p' "$DIR/db3.out")
sql "TRUNCATE can_log"
settings db3b "$MYSQL_OUT" "<spool Name=\"$DIR/db3.spool\"/>"
start_emulator db3b --count 1 --rate 10 --seed 50
start_telltrail db3b "$DIR/db3b.xml"
wait_for 60 eval "[ \"\$(rows)\" -ge $kept ]" || fail "db3: $(rows) rows of $kept kept"
stop_telltrail db3b 10
stop_emulator
sql "SELECT timestamp FROM can_log ORDER BY id LIMIT $kept" > "$DIR/db3.times"
lag=$(head -n "$kept" "$DIR/db3.sent" | sed 's/^(\([0-9]*\)\.\([0-9][0-9][0-9]\).*/\1\2/' |
      paste - "$DIR/db3.times" | awk '{ d = $2 - $1; if (d < 0) d = -d; if (d > m) m = d } END { print m + 0 }')
[ "$(wc -l < "$DIR/db3.times")" -eq "$kept" ] && [ "$lag" -le 2000 ] ||
  fail "db3: kept frames stamped up to $lag ms away from their sending"
echo "3b. the $kept kept frames stamped within $lag ms of their sending"

# --- 4. kill -9 with frames in the spool, then a second run.
sql "TRUNCATE can_log"
db_halt
settings db4 "$MYSQL_OUT" "<spool Name=\"$DIR/db4.spool\"/>"
start_emulator db4a --rate 400 --mix std,ext,rtr --seed 44
start_telltrail db4a "$DIR/db4.xml"
wait_for 15 grep -q "^mysql away: " "$DIR/db4a.out" || fail "db4: no away line"
sleep 3
kill -KILL "$TT_PID"
stop_emulator
db_resume
start_emulator db4b --count 800 --rate 400 --mix std,ext,rtr --seed 45
start_telltrail db4b "$DIR/db4.xml"
grep -q "^spool: .*, [0-9]* frames from an earlier run to deliver\$" "$DIR/db4b.out" ||
  wait_for 5 grep -q "frames from an earlier run to deliver\$" "$DIR/db4b.out" ||
  fail "db4: the second run found nothing in the spool"
kept=$(sed -n 's/.*, \([0-9]*\) frames from an earlier run to deliver$/\1/p' "$DIR/db4b.out")
wait_for 60 eval '[ "$(rows)" -ge $((kept + 800)) ]' || fail "db4: $(rows) rows of $kept + 800"
stop_telltrail db4b 10
stop_emulator
# The first run's rows are the frames it had spooled (those still in memory
# at the kill are gone), the second run's follow.
sql "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY id" > "$DIR/db4.rows"
head -n "$kept" "$DIR/db4.rows" > "$DIR/db4a.rows"
tail -n +"$((kept + 1))" "$DIR/db4.rows" > "$DIR/db4b.rows"
head -n "$kept" "$DIR/db4a.sent" > "$DIR/db4a.kept"
"$COMPARE" "$DIR/db4a.kept" "$DIR/db4a.rows" > "$DIR/db4a.compare" || fail "db4: first run: $(cat "$DIR/db4a.compare")"
"$COMPARE" "$DIR/db4b.sent" "$DIR/db4b.rows" > "$DIR/db4b.compare" || fail "db4: second run: $(cat "$DIR/db4b.compare")"
echo "4. kill -9, second run: first run $(cat "$DIR/db4a.compare") (of $(sent db4a) sent), then $(cat "$DIR/db4b.compare")"

# --- 5. A spool of 1 MB (32768 frames) that fills: the oldest are dropped.
sql "TRUNCATE can_log"
db_halt
settings db5 "$MYSQL_OUT" "<spool Name=\"$DIR/db5.spool\" MaxMB=\"1\"/>"
start_emulator db5 --count 45000 --rate 5000 --mix std,ext --seed 46
start_telltrail db5 "$DIR/db5.xml"
wait_for 30 eval '[ "$(sent db5)" -ge 45000 ]' || fail "db5: the emulator did not send its frames"
wait_for 10 grep -q "^spool .* full (1 MB): [0-9]* oldest frames dropped\$" "$DIR/db5.out" ||
  fail "db5: no spool-full line"
db_resume
wait_for 60 grep -q "^mysql back: " "$DIR/db5.out" || fail "db5: no back line"
stop_telltrail db5 10
stop_emulator
dropped=$(sum_reported "$DIR/db5.out" '^spool .* full (1 MB): \([0-9]*\) oldest frames dropped$')
[ $(( $(rows) + dropped )) -eq 45000 ] || fail "db5: $(rows) rows + $dropped dropped is not 45000"
sed -n "$((dropped + 1)),\$p" "$DIR/db5.sent" > "$DIR/db5.kept"
table_is db5 "$DIR/db5.kept"
echo "5. spool of 1 MB: $dropped oldest frames dropped and reported, the newest $(rows) delivered in order"

# --- 6. The spool on a small tmpfs that fills up.
sql "TRUNCATE can_log"
db_halt
mkdir "$DIR/small"
if mount -t tmpfs -o size=192k tmpfs "$DIR/small" 2> /dev/null; then
  settings db6 "$MYSQL_OUT" "<spool Name=\"$DIR/small/spool\" MaxMB=\"64\"/>"
  start_emulator db6 --count 20000 --rate 4000 --mix std,ext --seed 47
  start_telltrail db6 "$DIR/db6.xml"
  wait_for 30 eval '[ "$(sent db6)" -ge 20000 ]' || fail "db6: the emulator did not send its frames"
  wait_for 10 grep -q -e "^spool .* not written: ENOSPC" -e "oldest frames dropped\$" "$DIR/db6.out" ||
    fail "db6: a full disk went unreported"
  exited "$TT_PID" && fail "db6: the run ended on a full spool"
  db_resume
  wait_for 60 grep -q "^mysql back: " "$DIR/db6.out" || fail "db6: no back line"
  stop_telltrail db6 10
  stop_emulator
  gone=$(( $(sum_reported "$DIR/db6.out" '^spool .* not written: .*: \([0-9]*\) frames lost$') +
           $(sum_reported "$DIR/db6.out" '^spool .* full .*: \([0-9]*\) oldest frames dropped$') ))
  [ $(( $(rows) + gone )) -eq 20000 ] || fail "db6: $(rows) rows + $gone reported is not 20000"
  echo "6. spool on a full 192 KB tmpfs: $gone frames reported dropped or lost, $(rows) delivered, the run went on"
  umount "$DIR/small"
else
  echo "SKIP 6: cannot mount a tmpfs here"
fi

# --- 7. The PUT receiver's web server away for 4 s.
sql "TRUNCATE can_log"
cat > "$DIR/put_can_log.ini" << INI
header = "USE canlog"
db_socket = "$MYSQL_UNIX_PORT"
db_name = "canlog"
db_user = "pi"
db_password = "quillfern"
INI
start_http() {
  HTTPSERVER_ROOT=$ROOT/server TELLTRAIL_PUT_CONFIG=$DIR/put_can_log.ini \
    "$HTTPSERVER" start nginx "$DIR/http" 127.0.0.1 80 > "$DIR/http.start" 2>&1 ||
    fail "nginx did not start: $(cat "$DIR/http.start")"
}
start_http
settings put7 '<mysql_put Name="USE canlog"/>' '<ip_address Name="127.0.0.1"/>' \
  "<spool Name=\"$DIR/put7.spool\"/>"
start_emulator put7 --count 6000 --rate 500 --mix std,ext,rtr --seed 48
start_telltrail put7 "$DIR/put7.xml"
stop_http() { "$HTTPSERVER" stop "$DIR/http" > /dev/null; }
outage put7 "HTTP PUT" 500 stop_http 4 start_http 6000
echo "7. web server away 4 s: $OUTAGE"

# --- 8. The server refuses every row for a while: not the rows' fault.
down_read_only() { sql "SET GLOBAL read_only=1"; }
up_read_only() { sql "SET GLOBAL read_only=0"; }
down_grant() { sql "REVOKE INSERT ON canlog.* FROM 'pi'@'localhost', 'pi'@'127.0.0.1'"; }
up_grant() { sql "GRANT INSERT ON canlog.* TO 'pi'@'localhost', 'pi'@'127.0.0.1'"; }
down_table() { sql "RENAME TABLE can_log TO can_log_away"; }
up_table() { sql "RENAME TABLE can_log_away TO can_log"; }
for refusal in "read_only 3" "grant 5" "table 5"; do
  read -r what seconds <<< "$refusal"
  name=refused_$what
  sql "TRUNCATE can_log"
  settings "$name" "$MYSQL_OUT" "<spool Name=\"$DIR/$name.spool\"/>"
  start_emulator "$name" --count 4000 --rate 500 --mix std,ext,rtr --seed 49
  start_telltrail "$name" "$DIR/$name.xml"
  outage "$name" mysql 500 "down_$what" "$seconds" "up_$what" 4000
  ! grep -q "refused frame" "$DIR/$name.out" ||
    fail "$name: frames set aside: $(grep -m3 "refused frame" "$DIR/$name.out")"
  [ ! -e "$DIR/$name.spool/rejected.log" ] || fail "$name: rejected.log written"
  echo "8. $what refused for $seconds s: $OUTAGE; $(grep -m1 "^mysql away" "$DIR/$name.out")"
done
# --- 9. A table that refuses some rows on their own (d0 = 13): those frames
# alone are set aside in rejected.log, in candump form; all others stored.
sql "TRUNCATE can_log"
sql "ALTER TABLE can_log ADD CONSTRAINT no_13 CHECK (d0 IS NULL OR d0 <> 13)"
settings refused_rows "$MYSQL_OUT" "<spool Name=\"$DIR/refused_rows.spool\"/>"
start_emulator refused_rows --count 4000 --rate 1000 --mix std,ext,rtr --seed 51
start_telltrail refused_rows "$DIR/refused_rows.xml"
wait_for 30 eval '[ "$(sent refused_rows)" -ge 4000 ]' || fail "refused_rows: the emulator did not send its frames"
grep '#0D' "$DIR/refused_rows.sent" | cut -d ' ' -f 3 > "$DIR/refused_rows.bad" || true
bad=$(wc -l < "$DIR/refused_rows.bad")
wait_for 30 eval '[ "$(rows)" -ge $((4000 - bad)) ]' || fail "refused_rows: $(rows) rows of 4000 - $bad"
stop_telltrail refused_rows 10
stop_emulator
sql "ALTER TABLE can_log DROP CONSTRAINT no_13"
[ "$bad" -gt 0 ] || fail "refused_rows: no frame with d0 = 13 sent"
# The stored rows are the other frames in order (their counters, with gaps
# where frames were set aside, renumbered for the comparison); the stored
# and the reported counters together are every counter once.
grep -v '#0D' "$DIR/refused_rows.sent" > "$DIR/refused_rows.good"
sql "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY id" > "$DIR/refused_rows.rows"
awk 'BEGIN { FS = OFS = "\t" } NR == 1 { first = $1 } { $1 = first + NR - 1; print }' \
  "$DIR/refused_rows.rows" > "$DIR/refused_rows.renumbered"
"$COMPARE" "$DIR/refused_rows.good" "$DIR/refused_rows.renumbered" > "$DIR/refused_rows.compare" ||
  fail "refused_rows: table differs: $(cat "$DIR/refused_rows.compare")"
{ cut -f 1 "$DIR/refused_rows.rows"
  sed -n 's/^mysql refused frame \([0-9]*\): .*/\1/p' "$DIR/refused_rows.out"; } | sort -n > "$DIR/refused_rows.counters"
first=$(head -n 1 "$DIR/refused_rows.counters")
seq "$first" $((first + 3999)) | cmp -s - "$DIR/refused_rows.counters" ||
  fail "refused_rows: stored and refused counters are not every counter once"
cut -d ' ' -f 3 "$DIR/refused_rows.spool/rejected.log" | cmp -s - "$DIR/refused_rows.bad" ||
  fail "refused_rows: rejected.log is not the refused frames: $(head -3 "$DIR/refused_rows.spool/rejected.log")"
[ "$(grep -c "^mysql refused frame [0-9]*: mysql: .*no_13.*; set aside in $DIR/refused_rows.spool/rejected.log\$" \
     "$DIR/refused_rows.out")" -eq "$bad" ] || fail "refused_rows: not one line per refused frame"
! grep -q "away" "$DIR/refused_rows.out" || fail "refused_rows: a refused row taken for an outage"
echo "9. $bad rows refused on their own: set aside in rejected.log, $(cat "$DIR/refused_rows.compare")"
# The cause mended, rejected.sql stores the set-aside frames as they were
# (number and time); sent twice, they are stored once.
for _ in 1 2; do "$DBSERVER" sql "$DIR/db" canlog < "$DIR/refused_rows.spool/rejected.sql"; done
sql "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY counter" > "$DIR/refused_rows.all"
"$COMPARE" "$DIR/refused_rows.sent" "$DIR/refused_rows.all" > "$DIR/refused_rows.compare2" ||
  fail "refused_rows: after rejected.sql the table differs: $(cat "$DIR/refused_rows.compare2")"
echo "   rejected.sql sent again (twice): $(cat "$DIR/refused_rows.compare2")"
# --- 10. Every output at once: log file, database (a second server of its
# own), PUT batches (stored by the receiver in the first), each with its own
# spool.
sql "TRUNCATE can_log"
"$DBSERVER" start "$DIR/db8" > "$DIR/db8.start" 2>&1 || fail "second database server: $(cat "$DIR/db8.start")"
CLEANUP_EXTRA="$CLEANUP_EXTRA; \"\$DBSERVER\" stop \"\$DIR/db8\" > /dev/null 2>&1"
sql8() { "$DBSERVER" sql "$DIR/db8" canlog -N -B -e "$1"; }
rows8() { sql8 "SELECT COUNT(*) FROM can_log"; }
settings all8 "<log_file Name=\"$DIR/all8\" Format=\"candump\"/>" "$MYSQL_OUT" \
  '<mysql_put Name="USE canlog"/>' '<ip_address Name="127.0.0.1"/>' "<spool Name=\"$DIR/all8.spool\"/>"
start_emulator all8 --count 6000 --rate 500 --mix std,ext,rtr --seed 49
MYSQL_UNIX_PORT=$(sed -n 's/^MYSQL_UNIX_PORT=//p' "$DIR/db8/env") start_telltrail all8 "$DIR/all8.xml"
logged() { cat "$DIR"/all8_*.log 2> /dev/null | wc -l; }
wait_for 20 eval '[ "$(rows8)" -ge 1000 ]' || fail "all8: no rows"
"$DBSERVER" halt "$DIR/db8"
wait_for 15 grep -q "^mysql away: " "$DIR/all8.out" || fail "all8: no away line"
at_halt=$(logged)
# The log file and the PUT batches go on while the database is away.
wait_for 10 eval '[ "$(logged)" -ge $((at_halt + 1000)) ]' || fail "all8: the log file stood still"
wait_for 10 eval '[ "$(rows)" -ge $((at_halt + 1000)) ]' || fail "all8: the PUT batches stood still"
"$DBSERVER" resume "$DIR/db8" > /dev/null
wait_for 90 grep -q "^mysql back: " "$DIR/all8.out" || fail "all8: no back line"
wait_for 30 eval '[ "$(rows8)" -ge 6000 ] && [ "$(rows)" -ge 6000 ]' || fail "all8: $(rows8) and $(rows) rows of 6000"
stop_telltrail all8 10
stop_emulator
for out in "log file: $DIR/all8_" "output: mysql" "output: HTTP PUT" "spool: $DIR/all8.spool/mysql " \
           "spool: $DIR/all8.spool/put "; do
  grep -q "^$out" "$DIR/all8.out" || fail "all8: start-up block without \"$out\""
done
table_is all8 "$DIR/all8.sent"
sql8 "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY id" > "$DIR/all8.rows8"
"$COMPARE" "$DIR/all8.sent" "$DIR/all8.rows8" > "$DIR/all8.compare8" || fail "all8: database table differs: $(cat "$DIR/all8.compare8")"
"$COMPARE" "$DIR/all8.sent" "$DIR"/all8_*.log > "$DIR/all8.compare3" || fail "all8: log file differs: $(cat "$DIR/all8.compare3")"
echo "10. every output at once, database away 6 s: database $(cat "$DIR/all8.compare8"); PUT $(cat "$DIR/all8.compare"); log file $(cat "$DIR/all8.compare3")"

# --- 11. The spool folder removed while the database is away: the frames
# in it are lost, counted and said; the folder is made again, and every
# other frame is stored once in order.
sql "TRUNCATE can_log"
db_halt
settings gone11 "$MYSQL_OUT" "<spool Name=\"$DIR/gone11.spool\"/>"
start_emulator gone11 --count 6000 --rate 500 --mix std,ext --seed 53
start_telltrail gone11 "$DIR/gone11.xml"
wait_for 15 grep -q "^mysql away: " "$DIR/gone11.out" || fail "gone11: no away line"
wait_for 20 eval '[ "$(sent gone11)" -ge 2000 ]' || fail "gone11: the emulator did not send"
rm -rf "$DIR/gone11.spool"
wait_for 10 grep -q "^spool $DIR/gone11.spool removed or replaced during the run: [0-9]* waiting frames lost with it\$" \
  "$DIR/gone11.out" || fail "gone11: the removed folder went unreported: $(grep spool "$DIR/gone11.out")"
wait_for 10 grep -q "^spool $DIR/gone11.spool in use again\$" "$DIR/gone11.out" || fail "gone11: folder not made again"
db_resume
wait_for 90 grep -q "^mysql back: " "$DIR/gone11.out" || fail "gone11: no back line"
gone=$(sum_reported "$DIR/gone11.out" '^spool .* during the run: \([0-9]*\) waiting frames lost with it$')
wait_for 30 eval '[ $(( $(rows) + gone )) -ge 6000 ]' || fail "gone11: $(rows) rows + $gone reported lost of 6000"
stop_telltrail gone11 10
stop_emulator
# The lost frames are the ones the folder held: one run of frames, after
# the first `before` ones.
before=$(sql "SELECT IFNULL(MIN(n) - 1, COUNT(*)) FROM (SELECT ROW_NUMBER() OVER (ORDER BY id) n,
              counter - LAG(counter) OVER (ORDER BY id) step FROM can_log) t WHERE step <> 1")
[ "$gone" -gt 0 ] && [ $(( $(rows) + gone )) -eq 6000 ] || fail "gone11: $(rows) rows + $gone reported lost is not 6000"
sed -e "$((before + 1)),$((before + gone))d" "$DIR/gone11.sent" > "$DIR/gone11.kept"
table_is gone11 "$DIR/gone11.kept"
echo "11. spool folder removed during an outage: $gone frames reported lost with it, the other $(rows) stored in order: $(cat "$DIR/gone11.compare")"
echo PASS
