#!/usr/bin/env bash
# What the web page's summary (can_log_minute and can_log_hour,
# db/can_log.sql) costs and brings, against a throwaway MariaDB server
# (tools/mariadb/test-server.sh; needs root, mariadb-server, php-cli,
# php-mysql):
#
#  1. insert rate: the logger's statements (100 rows each, INSERT IGNORE,
#     a commit per 1000 rows) through
#     the mariadb client, with nothing else running; with the summary
#     procedure running every 2 s beside them (the event runs it every 30 s);
#     and, for comparison, with an AFTER INSERT trigger that counts each row
#     into the summary (the way not taken);
#  2. the procedure's own speed (rows counted per second);
#  3. answer times of every API call the page makes, over ten minutes of a
#     saturated 1 Mbit/s bus (5.4 M rows, 60 identifiers) and over a day of
#     a heating bus (4.3 M rows, 40 identifiers), with the summary and with
#     the plain GROUP BY over the rows (a user who may not read the summary);
#  4. the same calls over an hour of 300,000 distinct identifiers, before and
#     after the summary has counted them.
#
#   bench/web_summary.sh
#
#  5. (asked for only) the page's calls over a big table in day partitions:
#     BIG_ROWS rows (default 50 M) over the last 10 days from BIG_BOARDS
#     boards (default 4) with BIG_IDS identifiers each (default 25), with the
#     summary; and the time to drop a day. The summary counts per minute,
#     identifier and board: it pays where each of them sends often (here
#     about 35 frames a minute); sparse senders make it as big as the rows.
#
# Environment: ROWS (rows per insert run, default 300000), ROUNDS (default
# 2), MARIADB_BUFFER_POOL (default 256M), SECTIONS (default "1 2 3 4"; 5 the
# big table: SECTIONS=5 MARIADB_BUFFER_POOL=1G bench/web_summary.sh).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
ROWS=${ROWS:-300000}
ROUNDS=${ROUNDS:-2}
SECTIONS=" ${SECTIONS:-1 2 3 4} "
BIG_ROWS=${BIG_ROWS:-50000000}
BIG_BOARDS=${BIG_BOARDS:-4}
BIG_IDS=${BIG_IDS:-25}
want() { [[ $SECTIONS == *" $1 "* ]]; }
export MARIADB_BUFFER_POOL=${MARIADB_BUFFER_POOL:-256M}
SERVER=$ROOT/tools/mariadb/test-server.sh
HTTPSERVER=$ROOT/tools/httpserver/httpserver.sh
# shellcheck source=../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"

make_workdir ttwebbench
CLEANUP_EXTRA='"$HTTPSERVER" stop "$DIR/php" > /dev/null 2>&1; "$HTTPSERVER" stop "$DIR/php-plain" > /dev/null 2>&1;
  "$SERVER" stop "$DIR/db" > /dev/null 2>&1 || true'

"$SERVER" start "$DIR/db" > /dev/null
sql() { "$SERVER" sql "$DIR/db" canlog -N -B "$@"; }
now() { date +%s.%N; }

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(mariadbd --version | cut -d' ' -f2-4)," \
  "buffer pool $MARIADB_BUFFER_POOL"

# --- 1. Insert rate ---------------------------------------------------------------
if want 1; then

# The logger's statements for $ROWS eight-byte frames of 50 identifiers at
# 9009 frames/s (a saturated 1 Mbit/s bus), 100 rows each, commit per 1000.
awk -v n="$ROWS" 'BEGIN {
  print "SET autocommit=0;"
  for (i = 0; i < n; i += 100) {
    line = "INSERT IGNORE can_log(counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7) VALUES"
    for (k = i; k < i + 100 && k < n; k++) {
      id = (k % 50) < 25 ? 256 + k % 50 : 418119633 + k % 50
      line = line sprintf("%s(%d,%d,%d,%d,1,2,3,4,5,6,7)", k > i ? "," : "", k, 1797000000000 + int(k * 1000 / 9009), id, k % 256)
    }
    print line ";"
    if ((i + 100) % 1000 == 0) print "COMMIT;"
  }
  print "COMMIT;"
}' > "$DIR/insert.sql"

