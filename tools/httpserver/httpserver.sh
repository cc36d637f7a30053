#!/usr/bin/env bash
# Private HTTP/1.1 test servers for telltrail's HTTP client and HTTP outputs:
# PHP's built-in server (php -S) or nginx with php-fpm, each with its own
# configuration, pid files, logs and temp files in a run directory, serving
# tools/httpserver/www. See README.md next to this script.
#
#   httpserver.sh start (php | nginx) <dir> [<address> [<port>]]
#   httpserver.sh stop <dir>
#
# start prints the port and writes it to <dir>/port. Address default
# 127.0.0.1; without a port a free one is chosen. Exit status: 0 started or
# stopped, 1 failed (see <dir>/logs), 2 usage, 3 a program is missing.
#
# Environment at start: HTTPSERVER_ROOT serves another document root (for
# instance server/ with the PUT receiver, or web/); TELLTRAIL_PUT_CONFIG and
# TELLTRAIL_WEB_CONFIG are handed on to the PHP scripts (php -S: its
# environment; nginx: a FastCGI parameter, as a site of one's own would set
# it); HTTPSERVER_FPM_CHILDREN sets the number of php-fpm workers (default
# 2). nginx also serves /usr/share/javascript/ as /javascript/;
# HTTPSERVER_NGINX_INCLUDE names a file of more lines for its server block
# (a site's snippet under test; its FastCGI socket is <dir>/php-fpm.sock).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
WWW=$(cd "${HTTPSERVER_ROOT:-$HERE/www}" && pwd)

usage() {
  sed -n '7,8p' "$0" | sed 's/^# */usage: /' >&2
  exit 2
}

need() {
  command -v "$1" >/dev/null 2>&1 || { echo "httpserver: $1 is not installed ($2)" >&2; exit 3; }
}

# A port on which nothing listens now, from the kernel.
free_port() {
  php -r '$s = stream_socket_server("tcp://" . $argv[1] . ":0");
          if (!$s) exit(1);
          $n = stream_socket_get_name($s, false);
          echo substr($n, strrpos($n, ":") + 1), "\n";' "$1"
}

