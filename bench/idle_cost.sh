#!/usr/bin/env bash
# What does telltrail cost while the bus is quiet, and how fast does it stop?
#   1. In the test guest (real kernel, vcan can0, no traffic): CPU time per
#      minute and wake-ups per second of `telltrail can0 10` beside
#      `candump can0`, measured side by side over MEASURE seconds from
#      SETTLE seconds after the start (default 12: past the first period, whose
#      end costs telltrail one wake-up before it waits for the next frame);
#   2. on this machine: the same for telltrail behind an idle CAN232
#      emulator (channel open, no frames), the emulator itself beside it;
#   3. stop times with a sample time of 86400: from SIGTERM, SIGHUP and
#      SIGINT to the exit, in the guest (SocketCAN) and here (CAN232).
# CPU time is the scheduler's own account of every thread
# (/proc/PID/task/*/schedstat, nanoseconds); wake-ups are the voluntary
# context switches of every thread (each one a sleep that ended).
#
#   bench/idle_cost.sh [BUILD_DIR]        (default build/native)
#   MEASURE=120 bench/idle_cost.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/native}
MEASURE=${MEASURE:-60}
SETTLE=${SETTLE:-12}
for t in telltrail can232emu; do
  [ -x "$BUILD/app/telltrail" ] && [ -x "$BUILD/tools/can232emu/can232emu" ] ||
    cmake --build "$BUILD" --target telltrail can232emu -j2 >/dev/null
done
tmp=$(mktemp -d /tmp/ttidle.XXXXXX)
cleanup() {
  [ -n "${EMU_PID:-}" ] && kill "$EMU_PID" 2>/dev/null
  [ -n "${TT_PID:-}" ] && kill "$TT_PID" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

# Shared by the guest (busybox sh) and this machine: the measuring helpers.
cat >"$tmp/measure.sh" <<'COMMON'
# cpu_ns <pid>: CPU time of all threads; wakeups <pid>: voluntary switches.
cpu_ns() { cat /proc/$1/task/*/schedstat | awk '{ n += $1 } END { printf "%.0f", n }'; }
wakeups() { cat /proc/$1/task/*/status | awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n + 0 }'; }
now() { cut -d' ' -f1 /proc/uptime; }
# idle <seconds> <label> <pid>...: prints one line per process.
idle() {
  secs=$1 label=$2
  shift 2
  for p in "$@"; do
    eval "c0_$p=\$(cpu_ns $p) w0_$p=\$(wakeups $p)"
  done
  sleep "$secs"
  for p in "$@"; do
    eval "c0=\$c0_$p w0=\$w0_$p"
    c1=$(cpu_ns $p)
    w1=$(wakeups $p)
    name=$(cat /proc/$p/comm)
    awk -v l="$label" -v n="$name" -v c="$((c1 - c0))" -v w="$((w1 - w0))" -v s="$secs" 'BEGIN {
      printf "  %-22s %-10s CPU %8.3f ms per minute, %8.2f wake-ups per second\n",
        l, n, c / 1e6 * 60 / s, w / s }'
  done
}
# stop_time <signal> <command...>: seconds from the signal to the exit.
stop_time() {
  sig=$1
  shift
  "$@" >/dev/null 2>&1 &
  p=$!
  sleep 2
  t0=$(now)
  kill -"$sig" $p
  status=0
  wait $p || status=$?
  awk -v a="$t0" -v b="$(now)" -v s="$sig" -v st="$status" 'BEGIN {
    printf "  SIG%-5s stop in %.2f s (exit status %d)\n", s, b - a, st }'
}
COMMON

cat >"$tmp/guest.sh" <<'GUEST'
#!/bin/sh
. ./measure.sh
MEASURE=$1
SETTLE=$2
telltrail can0 10 >/dev/null &
logger=$!
candump can0 >/dev/null &
dump=$!
sleep "$SETTLE"
echo "guest, SocketCAN can0 without traffic, $MEASURE s from $SETTLE s after the start:"
idle "$MEASURE" "telltrail can0 10" $logger $dump
kill -TERM $logger
kill -INT $dump
wait
echo "guest, stop with sample time 86400:"
for s in TERM HUP INT; do stop_time $s telltrail can0 86400; done
GUEST

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(uname -r)"
echo "build: $BUILD"
"$ROOT/tools/vmtest/run-in-guest.sh" --timeout $((MEASURE + SETTLE + 300)) "$BUILD/app/telltrail" \
  "$tmp/measure.sh" "$tmp/guest.sh" -- sh guest.sh "$MEASURE" "$SETTLE"

# shellcheck source=/dev/null
. "$tmp/measure.sh"
"$BUILD/tools/can232emu/can232emu" --quiet --link "$tmp/ttyIdle" --count 0 --linger \
  2>"$tmp/emu.err" &
EMU_PID=$!
for _ in $(seq 100); do [ -L "$tmp/ttyIdle" ] && break; sleep 0.1; done
"$BUILD/app/telltrail" "..$tmp/ttyIdle" 10 >/dev/null &
TT_PID=$!
sleep "$SETTLE"
echo "this machine, CAN232 emulator idle (channel open, no frames), $MEASURE s from $SETTLE s:"
idle "$MEASURE" "telltrail ttyIdle 10" "$TT_PID" "$EMU_PID"
kill -TERM "$TT_PID"
wait "$TT_PID" || true
TT_PID=
echo "this machine, CAN232, stop with sample time 86400:"
for s in TERM HUP INT; do stop_time $s "$BUILD/app/telltrail" "..$tmp/ttyIdle" 86400; done
