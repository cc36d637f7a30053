#!/usr/bin/env bash
# The logger's HTTP outputs end to end: can232emu sends frames on a
# pseudo-terminal, telltrail (settings file with mysql_put or template and
# ip_address 127.0.0.1) forwards them to port 80, where nginx with php-fpm
# (tools/httpserver) records every request; http_check.php checks the
# requests and turns their frames into table rows, and candump-compare checks
# those against what the emulator sent: every frame once, in order.
# Port 80 is this test's own: it runs in a network namespace of its own
# (unshare -n, as root).
#
#   0. start-up failures: mysql_put without ip_address, templates with %n,
#      two %s or %d, a sample time that is not one: exit status 255, no run
#   1. PUT batches: 12000 frames, sample time 5 s: batches split past
#      498999 characters, each beginning with the header line; the answers
#      printed after "result: "
#   2. PUT server stopped for a few seconds: "HTTP server not connected"
#      with the frames lost, logging goes on, batches arrive again
#   3. GET per frame from the template "GET /log.php?%s HTTP/1.1"
#   4. GET without a server: the failed request reported, the period's other
#      frames counted as not forwarded in one line; the run goes on
#   5. hostile servers (tools/httpserver/hostile_peer.py): header lines every
#      10 ms for ever and a server that never answers cost each exchange at
#      most 5 s and SIGTERM still ends the run within 10 s; an answer full of
#      escape sequences reaches the console escaped; a name that does not
#      resolve sends nothing to this machine
#
#   http_end_to_end.sh TELLTRAIL CAN232EMU CANDUMP_COMPARE
set -euo pipefail

TELLTRAIL=$1
EMU=$2
COMPARE=$3
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
HTTPSERVER=$ROOT/tools/httpserver/httpserver.sh
CHECK=$ROOT/tests/app/http_check.php

# shellcheck source=../../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
enter_network_namespace "php nginx /usr/bin/python3" "$0" "$@"
make_workdir tthttpe2e
CLEANUP_EXTRA='"$HTTPSERVER" stop "$DIR/http" > /dev/null 2>&1'
DATA=$DIR/http/data
HEADER="USE canlog"
DEVICE="..$DIR/ttyE2E" # telltrail opens /dev/../tmp/...

start_http() {
  "$HTTPSERVER" start nginx "$DIR/http" 127.0.0.1 80 > "$DIR/http.start" 2>&1 ||
    fail "nginx did not start: $(cat "$DIR/http.start")"
}
stop_http() { "$HTTPSERVER" stop "$DIR/http" > /dev/null; }


# settings NAME SLEEP KEY VALUE: a settings file with one HTTP output.
settings() {
  cat > "$DIR/$1.xml" << XML
<telltrail>
  <device Name="$DEVICE"/>
  <sleep Name="$2"/>
  <$3 Name="$4"/>
  <ip_address Name="127.0.0.1"/>
  <log_file Name="$DIR/beside"/>
</telltrail>
XML
}

count() { local n; n=$(grep -c -e "$1" "$2" 2> /dev/null) || true; echo "${n:-0}"; }
statements() { count '^INSERT' "$DATA/put_can_log.txt"; }
sent() { wc -l < "$DIR/$1.sent"; }
# Frames reported lost by failed PUT batches.
lost() { sum_reported "$1" '^HTTP server not connected: \([0-9]*\) frames not forwarded$'; }
lost_any() { sum_reported "$1" '^.*: \([0-9]*\) frames not forwarded$'; }

# --- 0. Start-up failures: the reason, exit status 255, no run.
while IFS='|' read -r name key value address message; do
  {
    echo "<telltrail><device Name=\"$DEVICE\"/>"
    if [ "$key" = sleep ]; then
      echo "<sleep Name=\"$value\"/><mysql_put Name=\"$HEADER\"/>"
    else
      echo "<$key Name=\"$value\"/>"
    fi
    [ -z "$address" ] || echo "<ip_address Name=\"$address\"/>"
    echo "</telltrail>"
  } > "$DIR/refused.xml"
  status=0
  "$TELLTRAIL" "$DIR/refused.xml" > "$DIR/refused.out" 2>&1 || status=$?
  [ "$status" -eq 255 ] || fail "$name: exit status $status"
  grep -q -F -e "$message" "$DIR/refused.out" || fail "$name: no \"$message\""
  if grep -q -e "^device:" -e " terminated\$" "$DIR/refused.out"; then fail "$name: the run started"; fi
  echo "refused at start-up: $name"
