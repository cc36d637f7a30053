#!/usr/bin/env bash
# The table by days on a big table, against a throwaway MariaDB server:
#   1. an older can_log (no partitions, no source) of ROWS rows spread over
#      DAYS days is upgraded: can_log_upgrade.sql, can_log.sql and
#      CALL can_log_by_day(); prints the time of each and per million rows;
#   2. retention: keep_days set one day short, CALL can_log_keep() drops the
#      oldest day whole; prints its time and the rows it took.
#
#   bench/partition_upgrade.sh
#
# Environment: ROWS (default 5000000), DAYS (default 30), MARIADB_BUFFER_POOL
# (default 1G). Needs root and mariadb-server.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ROWS=${ROWS:-5000000}
DAYS=${DAYS:-30}
export MARIADB_BUFFER_POOL=${MARIADB_BUFFER_POOL:-1G}
DBSERVER=$ROOT/tools/mariadb/test-server.sh
# shellcheck source=../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
make_workdir ttpartbench
CLEANUP_EXTRA='"$DBSERVER" stop "$DIR/db" > /dev/null 2>&1'
"$DBSERVER" start "$DIR/db" > "$DIR/db.out" 2>&1 || fail "database server: $(cat "$DIR/db.out")"
sql() { "$DBSERVER" sql "$DIR/db" canlog -N -B "$@"; }
now_ms() { date +%s%3N; }
timed() { # timed LABEL SQL-ARGS...: runs, prints the seconds
  local t0 t1
  t0=$(now_ms)
  sql "${@:2}" > /dev/null
  t1=$(now_ms)
  awk -v l="$1" -v ms=$((t1 - t0)) -v r="$ROWS" 'BEGIN { printf "  %-34s %8.1f s  %6.2f s per million rows\n", l, ms / 1000, ms / r * 1000 }'
}
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); MariaDB $(mariadbd --version | sed 's/.*Ver //; s/-MariaDB.*//'), buffer pool $MARIADB_BUFFER_POOL"
first=$(( ($(date -u +%s) / 86400 - DAYS + 1) * 86400000 ))
span=$(( DAYS * 86400000 ))
sql -e "DROP TABLE can_log; CREATE TABLE can_log (id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  counter INT UNSIGNED NOT NULL, \`timestamp\` BIGINT NOT NULL, can_id INT UNSIGNED NOT NULL,
  d0 TINYINT UNSIGNED NULL, d1 TINYINT UNSIGNED NULL, d2 TINYINT UNSIGNED NULL, d3 TINYINT UNSIGNED NULL,
  d4 TINYINT UNSIGNED NULL, d5 TINYINT UNSIGNED NULL, d6 TINYINT UNSIGNED NULL, d7 TINYINT UNSIGNED NULL,
  KEY time_range (\`timestamp\`, can_id)) ENGINE=InnoDB"
t0=$(now_ms)
sql -e "INSERT INTO can_log (counter, \`timestamp\`, can_id, d0, d1, d2, d3, d4, d5, d6, d7)
  SELECT seq, $first + seq * $span DIV $ROWS, 256 + seq % 40, seq % 256, 1, 2, 3, 4, 5, 6, 7 FROM seq_0_to_$((ROWS - 1))"
echo "older table: $ROWS rows over $DAYS days, filled in $(( ($(now_ms) - t0) / 1000 )) s"
echo "1. upgrade"
timed "can_log_upgrade.sql (keys, source)" < "$ROOT/db/can_log_upgrade.sql"
timed "can_log.sql (summary of every row)" < "$ROOT/db/can_log.sql"
timed "CALL can_log_by_day()" -e "CALL can_log_by_day()"
parts=$(sql -e "SELECT COUNT(*) FROM information_schema.PARTITIONS WHERE TABLE_NAME = 'can_log'")
[ "$(sql -e "SELECT COUNT(*) FROM can_log")" -eq "$ROWS" ] || fail "rows lost in the upgrade"
echo "  $parts partitions, $ROWS rows kept"
echo "2. retention"
oldest=$(sql -e "SELECT COUNT(*) FROM can_log WHERE \`timestamp\` < $first + 86400000")
t0=$(now_ms)
sql -e "UPDATE can_log_retention SET keep_days = $((DAYS - 1)); CALL can_log_keep()" > /dev/null
echo "  CALL can_log_keep() dropped the oldest day ($oldest rows) in $(( $(now_ms) - t0 )) ms;" \
  "$(sql -e "SELECT COUNT(*) FROM can_log") rows left"
