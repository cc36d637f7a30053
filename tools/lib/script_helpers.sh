# Shell helpers of the end-to-end test and bench scripts (sourced, bash): a
# private work folder, background processes ended on exit, failure reports,
# waits and CPU readings.
#   DIR   the work folder (removed on exit); PIDS  processes to end on exit
#   CLEANUP_EXTRA  a command run first on exit (for instance an umount)

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