TRIGGER="CREATE TRIGGER can_log_count_row AFTER INSERT ON can_log FOR EACH ROW
  INSERT INTO can_log_minute (minute, can_id, source, frames, bytes, first_ts, last_ts)
  VALUES (NEW.\`timestamp\` DIV 60000, NEW.can_id, NEW.source, 1,
          (NEW.d0 IS NOT NULL) + (NEW.d1 IS NOT NULL) + (NEW.d2 IS NOT NULL) + (NEW.d3 IS NOT NULL)
          + (NEW.d4 IS NOT NULL) + (NEW.d5 IS NOT NULL) + (NEW.d6 IS NOT NULL) + (NEW.d7 IS NOT NULL),
          NEW.\`timestamp\`, NEW.\`timestamp\`)
  ON DUPLICATE KEY UPDATE frames = frames + 1, bytes = bytes + VALUES(bytes),
    first_ts = LEAST(first_ts, VALUES(first_ts)), last_ts = GREATEST(last_ts, VALUES(last_ts))"

# insert_run FORM: rows per second of one run of insert.sql into an empty table.
insert_run() {
  local form=$1 start end loop_pid=
  sql -e "TRUNCATE can_log; DROP TRIGGER IF EXISTS can_log_count_row"
  sql < "$ROOT/db/can_log.sql"
  case $form in
    trigger) sql -e "$TRIGGER" ;;
    procedure)
      # Every row settled at once, the procedure every 2 s during the run.
      (while :; do
         sql -e "INSERT INTO can_log_mark VALUES ('2000-01-01', (SELECT COALESCE(MAX(id), 0) FROM can_log));
                 CALL can_log_summarize()" > /dev/null 2>&1 || true
         sleep 2
       done) &
      loop_pid=$!
      PIDS+=("$loop_pid") ;;
  esac
  start=$(now)
  sql < "$DIR/insert.sql"
  end=$(now)
  if [ -n "$loop_pid" ]; then
    kill "$loop_pid"
    wait "$loop_pid" 2> /dev/null || true
  fi
  [ "$(sql -e 'SELECT COUNT(*) FROM can_log')" -eq "$ROWS" ] || { echo "rows missing after $form"; exit 1; }
  awk -v n="$ROWS" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", n / (e - s) }'
}

echo
echo "== 1. insert rate: $ROWS rows, 100-row INSERT IGNORE, commit per 1000, best of $ROUNDS"
declare -A best=()
for round in $(seq "$ROUNDS"); do
  for form in plain procedure trigger; do
    rate=$(insert_run "$form")
    printf '  round %d  %-10s %8d rows/s\n' "$round" "$form" "$rate"
    [ "${best[$form]:-0}" -ge "$rate" ] || best[$form]=$rate
  done
done
printf '%-58s %9s %7s\n' form rows/s ratio
printf '%-58s %9d %6.2fx\n' "nothing else running" "${best[plain]}" 1
printf '%-58s %9d %6.2fx\n' "summary procedure every 2 s beside the inserts" "${best[procedure]}" \
  "$(awk -v a="${best[procedure]}" -v b="${best[plain]}" 'BEGIN { print a / b }')"
printf '%-58s %9d %6.2fx\n' "AFTER INSERT trigger counting each row (not used)" "${best[trigger]}" \
  "$(awk -v a="${best[trigger]}" -v b="${best[plain]}" 'BEGIN { print a / b }')"
sql -e "DROP TRIGGER IF EXISTS can_log_count_row; TRUNCATE can_log"
sql < "$ROOT/db/can_log.sql"
fi

# --- 2. and 3. Big tables ------------------------------------------------------------

SAT_FROM=1797000000000                  # ten minutes at 9009 frames/s, 60 identifiers
SAT_TO=$((SAT_FROM + 600000))
DAY_FROM=1797100800000                  # a day at 50 frames/s, 40 identifiers
DAY_TO=$((DAY_FROM + 86400000))
if want 2 || want 3; then
echo
echo "== 2. filling the table: 5.4 M rows (ten minutes, saturated bus), 4.32 M rows (a day, heating bus)"
start=$(now)
sql -e "INSERT INTO can_log (counter, \`timestamp\`, can_id, d0, d1, d2, d3, d4, d5, d6, d7)
          SELECT seq, $SAT_FROM + seq * 600000 DIV 5400000, IF(seq % 60 < 30, 256 + seq % 60, 418119633 + seq % 60),
                 seq % 256, 1, 2, 3, 4, 5, 6, 7 FROM seq_0_to_5399999;
        INSERT INTO can_log (counter, \`timestamp\`, can_id, d0, d1, d2, d3, d4, d5, d6)
          SELECT seq, $DAY_FROM + seq * 20, 384 + seq % 40, 16 * (seq % 7) + 2, 1, 250, 0, 12, seq % 3, seq % 200
          FROM seq_0_to_4319999"
echo "  $(sql -e 'SELECT COUNT(*) FROM can_log') rows in $(awk -v s="$start" -v e="$(now)" 'BEGIN { printf "%.0f", e - s }') s"
start=$(now)
sql -e "INSERT INTO can_log_mark VALUES ('2000-01-01', (SELECT MAX(id) FROM can_log)); CALL can_log_summarize()"
end=$(now)
counted=$(sql -e 'SELECT SUM(frames) FROM can_log_minute')
echo "  can_log_summarize: $counted rows counted in $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f s", e - s }')" \
  "($(awk -v n="$counted" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f rows/s", n / (e - s) }')," \
  "$(sql -e 'SELECT COUNT(*) FROM can_log_minute') summary rows)"
fi

SOCK=$(sed -n 's/^MYSQL_UNIX_PORT=//p' "$DIR/db/env")
sql -e "CREATE USER 'web'@'localhost' IDENTIFIED BY 'b'; GRANT SELECT ON canlog.* TO 'web'@'localhost';
        CREATE USER 'plain'@'localhost' IDENTIFIED BY 'b'; GRANT SELECT ON canlog.can_log TO 'plain'@'localhost'"
for user in web plain; do
  printf 'db_socket = "%s"\ndb_name = "canlog"\ndb_user = "%s"\ndb_password = "b"\n' "$SOCK" "$user" > "$DIR/$user.ini"
done
PORT=$(HTTPSERVER_ROOT=$ROOT/web TELLTRAIL_WEB_CONFIG=$DIR/web.ini "$HTTPSERVER" start php "$DIR/php")
PLAIN=$(HTTPSERVER_ROOT=$ROOT/web TELLTRAIL_WEB_CONFIG=$DIR/plain.ini "$HTTPSERVER" start php "$DIR/php-plain")

# call PORT QUERY [RUNS]: seconds of the answer, a first and a second run
# (cold, warm); an error (the plain GROUP BY past the API's 30 s statement
# limit) is shown as such.
call() {
  local t run
  for run in $(seq "${3:-2}"); do
    t=$(curl -s -o "$DIR/answer" -w '%{time_total}' "http://127.0.0.1:$1/api.php?$2")
    if grep -q '"error"' "$DIR/answer"; then
      printf ' %6s' "error"
      echo "$2: $(cat "$DIR/answer") after $t s" >> "$DIR/errors"
    else
      printf ' %6.3f' "$t"
    fi
  done
}

if want 3; then
echo
echo "== 3. answer times (s) of the page's calls"
printf '%-20s %-30s %14s   %s\n' range call "summary" "plain GROUP BY"
bench_range() {
  local label=$1 from=$2 to=$3 step=$4 id=$5 elster=${6:-} q
  for q in "q=info" "q=sources&from=$from&to=$to" "q=ids&from=$from&to=$to&detail=1" \
           "q=buckets&from=$from&to=$to&step=$step" "q=rate&from=$from&to=$to&step=60" \
           "q=bytes&from=$from&to=$to&can_id=$id&byte=0" "q=elster_indexes&from=$from&to=$to&can_id=$id" \
           ${elster:+"q=elster&from=$from&to=$to&can_id=$id&index=12"}; do
    name=${q%%&*}
    [[ $q != *step=* ]] || name+=" step ${q##*step=}"
    [[ $q != *can_id=* ]] || name+=" can_id ${q##*can_id=}"
    printf '%-20s %-30s %s   %s\n' "$label" "${name%%&*}" "$(call "$PORT" "$q")" "$(call "$PLAIN" "$q" 1)"
  done
}
bench_range "10 min, 5.4 M rows" "$SAT_FROM" "$SAT_TO" 60 256
bench_range "a day, 4.32 M rows" "$DAY_FROM" "$DAY_TO" 600 384 elster
echo "(the page asks these with minute-aligned ranges; summary: cold and warm run; plain GROUP BY over the rows: one run)"
[ ! -f "$DIR/errors" ] || { echo "errors:"; cat "$DIR/errors"; }
fi

# --- 4. Many identifiers -------------------------------------------------------------
# A fleet's worst hour for the page: 600,000 rows of 300,000 distinct
# identifiers (60 batches of 10,000), first not yet in the summary, then in it.
MANY_FROM=1797200000000
MANY_TO=$((MANY_FROM + 3600000))
if want 4; then
sql -e "INSERT INTO can_log (counter, \`timestamp\`, can_id, d0)
          SELECT seq, $MANY_FROM + seq * 6, 65536 + seq % 300000, seq % 256 FROM seq_0_to_599999"
echo
echo "== 4. 300,000 identifiers in an hour (600,000 rows): answer time (s, cold and warm) and size"
many() {
  local q=$1 label=$2
  printf '%-26s %-44s %s %9s bytes\n' "$label" "${q:0:44}" "$(call "$PORT" "$q")" "$(wc -c < "$DIR/answer")"
}
for state in "rows alone" "in the summary"; do
  [ "$state" = "rows alone" ] || sql -e "CALL can_log_summarize()"
  for q in "q=ids&from=$MANY_FROM&to=$MANY_TO&detail=1&order=frames&limit=500" \
           "q=ids&from=$MANY_FROM&to=$MANY_TO" "q=buckets&from=$MANY_FROM&to=$MANY_TO&step=60&top=8" \
           "q=rate&from=$MANY_FROM&to=$MANY_TO&step=60" "q=health&from=$MANY_FROM&to=$MANY_TO&step=60"; do
    many "$q" "$state"
  done
done
[ ! -f "$DIR/errors" ] || { echo "errors:"; cat "$DIR/errors"; }
fi

# --- 5. A big table in day partitions ------------------------------------------------
if want 5; then
echo
echo "== 5. $BIG_ROWS rows over the last 10 days in day partitions, $BIG_BOARDS boards, $BIG_IDS identifiers each"
sql -e "TRUNCATE can_log; TRUNCATE can_log_minute; UPDATE can_log_summary_state SET last_id = 0"
# The days before today get partitions of their own (the first day's
# partition would take every older row).
sql -e "SET @d = CONCAT('ALTER TABLE can_log REORGANIZE PARTITION d', DATE_FORMAT(UTC_DATE(), '%Y%m%d'), ' INTO (',
          TRIM(TRAILING ',' FROM can_log_day_partitions(UTC_DATE() - INTERVAL 9 DAY, UTC_DATE())), ')');
        PREPARE s FROM @d; EXECUTE s"
BIG_FROM=$(sql -e "SELECT can_log_day_ms(UTC_DATE() - INTERVAL 9 DAY)")
BIG_TO=$(( $(sql -e "SELECT can_log_day_ms(UTC_DATE())") + $(date -u +%s) % 86400 / 60 * 60000 ))  # a whole minute, as the page asks
step=$(( (BIG_TO - BIG_FROM) * 1000 / BIG_ROWS ))   # microseconds between rows
start=$(now)
for ((first = 0; first < BIG_ROWS; first += 1000000)); do
  last=$(( first + 1000000 < BIG_ROWS ? first + 999999 : BIG_ROWS - 1 ))
  sql -e "INSERT INTO can_log (counter, \`timestamp\`, can_id, d0, d1, d2, d3, d4, d5, d6, d7, source)
            SELECT seq, $BIG_FROM + seq * $step DIV 1000, 256 + seq DIV $BIG_BOARDS % $BIG_IDS, seq % 256,
                   1, 2, 3, 4, 5, 6, 7, CONCAT('board-', seq % $BIG_BOARDS) FROM seq_${first}_to_${last}"
done
echo "  filled in $(awk -v s="$start" -v e="$(now)" 'BEGIN { printf "%.0f", e - s }') s:" \
  "$(sql -e "SELECT COUNT(*) FROM information_schema.PARTITIONS WHERE TABLE_SCHEMA = 'canlog'
              AND TABLE_NAME = 'can_log' AND TABLE_ROWS > 0") day partitions with rows"
start=$(now)
sql -e "INSERT INTO can_log_mark VALUES ('2000-01-01', (SELECT MAX(id) FROM can_log)); CALL can_log_summarize()"
echo "  summary: $(sql -e 'SELECT SUM(frames) FROM can_log_minute') rows counted into" \
  "$(sql -e 'SELECT COUNT(*) FROM can_log_minute') summary rows in" \
  "$(awk -v s="$start" -v e="$(now)" 'BEGIN { printf "%.0f s", e - s }')"
DAY=86400000
last_hour=$(( BIG_TO / 60000 * 60000 - 3600000 ))
printf '%-22s %-34s %s\n' range call "seconds (cold, warm)"
for range in "10 days:$BIG_FROM:$BIG_TO:3600" "the last day:$((BIG_TO - DAY)):$BIG_TO:600" \
             "the last hour:$last_hour:$((last_hour + 3600000)):60"; do
  IFS=: read -r label from to step <<< "$range"
  for q in "q=info" "q=sources&from=$from&to=$to" "q=ids&from=$from&to=$to&detail=1&order=frames&limit=500" \
           "q=buckets&from=$from&to=$to&step=$step&top=8" "q=rate&from=$from&to=$to&step=$step" \
           "q=health&from=$from&to=$to&step=$step" "q=bytes&from=$from&to=$to&can_id=260&byte=0" \
           "q=ids&from=$from&to=$to&source=board-1"; do
    name=${q%%&from*}
    [[ $q != *source=* ]] || name+=" of one board"
    printf '%-22s %-34s %s\n' "$label" "$name" "$(call "$PORT" "$q")"
  done
done
oldest=$(sql -e "SELECT PARTITION_NAME FROM information_schema.PARTITIONS WHERE TABLE_SCHEMA = 'canlog'
                 AND TABLE_NAME = 'can_log' ORDER BY PARTITION_ORDINAL_POSITION LIMIT 1")
rows=$(sql -e "SELECT COUNT(*) FROM can_log PARTITION ($oldest)")
start=$(now)
sql -e "UPDATE can_log_retention SET keep_days = 9; CALL can_log_keep()"
echo "  can_log_keep with keep_days 9: the oldest day ($oldest, $rows rows) dropped in" \
  "$(awk -v s="$start" -v e="$(now)" 'BEGIN { printf "%.2f s", e - s }');" \
  "$(sql -e 'SELECT COUNT(*) FROM can_log') rows left"
[ ! -f "$DIR/errors" ] || { echo "errors:"; cat "$DIR/errors"; }
fi
