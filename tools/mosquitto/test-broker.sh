#!/usr/bin/env bash
# A throwaway Mosquitto broker for tests and benchmarks: its own
# configuration, persistence directory and TCP port on 127.0.0.1, never the
# system's broker (which may or may not run on port 1883). Needs mosquitto
# (and openssl for TLS).
#
#   test-broker.sh start DIR   set up and start a broker in DIR (created; an
#                              old broker of the same DIR is stopped first).
#                              MQTT_USER and MQTT_PASSWORD: only that user
#                              may connect (else anyone). MQTT_TLS=1: a test
#                              CA and a second listener with TLS for
#                              "localhost". Prints the lines of DIR/env:
#                              MQTT_PORT=…, MQTT_TLS_PORT=…, MQTT_CA=…,
#                              MOSQUITTO_PID=…
#   test-broker.sh halt DIR    stops the broker of DIR by its PID, keeps DIR
#   test-broker.sh resume DIR  starts it again (same port, retained messages)
#   test-broker.sh stop DIR    stops the broker of DIR and removes DIR
set -euo pipefail

cmd=${1:-}
DIR=${2:-}
[ -n "$cmd" ] && [ -n "$DIR" ] || { sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)

die() { echo "test-broker: $*" >&2; exit 1; }

broker_pid() {
  local pid
  pid=$(cat "$DIR/mosquitto.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null &&
    tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -q -- "$DIR/mosquitto.conf" || return 1
  echo "$pid"
}

halt_broker() {
  local pid
  pid=$(broker_pid) || return 0
  kill -TERM "$pid"
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

port_free() { ! (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }

# launch: starts mosquitto in the background; true once its port answers.
launch() {
  local port
  port=$(cat "$DIR/port")
  mosquitto -c "$DIR/mosquitto.conf" > "$DIR/mosquitto.log" 2>&1 &
  local pid=$!
  echo "$pid" > "$DIR/mosquitto.pid"
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || return 1
    port_free "$port" || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  return 1
}

make_ca() {
  command -v openssl > /dev/null || die "openssl not found"
  local c=$DIR/tls
  mkdir -p "$c"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=telltrail test CA" \
    -keyout "$c/ca.key" -out "$c/ca.crt" > "$c/openssl.log" 2>&1
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$c/server.key" \
    -out "$c/server.csr" >> "$c/openssl.log" 2>&1
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > "$c/san.ext"
  openssl x509 -req -in "$c/server.csr" -CA "$c/ca.crt" -CAkey "$c/ca.key" -CAcreateserial \
    -days 2 -extfile "$c/san.ext" -out "$c/server.crt" >> "$c/openssl.log" 2>&1
}

write_conf() {
  local port=$1 tlsport=$2
  {
    echo "per_listener_settings false"
    echo "persistence true"
    echo "max_queued_messages 0"
    echo "persistence_location $DIR/data/"
    echo "log_dest stderr"
    echo "user $(id -un)"
    if [ -n "${MQTT_USER:-}" ]; then
      echo "allow_anonymous false"
      echo "password_file $DIR/passwords"
    else
      echo "allow_anonymous true"
    fi
    echo "listener $port 127.0.0.1"
    if [ -n "$tlsport" ]; then
      echo "listener $tlsport 127.0.0.1"
      echo "cafile $DIR/tls/ca.crt"
      echo "certfile $DIR/tls/server.crt"
      echo "keyfile $DIR/tls/server.key"
    fi
  } > "$DIR/mosquitto.conf"
}

write_env() {
  {
    echo "MQTT_PORT=$(cat "$DIR/port")"
    echo "MQTT_TLS_PORT=$(cat "$DIR/tlsport" 2>/dev/null || true)"
    echo "MQTT_CA=$( [ -f "$DIR/tls/ca.crt" ] && echo "$DIR/tls/ca.crt" || true)"
    echo "MOSQUITTO_PID=$(broker_pid)"
  } > "$DIR/env"
  cat "$DIR/env"
}

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    port_free "$p" && port_free $((p + 1)) && { echo "$p"; return; }
  done
}

start() {
  command -v mosquitto > /dev/null || die "mosquitto not found (apt-get install mosquitto)"
  halt_broker
  rm -rf "$DIR/data" "$DIR/tls" "$DIR/env" "$DIR/port" "$DIR/tlsport"
  mkdir -p "$DIR/data"
  if [ -n "${MQTT_USER:-}" ]; then
    : > "$DIR/passwords"
    chmod 600 "$DIR/passwords"
    mosquitto_passwd -b "$DIR/passwords" "$MQTT_USER" "${MQTT_PASSWORD:-}" ||
      die "mosquitto_passwd failed"
  fi
  [ "${MQTT_TLS:-0}" = 1 ] && make_ca
  local port tries=0
  while :; do
    port=$(free_port)
    echo "$port" > "$DIR/port"
    if [ "${MQTT_TLS:-0}" = 1 ]; then
      echo $((port + 1)) > "$DIR/tlsport"
      write_conf "$port" $((port + 1))
    else
      write_conf "$port" ""
    fi
    launch && break
    tries=$((tries + 1))
    [ $tries -lt 5 ] || die "broker did not start: $(tail -n 5 "$DIR/mosquitto.log")"
  done
  write_env
}

case $cmd in
  start) start ;;
  halt) halt_broker ;;
  resume)
    [ -f "$DIR/port" ] || die "no broker set up in $DIR"
    broker_pid > /dev/null && die "broker of $DIR is running"
    launch || die "broker did not start: $(tail -n 5 "$DIR/mosquitto.log")"
    write_env ;;
  stop)
    halt_broker
    rm -rf "$DIR" ;;
  *) die "unknown command $cmd" ;;
esac
