#!/usr/bin/env bash
# The table by days, against a throwaway MariaDB server: a can_log of an
# earlier telltrail (no partitions, no source) with frames of 10, 5 and 4
# days ago, today, tomorrow and a week ahead is upgraded (can_log_upgrade.sql,
# can_log.sql, CALL can_log_by_day()): every row as it was, one partition a
# day, a frame delivered again still stored once. Then the days not made yet
# are made again, and with keep_days 5 / summary_keep_days 6 (today counts) the
# days 10 and 5 days ago leave the table, the day 10 days ago the summary,
# the others stay. Runs as root.
#
#   day_partitions.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
DBSERVER=$ROOT/tools/mariadb/test-server.sh
# shellcheck source=../../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (the database server runs as root)"; exit 77; }
command -v mariadbd > /dev/null || { echo "SKIP: mariadb-server is not installed"; exit 77; }
make_workdir ttdays
CLEANUP_EXTRA='"$DBSERVER" stop "$DIR/db" > /dev/null 2>&1'
"$DBSERVER" start "$DIR/db" > "$DIR/db.out" 2>&1 || fail "database server: $(cat "$DIR/db.out")"
sql() { "$DBSERVER" sql "$DIR/db" canlog -N -B "$@"; }

# ms of the start of the UTC day D days from today, plus an offset in ms.
day() { echo $(( ($(date -u +%s) / 86400 + $1) * 86400000 + $2 )); }
sql -e "DROP TABLE can_log; CREATE TABLE can_log (id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  counter INT UNSIGNED NOT NULL, \`timestamp\` BIGINT NOT NULL, can_id INT UNSIGNED NOT NULL,
  d0 TINYINT UNSIGNED NULL, d1 TINYINT UNSIGNED NULL, d2 TINYINT UNSIGNED NULL, d3 TINYINT UNSIGNED NULL,
  d4 TINYINT UNSIGNED NULL, d5 TINYINT UNSIGNED NULL, d6 TINYINT UNSIGNED NULL, d7 TINYINT UNSIGNED NULL,
  KEY time_range (\`timestamp\`, can_id)) ENGINE=InnoDB;
  INSERT INTO can_log (counter, \`timestamp\`, can_id, d0) VALUES
  (1, $(day -10 0), 256, 1), (2, $(day -5 86399999), 256, 2), (3, $(day -4 0), 257, 3),
  (4, $(day 0 0), 258, NULL), (5, $(day 0 86399999), 259, 5), (6, $(day 1 7), 260, 6), (7, $(day 7 9), 261, 7)"
rows() { sql -e "SELECT id, counter, \`timestamp\`, can_id, d0 FROM can_log ORDER BY id"; }
rows > "$DIR/before"
sql < "$ROOT/db/can_log_upgrade.sql"
sql < "$ROOT/db/can_log.sql" > "$DIR/note"
grep -q "CALL can_log_by_day()" "$DIR/note" || fail "no note that the table is not partitioned: $(cat "$DIR/note")"
sql -e "CALL can_log_by_day()"
rows | cmp -s "$DIR/before" - || fail "the upgrade changed rows: $(rows | diff "$DIR/before" - | head -5)"

# partition_of TIME: the partition that holds the row of that time.
partition_of() {
  sql -e "SELECT PARTITION_NAME FROM information_schema.PARTITIONS WHERE TABLE_SCHEMA = 'canlog'
          AND TABLE_NAME = 'can_log' AND (PARTITION_DESCRIPTION = 'MAXVALUE' OR CAST(PARTITION_DESCRIPTION AS SIGNED) > $1)
          ORDER BY PARTITION_ORDINAL_POSITION LIMIT 1"
}
name() { echo "d$(date -u -d "@$(( $(day "$1" 0) / 1000 ))" +%Y%m%d)"; }
for d in -10 -5 -4 0 1; do
  [ "$(partition_of "$(day "$d" 0)")" = "$(name "$d")" ] || fail "day $d: partition $(partition_of "$(day "$d" 0)")"
done
[ "$(partition_of "$(day 7 9)")" = p_future ] || fail "a week ahead is in $(partition_of "$(day 7 9)"), not p_future"
sql -e "INSERT IGNORE INTO can_log (counter, \`timestamp\`, can_id, d0) VALUES (3, $(day -4 0), 257, 3)"
[ "$(sql -e "SELECT COUNT(*) FROM can_log")" -eq 7 ] || fail "a frame delivered again was stored twice"

# The days not made yet (as when the event has not run for a while) are made
# again, their rows kept; old days go.
sql -e "ALTER TABLE can_log REORGANIZE PARTITION $(name 1), $(name 2), p_future INTO
        (PARTITION p_future VALUES LESS THAN MAXVALUE); CALL can_log_summarize();
        UPDATE can_log_retention SET keep_days = 5, summary_keep_days = 6; CALL can_log_keep()"
[ "$(partition_of "$(day 1 7)")" = "$(name 1)" ] || fail "tomorrow not made again: $(partition_of "$(day 1 7)")"
sql -e "SELECT counter FROM can_log ORDER BY counter" | tr '\n' ' ' > "$DIR/kept"
[ "$(cat "$DIR/kept")" = "3 4 5 6 7 " ] || fail "keep_days 5 kept counters $(cat "$DIR/kept"), not 3 4 5 6 7"
[ "$(sql -e "SELECT COUNT(*) FROM information_schema.PARTITIONS WHERE TABLE_NAME = 'can_log'
             AND PARTITION_NAME IN ('$(name -10)', '$(name -5)')")" -eq 0 ] || fail "old partitions still there"
for level in minute hour; do
  sql -e "SELECT can_id, frames FROM can_log_$level ORDER BY can_id" | tr '\t\n' ': ' > "$DIR/summary"
  [ "$(cat "$DIR/summary")" = "256:1 257:1 258:1 259:1 260:1 261:1 " ] ||
    fail "summary_keep_days 6 kept $(cat "$DIR/summary") of the ${level}s"
done
echo "upgraded: $(sql -e "SELECT COUNT(*) FROM information_schema.PARTITIONS WHERE TABLE_NAME = 'can_log'")" \
  "partitions; kept counters $(cat "$DIR/kept")"
echo PASS
