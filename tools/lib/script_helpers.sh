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

# make_workdir <prefix>: sets DIR and the exit trap.
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
  rm -rf "$DIR"
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
