#!/usr/bin/env bash
# A log file on a disk that fills up during a run: a real, small tmpfs in a
# private mount namespace (unshare -m). telltrail says "log file ... not
# written", goes on logging, and once there is room again every new line
# reaches the file whole: a line the full disk cut is cut off at once, so no
# part of a line stays in the file. A stop then ends the run with status 0: a full disk that
# cleared is no failure of the run.
#
#   full_disk.sh TELLTRAIL CAN232EMU
# Needs root (mount); skips with status 77 and the reason otherwise.
set -euo pipefail

TELLTRAIL=$1
EMU=$2

if [ "${FULL_DISK_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: mounting a small tmpfs needs root"
    exit 77
  fi
  if ! unshare -m true 2>/dev/null; then
    echo "SKIP: no private mount namespace here (unshare -m fails)"
    exit 77
  fi
  FULL_DISK_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi

# shellcheck source=../../tools/lib/script_helpers.sh
. "$(dirname "$0")/../../tools/lib/script_helpers.sh"
make_workdir ttfull
CLEANUP_EXTRA='umount "$DIR/disk" 2>/dev/null'

mkdir "$DIR/disk"
mount -t tmpfs -o size=256k tmpfs "$DIR/disk" || fail "cannot mount a tmpfs"
# Leave about 12 KB: a few periods of traffic fill it.
dd if=/dev/zero of="$DIR/disk/filler" bs=4k count=61 status=none 2>/dev/null || true

"$EMU" --quiet --link "$DIR/ttyFull" --rate 400 --mix std,ext --seed 3 --linger \
  2> "$DIR/emu.err" &
PIDS+=($!)
wait_for 10 test -L "$DIR/ttyFull" || fail "emulator link did not appear"
"$TELLTRAIL" "..$DIR/ttyFull" 1 "$DIR/disk/canlog" csv > "$DIR/telltrail.out" 2>&1 &
TT_PID=$!
PIDS+=("$TT_PID")

wait_for 30 grep -q "not written" "$DIR/telltrail.out" || fail "the full disk was not reported"
LOG=$(ls "$DIR"/disk/canlog_*)
FULL_SIZE=$(stat -c %s "$LOG")
sleep 2
kill -0 "$TT_PID" 2>/dev/null || fail "telltrail ended on a full disk"
rm "$DIR/disk/filler" # room again
wait_for 30 bash -c "[ \$(stat -c %s '$LOG') -gt $((FULL_SIZE + 4096)) ]" ||
  fail "nothing written once there was room again"
kill -TERM "$TT_PID"
status=0
wait "$TT_PID" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after the stop"

# Every line is a whole CSV line with 13 fields and a running number above
# the one before; a part of a line left behind, or merged with the next one,
# would break the fields or the numbering.
awk -F, '
  NF == 13 && $1 ~ /^[0-9]+$/ && $13 ~ /^(NULL|[0-9]+)$/ {
    if (whole > 0 && $1 + 0 <= last) { print "line " NR ": number " $1 " after " last; bad++ }
    last = $1 + 0; whole++; next
  }
  NF < 13 { cut++; print "cut line " NR ": " $0; next }
  { print "line " NR " is no CSV line: " $0; bad++ }
  END { printf "%d whole lines, %d cut\n", whole, cut; exit !(whole > 100 && cut == 0 && bad == 0) }
' "$LOG" > "$DIR/lines.out" || fail "$(cat "$DIR/lines.out")"
[ "$(tail -c 1 "$LOG" | od -An -c | tr -d ' ')" = '\n' ] || fail "the file does not end in a whole line"
echo "full disk: $(grep -c "not written" "$DIR/telltrail.out") \"not written\" reports; $(tail -n 1 "$DIR/lines.out")"
echo PASS
