#!/usr/bin/env bash
# Checks the QEMU guest harness tools/vmtest/run-in-guest.sh end to end:
# CAN traffic on the guest's vcan interface between can-utils and a
# dynamically linked C++ program, the shared directory, and how the harness
# reports the command's exit status, a guest that dies and a guest that hangs.
#
#   tests/vmtest/smoke.sh        (needs qemu-system-x86 and friends, g++)
set -uo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
HARNESS=$HERE/../../tools/vmtest/run-in-guest.sh
WORK=$(mktemp -d "${TMPDIR:-/tmp}/telltrail-smoke.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
passed=0 failed=0

# run <name> <expected status> <expected text in the output> <harness args...>
run() {
  local name=$1 want_status=$2 want_text=$3 status start
  shift 3
  start=$(date +%s)
  "$HARNESS" "$@" >"$WORK/$name.out" 2>&1
  status=$?
  if [ "$status" -eq "$want_status" ] && grep -qF -- "$want_text" "$WORK/$name.out"; then
    echo "PASS $name ($(( $(date +%s) - start )) s)"
    passed=$((passed + 1))
  else
    echo "FAIL $name: status $status (expected $want_status), expected output \"$want_text\"; output:"
    sed 's/^/    /' "$WORK/$name.out"
    failed=$((failed + 1))
  fi
}

# The candump -l log that the guest wrote into the share, as the host sees it:
# 1000 frames 123 whose 8 data bytes count up from 0 (little-endian, as cangen
# -D i makes them), then the end frame.
check_share_log() {
  local log problems
  log=$(ls "$WORK"/share/candump-*.log 2>/dev/null | head -n1)
  if [ -z "$log" ]; then
    problems="no candump log in the shared directory"
  else
    problems=$(awk '
      { split($3, f, "#") }
      NR <= 1000 {
        want = sprintf("%02X%02X000000000000", (NR - 1) % 256, int((NR - 1) / 256))
        if ($2 != "can0" || f[1] != "123" || f[2] != want) { print "line " NR ": " $0; exit }
      }
      NR == 1001 && $3 != "7FF#" { print "line 1001: " $0 }
      END { if (NR != 1001) print NR " lines, not 1001" }' "$log")
  fi
  if [ -z "$problems" ]; then
    echo "PASS share-log"
    passed=$((passed + 1))
  else
    echo "FAIL share-log: $problems"
    failed=$((failed + 1))
  fi
}

mkdir -p "$WORK/share"
if ! "${CXX:-g++}" -std=c++17 -O1 -Wall -Wextra -Werror -o "$WORK/can_count" "$HERE/can_count.cpp"; then
  echo "FAIL build can_count"
  exit 1
fi

run can-traffic 0 "can-traffic: 1000 frames received" \
  --share "$WORK/share" "$WORK/can_count" "$HERE/can-traffic.sh" -- can-traffic.sh /mnt/share
check_share_log
# Output without a final line feed, then the status of the command.
run exit-status 7 "partial line" -- 'echo first line; printf "partial line"; exit 7'
# The guest powers off before the command reports: no status from the guest.
run no-status 125 "without reporting the command's exit status" -- 'poweroff -f; sleep 60'
run timeout 124 "did not finish within 4 s" --timeout 4 -- 'sleep 600'
run missing-file 125 "no file $WORK/absent" "$WORK/absent" -- true
# A program whose library is gone is refused before the guest boots.
echo 'int gone(void) { return 0; }' >"$WORK/gone.c"
echo 'int gone(void); int main(void) { return gone(); }' >"$WORK/use_gone.c"
if gcc -shared -fPIC -o "$WORK/libgone.so" "$WORK/gone.c" &&
   gcc -o "$WORK/use_gone" "$WORK/use_gone.c" -L"$WORK" -lgone && rm "$WORK/libgone.so"; then
  run missing-library 125 "libgone.so => not found" "$WORK/use_gone" -- use_gone
else
  echo "FAIL missing-library: cannot build the test program"
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
