#!/usr/bin/env bash
# How fast can telltrail capture from a SocketCAN interface? Runs in the test
# guest (real kernel, vcan can0), telltrail and candump -l side by side on
# the same traffic:
#   1. flood: cangen -g 0 (as fast as the guest can send) for FLOOD frames;
#   2. paced: can_pace at each rate in RATES (frames/s) for SECONDS_PER_RATE
#      seconds (cangen's per-frame sleeps cannot reach these rates here);
#   3. filtered: the same at each rate in FILTER_RATES with a kernel filter
#      on both receivers (FILTER, default 000:700: identifiers 000..0FF, 1
#      in 8 of can_pace's counting identifiers; 87.5 % rejected), telltrail
#      with <filter> in a settings file, candump with can0,FILTER.
# For each run it prints the frames candump -l and telltrail received, the
# rate, the CPU time per frame of both receivers, and telltrail's own loss
# reports (ring or receive queue overflow) if any.
#
#   bench/guest_capture_rate.sh [BUILD_DIR]      (default build/native)
#   SECONDS_PER_RATE=60 RATES="10000 21277 30000" FLOOD=200000 bench/guest_capture_rate.sh
#   FILTER_RATES="100 1000" FILTER=000:700
#   ALONE=1: each paced rate also with telltrail alone ("tt") and candump
#   alone ("cd"), one after the other on the same traffic
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/native}
[ -x "$BUILD/app/telltrail" ] || cmake --build "$BUILD" --target telltrail -j2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/rate.sh" <<'GUEST'
#!/bin/sh
TICKS=100
# CPU time of all the process's threads in 1/TICKS s, from the scheduler's
# own account (ns) where the kernel keeps it: the clock ticks of
# /proc/PID/stat only sample a process that runs a few microseconds at a time.
cpu() {
  if [ -r /proc/$1/schedstat ]; then
    cat /proc/$1/task/*/schedstat | awk -v k=$TICKS '{ns += $1} END {printf "%.3f\n", ns / 1e9 * k}'
  else
    awk '{print $14 + $15}' /proc/$1/stat
  fi
}
# measure <label> <sender command...>  (with $filter set: both filtered;
# with $only set to candump or telltrail: that receiver alone)
measure() {
  label=$1
  shift
  rm -rf /tmp/r && mkdir -p /tmp/r
  dump=
  logger=
  if [ "${only:-}" != telltrail ]; then
    (cd /tmp/r && exec candump -l "can0${filter:+,$filter}") >/dev/null 2>&1 &
    dump=$!
  fi
  if [ "${only:-}" = candump ]; then
    :
  elif [ -n "${filter:-}" ]; then
    printf '<telltrail><device Name="can0"/><sleep Name="1"/><filter Name="%s"/><log_file Name="/tmp/r/canlog" Format="csv"/></telltrail>\n' \
      "$filter" > /tmp/filter.xml
    telltrail /tmp/filter.xml >/tmp/r/out.txt &
  else
    telltrail can0 1 /tmp/r/canlog csv >/tmp/r/out.txt &
  fi
  [ "${only:-}" = candump ] || logger=$!
  sleep 1
  t0=$(date +%s)
  "$@" >/tmp/r/sender.out 2>&1
  t1=$(date +%s)
  sleep 2
  cpu_logger=0 cpu_dump=0 got_dump=0 got_logger=0 lost=
  if [ -n "$logger" ]; then
    cpu_logger=$(cpu $logger)
    kill -TERM $logger
    wait $logger
    got_logger=$(cat /tmp/r/canlog_* | wc -l)
    lost=$(grep -h 'overflow' /tmp/r/out.txt | tr '\n' ' ')
  fi
  if [ -n "$dump" ]; then
    cpu_dump=$(cpu $dump)
    kill -INT $dump
    wait $dump 2>/dev/null
    got_dump=$(cat /tmp/r/candump-*.log | wc -l)
  fi
  sent=$(sed -n 's/^sent \([0-9]*\) frames.*/\1/p' /tmp/r/sender.out)
  awk -v l="$label" -v d="$got_dump" -v t="$got_logger" -v s=$((t1 - t0)) -v n="${sent:-$FLOOD}" \
      -v cl="$cpu_logger" -v cd="$cpu_dump" -v k=$TICKS -v lost="$lost" 'BEGIN {
    s = s < 1 ? 1 : s
    # filtered runs: CPU per frame on the bus (the rejected ones cost too)
    pt = l ~ /^f/ ? n : t; pd = l ~ /^f/ ? n : d
    printf "%-9s %4d s sent %8d: candump -l %8d, telltrail %8d (%6.0f frames/s); cpu/frame telltrail %5.1f us, candump %5.1f us %s\n",
      l, s, n, d, t, t / s, pt ? cl / k / pt * 1e6 : 0, pd ? cd / k / pd * 1e6 : 0, lost }'
  rm -rf /tmp/r
}
FLOOD=${FLOOD:-200000}
SECONDS_PER_RATE=${SECONDS_PER_RATE:-60}
RATES=${RATES:-5000 10000 21277 30000 40000}
measure "flood" cangen can0 -g 0 -n "$FLOOD" -I i -L 8 -D i
for rate in $RATES; do
  measure "$rate/s" can_pace can0 "$rate" "$SECONDS_PER_RATE"
  # Side by side, the receiver the kernel wakes second for a frame may pay
  # more for it; ALONE=1 measures each on its own, on the same traffic.
  if [ "${ALONE:-0}" = 1 ]; then
    only=telltrail
    measure "$rate/s tt" can_pace can0 "$rate" "$SECONDS_PER_RATE"
    only=candump
    measure "$rate/s cd" can_pace can0 "$rate" "$SECONDS_PER_RATE"
    only=
  fi
done
filter=${FILTER:-000:700}
for rate in ${FILTER_RATES:-100 1000 10000}; do
  measure "f$rate/s" can_pace can0 "$rate" "$SECONDS_PER_RATE"
done
GUEST
[ -x "$BUILD/bench/can_pace" ] || cmake --build "$BUILD" --target can_pace -j2
"$ROOT/tools/vmtest/run-in-guest.sh" --timeout 3600 --mem 2048 "$BUILD/app/telltrail" \
  "$BUILD/bench/can_pace" "$tmp/rate.sh" -- \
  FLOOD=${FLOOD:-200000} SECONDS_PER_RATE=${SECONDS_PER_RATE:-60} \
  RATES="'${RATES:-5000 10000 21277 30000 40000}'" FILTER_RATES="'${FILTER_RATES:-100 1000 10000}'" \
  FILTER="${FILTER:-000:700}" ALONE="${ALONE:-0}" sh rate.sh
