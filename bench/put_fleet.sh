#!/usr/bin/env bash
# A fleet of boards against one PUT receiver: server/put_can_log.php behind
# nginx and php-fpm (tools/httpserver/httpserver.sh) storing into a
# throwaway MariaDB (tools/mariadb/test-server.sh), all on this machine, in
# a network namespace of its own (port 80; needs root).
#
# Every board is simulated by bench/put_fleet_board.php: a saturated bus
# (9009 eight-byte frames/s) batched as telltrail batches it (header line,
# insert lines, sent past 498999 characters and at the end of each drain of
# the 10240-frame ring), each board with a header line (key) of its own.
# For each number of boards, all of them send at the same time for a while;
# printed per step: rows stored per second (counted in the table), batch
# latency (median, 95th percentile, largest, ms), frames lost because a
# board's ring overflowed while it waited for answers, answers other than
# 200 and answers later than the 5 s telltrail waits, and the CPU used by
# MariaDB, php-fpm, nginx and the simulated boards (% of one core). A step
# with lost frames, failed or late answers is one where the receiver falls
# behind.
#
#   bench/put_fleet.sh
#
# Environment: BOARDS (steps, default "1 2 4 6 8 10 12 16 20"), STEP_SECONDS
# (per step, default 20), FPM_CHILDREN (php-fpm workers, default 4),
# ROWS_PER_STATEMENT is the receiver's own (server/put_can_log.php).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BOARDS=${BOARDS:-"1 2 4 6 8 10 12 16 20"}
STEP_SECONDS=${STEP_SECONDS:-20}
FPM_CHILDREN=${FPM_CHILDREN:-4}
HTTPSERVER=$ROOT/tools/httpserver/httpserver.sh
DBSERVER=$ROOT/tools/mariadb/test-server.sh
BOARD=$ROOT/bench/put_fleet_board.php

# shellcheck source=../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
if ! php -r 'exit(extension_loaded("pdo_mysql") ? 0 : 1);' 2> /dev/null; then
  echo "put_fleet: needs PHP with pdo_mysql (Debian packages php-cli, php-mysql)"
  exit 1
fi
enter_network_namespace "nginx php mariadbd" "$0" "$@"
make_workdir ttfleet
CLEANUP_EXTRA='"$HTTPSERVER" stop "$DIR/http" > /dev/null 2>&1; "$DBSERVER" stop "$DIR/db" > /dev/null 2>&1'
TICKS=$(getconf CLK_TCK)

"$DBSERVER" start "$DIR/db" > "$DIR/db.out" 2>&1 || fail "database server: $(cat "$DIR/db.out")"
sql() { "$DBSERVER" sql "$DIR/db" canlog -N -B -e "$1"; }
sql "CREATE USER 'telltrail_put'@'localhost' IDENTIFIED BY 'put-Secret-7';
     GRANT INSERT ON canlog.can_log TO 'telltrail_put'@'localhost'"
most=$(printf '%s\n' $BOARDS | sort -n | tail -n 1)
{
  echo "db_socket = \"$(sed -n 's/^MYSQL_UNIX_PORT=//p' "$DIR/db/env")\""
  echo 'db_name = "canlog"'
  echo 'db_user = "telltrail_put"'
  echo 'db_password = "put-Secret-7"'
  echo '[boards]'
  for ((i = 1; i <= most; ++i)); do
    key="USE canlog $(head -c 24 /dev/urandom | base64)"
    echo "$key" > "$DIR/key$i"
    printf 'board-%02d = "%s"\n' "$i" "$key"
  done
} > "$DIR/put_can_log.ini"
HTTPSERVER_ROOT=${RECEIVER_DIR:-$ROOT/server} TELLTRAIL_PUT_CONFIG=$DIR/put_can_log.ini HTTPSERVER_FPM_CHILDREN=$FPM_CHILDREN \
  "$HTTPSERVER" start nginx "$DIR/http" 127.0.0.1 80 > "$DIR/http.out" 2>&1 ||
  fail "nginx did not start: $(cat "$DIR/http.out")"

# The processes whose CPU time is counted: a program's master and its
# children (php-fpm's workers, nginx's worker).
DB_PIDS=$(sed -n 's/^MARIADB_PID=//p' "$DIR/db/env")
FPM_PIDS=$(family "$(cat "$DIR/http/php-fpm.pid")")
NGINX_PIDS=$(family "$(cat "$DIR/http/nginx.pid")")

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) (shared with other work);" \
  "MariaDB $(mariadbd --version 2> /dev/null | sed "s/.*Ver //; s/-MariaDB.*//") ${TEST_SERVER_OPTIONS:-}; php-fpm workers: $FPM_CHILDREN; $STEP_SECONDS s per step"
echo "each board: 9009 eight-byte frames/s, batches of up to 499000 characters"
echo
printf '%6s %9s %9s %7s %8s %8s %8s %8s %7s %5s %5s %5s %5s %5s  %s\n' boards offered stored batches \
  'lat.med' 'lat.95%' 'lat.max' lost failed late 'db%' 'fpm%' 'nginx%' 'gen%' verdict
printf '%6s %9s %9s %7s %8s %8s %8s %8s %7s %5s %5s %5s %5s %5s\n' '' 'rows/s' 'rows/s' '' ms ms ms frames \
  answers '>5s' '' '' '' ''
behind=
for n in $BOARDS; do
  rm -f "$DIR"/board*.result
  before=$(sql "SELECT COUNT(*) FROM can_log")
  db0=$(ticks $DB_PIDS) fpm0=$(ticks $FPM_PIDS) ngx0=$(ticks $NGINX_PIDS)
  t0=$(date +%s%N)
  boards=()
  for ((i = 1; i <= n; ++i)); do
    php "$BOARD" board 127.0.0.1 "$(cat "$DIR/key$i")" "$STEP_SECONDS" "$i$n" > "$DIR/board$i.result" &
    boards+=($!)
    PIDS+=($!)
  done
  for pid in "${boards[@]}"; do
    wait "$pid" || fail "a simulated board failed"
  done
  t1=$(date +%s%N)
  db1=$(ticks $DB_PIDS) fpm1=$(ticks $FPM_PIDS) ngx1=$(ticks $NGINX_PIDS)
  stored=$(( $(sql "SELECT COUNT(*) FROM can_log") - before ))
  read -r batches sent lost new failed cpu med p95 max late < <(php "$BOARD" summary "$DIR"/board*.result)
  [ "$new" -eq "$stored" ] || fail "$n boards: the answers count $new new rows, the table $stored"
  seconds=$(( (t1 - t0) / 1000000 ))   # ms
  pct() { echo $(( ($1) * 100 * 1000 / TICKS / seconds )); }
  verdict="keeps up"
  if [ "$lost" -gt 0 ] || [ "$failed" -gt 0 ] || [ "$late" -gt 0 ]; then
    verdict="falls behind"
    behind=${behind:-$n}
  fi
  printf '%6d %9d %9d %7d %8s %8s %8s %8d %7d %5d %5d %5d %5d %5d  %s\n' "$n" $(((sent + lost) * 1000 / seconds)) \
    $((stored * 1000 / seconds)) "$batches" "$med" "$p95" "$max" "$lost" "$failed" "$late" \
    "$(pct "db1 - db0")" "$(pct "fpm1 - fpm0")" "$(pct "ngx1 - ngx0")" \
    "$(awk -v c="$cpu" -v s="$seconds" 'BEGIN { printf "%d", c * 100000 / s }')" "$verdict"
done
echo
if [ -n "$behind" ]; then
  echo "falls behind from $behind boards on"
else
  echo "keeps up with every step (up to $most boards)"
fi
