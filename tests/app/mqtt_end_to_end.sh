#!/usr/bin/env bash
# The MQTT output end to end: can232emu sends frames on a pseudo-terminal,
# telltrail publishes them to a throwaway Mosquitto broker, mosquitto_sub
# (a persistent session at QoS 1, so that it misses nothing across a broker
# restart) writes what arrives, mqtt_judge.py judges it:
#
#   1. every frame of a run arrives exact, in order, once
#   2. the broker stopped for 6 s mid-run, with a spool: every frame
#      arrives, in counter order, a frame twice only as the same message
#   3. a wrong password: a line that says so, the frames wait in the spool
#      and a second run with the right one delivers them; over TLS with a
#      test CA
#   4. a replayed heating-bus log: the values of three <value> lines, the
#      Home Assistant discovery configs, and the status "offline" (the last
#      will) once telltrail is killed
# Runs as root in a network namespace of its own.
#
#   mqtt_end_to_end.sh TELLTRAIL CAN232EMU
set -euo pipefail

TELLTRAIL=$1
EMU=$2
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BROKER=$ROOT/tools/mosquitto/test-broker.sh
JUDGE=$ROOT/tests/app/mqtt_judge.py

# shellcheck source=../../tools/lib/script_helpers.sh
. "$ROOT/tools/lib/script_helpers.sh"
enter_network_namespace "mosquitto mosquitto_sub mosquitto_passwd openssl python3" "$0" "$@"
[ -e /usr/lib/x86_64-linux-gnu/libmosquitto.so.1 ] || ldconfig -p | grep -q 'libmosquitto\.so\.1 ' ||
  { echo "SKIP: libmosquitto.so.1 is not installed (Debian package libmosquitto1)"; exit 77; }
make_workdir ttmqtt
CLEANUP_EXTRA='"$BROKER" stop "$DIR/broker" > /dev/null 2>&1; "$BROKER" stop "$DIR/secure" > /dev/null 2>&1'
DEVICE="..$DIR/ttyE2E"

"$BROKER" start "$DIR/broker" > "$DIR/broker.start" 2>&1 || fail "broker: $(cat "$DIR/broker.start")"
PORT=$(sed -n 's/^MQTT_PORT=//p' "$DIR/broker/env")

# settings NAME LINES...: a settings file $DIR/NAME.xml.
settings() {
  local name=$1; shift
  { echo "<telltrail><device Name=\"$DEVICE\"/><sleep Name=\"1\"/>"
    printf '%s\n' "$@"
    echo "</telltrail>"; } > "$DIR/$name.xml"
}
# subscribe NAME PORT ARGS...: mosquitto_sub -v into $DIR/NAME.sub (SUB_PID).
subscribe() {
  local name=$1 port=$2; shift 2
  mosquitto_sub -p "$port" -c -i "judge-$name" -q 1 -v "$@" -t "tt/$name/probe" > "$DIR/$name.sub" 2> "$DIR/$name-sub.err" &
  SUB_PID=$!
  PIDS+=("$SUB_PID")
  # The session exists once a first message (the probe) has come through.
  wait_for 10 eval "mosquitto_pub -p $port $PUB_AUTH -q 1 -t tt/$name/probe -m x; grep -q '^tt/$name/probe x\$' \"$DIR/$name.sub\"" ||
    fail "$name: subscriber not ready"
}
PUB_AUTH=""
# received NAME: frame messages received.
received() { grep -c '/frame/' "$DIR/$1.sub" || true; }
# all_frames NAME COUNT: the last frame of COUNT has arrived.
all_frames() { grep -q "\"n\":$(($2 - 1)),\"ext\"" "$DIR/$1.sub"; }
stop_sub() { kill "$SUB_PID"; wait "$SUB_PID" 2> /dev/null || true; }

# --- 1. A run, every frame.
settings run1 "<mqtt Host=\"127.0.0.1\" Port=\"$PORT\" Topic=\"tt/run1\" User=\"judge\" Password=\"s3cret-never-shown\"/>"
subscribe run1 "$PORT" -t 'tt/run1/#'
start_emulator run1 --count 2000 --rate 1000 --mix std,ext,rtr --seed 51
start_telltrail run1 "$DIR/run1.xml"
wait_for 30 all_frames run1 2000 || fail "run1: $(received run1) of 2000 frames"
stop_telltrail run1 10
stop_emulator
stop_sub
grep -q "^output: mqtt://judge@127.0.0.1:$PORT/tt/run1, QoS 1, 0 values\$" "$DIR/run1.out" ||
  fail "run1: no output line"
