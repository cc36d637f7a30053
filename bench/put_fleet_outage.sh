#!/usr/bin/env bash
# A fleet of real boards through an outage of the central side: BOARDS
# telltrail processes, each reading its own CAN232 emulator at RATE frames/s
# and sending PUT batches with a key of its own and a spool, into one
# receiver (server/put_can_log.php behind nginx and php-fpm) and MariaDB, all
# on this machine in a network namespace of its own (port 80; needs root).
#
#   1. LIVE seconds with the receiver up: how big the spools grew (they
#      should stay empty), rows stored per second;
#   2. the receiver stopped for OUTAGE seconds and started again: how long
#      until every board has delivered its backlog ("back: <n> spooled
#      frames delivered"), while live traffic goes on;
#   3. the emulators stopped: once each board's rows equal the frames its
#      emulator sent, every frame is checked stored once (counters per board
#      are distinct and as many as were sent).
# Prints the CPU of MariaDB, php-fpm and the boards' loggers per phase.
#
#   bench/put_fleet_outage.sh [BUILD_DIR]
#
# Environment: BOARDS (default 20), RATE (frames/s per board, default 1000),
# LIVE and OUTAGE (s, default 600 each), FPM_CHILDREN (default 4),
# MARIADB_BUFFER_POOL (default 512M), EMU_MIX (the emulators' frame kinds,
# default std: a bus of at most 2048 identifiers, as real buses have; with
# std,ext half the frames carry random 29-bit identifiers, so the key
# (can_id, timestamp) takes every row at a random place and outgrows the
# buffer pool after some 30 M rows: the database then reads and writes its
# pages for every batch and stores fewer rows than the fleet's live rate).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/bench-fleet}
BOARDS=${BOARDS:-20}
RATE=${RATE:-1000}
LIVE=${LIVE:-600}
OUTAGE=${OUTAGE:-600}
FPM_CHILDREN=${FPM_CHILDREN:-4}
EMU_MIX=${EMU_MIX:-std}
export MARIADB_BUFFER_POOL=${MARIADB_BUFFER_POOL:-512M}
HTTPSERVER=$ROOT/tools/httpserver/httpserver.sh
DBSERVER=$ROOT/tools/mariadb/test-server.sh

# shellcheck source=../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
require_pdo_mysql
enter_network_namespace "nginx php mariadbd" "$0" "$@"
if [ ! -x "$BUILD/app/telltrail" ] || [ ! -x "$BUILD/tools/can232emu/can232emu" ]; then
  echo "building in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLTRAIL_TESTS=OFF > /dev/null
  cmake --build "$BUILD" -j2 --target telltrail can232emu > /dev/null
fi
TELLTRAIL=$BUILD/app/telltrail
EMU=$BUILD/tools/can232emu/can232emu
make_workdir ttfleetout
CLEANUP_EXTRA='"$HTTPSERVER" stop "$DIR/http" > /dev/null 2>&1; "$DBSERVER" stop "$DIR/db" > /dev/null 2>&1'
TICKS=$(getconf CLK_TCK)

"$DBSERVER" start "$DIR/db" > "$DIR/db.out" 2>&1 || fail "database server: $(cat "$DIR/db.out")"
sql() { "$DBSERVER" sql "$DIR/db" canlog -N -B -e "$1"; }
sql "CREATE USER 'telltrail_put'@'localhost' IDENTIFIED BY 'put-Secret-7';
     GRANT INSERT ON canlog.can_log TO 'telltrail_put'@'localhost'"
{
  echo "db_socket = \"$(sed -n 's/^MYSQL_UNIX_PORT=//p' "$DIR/db/env")\""
  echo 'db_name = "canlog"'
  echo 'db_user = "telltrail_put"'
  echo 'db_password = "put-Secret-7"'
  echo '[boards]'
  for ((i = 1; i <= BOARDS; ++i)); do
    key="USE canlog $(head -c 24 /dev/urandom | base64)"
    printf 'board-%02d = "%s"\n' "$i" "$key"
    cat > "$DIR/board$i.xml" << XML
<telltrail><device Name="..$DIR/tty$i"/><sleep Name="1"/>
<mysql_put Name="$key"/><ip_address Name="127.0.0.1"/>
<spool Name="$DIR/spool$i"/></telltrail>
XML
  done
} > "$DIR/put_can_log.ini"
start_http() {
  HTTPSERVER_ROOT=$ROOT/server TELLTRAIL_PUT_CONFIG=$DIR/put_can_log.ini HTTPSERVER_FPM_CHILDREN=$FPM_CHILDREN \
    "$HTTPSERVER" start nginx "$DIR/http" 127.0.0.1 80 > "$DIR/http.out" 2>&1 ||
    fail "nginx did not start: $(cat "$DIR/http.out")"
}
start_http

EMUS=() LOGGERS=()
for ((i = 1; i <= BOARDS; ++i)); do
  "$EMU" --quiet --link "$DIR/tty$i" --rate "$RATE" --mix "$EMU_MIX" --seed "$i" --sent-log "$DIR/board$i.sent" \
    2> "$DIR/emu$i.err" &
  EMUS+=($!) PIDS+=($!)
done
for ((i = 1; i <= BOARDS; ++i)); do
  wait_for 10 test -L "$DIR/tty$i" || fail "emulator $i: no link"
  "$TELLTRAIL" "$DIR/board$i.xml" > "$DIR/board$i.log" 2>&1 &
  LOGGERS+=($!) PIDS+=($!)
