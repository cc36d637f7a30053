#!/usr/bin/env bash
# Database output throughput against a real MariaDB server (a throwaway one,
# tools/mariadb/test-server.sh; needs root and mariadb-server):
#
#  1. bench_mysql_rows: rows per second committed through KMySql, the
#     one-statement-per-frame form (autocommit) beside telltrail's form
#     (multi-row statements, a commit per 1000 rows), over the Unix socket
#     and over TCP, in one run;
#  2. end to end: can232emu sends eight-byte frames at fixed rates through a
#     pseudo-terminal, telltrail writes them over TCP, and the table is
#     checked against what was sent (frames in, rows committed).
#
#   bench/mysql_rate.sh [BUILD_DIR]
#
# Environment: ROWS (per form and round, default 30000), ROUNDS (default 2),
# DURATION (s of traffic per rate, default 10), RATES (frames/s, default
# "9009 21277 40000"; 9009 is a saturated 1 Mbit/s bus of eight-byte frames).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/bench-mysql}
ROWS=${ROWS:-30000}
ROUNDS=${ROUNDS:-2}
DURATION=${DURATION:-10}
RATES=${RATES:-"9009 21277 40000"}

if [ ! -x "$BUILD/bench/bench_mysql_rows" ] || [ ! -x "$BUILD/app/telltrail" ]; then
  echo "building in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLTRAIL_TESTS=OFF > /dev/null
  cmake --build "$BUILD" -j2 --target bench_mysql_rows telltrail can232emu candump-compare > /dev/null
  cmake --build "$BUILD" -j2 --target bench_mysql_bulk > /dev/null 2>&1 || true   # needs libmariadb-dev
fi
TELLTRAIL=$BUILD/app/telltrail
EMU=$BUILD/tools/can232emu/can232emu
COMPARE=$BUILD/tools/candump_compare/candump-compare
SERVER=$ROOT/tools/mariadb/test-server.sh
# shellcheck source=../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
TICKS=$(getconf CLK_TCK)

make_workdir ttdbrate
EMU_PID=
TT_PID=
CLEANUP_EXTRA='for pid in $EMU_PID $TT_PID; do kill "$pid" 2>/dev/null || true; done; "$SERVER" stop "$DIR/db" > /dev/null 2>&1 || true'

"$SERVER" start "$DIR/db" > /dev/null
set -a
# shellcheck disable=SC1091
. "$DIR/db/env"
set +a
sql() { "$SERVER" sql "$DIR/db" canlog -N -B -e "$1"; }

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(mariadbd --version | cut -d' ' -f2-4)"
echo
echo "== rows committed through the session (bench_mysql_rows)"
"$BUILD/bench/bench_mysql_rows" --host localhost --rows "$ROWS" --rounds "$ROUNDS"
echo
"$BUILD/bench/bench_mysql_rows" --host 127.0.0.1 --rows "$ROWS" --rounds "$ROUNDS"

echo
echo "== end to end: can232emu -> telltrail ttyX 1 127.0.0.1 mysql -> table, eight-byte frames, $DURATION s per rate"
printf '%8s %9s %8s %8s %8s %10s  %s\n' rate achieved "lag ms" frames rows telltrail result
for rate in $RATES; do
  count=$(( rate * DURATION ))
  sql "TRUNCATE can_log"
  awk -v n="$count" 'BEGIN {
    srand(9009)
    for (i = 0; i < n; i++) {
      id = (i % 2) ? sprintf("%08X", int(rand() * 536870912)) : sprintf("%03X", int(rand() * 2048))
      data = ""; for (b = 0; b < 8; b++) data = data sprintf("%02X", int(rand() * 256))
      printf "(%d.%06d) can0 %s#%s\n", 1796688000 + int(i / 1000), (i % 1000) * 1000, id, data
    }
  }' > "$DIR/traffic.log"
  rm -f "$DIR/ttyB"
  "$EMU" --quiet --link "$DIR/ttyB" --replay "$DIR/traffic.log" --rate "$rate" 2> "$DIR/emu.err" &
  EMU_PID=$!
  for _ in $(seq 100); do [ -L "$DIR/ttyB" ] && break; sleep 0.1; done
  "$TELLTRAIL" "..$DIR/ttyB" 1 127.0.0.1 mysql > "$DIR/telltrail.out" 2>&1 &
  TT_PID=$!
  ticks=0
  while kill -0 "$TT_PID" 2>/dev/null; do
    t=$(cpu_ticks "$TT_PID") && ticks=$t
    sleep 0.5
  done
  wait "$TT_PID" || true
  TT_PID=
  wait "$EMU_PID" || true
  EMU_PID=
  summary=$(grep 'frames sent in' "$DIR/emu.err" | tail -n 1)
  achieved=$(sed -n 's/.*(\([0-9]*\) frames\/s).*/\1/p' <<< "$summary")
  lag=$(sed -n 's/.*largest lag \([0-9]*\) ms.*/\1/p' <<< "$summary")
  sql "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY counter" > "$DIR/rows"
  rows=$(wc -l < "$DIR/rows")
  result=pass
  if ! "$COMPARE" "$DIR/traffic.log" "$DIR/rows" > "$DIR/compare" 2>&1; then
    result="LOST: $(tail -n 1 "$DIR/compare")"
  elif [ -z "$achieved" ] || [ $(( achieved * 100 )) -lt $(( rate * 99 )) ] || [ "${lag:-0}" -ge 1000 ]; then
    result="SLOW: emulator held back to $achieved frames/s, lag $lag ms"
  fi
  printf '%8d %9s %8s %8d %8d %10s  %s\n' "$rate" "${achieved:-?}" "${lag:-?}" "$count" "$rows" \
    "$(awk -v t="$ticks" -v k="$TICKS" -v w="$DURATION" 'BEGIN { printf "%.1f%%", 100 * t / k / w }')" \
    "$result"
done
echo "(telltrail: CPU share of one core over the $DURATION s of traffic; pass = every frame a row, in order, at the offered rate)"
