#!/usr/bin/env bash
# Catching up after an outage: a spool holding OUTAGE seconds of a saturated
# 1 Mbit/s bus (9009 eight-byte frames/s; 10 minutes are 5.4 M frames) is
# delivered into a throwaway MariaDB table while live traffic goes on at the
# same rate from the CAN232 emulator. Prints what writing the spool cost per
# frame, how long the table took to catch up, the drain rate beside the live
# rate, and whether every live frame arrived.
#
#   bench/spool_drain.sh [BUILD_DIR]
#
# Environment: OUTAGE (s, default 600), RATE (frames/s, default 9009).
# Needs root (the database server), mariadb-server.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/bench-spool}
OUTAGE=${OUTAGE:-600}
RATE=${RATE:-9009}

if [ ! -x "$BUILD/bench/spool_fill" ] || [ ! -x "$BUILD/app/telltrail" ]; then
  echo "building in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLTRAIL_TESTS=OFF > /dev/null
  cmake --build "$BUILD" -j2 --target spool_fill telltrail can232emu > /dev/null
fi
EMU=$BUILD/tools/can232emu/can232emu
SERVER=$ROOT/tools/mariadb/test-server.sh
# shellcheck source=../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"

make_workdir ttspooldrain
CLEANUP_EXTRA='"$SERVER" stop "$DIR/db" > /dev/null 2>&1 || true'
"$SERVER" start "$DIR/db" > /dev/null
set -a
# shellcheck disable=SC1091
. "$DIR/db/env"
set +a
sql() { "$SERVER" sql "$DIR/db" canlog -N -B -e "$1"; }
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(mariadbd --version | cut -d' ' -f2-4)"

backlog=$(( OUTAGE * RATE ))
echo "== the outage: $OUTAGE s of $RATE frames/s into the spool ($backlog frames)"
"$BUILD/bench/spool_fill" "$DIR/spool" "$backlog"

# Live traffic: eight-byte frames, standard and extended, for as long as the
# catching up may take.
live_seconds=$(( OUTAGE / 4 + 60 ))
awk -v n=20000 'BEGIN {
  srand(7)
  for (i = 0; i < n; i++) {
    id = (i % 2) ? sprintf("%08X", int(rand() * 536870912)) : sprintf("%03X", int(rand() * 2048))
    data = ""; for (b = 0; b < 8; b++) data = data sprintf("%02X", int(rand() * 256))
    printf "(%d.%06d) can0 %s#%s\n", 1796688000 + int(i / 1000), (i % 1000) * 1000, id, data
  }
}' > "$DIR/traffic.log"
cat > "$DIR/bus.xml" << XML
<telltrail><device Name="..$DIR/ttyB"/><sleep Name="1"/>
<mysql Host="localhost" User="pi" Password="quillfern" DB="canlog"/>
<spool Name="$DIR/spool" MaxMB="4096"/></telltrail>
XML
"$EMU" --quiet --link "$DIR/ttyB" --replay "$DIR/traffic.log" --rate "$RATE" \
  --count $(( live_seconds * RATE )) --linger --sent-log "$DIR/sent.log" 2> "$DIR/emu.err" &
EMU_PID=$!
PIDS+=("$EMU_PID")
wait_for 10 test -L "$DIR/ttyB"
echo "== the server is back: telltrail delivers the spool while $RATE frames/s go on"
start=$(date +%s.%N)
"$BUILD/app/telltrail" "$DIR/bus.xml" > "$DIR/telltrail.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")
caught=
while kill -0 "$TT_PID" 2> /dev/null; do
  if grep -q "spooled frames delivered" "$DIR/telltrail.out"; then
    caught=$(date +%s.%N)
    break
  fi
  sleep 0.2
done
[ -n "$caught" ] || { echo "telltrail ended before it caught up:"; tail "$DIR/telltrail.out"; exit 1; }
elapsed=$(awk -v a="$start" -v b="$caught" 'BEGIN { printf "%.1f", b - a }')
live=$(wc -l < "$DIR/sent.log")
grep "spooled frames delivered" "$DIR/telltrail.out"
awk -v s="$elapsed" -v b="$backlog" -v l="$live" -v r="$RATE" 'BEGIN {
  printf "caught up after %.1f s: %d spooled + %d live frames, %.0f rows/s in all, the backlog at %.0f frames/s = %.1f x the live rate\n",
    s, b, l, (b + l) / s, b / s, b / s / r }'
# The live frames keep coming for a while after catching up, then the last
# period is written and the run stopped.
kill -TERM "$EMU_PID"; wait "$EMU_PID" || true
sleep 3
kill -TERM "$TT_PID"; wait "$TT_PID" || true
sent=$(wc -l < "$DIR/sent.log")
rows=$(sql "SELECT COUNT(*) FROM can_log")
live_rows=$(( rows - backlog ))
overflow=$(grep -c "overflow" "$DIR/telltrail.out" || true)
echo "live frames: $sent sent, $live_rows stored; ring or queue overflows: $overflow"
[ "$live_rows" -eq "$sent" ] && [ "$overflow" -eq 0 ] && echo "live traffic lossless" || echo "LIVE FRAMES LOST"
