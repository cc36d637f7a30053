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
#      error status and change nothing; a good body is still taken after them.
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
if ! php -m 2> /dev/null | grep -q '^pdo_mysql$'; then
  echo "SKIP: PHP with pdo_mysql is not installed (Debian packages php-cli, php-mysql)"
  exit 77
fi
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
echo PASS
