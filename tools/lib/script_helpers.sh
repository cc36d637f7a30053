# Shell helpers of the end-to-end test and bench scripts (sourced, bash): a
# private work folder, background processes ended on exit, failure reports,
# waits and CPU readings.
#   DIR   the work folder (removed on exit); PIDS  processes to end on exit
#   CLEANUP_EXTRA  a command run first on exit (for instance an umount)

# enter_network_namespace "<tools>" "$0" "$@": runs the calling script again,
# with its arguments, in a network namespace of its own (nothing but a
# loopback, which is brought up), where it may use port 80 without touching
# the machine's servers; inside it, just returns. Without root or one of the
# tools the script is skipped (exit 77, saying why).
enter_network_namespace() {
  local tools=$1 tool
  shift
  if [ -n "${TT_OWN_NETNS:-}" ]; then
    ip link set lo up
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root for a network namespace of its own (port 80)"
    exit 77
  fi
  for tool in unshare ip $tools; do
    command -v "$tool" > /dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  TT_OWN_NETNS=1 exec unshare -n "$@"
}

# make_workdir <prefix>: sets DIR and the exit trap (KEEP_WORKDIR=1 keeps
# the folder for a look afterwards).
make_workdir() {
  DIR=$(mktemp -d "/tmp/$1.XXXXXX")
  PIDS=()
  trap cleanup EXIT
}

cleanup() {
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  [ -z "${CLEANUP_EXTRA:-}" ] || eval "$CLEANUP_EXTRA" || true
  if [ -n "${KEEP_WORKDIR:-}" ]; then
    echo "work folder kept: $DIR" >&2
  else
    rm -rf "$DIR"
  fi
}

# fail MESSAGE: says why, shows the last lines of $DIR/*.out and $DIR/*.err,
# and ends the script with status 1.
fail() {
  echo "FAIL: $*"
  for f in "$DIR"/*.out "$DIR"/*.err; do
    [ -f "$f" ] && { echo "--- $f (last lines)"; tail -n 15 "$f"; }
  done
  exit 1
}

# wait_for <seconds> <command...>: true once the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# cpu_ticks PID: CPU time (user + system, in clock ticks) of a running
# process, from /proc.
cpu_ticks() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) } # fields after the command name
  set -- $stat
  echo $(( ${12} + ${13} ))
}

# family PID: the process and its children (php-fpm's workers, nginx's worker).
family() { echo "$1"; cat "/proc/$1/task/$1/children" 2>/dev/null || true; }

# ticks PID...: CPU ticks of the processes together; one that has ended
# counts 0.
ticks() {
  local pid sum=0 t
  for pid in "$@"; do
    t=$(cpu_ticks "$pid") || t=0
    sum=$((sum + t))
  done
  echo "$sum"
}

# The logger and the adapter emulator of the end-to-end scripts (they set
# TELLTRAIL and EMU; the emulator's link is $DIR/ttyE2E, telltrail's device
# "..$DIR/ttyE2E"):
#   start_emulator NAME ARGS...  the adapter with its sent-frame log
#                                $DIR/NAME.sent, lingering once done (EMU_PID)
#   stop_emulator
#   start_telltrail NAME ARGS... telltrail in the background, its console in
#                                $DIR/NAME.out (TT_PID)
#   stop_telltrail NAME [SECONDS]  SIGTERM; the run must end within SECONDS
#                                (default 10) with exit status 0 and the
#                                termination line last
start_emulator() {
  local name=$1; shift
  rm -f "$DIR/ttyE2E"
  "$EMU" --quiet --link "$DIR/ttyE2E" --sent-log "$DIR/$name.sent" --linger "$@" \
    2> "$DIR/$name-emu.err" &
  EMU_PID=$!
  PIDS+=("$EMU_PID")
  wait_for 10 test -L "$DIR/ttyE2E" || fail "$name: emulator link did not appear"
}
stop_emulator() { kill -TERM "$EMU_PID"; wait "$EMU_PID" || true; }
start_telltrail() {
  local name=$1; shift
  "$TELLTRAIL" "$@" > "$DIR/$name.out" 2>&1 &
  TT_PID=$!
  PIDS+=("$TT_PID")
}
exited() { ! kill -0 "$1" 2> /dev/null; }
stop_telltrail() {
  local start=$SECONDS status=0
  kill -TERM "$TT_PID"
  wait_for "${2:-10}" exited "$TT_PID" || fail "$1: telltrail did not stop within ${2:-10} s of SIGTERM"
  wait "$TT_PID" || status=$?
  [ "$status" -eq 0 ] || fail "$1: exit status $status"
  tail -n 1 "$DIR/$1.out" | grep -q " terminated\$" || fail "$1: no termination line at the end"
  STOP_SECONDS=$((SECONDS - start))
}

# sum_reported FILE SED_PATTERN: the sum of the numbers the pattern's first
# group takes from the lines of FILE.
sum_reported() { sed -n "s/$2/\\1/p" "$1" | awk '{ n += $1 } END { print n + 0 }'; }

# require_pdo_mysql: skips the script (77) without PHP's MySQL driver.
require_pdo_mysql() {
  # (the module list whole: a grep that stops early would break php's pipe)
  if ! grep -qx pdo_mysql <<< "$(php -m 2> /dev/null)"; then
    echo "SKIP: PHP with pdo_mysql is not installed (Debian packages php-cli, php-mysql)"
    exit 77
  fi
}
