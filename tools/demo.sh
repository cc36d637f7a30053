#!/usr/bin/env bash
# telltrail demo without CAN hardware: builds telltrail and the CAN232 adapter
# emulator, starts the emulator with demo traffic on a pseudo-terminal, runs
#   telltrail <tty device> 1 <dir>/canlog csv
# on it for a while (console output and a daily CSV log file), stops it with
# SIGTERM and shows where the log file is and its first lines.
#
#   tools/demo.sh
#
# Environment: DEMO_SECONDS (default 10), DEMO_RATE (frames/s, default 20),
# DEMO_DIR (log directory, default /tmp/telltrail-demo), BUILD (build
# directory, default build/demo). As root it installs missing build tools
# with apt-get and links the adapter as /dev/ttyEMU0; without root the link
# lives in the log directory and telltrail reaches it through a device
# argument that climbs out of /dev (../tmp/...), after which telltrail
# complains that the name does not begin with "tty" and carries on.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/demo}
DEMO_SECONDS=${DEMO_SECONDS:-10}
DEMO_RATE=${DEMO_RATE:-20}
DEMO_DIR=${DEMO_DIR:-/tmp/telltrail-demo}

say() { printf '\n=== %s\n' "$*"; }

# Build tools of a fresh Debian machine.
missing=()
command -v cmake > /dev/null || missing+=(cmake)
command -v g++ > /dev/null || missing+=(g++)
command -v make > /dev/null || missing+=(make)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: please install ${missing[*]} (or run as root)"
    exit 1
  fi
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends build-essential cmake
fi

say "building telltrail and can232emu in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLTRAIL_TESTS=OFF \
  -DTELLTRAIL_BENCH=OFF > /dev/null
cmake --build "$BUILD" -j2 --target telltrail can232emu > /dev/null
TELLTRAIL=$BUILD/app/telltrail
EMU=$BUILD/tools/can232emu/can232emu

mkdir -p "$DEMO_DIR"
rm -f "$DEMO_DIR"/canlog_*
if [ -w /dev ] && { [ ! -e /dev/ttyEMU0 ] || [ -L /dev/ttyEMU0 ]; }; then
  LINK=/dev/ttyEMU0
  DEVICE=ttyEMU0
else
  LINK=$(cd "$DEMO_DIR" && pwd)/ttyEMU0
  DEVICE=..$LINK # telltrail opens "/dev/" + DEVICE
fi

EMU_PID=
TT_PID=
cleanup() {
  [ -n "$TT_PID" ] && kill "$TT_PID" 2> /dev/null || true
  [ -n "$EMU_PID" ] && kill "$EMU_PID" 2> /dev/null || true
}
trap cleanup EXIT

say "starting the CAN232 adapter emulator: $DEMO_RATE frames/s, standard, extended and remote frames"
"$EMU" --link "$LINK" --rate "$DEMO_RATE" --mix std,ext,rtr --seed "$RANDOM" &
EMU_PID=$!
for _ in $(seq 50); do [ -L "$LINK" ] && break; sleep 0.1; done
[ -L "$LINK" ] || { echo "demo.sh: the emulator did not start"; exit 1; }

say "telltrail $DEVICE 1 $DEMO_DIR/canlog csv   (for $DEMO_SECONDS s; remote frames and the last frame of every second are shown)"
"$TELLTRAIL" "$DEVICE" 1 "$DEMO_DIR/canlog" csv &
TT_PID=$!
sleep "$DEMO_SECONDS"

say "stopping telltrail with SIGTERM"
kill -TERM "$TT_PID"
wait "$TT_PID" || echo "demo.sh: telltrail ended with status $?"
TT_PID=
kill -TERM "$EMU_PID"
wait "$EMU_PID" || true
EMU_PID=

LOGS=$(ls "$DEMO_DIR"/canlog_* 2> /dev/null || true)
if [ -z "$LOGS" ]; then
  echo "demo.sh: no log file was written"
  exit 1
fi
for log in $LOGS; do
  say "log file $log: $(wc -l < "$log") frames; the first lines (counter, date, ms of the day, identifier with flags, flags byte, d0..d7):"
  head -n 10 "$log"
done
