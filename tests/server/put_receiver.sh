#!/usr/bin/env bash
# The PUT receiver (server/put_can_log.php) behind nginx with php-fpm on
# port 80, storing into a throwaway MariaDB server as a user that may only
# insert:
#   1. telltrail's batches (frames from the CAN232 emulator, batches split
#      past 498999 characters) become rows equal to the frames sent, and the
#      receiver's answer is printed after "result: ";
#   2. bodies that are not the logger's (another statement, a string, a
#      subquery, a second header, another header, numbers out of range, a
#      good line followed by a bad one, another method) are refused with an
#      error status and change nothing; a good body is still taken after them;
#   3. boards with header lines of their own: each row carries its board, an
#      unknown header is refused (403) and never shows in full in answers or
#      logs, a batch sent again is stored once (200 both times), a table of
#      an older telltrail (no column source) still takes rows, and a database
#      that fails in the middle of a batch, is stopped or would change a value
#      answers 503 and keeps nothing of the batch;
#   4. telltrail with a spool as a board with a key: answers that come too
#      late (a batch held in the table) and a database stopped during the run (503);
#      the frames are kept, sent again and each stored once.
# Runs in a network namespace of its own (unshare -n, as root).
#
#   put_receiver.sh TELLTRAIL CAN232EMU CANDUMP_COMPARE
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
enter_network_namespace "nginx curl mariadbd" "$0" "$@"
make_workdir ttputrecv
CLEANUP_EXTRA='"$HTTPSERVER" stop "$DIR/http" > /dev/null 2>&1; "$DBSERVER" stop "$DIR/db" > /dev/null 2>&1'
HEADER="USE canlog"
DEVICE="..$DIR/ttyE2E"

"$DBSERVER" start "$DIR/db" > "$DIR/db.out" 2>&1 || fail "database server: $(cat "$DIR/db.out")"
sql() { "$DBSERVER" sql "$DIR/db" canlog -N -B -e "$1"; }
rows() { sql "SELECT COUNT(*) FROM can_log"; }
sql "CREATE USER 'telltrail_put'@'localhost' IDENTIFIED BY 'put-Secret-7';
     GRANT INSERT ON canlog.can_log TO 'telltrail_put'@'localhost'"
cat > "$DIR/put_can_log.ini" << INI
header = "$HEADER"
db_socket = "$(sed -n 's/^MYSQL_UNIX_PORT=//p' "$DIR/db/env")"
db_name = "canlog"
db_user = "telltrail_put"
db_password = "put-Secret-7"
INI
HTTPSERVER_ROOT=$ROOT/server TELLTRAIL_PUT_CONFIG=$DIR/put_can_log.ini \
  "$HTTPSERVER" start nginx "$DIR/http" 127.0.0.1 80 > "$DIR/http.start" 2>&1 ||
  fail "nginx did not start: $(cat "$DIR/http.start")"

# --- 1. telltrail's batches.
cat > "$DIR/put.xml" << XML
<telltrail>
  <device Name="$DEVICE"/>
  <sleep Name="3"/>
  <mysql_put Name="$HEADER"/>
  <ip_address Name="127.0.0.1"/>
</telltrail>
XML
"$EMU" --quiet --link "$DIR/ttyE2E" --sent-log "$DIR/put.sent" --linger --count 9000 --rate 4000 \
  --mix std,ext,rtr --seed 31 2> "$DIR/emu.err" &
EMU_PID=$!
PIDS+=("$EMU_PID")
wait_for 10 test -L "$DIR/ttyE2E" || fail "emulator link did not appear"
"$TELLTRAIL" "$DIR/put.xml" > "$DIR/put.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
wait_for 60 eval '[ "$(rows)" -ge 9000 ]' || fail "$(rows) rows of 9000"
kill -TERM "$TT_PID"
status=0
wait "$TT_PID" || status=$?
[ "$status" -eq 0 ] || fail "telltrail exit status $status"
kill -TERM "$EMU_PID"; wait "$EMU_PID" || true
sql "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY counter" > "$DIR/put.rows"
"$COMPARE" "$DIR/put.sent" "$DIR/put.rows" > "$DIR/put.compare" ||
  fail "table differs: $(cat "$DIR/put.compare")"