done << 'CASES'
mysql_put without ip_address|mysql_put|USE canlog||ip_address is missing in xml
template with %n|template|GET /log.php?%s%n HTTP/1.1|127.0.0.1|template/Name refused
template with two %s|template|GET /log.php?%s&%s HTTP/1.1|127.0.0.1|template/Name refused
template with %d|template|GET /log.php?n=%d HTTP/1.1|127.0.0.1|template/Name refused
sleep 10s|sleep|10s|127.0.0.1|not valid sample time: 10s
CASES

# --- 1. PUT batches: a long sample time, so that a period's batch passes
# 498999 characters and is split.
start_http
settings put 5 mysql_put "$HEADER"
start_emulator put1 --count 12000 --rate 3000 --mix std,ext,rtr --seed 21
start_telltrail put1 "$DIR/put.xml"
wait_for 60 eval '[ "$(statements)" -ge 12000 ]' || fail "put 1: $(statements) statements of 12000"
stop_telltrail put1
stop_emulator
read -r requests stored largest split < <(php "$CHECK" put "$DATA" 127.0.0.1 "$HEADER" "$DIR/put1.rows" 2> "$DIR/put1-check.err") ||
  fail "put 1: $(cat "$DIR/put1-check.err")"
"$COMPARE" "$DIR/put1.sent" "$DIR/put1.rows" > "$DIR/put1.compare" ||
  fail "put 1: frames differ: $(cat "$DIR/put1.compare")"
[ "$split" -ge 1 ] || fail "put 1: no batch passed 498999 characters (largest $largest)"
[ "$largest" -lt 500000 ] || fail "put 1: a batch of $largest characters"
[ "$(count '^result: stored [0-9]* bytes' "$DIR/put1.out")" -eq "$requests" ] ||
  fail "put 1: not every answer printed after \"result: \""
if grep -q "not connected\|not forwarded" "$DIR/put1.out"; then fail "put 1: a batch failed"; fi
"$COMPARE" "$DIR/put1.sent" "$DIR"/beside_* > "$DIR/put1-log.compare" ||
  fail "put 1: the log file beside the HTTP output differs: $(cat "$DIR/put1-log.compare")"
rm -f "$DIR"/beside_*
echo "put 1: $requests requests of $stored statements, $split split past 498999 characters (largest $largest);" \
  "$(cat "$DIR/put1.compare")"

