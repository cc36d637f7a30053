# Helpers of the end-to-end test scripts (sourced, bash): a private work
# folder, background processes ended on exit, failure reports and waits.
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

# fail <message>: says what failed, shows the last lines of the programs'
# outputs in DIR, and ends the script.
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