if grep -q "not connected" "$DIR/put.out"; then fail "a batch was not taken"; fi
answers=$(grep -c "^result: stored [0-9]* rows" "$DIR/put.out") || fail "no answer printed after \"result: \""
stored=$(sed -n 's/^result: stored \([0-9]*\) rows.*/\1/p' "$DIR/put.out" | awk '{ n += $1 } END { print n }')
[ "$stored" -eq 9000 ] || fail "the answers count $stored rows"
echo "telltrail's batches: $answers answers \"stored <n> rows\"; $(cat "$DIR/put.compare")"

# --- 2. Bodies that are not the logger's.
good="INSERT can_log(counter,timestamp,can_id,d0,d1) VALUES(70000,1796652309123,384,49,0);"
before=$(rows)
# put STATUS NAME BODY (\r\n in BODY become CR LF): the status of the answer.
put() {
  local expected=$1 name=$2 body=$3 method=${4:-PUT} code
  printf '%b' "$body" > "$DIR/body"
  code=$(curl -s -o "$DIR/answer" -w '%{http_code}' -X "$method" --data-binary "@$DIR/body" \
    http://127.0.0.1/put_can_log.php) || fail "$name: curl failed"
  [ "$code" = "$expected" ] || fail "$name: status $code, answer $(cat "$DIR/answer")"
}
while IFS='|' read -r status name body method; do
  put "$status" "$name" "$body" "$method"
  [ "$(rows)" -eq "$before" ] || fail "$name: the table changed"
  echo "refused with $status: $name ($(tr -d '\r\n' < "$DIR/answer"))"
done << CASES
400|DROP TABLE|$HEADER;\r\nDROP TABLE can_log;\r\n
400|good line, then DROP TABLE|$HEADER;\r\n$good\r\nDROP TABLE can_log;\r\n
400|a string value|$HEADER;\r\nINSERT can_log(counter,timestamp,can_id,d0) VALUES(1,2,3,'x');\r\n
400|a subquery|$HEADER;\r\nINSERT can_log(counter,timestamp,can_id,d0) VALUES(1,(SELECT 2),3,4);\r\n
400|a second statement on the line|$HEADER;\r\n$good DROP TABLE can_log;\r\n
400|a second header|$HEADER;\r\n$good\r\n$HEADER;\r\n
400|a data byte of 256|$HEADER;\r\nINSERT can_log(counter,timestamp,can_id,d0) VALUES(1,2,3,256);\r\n
400|a counter of 2^31|$HEADER;\r\nINSERT can_log(counter,timestamp,can_id) VALUES(2147483648,2,3);\r\n
400|data columns out of order|$HEADER;\r\nINSERT can_log(counter,timestamp,can_id,d1) VALUES(1,2,3,4);\r\n
400|an unknown column|$HEADER;\r\nINSERT can_log(counter,timestamp,can_id,id) VALUES(1,2,3,4);\r\n
400|an empty line between statements|$HEADER;\r\n$good\r\n\r\n$good\r\n
403|another header|USE mysql;\r\n$good\r\n
403|no header|$good\r\n
405|GET|$HEADER;\r\n$good\r\n|GET
CASES
sql "SELECT 1 FROM can_log LIMIT 1" > /dev/null || fail "the table is gone"

put 200 "two good lines" "$HEADER;\r\n$good\r\n${good/70000/70001}\r\n\r\n"
grep -q "^stored 2 rows" "$DIR/answer" || fail "good body: answer $(cat "$DIR/answer")"
[ "$(rows)" -eq $((before + 2)) ] || fail "good body: $(rows) rows, not $((before + 2))"
[ "$(sql "SELECT counter,timestamp,can_id,d0,d1,d2 FROM can_log WHERE counter = 70001")" = \
  "$(printf '70001\t1796652309123\t384\t49\t0\tNULL')" ] || fail "good body: row stored wrong"
echo "a good body after them: stored 2 rows"
# Times no receive time can have: refused and counted, the rest stored.
ahead=$(( $(date +%s) * 1000 + 86400000 ))
put 200 "rows outside the time window" "$HEADER;\r\n${good/70000/70002}\r\n$(for t in 9223372036854775807 \
  946684799999 $((ahead + 60000)); do printf '%s\\r\\n' "${good/70000,1796652309123/70003,$t}"; done)\
${good/70000,1796652309123/70004,$((ahead - 60000))}\r\n${good/70000,1796652309123/70005,946684800000}\r\n"
grep -q "^stored 3 rows (3 new, 0 already stored); 3 rows refused: time before 2000 or more than a day ahead" \
  "$DIR/answer" || fail "time window: answer $(cat "$DIR/answer")"
[ "$(sql "SELECT GROUP_CONCAT(counter ORDER BY counter) FROM can_log WHERE counter BETWEEN 70002 AND 70005")" \
  = "70002,70004,70005" ] || fail "time window: other rows stored"
echo "rows outside the time window: $(tr -d '\r\n' < "$DIR/answer")"

# --- 3. Boards, batches sent again, an older table, a failing database.
KEY1="USE canlog $(head -c 24 /dev/urandom | base64)"
KEY2="USE canlog $(head -c 24 /dev/urandom | base64)"
sql "CREATE DATABASE canlog_old;
     CREATE TABLE canlog_old.can_log (id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
       counter INT UNSIGNED NOT NULL, \`timestamp\` BIGINT NOT NULL, can_id INT UNSIGNED NOT NULL,
       d0 TINYINT, d1 TINYINT UNSIGNED, d2 TINYINT UNSIGNED, d3 TINYINT UNSIGNED,
       d4 TINYINT UNSIGNED, d5 TINYINT UNSIGNED, d6 TINYINT UNSIGNED, d7 TINYINT UNSIGNED,
       KEY time_range (\`timestamp\`, can_id));
     GRANT INSERT ON canlog_old.can_log TO 'telltrail_put'@'localhost'"
for db in canlog canlog_old; do
  { grep '^db_\|^header' "$DIR/put_can_log.ini" | sed "s/^db_name = .*/db_name = \"$db\"/"
    printf '[boards]\nhall-1 = "%s"\nhall-2 = "%s"\n' "$KEY1" "$KEY2"; } > "$DIR/$db.ini"
done
# batch HEADER FIRST COUNT: a batch of COUNT frames with counters from FIRST.
batch() {
  printf '%s;\\r\\n' "$1"
  for ((i = $2; i < $2 + $3; ++i)); do
    printf 'INSERT can_log(counter,timestamp,can_id,d0) VALUES(%d,1796652309123,384,%d);\\r\\n' "$i" $((i % 256))
  done
}
fail_at() {
  "$DBSERVER" sql "$DIR/db" canlog --delimiter=// -e "CREATE TRIGGER fail_at BEFORE INSERT ON can_log FOR EACH ROW
       IF NEW.counter = $1 THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'disk full'; END IF"
}
# A case: the settings (database), what happens before, the status, the
# batch, and the new rows it must leave with the board in source ('' none).
while IFS='|' read -r db before status name header first count new source; do
  cp "$DIR/$db.ini" "$DIR/put_can_log.ini"
  total=$(sql "SELECT COUNT(*) FROM $db.can_log")
  [ -z "$before" ] || eval "$before"
  put "$status" "$name" "$(batch "$header" "$first" "$count")"
  case $before in *halt*) "$DBSERVER" resume "$DIR/db" > /dev/null ;; esac
  sql "DROP TRIGGER IF EXISTS fail_at"
  [ "$(sql "SELECT COUNT(*) FROM $db.can_log")" -eq $((total + new)) ] ||
    fail "$name: $(( $(sql "SELECT COUNT(*) FROM $db.can_log") - total )) new rows, not $new"
  if [ "$status" = 200 ]; then
    grep -q "^stored $count rows ($new new, $((count - new)) already stored)" "$DIR/answer" ||
      fail "$name: answer $(cat "$DIR/answer")"
    [ "$db" = canlog_old ] ||
      [ "$(sql "SELECT COUNT(*) FROM can_log WHERE source = '$source' AND counter BETWEEN $first AND $((first + count - 1))")" \
        -eq "$count" ] || fail "$name: the rows do not carry source '$source'"
  fi
  if grep -qF -e "${KEY1#USE canlog }" -e "${KEY2#USE canlog }" "$DIR/answer" "$DIR"/http/logs/*; then
    fail "$name: a header line shows in an answer or a log"
  fi
  echo "$status: $name ($(tr -d '\r\n' < "$DIR/answer"))"
done << CASES
canlog||200|board hall-1|$KEY1|80000|3|3|hall-1
canlog||200|board hall-2, the same frames|$KEY2|80000|3|3|hall-2
canlog||200|hall-1's batch sent again|$KEY1|80000|3|0|hall-1
canlog||200|hall-1, a batch of several statements, part of it stored before|$KEY1|79900|250|247|hall-1
canlog||200|the same batch again|$KEY1|79900|250|0|hall-1
canlog||200|the header of older settings, no board|$HEADER|80000|3|3|
canlog||403|hall-1's header with a character more|${KEY1}x|80100|3|0|
canlog||403|hall-1's header less its last character|${KEY1%?}|80100|3|0|
canlog||403|hall-1's name for a header|hall-1|80100|3|0|
canlog_old||200|an older table without source|$KEY2|80128|3|3|
canlog_old||200|the older table, the batch again (no key: stored twice)|$KEY2|80128|3|3|
canlog_old||503|the older table, a value its (signed) d0 cannot hold|$KEY2|80380|6|0|
canlog|fail_at 81250|503|a database that fails at the 251st of 300 rows|$KEY1|81000|300|0|
canlog||200|that batch sent again|$KEY1|81000|300|300|hall-1
canlog|"\$DBSERVER" halt "\$DIR/db"|503|a database that is stopped|$KEY2|82000|3|0|
canlog||200|that batch after the restart|$KEY2|82000|3|3|hall-2
CASES

# --- 4. telltrail with a spool; the database stopped during the run.
KEY3="USE canlog $(head -c 24 /dev/urandom | base64)"
{ cat "$DIR/canlog.ini"; printf 'hall-3 = "%s"\n' "$KEY3"; } > "$DIR/put_can_log.ini"
hall3() { sql "SELECT COUNT(*) FROM can_log WHERE source = 'hall-3'"; }
cat > "$DIR/spool.xml" << XML
<telltrail>
  <device Name="$DEVICE"/>
  <sleep Name="1"/>
  <mysql_put Name="$KEY3"/>
  <ip_address Name="127.0.0.1"/>
  <spool Name="$DIR/spool"/>
</telltrail>
XML
start_emulator spool --count 20000 --rate 1000 --seed 32
start_telltrail spool "$DIR/spool.xml"
wait_for 20 eval '[ "$(hall3)" -gt 0 ]' || fail "spool run: no rows"
# An answer that comes later than telltrail waits for: the next batch stops
# 7 s after its first row, telltrail gives up after 5 s and sends it again
# (with what came since). The second waits for the first's row locks, so the
# first is stored all the same, before it, and the second finds its rows
# there. Only one batch waits: the flag row is seen once committed.
"$DBSERVER" sql "$DIR/db" canlog --delimiter=// -e "CREATE TABLE slept (n INT PRIMARY KEY) ENGINE=InnoDB//
  CREATE TRIGGER slow_once AFTER INSERT ON can_log FOR EACH ROW
    IF (SELECT COUNT(*) FROM slept) = 0 THEN INSERT INTO slept VALUES (1); DO SLEEP(7); END IF//"
sent_again() {
  grep -Ec '^result: stored [0-9]+ rows \([0-9]+ new, [1-9][0-9]* already stored\)' "$DIR/spool.out"
}
wait_for 30 sent_again > /dev/null || fail "spool run: no batch stored before was sent again"
sql "DROP TRIGGER slow_once"
"$DBSERVER" halt "$DIR/db"
served503() { grep -c '"PUT /put_can_log.php HTTP/1.1" 503 ' "$DIR/http/logs/nginx-access.log"; }
before=$(served503)
# (two tries answered 503: frames were kept while the database was down)
wait_for 20 eval '[ "$(served503)" -gt $((before + 1)) ]' || fail "spool run: no batch answered 503"
"$DBSERVER" resume "$DIR/db" > /dev/null
wait_for 60 eval '[ "$(hall3)" -ge 20000 ]' || fail "spool run: $(hall3) rows of 20000"
stop_telltrail spool
stop_emulator
sql "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log WHERE source = 'hall-3'
     ORDER BY counter" > "$DIR/spool.rows"
"$COMPARE" "$DIR/spool.sent" "$DIR/spool.rows" > "$DIR/spool.compare" ||
  fail "spool run: table differs: $(cat "$DIR/spool.compare")"
again=$(sent_again)
echo "spool run, answers lost and the database stopped: $again batch(es) sent again and stored once;" \
  "$(cat "$DIR/spool.compare")"
echo PASS
