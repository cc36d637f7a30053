#!/usr/bin/env bash
# telltrail web page demo without CAN hardware, end to end: the CAN232
# adapter emulator replays a small bus (cyclic frames, a counter, a slowly
# changing value, extended and remote frames, and a heating system's Elster
# telegrams: 0x680 asks 0x180 for the outside temperature, index 0x000C),
#   telltrail <tty device> 1 localhost mysql
# writes the frames into a throwaway MariaDB server, and the web page
# (web/ under PHP's built-in server) shows them. Prints the address to open;
# runs until Ctrl-C (or DEMO_SECONDS).
#
#   tools/demo-web.sh
#
# Needs root (the throwaway database server runs as root; missing Debian
# packages are installed). Environment: DEMO_PORT (default 8080),
# DEMO_ADDRESS (default 127.0.0.1; 0.0.0.0 to let other machines of the LAN
# see it), DEMO_DIR (default /tmp/telltrail-web-demo), DEMO_SECONDS (stop
# after that many seconds), BUILD (default build/demo).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/demo}
DEMO_PORT=${DEMO_PORT:-8080}
DEMO_ADDRESS=${DEMO_ADDRESS:-127.0.0.1}
DEMO_DIR=${DEMO_DIR:-/tmp/telltrail-web-demo}
DB=$DEMO_DIR/db
HTTP=$DEMO_DIR/http

say() { printf '\n=== %s\n' "$*"; }
[ "$(id -u)" -eq 0 ] || { echo "demo-web.sh: run as root (the throwaway MariaDB server needs it)"; exit 1; }

missing=()
for p in build-essential cmake mariadb-server mariadb-client libmariadb-dev-compat php-cli php-mysql libjs-chart.js; do
  dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

say "building telltrail and can232emu in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLTRAIL_TESTS=OFF -DTELLTRAIL_BENCH=OFF > /dev/null
cmake --build "$BUILD" -j2 --target telltrail can232emu > /dev/null

EMU_PID=
TT_PID=
cleanup() {
  [ -n "$TT_PID" ] && kill "$TT_PID" 2> /dev/null || true
  [ -n "$EMU_PID" ] && kill "$EMU_PID" 2> /dev/null || true
  "$ROOT/tools/httpserver/httpserver.sh" stop "$HTTP" > /dev/null 2>&1 || true
  "$ROOT/tools/mariadb/test-server.sh" stop "$DB" > /dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 0' INT TERM
mkdir -p "$DEMO_DIR"

say "starting a throwaway MariaDB server in $DB, with the table can_log and its summary"
"$ROOT/tools/mariadb/test-server.sh" start "$DB" > /dev/null
sql() { "$ROOT/tools/mariadb/test-server.sh" sql "$DB" canlog "$@"; }
# The event scheduler keeps the summary current; the page reads as a user
# that may only read.
sql -e "SET GLOBAL event_scheduler = ON;
        CREATE USER 'telltrail_web'@'localhost' IDENTIFIED BY 'demo-only';
        GRANT SELECT ON canlog.* TO 'telltrail_web'@'localhost'"
set -a
# shellcheck disable=SC1091
. "$DB/env"
set +a
cat > "$DEMO_DIR/web.ini" << EOF
db_socket = "$MYSQL_UNIX_PORT"
db_name = "canlog"
db_user = "telltrail_web"
db_password = "demo-only"
EOF

# Two minutes of a small bus, replayed over and over: 0x100 every 10 ms
# (a counter), 0x101 every 100 ms (a slowly rising and falling value, 16-bit
# big-endian in bytes 0 and 1), 0x18FEF100 every 50 ms (extended), a remote
# request for 0x3FF every second, and every 5 s 0x680 asking 0x180 for index
# 0x000C with 0x180's answer (tenths of a degree, a daily curve).
awk 'BEGIN {
  t0 = 1796688000
  for (ms = 0; ms < 120000; ms += 10) {
    ts = sprintf("(%d.%06d) can0", t0 + int(ms / 1000), (ms % 1000) * 1000)
    printf "%s 100#%02X%02X\n", ts, int(ms / 10) % 256, 0x5A
    if (ms % 100 == 0) {
      v = int(2000 + 1500 * sin(ms / 120000 * 6.2832))
      printf "%s 101#%02X%02X00\n", ts, int(v / 256), v % 256
    }
    if (ms % 50 == 0) printf "%s 18FEF100#%02X%02X0000FFFF0000\n", ts, int(ms / 50) % 256, 0x10
    if (ms % 1000 == 0) printf "%s 3FF#R\n", ts
    if (ms % 5000 == 0) {
      printf "%s 680#3100FA000C0000\n", ts
      t = int(45 + 30 * sin(ms / 120000 * 6.2832))
      if (t < 0) t += 65536
      printf "(%d.%06d) can0 180#D200FA000C%02X%02X\n", t0 + int(ms / 1000), (ms % 1000) * 1000 + 3000, int(t / 256), t % 256
    }
  }
}' > "$DEMO_DIR/bus.log"

say "starting the CAN232 adapter emulator (a small bus with Elster telegrams)"
rm -f "$DEMO_DIR/ttyEMU0"
"$BUILD/tools/can232emu/can232emu" --quiet --link "$DEMO_DIR/ttyEMU0" --replay "$DEMO_DIR/bus.log" \
  --count 100000000 2> "$DEMO_DIR/emu.err" &
EMU_PID=$!
for _ in $(seq 50); do [ -L "$DEMO_DIR/ttyEMU0" ] && break; sleep 0.1; done
[ -L "$DEMO_DIR/ttyEMU0" ] || { echo "demo-web.sh: the emulator did not start: $(cat "$DEMO_DIR/emu.err")"; exit 1; }

say "telltrail ..$DEMO_DIR/ttyEMU0 1 localhost mysql   (console output in $DEMO_DIR/telltrail.out)"
"$BUILD/app/telltrail" "..$DEMO_DIR/ttyEMU0" 1 localhost mysql > "$DEMO_DIR/telltrail.out" 2>&1 &
TT_PID=$!

HTTPSERVER_ROOT=$ROOT/web TELLTRAIL_WEB_CONFIG=$DEMO_DIR/web.ini \
  "$ROOT/tools/httpserver/httpserver.sh" start php "$HTTP" "$DEMO_ADDRESS" "$DEMO_PORT" > /dev/null ||
  { if grep -q 'Address already in use' "$HTTP"/logs/*.log 2> /dev/null; then
      echo "demo-web.sh: port $DEMO_PORT of $DEMO_ADDRESS is taken by another program: set DEMO_PORT"
    else
      echo "demo-web.sh: PHP's server did not start on $DEMO_ADDRESS:$DEMO_PORT: $(tail -n 3 "$HTTP"/logs/*.log)"
    fi
    exit 1; }
sleep 3
say "open http://$DEMO_ADDRESS:$DEMO_PORT/ in a browser ($(sql -N -e 'SELECT COUNT(*) FROM can_log') frames so far);" \
  "the API: http://$DEMO_ADDRESS:$DEMO_PORT/api.php?q=info  —  Ctrl-C stops the demo"
if [ -n "${DEMO_SECONDS:-}" ]; then
  sleep "$DEMO_SECONDS"
else
  while kill -0 "$TT_PID" 2> /dev/null; do sleep 1; done
  echo "demo-web.sh: telltrail ended: $(tail -n 3 "$DEMO_DIR/telltrail.out")"
fi