grep -q "s3cret" "$DIR/run1.out" && fail "run1: the password was printed"
r=$("$JUDGE" frames "$DIR/run1.sent" "$DIR/run1.sub") || fail "run1: $r"
echo "1. run: $r"

# --- 2. The broker away for 6 s in the middle of a run.
settings run2 "<mqtt Host=\"127.0.0.1\" Port=\"$PORT\" Topic=\"tt/run2\"/>" "<spool Name=\"$DIR/run2.spool\"/>"
subscribe run2 "$PORT" -t 'tt/run2/frame/#'
start_emulator run2 --count 6000 --rate 500 --mix std,ext,rtr --seed 52
start_telltrail run2 "$DIR/run2.xml"
wait_for 20 eval '[ "$(received run2)" -ge 1000 ]' || fail "run2: no frames"
"$BROKER" halt "$DIR/broker"
wait_for 15 grep -q "^mqtt away: .*; frames are kept in the spool\$" "$DIR/run2.out" ||
  fail "run2: no away line"
sleep 6
"$BROKER" resume "$DIR/broker" > /dev/null
wait_for 90 grep -q "^mqtt back: [0-9]* spooled frames delivered\$" "$DIR/run2.out" ||
  fail "run2: no back line"
wait_for 30 all_frames run2 6000 || fail "run2: $(received run2) of 6000 frames"
stop_telltrail run2 10
stop_emulator
stop_sub
r=$("$JUDGE" frames "$DIR/run2.sent" "$DIR/run2.sub" --duplicates) || fail "run2: $r"
echo "2. broker away 6 s: $r; $(grep "^mqtt away" "$DIR/run2.out"); $(grep "^mqtt back" "$DIR/run2.out")"

# --- 3. A broker that wants a password, also over TLS.
MQTT_USER=board MQTT_PASSWORD=right MQTT_TLS=1 "$BROKER" start "$DIR/secure" > "$DIR/secure.start" 2>&1 ||
  fail "secure broker: $(cat "$DIR/secure.start")"
set -a
# shellcheck disable=SC1091
. "$DIR/secure/env"
set +a
PUB_AUTH="-u board -P right"
settings run3 "<mqtt Host=\"127.0.0.1\" Port=\"$MQTT_PORT\" Topic=\"tt/run3\" User=\"board\" Password=\"wrong\"/>" \
  "<spool Name=\"$DIR/run3.spool\"/>"
start_emulator run3 --count 300 --rate 300 --seed 53
start_telltrail run3 "$DIR/run3.xml"
wait_for 15 grep -qs "^mqtt away: mqtt 127.0.0.1:$MQTT_PORT: the broker refused the connection: .*not authori[sz]ed; frames are kept in the spool\$" "$DIR/run3.out" ||
  fail "run3: no line about the password"
