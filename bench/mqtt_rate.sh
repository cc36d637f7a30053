#!/usr/bin/env bash
# MQTT output throughput against a real Mosquitto broker (a throwaway one,
# tools/mosquitto/test-broker.sh):
#
#  1. can232emu sends eight-byte frames at fixed rates through a
#     pseudo-terminal, telltrail publishes them at QoS 0 and QoS 1, and
#     mosquitto_sub takes them; every frame is judged (tests/app/mqtt_judge.py);
#  2. catch-up: the broker away for OUTAGE seconds of a saturated bus
#     (9009 frames/s) with a spool, then back: the time until the spool is
#     empty, and the rate it was published at.
#
#   bench/mqtt_rate.sh [BUILD_DIR]
#
# Environment: DURATION (s of traffic per rate, default 10), RATES
# (frames/s, default "9009 21277"; 9009 is a saturated 1 Mbit/s bus of
# eight-byte frames), OUTAGE (s, default 60).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/native}
DURATION=${DURATION:-10}
RATES=${RATES:-"9009 21277"}
OUTAGE=${OUTAGE:-60}
TELLTRAIL=$BUILD/app/telltrail
EMU=$BUILD/tools/can232emu/can232emu
BROKER=$ROOT/tools/mosquitto/test-broker.sh
JUDGE=$ROOT/tests/app/mqtt_judge.py
# shellcheck source=../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
TICKS=$(getconf CLK_TCK)
[ -x "$TELLTRAIL" ] && [ -x "$EMU" ] || { echo "build telltrail and can232emu in $BUILD first"; exit 2; }

make_workdir ttmqttrate
CLEANUP_EXTRA='"$BROKER" stop "$DIR/broker" > /dev/null 2>&1 || true'
"$BROKER" start "$DIR/broker" > /dev/null
PORT=$(sed -n 's/^MQTT_PORT=//p' "$DIR/broker/env")

