# shellcheck shell=bash
# Booting a test guest (sourced by run-in-guest.sh and run-system-guest.sh).
# Needs die() and note() of the sourcing script.

# KVM only where the CPU offers hardware virtualisation to us, else TCG.
if grep -qwE 'vmx|svm' /proc/cpuinfo && [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
  ACCEL=(-accel kvm -cpu host)
else
  ACCEL=(-accel tcg -cpu max)
fi

# A token that the guest's last console line carries, with its status.
MARKER="telltrail-vmtest-exit-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"

# boot_guest SECONDS STATUS_FILE QEMU_COMMAND...: runs QEMU within SECONDS;
# the console goes to our stdout up to the marker line, whose status goes to
# STATUS_FILE (what follows it is the kernel powering off). Ends the script
# with 124 when the time runs out, dies when QEMU itself fails.
boot_guest() {
  local seconds=$1 status_file=$2 qemu_status
  shift 2
  rm -f "$status_file"
  set +e
  timeout --foreground -k 5 "$seconds" "$@" < /dev/null |
    awk -v marker="$MARKER" -v out="$status_file" '
      { sub(/\r$/, "") }
      (i = index($0, marker)) {
        if (i > 1) print substr($0, 1, i - 1)
        print substr($0, i + length(marker) + 1) > out
        done = 1
      }
      done { next }
      { print; fflush() }'
  qemu_status=${PIPESTATUS[0]}
  set -e
  if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
    note "the guest did not finish within $seconds s"
    exit 124
  fi
  [ "$qemu_status" -eq 0 ] || die "qemu failed with status $qemu_status"
}
