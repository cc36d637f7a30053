#!/usr/bin/env bash
# A throwaway MariaDB server for tests and benchmarks: its own data
# directory, Unix socket and TCP port on 127.0.0.1, never the system's server
# (which may or may not be installed and running on /run/mysqld/mysqld.sock and
# port 3306). Needs mariadb-server and mariadb-client; runs as root (the
# server is started with --user=root).
#
#   test-server.sh start DIR   set up and start a server in DIR (created; an
#                              old server of the same DIR is stopped first),
#                              with the database canlog, the user pi (password
#                              quillfern, from localhost and 127.0.0.1) and
#                              the table of db/can_log.sql. Prints the lines of
#                              DIR/env: MYSQL_UNIX_PORT=…, MYSQL_TCP_PORT=…,
#                              MARIADB_PID=… (the client library takes the
#                              first two as its defaults for "localhost" and
#                              TCP connections).
#   test-server.sh stop DIR    stops the server of DIR by its PID and removes DIR
#   test-server.sh halt DIR    stops the server of DIR, keeps its data
#   test-server.sh resume DIR  starts the server of DIR again (same socket, port)
#   test-server.sh sql DIR ARGS...   the mariadb client as root on DIR's socket
#   test-server.sh replica DIR PRIMARY   set up and start in DIR a replica of
#                              the server of PRIMARY (started with
#                              TEST_SERVER_OPTIONS="--log-bin --server-id=1"):
#                              standard replication by GTID from the start of
#                              the primary's binary log, read_only
#   test-server.sh synced DIR PRIMARY   waits (60 s at most) until the replica
#                              in DIR has applied all the primary has logged
#
# TEST_SERVER_OPTIONS: more mariadbd options for start and resume (a bench's
# --innodb-buffer-pool-size=1G, say).
# MARIADB_BUFFER_POOL sets the server's InnoDB buffer pool (default 64M;
# the benchmarks of big tables use more).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cmd=${1:-}
DIR=${2:-}
[ -n "$cmd" ] && [ -n "$DIR" ] || { sed -n '2,29p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)

die() { echo "test-server: $*" >&2; exit 1; }

# The socket path must fit in sun_path (108 bytes); a deep build tree gets a
# short directory under /tmp for it.
socket_path() {
  if [ -f "$DIR/socket" ]; then cat "$DIR/socket"; return; fi
  local s="$DIR/mysqld.sock"
  if [ ${#s} -gt 100 ]; then s="$(mktemp -d /tmp/ttdb.XXXXXX)/mysqld.sock"; fi
  echo "$s" > "$DIR/socket"
  echo "$s"
}

server_pid() {
  local pid
  pid=$(cat "$DIR/mariadbd.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null &&
    tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -q -- "--datadir=$DIR/data" || return 1
  echo "$pid"
}

client() {
  mariadb --no-defaults --protocol=socket --socket="$(socket_path)" -uroot "$@"
}

halt_server() {
  local pid
  pid=$(server_pid) || return 0
  kill -TERM "$pid"
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# launch PORT: starts mariadbd in the background; true once it answers.
launch() {
  local port=$1 sock
  sock=$(socket_path)
  rm -f "$sock"
  # shellcheck disable=SC2086 # the options are words
  mariadbd --no-defaults --user=root --datadir="$DIR/data" --tmpdir="$DIR/tmp" --socket="$sock" \
    --port="$port" --bind-address=127.0.0.1 --pid-file="$DIR/mariadbd.pid" \
    --log-error="$DIR/error.log" --innodb-buffer-pool-size="${MARIADB_BUFFER_POOL:-64M}" \
    --skip-name-resolve ${TEST_SERVER_OPTIONS:-} $(cat "$DIR/options" 2>/dev/null) > /dev/null 2>&1 &
  local pid=$!
  echo "$pid" > "$DIR/mariadbd.pid"
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || return 1
    client -e 'SELECT 1' > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  return 1
}

# Nothing answers on the port at 127.0.0.1 (a busy port that slips through
# makes the server fail to start, and another port is tried).
port_free() { ! (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }

write_env() {
  {
    echo "MYSQL_UNIX_PORT=$(socket_path)"
    echo "MYSQL_TCP_PORT=$(cat "$DIR/port")"
    echo "MARIADB_PID=$(server_pid)"
  } > "$DIR/env"
  cat "$DIR/env"
}

# install_and_launch: a new data directory and a server on a free port.
install_and_launch() {
  command -v mariadbd > /dev/null || die "mariadbd not found (apt-get install mariadb-server mariadb-client)"
  [ "$(id -u)" -eq 0 ] || die "must run as root (the server runs with --user=root)"
  halt_server
  rm -rf "$DIR/data" "$DIR/tmp" "$DIR/env" "$DIR/port"
  # A temporary directory of its own: servers set up side by side would
  # trip over each other's temporary tables in /tmp.
  mkdir -p "$DIR/tmp"
  mariadb-install-db --no-defaults --user=root --datadir="$DIR/data" --tmpdir="$DIR/tmp" --skip-test-db \
    --auth-root-authentication-method=socket > "$DIR/install.log" 2>&1 ||
    die "mariadb-install-db failed: $(tail -n 5 "$DIR/install.log")"
  local port tries=0
  while :; do
    port=$((20000 + RANDOM % 40000))
    port_free "$port" || continue
    launch "$port" && break
    tries=$((tries + 1))
    [ $tries -lt 5 ] || die "server did not start: $(tail -n 5 "$DIR/error.log")"
  done
  echo "$port" > "$DIR/port"
}

start() {
  rm -f "$DIR/options"
  install_and_launch
  client <<SQL
CREATE DATABASE canlog;
CREATE USER 'pi'@'localhost' IDENTIFIED BY 'quillfern';
CREATE USER 'pi'@'127.0.0.1' IDENTIFIED BY 'quillfern';
GRANT SELECT, INSERT ON canlog.* TO 'pi'@'localhost', 'pi'@'127.0.0.1';
SQL
  client canlog < "$ROOT/db/can_log.sql"
  write_env
}

# The primary's client, port and binary log position.
primary() { mariadb --no-defaults --protocol=socket --socket="$(cat "$PRIMARY/socket")" -uroot -N -B "$@"; }

replica() {
  [ -f "$PRIMARY/port" ] || die "no server set up in $PRIMARY"
  [ "$(primary -e 'SELECT @@log_bin')" = 1 ] || die "the server of $PRIMARY keeps no binary log (--log-bin)"
  echo "--server-id=2 --read-only" > "$DIR/options"
  install_and_launch
  primary -e "CREATE USER IF NOT EXISTS 'replica'@'127.0.0.1' IDENTIFIED BY 'copy-All-7';
              GRANT REPLICATION SLAVE ON *.* TO 'replica'@'127.0.0.1';"
  client -e "CHANGE MASTER TO MASTER_HOST='127.0.0.1', MASTER_PORT=$(cat "$PRIMARY/port"),
             MASTER_USER='replica', MASTER_PASSWORD='copy-All-7', MASTER_USE_GTID=slave_pos,
             MASTER_CONNECT_RETRY=1; START SLAVE;"
  write_env
}

synced() {
  local pos
  pos=$(primary -e 'SELECT @@gtid_binlog_pos')
  [ "$(client -N -B -e "SELECT MASTER_GTID_WAIT('$pos', 60)")" = 0 ] ||
    die "the replica in $DIR has not reached $pos: $(client -e 'SHOW SLAVE STATUS\G' | grep -E 'Running|Error:')"
}

case $cmd in
  start) start ;;
  replica) PRIMARY=${3:?primary directory}; PRIMARY=$(cd "$PRIMARY" && pwd); replica ;;
  synced) PRIMARY=${3:?primary directory}; PRIMARY=$(cd "$PRIMARY" && pwd); synced ;;
  halt) halt_server ;;
  resume)
    [ -f "$DIR/port" ] || die "no server set up in $DIR"
    server_pid > /dev/null && die "server of $DIR is running"
    launch "$(cat "$DIR/port")" || die "server did not start: $(tail -n 5 "$DIR/error.log")"
    write_env ;;
  stop)
    halt_server
    sock=$(cat "$DIR/socket" 2>/dev/null || true)
    [ -n "$sock" ] && [ "${sock#/tmp/ttdb.}" != "$sock" ] && rm -rf "$(dirname "$sock")"
    rm -rf "$DIR" ;;
  sql) shift 2; client "$@" ;;
  *) die "unknown command $cmd" ;;
esac
