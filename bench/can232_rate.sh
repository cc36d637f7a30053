#!/usr/bin/env bash
# Throughput of telltrail behind a CAN232 adapter: the emulator sends frames
# at a fixed rate for DURATION seconds through a pseudo-terminal, telltrail
# logs them as CSV, candump-compare checks the log against what was sent.
# A rate passes when the log holds every frame in order and the emulator kept
# its rate (a reader that falls behind fills the pseudo-terminal and holds the
# sender back; on a real serial line those bytes would be lost).
#
#   bench/can232_rate.sh [BUILD_DIR]
#
# Environment: DURATION (s, default 60), RATES (frames/s, ascending, default
# "5230 10000 20000 40000 80000"), REFINE (bisection steps between the last
# pass and the first failure, default 3), MIX (default std,ext).
# For reference: at 115200 baud the real adapter's line carries at most about
# 523 eight-byte frames per second.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/bench-can232}
DURATION=${DURATION:-60}
RATES=${RATES:-"5230 10000 20000 40000 80000"}
REFINE=${REFINE:-3}
MIX=${MIX:-std,ext}

if [ ! -x "$BUILD/app/telltrail" ] || [ ! -x "$BUILD/tools/can232emu/can232emu" ] ||
   [ ! -x "$BUILD/tools/candump_compare/candump-compare" ]; then
  echo "building telltrail, can232emu and candump-compare in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLTRAIL_TESTS=OFF \
    -DTELLTRAIL_BENCH=OFF > /dev/null
  cmake --build "$BUILD" -j2 --target telltrail can232emu candump-compare > /dev/null
fi
TELLTRAIL=$BUILD/app/telltrail
EMU=$BUILD/tools/can232emu/can232emu
COMPARE=$BUILD/tools/candump_compare/candump-compare
TICKS=$(getconf CLK_TCK)
# shellcheck source=../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"

make_workdir tt232rate
EMU_PID=
TT_PID=
CLEANUP_EXTRA='for pid in $EMU_PID $TT_PID; do kill "$pid" 2>/dev/null || true; done'

# run_rate <rate>: prints one result line; true when the rate passed.
run_rate() {
  local rate=$1 count=$(( $1 * DURATION ))
  rm -f "$DIR"/*
  "$EMU" --quiet --link "$DIR/ttyB" --rate "$rate" --count "$count" --mix "$MIX" --seed 1 \
    --sent-log "$DIR/sent.log" 2> "$DIR/emu.err" &
  EMU_PID=$!
  for _ in $(seq 100); do [ -L "$DIR/ttyB" ] && break; sleep 0.1; done
  local start=$SECONDS
  "$TELLTRAIL" "..$DIR/ttyB" 1 "$DIR/canlog" csv > "$DIR/telltrail.out" 2>&1 &
  TT_PID=$!
  local ticks=0 emuTicks=0 t deadline=$(( SECONDS + DURATION * 3 + 60 ))
  while kill -0 "$TT_PID" 2>/dev/null; do
    t=$(cpu_ticks "$TT_PID") && ticks=$t
    t=$(cpu_ticks "$EMU_PID") && emuTicks=$t
    if [ $SECONDS -gt $deadline ]; then
      kill -TERM "$TT_PID" "$EMU_PID" 2>/dev/null || true
    fi
    sleep 0.5
  done
  wait "$TT_PID" || true
  TT_PID=
  wait "$EMU_PID" || true
  EMU_PID=
  local wall=$(( SECONDS - start ))
  [ "$wall" -gt 0 ] || wall=1
  local summary achieved lag verdict compare
  summary=$(grep 'frames sent in' "$DIR/emu.err" | tail -n 1)
  achieved=$(sed -n 's/.*(\([0-9]*\) frames\/s).*/\1/p' <<< "$summary")
  lag=$(sed -n 's/.*largest lag \([0-9]*\) ms.*/\1/p' <<< "$summary")
  compare=$("$COMPARE" "$DIR/sent.log" "$DIR"/canlog_* 2>&1 | tail -n 1) || true
  verdict=pass
  if ! grep -q "frames compared: identical" <<< "$compare"; then
    verdict="LOST: $compare"
    local overflow
    overflow=$(awk '/^ring buffer overflow:/ { n += $4 } END { print n + 0 }' "$DIR/telltrail.out")
    [ "$overflow" -eq 0 ] || verdict="LOST: $overflow frames overwritten in the capture ring"
  elif [ -z "$achieved" ] || [ $(( achieved * 100 )) -lt $(( rate * 99 )) ] ||
       [ "${lag:-0}" -ge 1000 ]; then
    verdict="SLOW: emulator held back to $achieved frames/s, lag ${lag} ms"
  fi
  printf '%8d %9s %8s %7s %11s %9s  %s\n' "$rate" "${achieved:-?}" "${lag:-?}" \
    "$(( $(wc -l < "$DIR/sent.log") ))" \
    "$(awk -v t="$ticks" -v k="$TICKS" -v w="$DURATION" 'BEGIN { printf "%.1f%%", 100 * t / k / w }')" \
    "$(awk -v t="$emuTicks" -v k="$TICKS" -v w="$DURATION" 'BEGIN { printf "%.1f%%", 100 * t / k / w }')" \
    "$verdict"
  [ "$verdict" = pass ]
}

echo "telltrail behind can232emu: $DURATION s per rate, mix $MIX, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%8s %9s %8s %7s %11s %9s  %s\n' rate achieved "lag ms" frames "telltrail" "emulator" result
best=0
failed=0
for rate in $RATES; do
  if run_rate "$rate"; then
    best=$rate
  else
    failed=$rate
    break
  fi
done
if [ "$failed" -gt 0 ] && [ "$best" -gt 0 ]; then
  lo=$best hi=$failed
  for _ in $(seq "$REFINE"); do
    mid=$(( (lo + hi) / 2 ))
    [ $(( hi - lo )) -gt $(( lo / 20 )) ] || break
    if run_rate "$mid"; then lo=$mid; best=$mid; else hi=$mid; fi
  done
fi
echo "(CPU columns: share of one core over the $DURATION s of traffic)"
if [ "$best" -gt 0 ]; then
  echo "highest rate without loss: $best frames/s ($(( best * 10 / 523 / 10 ))x the real adapter's 523 frames/s)"
else
  echo "no rate passed"
fi