done

# CPU per phase: MariaDB, php-fpm (master and workers), the loggers.
DB_PID=$(sed -n 's/^MARIADB_PID=//p' "$DIR/db/env")
cpu_mark() { echo "$(ticks "$DB_PID") $(ticks $(family "$(cat "$DIR/http/php-fpm.pid")")) $(ticks "${LOGGERS[@]}") $SECONDS"; }
cpu_since() { # "DB FPM LOGGERS SECONDS" of the mark
  local now
  read -r -a now <<< "$(cpu_mark)"
  set -- $1
  local s=$(( now[3] - $4 > 0 ? now[3] - $4 : 1 ))
  echo "MariaDB $(( (now[0] - $1) * 100 / TICKS / s ))%, php-fpm $(( (now[1] - $2) * 100 / TICKS / s ))%," \
       "loggers $(( (now[2] - $3) * 100 / TICKS / s ))% (of one core)"
}
spool_bytes() { du -sb "$DIR"/spool* 2> /dev/null | awk '{ if ($1 > m) m = $1 } END { print m + 0 }'; }

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $BOARDS boards at $RATE frames/s;" \
  "MariaDB buffer pool $MARIADB_BUFFER_POOL, php-fpm workers $FPM_CHILDREN, frames $EMU_MIX"
# Rows the receiver stored, from its answers in the boards' logs (a COUNT(*)
# of the table under the fleet's inserts took minutes).
new_rows() { cat "$DIR"/board*.log | sed -n 's/^result: stored [0-9]* rows (\([0-9]*\) new.*/\1/p' | awk '{ n += $1 } END { print n + 0 }'; }
mark=$(cpu_mark) rows0=$(new_rows) largest=0 end=$((SECONDS + LIVE))
while [ $SECONDS -lt $end ]; do
  sleep 5   # a sampling step of the spools' size, not a wait for a condition
  b=$(spool_bytes); [ "$b" -le "$largest" ] || largest=$b
done
rows1=$(new_rows)
aways=$(cat "$DIR"/board*.log | grep -c " away: " || true)
echo "1. live ${LIVE} s: $(( (rows1 - rows0) / LIVE )) rows/s stored; largest spool folder $largest bytes;" \
  "$aways away lines; $(cpu_since "$mark")"

"$HTTPSERVER" stop "$DIR/http" > /dev/null
sleep "$OUTAGE"   # the outage itself
spooled=$(spool_bytes)
start_http
mark=$(cpu_mark)
up=$SECONDS
backs() { cat "$DIR"/board*.log | grep -c "^HTTP PUT back: [0-9]* spooled frames delivered" || true; }
until [ "$(backs)" -ge "$BOARDS" ]; do
  sleep 1   # polling step of the wait for every board's back line
  [ $((SECONDS - up)) -lt $((OUTAGE * 10)) ] || fail "not every board caught up within $((OUTAGE * 10)) s"
done
caught=$((SECONDS - up))
delivered=$(cat "$DIR"/board*.log | sed -n 's/^HTTP PUT back: \([0-9]*\) spooled.*/\1/p' | awk '{ n += $1 } END { print n }')
echo "2. receiver away ${OUTAGE} s (largest spool then $spooled bytes): every board caught up $caught s after it" \
  "came back ($delivered spooled frames, $(( delivered / (caught > 0 ? caught : 1) )) frames/s for the fleet, live" \
  "rate $((BOARDS * RATE))); $(cpu_since "$mark")"

for pid in "${EMUS[@]}"; do kill -TERM "$pid"; wait "$pid" || true; done
total=$(cat "$DIR"/board*.sent | wc -l)
stored_all() { [ "$(sql "SELECT COUNT(*) FROM can_log")" -ge "$total" ]; }
wait_for 120 stored_all || true
sql "SELECT source, COUNT(*), COUNT(DISTINCT counter) FROM can_log GROUP BY source" > "$DIR/per_board"
bad=0
for ((i = 1; i <= BOARDS; ++i)); do
  sent=$(wc -l < "$DIR/board$i.sent")
  board=$(printf 'board-%02d' "$i")
  read -r rows distinct < <(awk -v b="$board" '$1 == b { print $2, $3 }' "$DIR/per_board")
  if [ "${rows:-0}" -ne "$sent" ] || [ "${distinct:-0}" -ne "$sent" ]; then
    echo "   $board: sent $sent, stored ${rows:-0} rows (${distinct:-0} distinct counters)"
    bad=$((bad + 1))
  fi
done
for pid in "${LOGGERS[@]}"; do kill -TERM "$pid" 2> /dev/null || true; wait "$pid" || true; done
lost=$(cat "$DIR"/board*.log | grep -v "^serial port" | grep -c "lost\|not forwarded\|dropped" || true)
grep -hv "^serial port" "$DIR"/board*.log | grep "lost\|not forwarded\|dropped" | sort | uniq -c | head -5 || true
echo "3. $(sql "SELECT COUNT(*) FROM can_log") rows stored; boards with frames missing or twice: $bad;" \
  "loss lines in the loggers' consoles: $lost"
[ "$bad" -eq 0 ] && [ "$lost" -eq 0 ] || exit 1