# traffic COUNT: a replay log of eight-byte frames, standard and extended.
traffic() {
  awk -v n="$1" 'BEGIN {
    srand(9009)
    for (i = 0; i < n; i++) {
      id = (i % 2) ? sprintf("%08X", int(rand() * 536870912)) : sprintf("%03X", int(rand() * 2048))
      data = ""; for (b = 0; b < 8; b++) data = data sprintf("%02X", int(rand() * 256))
      printf "(%d.%06d) can0 %s#%s\n", 1796688000 + int(i / 1000), (i % 1000) * 1000, id, data
    }
  }' > "$DIR/traffic.log"
}
# run NAME QOS RATE: emulator, subscriber and telltrail started.
run() {
  local name=$1 qos=$2 rate=$3
  mosquitto_sub -p "$PORT" -q 1 -v -t "bench/$name/frame/#" -t "bench/$name/probe" > "$DIR/$name.sub" &
  PIDS+=($!); SUB_PID=$!
  wait_for 10 eval "mosquitto_pub -p $PORT -t bench/$name/probe -m x; grep -q probe \"$DIR/$name.sub\"" ||
    fail "$name: subscriber not ready"
  rm -f "$DIR/ttyB"
  "$EMU" --quiet --link "$DIR/ttyB" --replay "$DIR/traffic.log" --rate "$rate" --linger \
    --sent-log "$DIR/$name.sent" 2> "$DIR/$name-emu.err" &
  EMU_PID=$!; PIDS+=($!)
  wait_for 10 test -L "$DIR/ttyB" || fail "$name: no emulator"
  { echo "<telltrail><device Name=\"..$DIR/ttyB\"/><sleep Name=\"1\"/>"
    echo "<mqtt Host=\"127.0.0.1\" Port=\"$PORT\" Topic=\"bench/$name\" Qos=\"$qos\"/>"
    echo "<spool Name=\"$DIR/$name.spool\"/></telltrail>"; } > "$DIR/$name.xml"
  "$TELLTRAIL" "$DIR/$name.xml" > "$DIR/$name.out" 2>&1 &
  TT_PID=$!; PIDS+=($!)
}
arrived() { grep -c '/frame/' "$DIR/$1.sub" || true; }
# finish: telltrail, the emulator and the subscriber stopped (telltrail's
# end noted when it ended by itself before).
finish() {
  kill -TERM "$TT_PID" 2> /dev/null || echo "(telltrail had ended: $(grep -v '^ *[0-9]* ' "$DIR"/*.out | tail -n 2 | tr '\n' ' '))"
  wait "$TT_PID" || true
  kill -TERM "$EMU_PID" 2> /dev/null || true
  wait "$EMU_PID" || true
  kill "$SUB_PID"; wait "$SUB_PID" 2> /dev/null || true
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(mosquitto -h 2>&1 | head -n 1)"
echo
echo "== can232emu -> telltrail -> mosquitto -> mosquitto_sub, eight-byte frames, $DURATION s per rate"
printf '%4s %8s %9s %8s %8s %8s %10s  %s\n' QoS rate achieved frames arrived "late s" telltrail result
for qos in 0 1; do
  for rate in $RATES; do
    count=$(( rate * DURATION ))
    traffic "$count"
    name=q$qos-$rate
    run "$name" "$qos" "$rate"
    ticks=0
    deadline=$((SECONDS + DURATION + 120))
    while [ "$(wc -l < "$DIR/$name.sent")" -lt "$count" ] && [ $SECONDS -lt $deadline ]; do
      t=$(cpu_ticks "$TT_PID") && ticks=$t
      sleep 0.5
    done
    sent_at=$(date +%s.%N)
    until [ "$(arrived "$name")" -ge "$count" ] || [ $SECONDS -ge $deadline ]; do
      t=$(cpu_ticks "$TT_PID") && ticks=$t
      sleep 0.2
    done
    late=$(awk -v a="$sent_at" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    finish
    summary=$(grep 'frames sent in' "$DIR/$name-emu.err" | tail -n 1 || true)
    achieved=$(sed -n 's/.*(\([0-9]*\) frames\/s).*/\1/p' <<< "$summary")
    result=$("$JUDGE" frames "$DIR/$name.sent" "$DIR/$name.sub" --duplicates 2>&1) || result="FAILED: $result"
    printf '%4d %8d %9s %8d %8d %8s %10s  %s\n' "$qos" "$rate" "${achieved:-?}" "$count" \
      "$(arrived "$name")" "$late" \
      "$(awk -v t="$ticks" -v k="$TICKS" -v w="$DURATION" 'BEGIN { printf "%.1f%%", 100 * t / k / w }')" \
      "$result"
  done
done
echo "(late s: from the last frame sent to the last frame arrived; telltrail: CPU share of one core"
echo " over the $DURATION s of traffic)"

echo
echo "== catch-up: the broker away for $OUTAGE s of a saturated bus (9009 frames/s), QoS 1, spool"
count=$(( 9009 * (OUTAGE + 10) ))
traffic "$count"
run catchup 1 9009
wait_for 30 eval '[ "$(arrived catchup)" -ge 9009 ]' || fail "catch-up: no frames"
"$BROKER" halt "$DIR/broker"
sleep "$OUTAGE"
"$BROKER" resume "$DIR/broker" > /dev/null
back=$SECONDS
wait_for $((OUTAGE * 3 + 120)) grep -q "^mqtt back: [0-9]* spooled frames delivered\$" "$DIR/catchup.out" ||
  fail "catch-up: no back line"
took=$((SECONDS - back))
line=$(grep "^mqtt back: " "$DIR/catchup.out")
n=$(sed -n 's/^mqtt back: \([0-9]*\) spooled.*/\1/p' <<< "$line")
finish
echo "$line $took s after the broker was back ($(( n / (took > 0 ? took : 1) )) frames/s while live frames went on)"

# The MySQL output on the same machine, in the same run, for comparison.
DBSERVER=$ROOT/tools/mariadb/test-server.sh
if [ "$(id -u)" -ne 0 ] || ! command -v mariadbd > /dev/null; then
  echo; echo "(MySQL comparison skipped: needs root and mariadb-server)"; exit 0
fi
CLEANUP_EXTRA="$CLEANUP_EXTRA; \"$DBSERVER\" stop \"$DIR/db\" > /dev/null 2>&1 || true"
"$DBSERVER" start "$DIR/db" > /dev/null
set -a
# shellcheck disable=SC1091
. "$DIR/db/env"
set +a
rows() { "$DBSERVER" sql "$DIR/db" canlog -N -B -e "SELECT COUNT(*) FROM can_log"; }
echo
echo "== the MySQL output, the same traffic (TCP, 127.0.0.1), $DURATION s per rate"
printf '%8s %9s %8s %8s %8s %10s\n' rate achieved frames rows "late s" telltrail
for rate in $RATES; do
  count=$(( rate * DURATION ))
  traffic "$count"
  "$DBSERVER" sql "$DIR/db" canlog -e "TRUNCATE can_log"
  rm -f "$DIR/ttyB"
  "$EMU" --quiet --link "$DIR/ttyB" --replay "$DIR/traffic.log" --rate "$rate" --linger \
    --sent-log "$DIR/db.sent" 2> "$DIR/db-emu.err" &
  EMU_PID=$!; PIDS+=($!)
  wait_for 10 test -L "$DIR/ttyB" || fail "mysql: no emulator"
  "$TELLTRAIL" "..$DIR/ttyB" 1 127.0.0.1 mysql > "$DIR/db.out" 2>&1 &
  TT_PID=$!; PIDS+=($!)
  ticks=0
  deadline=$((SECONDS + DURATION + 120))
  while [ "$(wc -l < "$DIR/db.sent")" -lt "$count" ] && [ $SECONDS -lt $deadline ]; do
    t=$(cpu_ticks "$TT_PID") && ticks=$t
    sleep 0.5
  done
  sent_at=$(date +%s.%N)
  until [ "$(rows)" -ge "$count" ] || [ $SECONDS -ge $deadline ]; do sleep 0.2; done
  late=$(awk -v a="$sent_at" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  kill -TERM "$TT_PID" 2> /dev/null || echo "(telltrail had ended: $(tail -n 2 "$DIR/db.out" | tr '\n' ' '))"
  wait "$TT_PID" || true
  kill -TERM "$EMU_PID" 2> /dev/null || true
  wait "$EMU_PID" || true
  achieved=$(sed -n 's/.*(\([0-9]*\) frames\/s).*/\1/p' "$DIR/db-emu.err" | tail -n 1)
  printf '%8d %9s %8d %8d %8s %10s\n' "$rate" "${achieved:-?}" "$count" "$(rows)" "$late" \
    "$(awk -v t="$ticks" -v k="$TICKS" -v w="$DURATION" 'BEGIN { printf "%.1f%%", 100 * t / k / w }')"
done
