#!/usr/bin/env bash
# How fast can telltrail capture from a SocketCAN interface? Runs in the test
# guest (real kernel, vcan can0), telltrail and candump -l side by side on
# the same traffic from cangen:
#   1. flood: cangen -g 0 (as fast as the guest can send) for FLOOD frames;
#   2. paced: each gap in GAPS (ms between frames) for SECONDS seconds.
# For each run it prints the frames cangen sent, the frames candump -l and
# telltrail received, the rate, and the CPU time per frame of both receivers.
#
#   bench/guest_capture_rate.sh [BUILD_DIR]      (default build/native)
#   SECONDS_PER_RATE=60 GAPS="0.047 0.033 0.025" FLOOD=200000 bench/guest_capture_rate.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/native}
[ -x "$BUILD/app/telltrail" ] || cmake --build "$BUILD" --target telltrail -j2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/rate.sh" <<'GUEST'
#!/bin/sh
TICKS=100
cpu() { awk '{print $14 + $15}' /proc/$1/stat; }
# measure <label> <cangen options...>
measure() {
  label=$1
  shift
  rm -rf /tmp/r && mkdir -p /tmp/r
  (cd /tmp/r && exec candump -l can0) >/dev/null 2>&1 &
  dump=$!
  telltrail can0 1 /tmp/r/canlog csv >/tmp/r/out.txt &
  logger=$!
  sleep 1
  t0=$(date +%s)
  cangen can0 "$@" 2>/tmp/r/cangen.err
  t1=$(date +%s)
  sleep 2
  cpu_logger=$(cpu $logger)
  cpu_dump=$(cpu $dump)
  kill -TERM $logger
  wait $logger
  kill -INT $dump
  wait $dump 2>/dev/null
  got_dump=$(cat /tmp/r/candump-*.log | wc -l)
  got_logger=$(cat /tmp/r/canlog_* | wc -l)
  lost=$(grep -h 'overflow' /tmp/r/out.txt | tr '\n' ' ')
  awk -v l="$label" -v d="$got_dump" -v t="$got_logger" -v s=$((t1 - t0)) \
      -v cl="$cpu_logger" -v cd="$cpu_dump" -v k=$TICKS -v lost="$lost" 'BEGIN {
    s = s < 1 ? 1 : s
    printf "%-12s %8d s %9d candump %9d telltrail %8.0f frames/s  cpu/frame: telltrail %6.1f us, candump %6.1f us %s\n",
      l, s, d, t, d / s, t ? cl / k / t * 1e6 : 0, d ? cd / k / d * 1e6 : 0, lost }'
  rm -rf /tmp/r
}
FLOOD=${FLOOD:-200000}
SECONDS_PER_RATE=${SECONDS_PER_RATE:-60}
measure "flood" -g 0 -n "$FLOOD" -I i -L 8 -D i
for gap in ${GAPS:-0.1 0.047 0.033 0.025}; do
  # frames for SECONDS_PER_RATE seconds at the nominal rate of this gap
  n=$(awk -v g="$gap" -v s="$SECONDS_PER_RATE" 'BEGIN { printf "%d", s * 1000 / g }')
  measure "gap $gap ms" -g "$gap" -n "$n" -I i -L 8 -D i
done
GUEST
"$ROOT/tools/vmtest/run-in-guest.sh" --timeout 3600 --mem 2048 "$BUILD/app/telltrail" "$tmp/rate.sh" -- \
  FLOOD=${FLOOD:-200000} SECONDS_PER_RATE=${SECONDS_PER_RATE:-60} GAPS="'${GAPS:-0.1 0.047 0.033 0.025}'" sh rate.sh