# Waits up to 5 s until address:port takes connections.
wait_listening() {
  local host=$1 port=$2 i
  [ "$host" = 0.0.0.0 ] && host=127.0.0.1
  for i in $(seq 100); do
    if (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# Whether the process exists and has not ended (a process that has ended
# stays a zombie until whoever inherited it collects it).
running() {
  local state
  state=$(sed -n 's/^[0-9]* (.*) \([A-Za-z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Waits up to 5 s until the server of the pid file holds a socket that
# listens on the port: false at once when it has ended (it could not bind:
# the port is taken, and whatever answers there is another program's).
listens_itself() {
  local pidfile=$1 port=$2 pid inodes inode fd i hex
  hex=$(printf ':%04X' "$port")
  for i in $(seq 100); do
    pid=$(cat "$pidfile" 2>/dev/null || true)
    if [[ "$pid" =~ ^[0-9]+$ ]]; then
      running "$pid" || return 1
      inodes=$(awk -v p="$hex" '$4 == "0A" && substr($2, length($2) - 4) == p { print $10 }' \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null)
      for inode in $inodes; do
        for fd in /proc/"$pid"/fd/*; do
          [ "$(readlink "$fd" 2>/dev/null)" = "socket:[$inode]" ] && return 0
        done
      done
    fi
    sleep 0.05
  done
  return 1
}

# Ends the process of a pid file if it is still the program named (never a
# process that merely took over the number), waiting up to 5 s.
stop_pid() {
  local file=$1 name=$2 pid i
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  rm -f "$file"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  grep -qa "$name" "/proc/$pid/cmdline" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 100); do
    running "$pid" || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
}

start_php() {
  local dir=$1 addr=$2 port=$3
  TELLTRAIL_HTTP_DATA="$dir/data" php -S "$addr:$port" -t "$WWW" \
    >"$dir/logs/php.log" 2>&1 </dev/null &
  echo $! >"$dir/php.pid"
}

start_nginx() {
  local dir=$1 addr=$2 port=$3 fpm_root=() fpm_user="" nginx_user=""
  if [ "$(id -u)" -eq 0 ]; then
    # Root runs the private servers as root: no other account needs access
    # to the run directory and the scripts.
    fpm_root=(-R)
    fpm_user=$'user = root\ngroup = root'
    nginx_user="user root root;"
  fi
  cat >"$dir/php-fpm.conf" <<EOF
[global]
pid = $dir/php-fpm.pid
error_log = $dir/logs/php-fpm.log
daemonize = yes

[telltrail]
$fpm_user
listen = $dir/php-fpm.sock
listen.mode = 0600
pm = static
pm.max_children = ${HTTPSERVER_FPM_CHILDREN:-2}
clear_env = yes
env[TELLTRAIL_HTTP_DATA] = $dir/data
catch_workers_output = yes
EOF
  cat >"$dir/nginx.conf" <<EOF
$nginx_user
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/nginx-error.log warn;
events { worker_connections 64; }
http {
  include /etc/nginx/mime.types;
  access_log $dir/logs/nginx-access.log;
  client_body_temp_path $dir/tmp/body;
  fastcgi_temp_path $dir/tmp/fastcgi;
  proxy_temp_path $dir/tmp/proxy;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  client_max_body_size 8m;
  keepalive_timeout 75s;
  server {
    listen $addr:$port;
    root $WWW;
    index index.php index.html;
    location ~ \.php\$ {
      try_files \$uri =404;
      fastcgi_pass unix:$dir/php-fpm.sock;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_param QUERY_STRING \$query_string;
      fastcgi_param REQUEST_METHOD \$request_method;
      fastcgi_param CONTENT_TYPE \$content_type;
      fastcgi_param CONTENT_LENGTH \$content_length;
      fastcgi_param REQUEST_URI \$request_uri;
      fastcgi_param SCRIPT_NAME \$fastcgi_script_name;
      fastcgi_param SERVER_PROTOCOL \$server_protocol;
      fastcgi_param SERVER_ADDR \$server_addr;
      fastcgi_param SERVER_PORT \$server_port;
      fastcgi_param REMOTE_ADDR \$remote_addr;
      ${TELLTRAIL_PUT_CONFIG:+fastcgi_param TELLTRAIL_PUT_CONFIG $TELLTRAIL_PUT_CONFIG;}
      ${TELLTRAIL_WEB_CONFIG:+fastcgi_param TELLTRAIL_WEB_CONFIG $TELLTRAIL_WEB_CONFIG;}
    }
    ${HTTPSERVER_NGINX_INCLUDE:+include $HTTPSERVER_NGINX_INCLUDE;}
    # Debian's JavaScript packages, as javascript-common serves them.
    location /javascript/ {
      alias /usr/share/javascript/;
    }
  }
}
EOF
  mkdir -p "$dir/tmp"
  "$FPM" "${fpm_root[@]}" -y "$dir/php-fpm.conf" >>"$dir/logs/php-fpm.log" 2>&1 </dev/null
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/logs/nginx-error.log" \
    >>"$dir/logs/nginx-error.log" 2>&1 </dev/null
}

stop_all() {
  local dir=$1
  stop_pid "$dir/nginx.pid" nginx
  stop_pid "$dir/php-fpm.pid" php-fpm
  stop_pid "$dir/php.pid" php
}

cmd=${1:-}
case "$cmd" in
  start)
    [ $# -ge 3 ] && [ $# -le 5 ] || usage
    kind=$2 dir=$3 addr=${4:-127.0.0.1} port=${5:-}
    case "$kind" in
      php) need php "Debian package php-cli" ;;
      nginx)
        need php "Debian package php-cli"
        need nginx "Debian package nginx"
        FPM=$(ls /usr/sbin/php-fpm* 2>/dev/null | head -n 1 || true)
        [ -n "$FPM" ] || { echo "httpserver: php-fpm is not installed (Debian package php-fpm)" >&2; exit 3; }
        ;;
      *) usage ;;
    esac
    mkdir -p "$dir/data" "$dir/logs"
    dir=$(cd "$dir" && pwd)
    for f in php.pid nginx.pid php-fpm.pid; do
      if [ -f "$dir/$f" ]; then
        echo "httpserver: $dir already holds a running server ($f); stop it first" >&2
        exit 1
      fi
    done
    tries=1
    [ -n "$port" ] || tries=5 # a chosen port may be taken before the server binds it
    for try in $(seq "$tries"); do
      p=$port
      [ -n "$p" ] || p=$(free_port "$addr")
      "start_$kind" "$dir" "$addr" "$p" || true
      pidfile=$dir/$kind.pid
      if wait_listening "$addr" "$p" && listens_itself "$pidfile" "$p"; then
        echo "$p" >"$dir/port"
        echo "$addr" >"$dir/address"
        echo "$kind" >"$dir/kind"
        echo "$p"
        exit 0
      fi
      stop_all "$dir"
    done
    echo "httpserver: $kind did not start on $addr:${port:-<free port>}; logs in $dir/logs:" >&2
    tail -n 5 "$dir"/logs/* >&2 || true
    exit 1
    ;;
  stop)
    [ $# -eq 2 ] || usage
    [ -d "$2" ] || exit 0
    stop_all "$(cd "$2" && pwd)"
    rm -f "$2/php-fpm.sock" "$2/port"
    ;;
  *) usage ;;
esac