# Every frame read: a period's last line is printed in any case.
wait_for 15 grep -q '^ *299 ' "$DIR/run3.out" || fail "run3: the frames were not all read"
stop_telltrail run3 10
stop_emulator
kept=$(sed -n 's/^spool: \([0-9]*\) frames kept for the next run$/\1/p' "$DIR/run3.out")
[ "${kept:-0}" -eq 300 ] || fail "run3: ${kept:-no} frames kept of 300"
subscribe run3 "$MQTT_PORT" -u board -P right -t 'tt/run3/frame/#'
sed -i 's/Password="wrong"/Password="right"/' "$DIR/run3.xml"
start_emulator run3b --count 1 --rate 10 --seed 54
start_telltrail run3b "$DIR/run3.xml"
wait_for 30 eval '[ "$(received run3)" -ge 301 ]' || fail "run3: $(received run3) of 301 frames"
stop_telltrail run3b 10
stop_emulator
stop_sub
grep "/frame/" "$DIR/run3.sub" | head -n 300 > "$DIR/run3a.sub"
r=$("$JUDGE" frames "$DIR/run3.sent" "$DIR/run3a.sub") || fail "run3: $r"
echo "3. wrong password: $(grep '^mqtt away' "$DIR/run3.out"); with the right one the kept frames: $r"
settings tls "<mqtt Host=\"localhost\" Port=\"$MQTT_TLS_PORT\" Topic=\"tt/tls\" User=\"board\" Password=\"right\" Tls=\"1\" CaFile=\"$MQTT_CA\"/>"
subscribe tls "$MQTT_PORT" -u board -P right -t 'tt/tls/frame/#'
start_emulator tls --count 500 --rate 1000 --mix std,ext,rtr --seed 55
start_telltrail tls "$DIR/tls.xml"
wait_for 30 all_frames tls 500 || fail "tls: $(received tls) of 500 frames"
stop_telltrail tls 10
stop_emulator
stop_sub
grep -q "^output: mqtts://board@localhost:$MQTT_TLS_PORT/tt/tls" "$DIR/tls.out" || fail "tls: no output line"
r=$("$JUDGE" frames "$DIR/tls.sent" "$DIR/tls.sub") || fail "tls: $r"
echo "   TLS with a test CA: $r"
PUB_AUTH=""

# --- 4. Values from a replayed heating-bus log, discovery, last will.
# 0x680 asks 0x180 (read requests carry no value), 0x180 answers: the
# outside temperature (index 000C, tenths of a degree, signed) 24.5, 24.5
# again (not published again), -10.0, "no value" (8000), 10.0 with a one-byte
# index; index 0011 for receiver 680 (40.0; for 681 not taken); index 01D6
# from identifier 500 only, unsigned.
t=1796600000
cat > "$DIR/heating.log" << LOG
($t.000000) can0 680#3100FA000C
($t.010000) can0 180#D200FA000C00F5
($t.020000) can0 180#D200FA000C00F5
($t.030000) can0 180#D200FA000CFF9C
($t.040000) can0 180#D200FA000C8000
($t.050000) can0 180#D2000C0064
($t.060000) can0 180#D200FA00110190
($t.070000) can0 180#D201FA00110200
($t.080000) can0 180#D200FA01D60001
($t.090000) can0 500#D200FA01D6FFFE
LOG
settings heat "<mqtt Host=\"127.0.0.1\" Port=\"$PORT\" Topic=\"tt/heat\" Frames=\"0\">" \
  '  <value Name="outside_temperature" Index="000C" Scale="0.1" Unit="°C" Class="temperature"/>' \
  '  <value Name="water" Index="0011" Receiver="680" Scale="0.1" Unit="°C" Class="temperature"/>' \
  '  <value Name="pump_hours" Index="01D6" Id="500" Scale="1" Unit="h" Class="duration"/>' \
  "</mqtt>" "<spool Name=\"$DIR/heat.spool\"/>"
subscribe heat "$PORT" -t 'tt/heat/#' -t 'homeassistant/sensor/heat/#'
start_emulator heat --replay "$DIR/heating.log" --rate 50
start_telltrail heat "$DIR/heat.xml"
wait_for 30 grep -q "^tt/heat/value/pump_hours " "$DIR/heat.sub" || fail "heat: no values"
grep -q '^tt/heat/status online$' "$DIR/heat.sub" || fail "heat: no status online"
grep -q '/frame/' "$DIR/heat.sub" && fail "heat: frames published with Frames=\"0\""
kill -KILL "$TT_PID"
{ wait "$TT_PID"; } 2> /dev/null || true
wait_for 10 grep -q '^tt/heat/status offline$' "$DIR/heat.sub" || fail "heat: no offline after kill -9"
stop_emulator
stop_sub
r=$("$JUDGE" values "$DIR/heat.sub" outside_temperature=24.5 outside_temperature=-10.0 \
  outside_temperature=10.0 water=40.0 pump_hours=65534) || fail "heat: $r"
echo "4. heating log: $r"
r=$("$JUDGE" discovery "$DIR/heat.sub" tt/heat 3) || fail "heat: $r"
echo "   $r; status offline after kill -9"
echo PASS