# --- 2. PUT server stopped for a few seconds while frames keep coming.
rm -f "$DATA"/*
settings put 1 mysql_put "$HEADER"
start_emulator put2 --count 2400 --rate 200 --mix std,ext --seed 22
start_telltrail put2 "$DIR/put.xml"
wait_for 20 eval '[ "$(statements)" -ge 200 ]' || fail "put 2: no batch arrived"
stop_http
wait_for 10 grep -q "^HTTP server not connected: " "$DIR/put2.out" ||
  fail "put 2: no failed batch reported"
sleep 2
before=$(statements)
start_http
# Every frame is either stored or reported lost.
all_accounted() { [ "$(sent put2)" -eq 2400 ] && [ $(( $(statements) + $(lost "$DIR/put2.out") )) -ge 2400 ]; }
wait_for 40 all_accounted ||
  fail "put 2: $(statements) stored and $(lost "$DIR/put2.out") lost of $(sent put2) sent"
stop_telltrail put2
stop_emulator
[ "$(statements)" -gt "$before" ] || fail "put 2: no batch after the server came back"
php "$CHECK" put "$DATA" 127.0.0.1 "$HEADER" "$DIR/put2.rows" > /dev/null 2> "$DIR/put2-check.err" ||
  fail "put 2: $(cat "$DIR/put2-check.err")"
[ $(( $(statements) + $(lost "$DIR/put2.out") )) -eq 2400 ] ||
  fail "put 2: $(statements) stored + $(lost "$DIR/put2.out") lost is not 2400"
# The stored frames are runs of consecutive counters (counter n is the
# emulator's frame n); each run must be exactly those sent frames.
awk -F '\t' 'NR == 1 || $1 != last + 1 { if (NR > 1) print first, last; first = $1 }
             { last = $1 } END { print first, last }' "$DIR/put2.rows" > "$DIR/put2.runs"
[ "$(wc -l < "$DIR/put2.runs")" -ge 2 ] || fail "put 2: no gap where the server was down"
while read -r first last; do
  sed -n "$((first + 1)),$((last + 1))p" "$DIR/put2.sent" > "$DIR/run.sent"
  awk -F '\t' -v a="$first" -v b="$last" '$1 >= a && $1 <= b' "$DIR/put2.rows" > "$DIR/run.rows"
  "$COMPARE" --quiet "$DIR/run.sent" "$DIR/run.rows" > "$DIR/put2.compare" ||
    fail "put 2: frames $first to $last differ: $(cat "$DIR/put2.compare")"
done < "$DIR/put2.runs"
echo "put 2: server down for 3 s: $(lost "$DIR/put2.out") frames reported lost in" \
  "$(count '^HTTP server not connected: ' "$DIR/put2.out") batches, $(statements) stored, in order"

# --- 3. One GET request per frame.
rm -f "$DATA"/*
settings get 1 template "GET /log.php?%s HTTP/1.1"
start_emulator get3 --count 300 --rate 100 --mix std,ext,rtr --seed 23
start_telltrail get3 "$DIR/get.xml"
wait_for 30 eval '[ "$(count . "$DATA/log.txt")" -ge 300 ]' || fail "get 3: $(count . "$DATA/log.txt") requests of 300"
stop_telltrail get3
stop_emulator
requests=$(php "$CHECK" get "$DATA" 127.0.0.1 "$DIR/get3.rows" 2> "$DIR/get3-check.err") ||
  fail "get 3: $(cat "$DIR/get3-check.err")"
"$COMPARE" "$DIR/get3.sent" "$DIR/get3.rows" > "$DIR/get3.compare" ||
  fail "get 3: frames differ: $(cat "$DIR/get3.compare")"
if grep -q "not connected" "$DIR/get3.out"; then fail "get 3: a request failed"; fi
echo "get 3: $requests requests; $(cat "$DIR/get3.compare")"

# --- 4. GET without a server: the first request that finds no server is
# reported with its request line ("==> ", or with trace the client's echo),
# the period's other frames are not tried against it and are counted in one
# line; the run goes on.
stop_http
for trace in "" trace; do
  name=get4${trace:+-trace}
  start_emulator "$name" --count 10 --rate 20 --mix std,ext --seed 24
  start_telltrail "$name" "$DIR/get.xml" $trace
  wait_for 30 eval '[ "$(lost "$DIR/$name.out")" -ge 10 ]' ||
    fail "$name: $(lost "$DIR/$name.out") frames reported not forwarded of 10"
  stop_telltrail "$name"
  stop_emulator
  [ "$(lost "$DIR/$name.out")" -eq 10 ] || fail "$name: not 10 frames reported not forwarded"
  failures=$(count '^HTTP server not connected$' "$DIR/$name.out")
  [ "$failures" -ge 1 ] && [ "$failures" -le 2 ] || fail "$name: $failures failed requests reported"
  if [ -z "$trace" ]; then
    [ "$(count '^==> GET /log.php?counter=[0-9]*&timestamp=[0-9]*&can_id=[0-9]*.* HTTP/1.1$' "$DIR/$name.out")" -eq "$failures" ] ||
      fail "$name: not every failed request shown"
  else
    [ "$(count " [0-9]\{1,2\}:[0-9][0-9]:[0-9][0-9]\.[0-9]\{3\} .* \[[0-8]\] " "$DIR/$name.out")" -eq 10 ] ||
      fail "$name: not 10 frames shown"
    if grep -q "^==> " "$DIR/$name.out"; then fail "$name: ==> line with trace"; fi
  fi
  echo "$name: 10 frames counted as not forwarded after $failures failed request(s), run ended by SIGTERM with status 0"
done

# --- 5. Hostile servers on port 80.
PEER=$ROOT/tools/httpserver/hostile_peer.py
start_peer() {
  rm -f "$DIR/peer.log" "$DIR/peer.out"
  /usr/bin/python3 "$PEER" "$1" 127.0.0.1 80 --log "$DIR/peer.log" > "$DIR/peer.out" 2>&1 &
  PEER_PID=$!
  PIDS+=("$PEER_PID")
  wait_for 10 grep -q listening "$DIR/peer.out" || fail "hostile peer $1 did not start"
}
stop_peer() { kill "$PEER_PID"; wait "$PEER_PID" 2> /dev/null || true; }
# hostile NAME MODE OUTPUT VALUE: a run against the peer, stopped by SIGTERM.
hostile() {
  start_peer "$2"
  settings "$1" 1 "$3" "$4"
  start_emulator "$1" --rate 100 --mix std,ext --seed 25
  start_telltrail "$1" "$DIR/$1.xml"
}
hostile trickle trickle mysql_put "$HEADER"
wait_for 20 grep -q "^HTTP server did not answer within 5 s: [0-9]* frames not forwarded\$" "$DIR/trickle.out" ||
  fail "trickle: no exchange gave up"
stop_telltrail trickle
stop_emulator
stop_peer
echo "trickle: each exchange gave up after 5 s ($(lost_any "$DIR/trickle.out") frames reported), SIGTERM ended the run"

hostile silent silent template "GET /log.php?%s HTTP/1.1"
wait_for 20 grep -q "^HTTP server did not answer within 5 s: [0-9]* frames not forwarded\$" "$DIR/silent.out" ||
  fail "silent: no request gave up"
stop_telltrail silent
stop_emulator
stop_peer
echo "silent template server: requests gave up, SIGTERM ended the run"

hostile escapes escapes mysql_put "$HEADER"
wait_for 20 grep -q "^result: " "$DIR/escapes.out" || fail "escapes: no answer shown"
stop_telltrail escapes
stop_emulator
stop_peer
if LC_ALL=C grep -q $'[\x1b\x07\r]' "$DIR/escapes.out"; then fail "escapes: control bytes reached the console"; fi
if grep -q "^17:00:00.000 terminated" "$DIR/escapes.out"; then fail "escapes: a forged line reached the console"; fi
grep -q '^result: stored\\x1B\[2J.* \.\.\. ([0-9]* more bytes)$' "$DIR/escapes.out" || fail "escapes: answer not shown escaped and cut"
echo "escapes: answers shown escaped on one line, cut"

start_peer escapes
cat > "$DIR/nohost.xml" << XML
<telltrail><device Name="$DEVICE"/><sleep Name="1"/><mysql_put Name="$HEADER"/>
<ip_address Name="no-such-host.invalid"/></telltrail>
XML
start_emulator nohost --rate 100 --mix std,ext --seed 26
start_telltrail nohost "$DIR/nohost.xml"
wait_for 20 grep -q "^HTTP server name not found: no-such-host.invalid: [0-9]* frames not forwarded\$" "$DIR/nohost.out" ||
  fail "nohost: no failure reported"
sleep 2
stop_telltrail nohost
stop_emulator
stop_peer
[ ! -s "$DIR/peer.log" ] || fail "nohost: requests reached this machine: $(head -n 2 "$DIR/peer.log")"
echo "no-such-host.invalid: reported, nothing sent to 127.0.0.1:80, the run went on"
echo PASS
