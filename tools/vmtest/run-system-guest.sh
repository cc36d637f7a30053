#!/usr/bin/env bash
# Boots the system guest in QEMU: a small Debian 12 system with systemd as
# PID 1 (tools/vmtest/system-image.sh) on Debian's kernel, with the vcan
# interface can0, and runs one command in it as root once the system is up.
# See tools/vmtest/README.md.
#
#   run-system-guest.sh [--timeout SECONDS] [--mem MB] FILE... -- COMMAND...
#
# Exit status: the command's own; 124 when the guest did not finish in time;
# 125 when the guest stopped without reporting a status, or the harness failed.
set -euo pipefail
shopt -s inherit_errexit

HERE=$(cd "$(dirname "$0")" && pwd)
TIMEOUT=600 MEM=1024
# Boots of one run at most: the first and the reboots the command asks for.
MAX_BOOTS=4
# The command's exit status that asks for a reboot.
REBOOT_STATUS=100
FILES=()

die() { echo "run-system-guest: $*" >&2; exit 125; }
note() { echo "run-system-guest: $*" >&2; }

usage() { sed -n '7p' "$0" | sed 's/^# *//' >&2; exit 125; }

while [ $# -gt 0 ]; do
  case $1 in
    --timeout) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage; TIMEOUT=$2; shift 2 ;;
    --mem) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage; MEM=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) FILES+=("$1"); shift ;;
  esac
done
[ $# -gt 0 ] || usage
for f in "${FILES[@]}"; do [ -f "$f" ] || die "no file $f"; done
[ "$(uname -m)" = x86_64 ] || die "the guest is x86_64: needs an x86_64 host"
for tool in qemu-system-x86_64 busybox cpio; do
  command -v "$tool" > /dev/null || die "$tool is missing (tools/run-tests.sh installs it)"
done

# shellcheck source=kernel.sh
. "$HERE/kernel.sh"
# shellcheck source=qemu.sh
. "$HERE/qemu.sh"
KDIR=$(kernel_dir)
IMAGE=$("$HERE/system-image.sh") || die "no system image"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/telltrail-sysguest.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
SHARE=$WORK/share INITRD_ROOT=$WORK/initrd-root

# The shared folder: the files, and what the guest's vmtest.service runs.
mkdir -p "$SHARE/.vmtest"
for f in "${FILES[@]}"; do
  [ ! -e "$SHARE/${f##*/}" ] || die "two files named ${f##*/}"
  cp -L "$f" "$SHARE/"
done
echo "$*" > "$SHARE/.vmtest/command"   # the words as one command line, as ssh does
echo "$MARKER" > "$SHARE/.vmtest/marker"
cat > "$SHARE/.vmtest/boot.sh" << EOF
# Runs the command in /opt/vmtest (first on PATH); reports its status, or
# that it asks for a reboot, in one marker line; then reboots or powers off.
cd /opt/vmtest || exit 1
PATH=/opt/vmtest:\$PATH sh .vmtest/command < /dev/null 2>&1
status=\$?
sync
if [ \$status -eq $REBOOT_STATUS ]; then
  echo "$MARKER reboot"
  systemctl reboot
else
  echo "$MARKER \$status"
  systemctl poweroff --force
fi
EOF

# The initramfs: busybox, the modules in load order, the init.
mkdir -p "$INITRD_ROOT"/{bin,etc/vmtest,lib/vmtest-modules}
cp -L "$(command -v busybox)" "$INITRD_ROOT/bin/"
[ -z "$(ldd "$INITRD_ROOT/bin/busybox" 2>/dev/null | grep '=>' || true)" ] ||
  die "busybox is not static (apt-get install busybox-static)"
install -m 755 "$HERE/system-init.sh" "$INITRD_ROOT/init"
modules=$(cat "$KDIR/$CACHE_COMPLETE")
for m in $modules; do cp "$KDIR/modules/$m.ko" "$INITRD_ROOT/lib/vmtest-modules/"; done
echo "$modules" > "$INITRD_ROOT/etc/vmtest/modules"
(cd "$INITRD_ROOT" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) > "$WORK/initrd"

# The disk: a copy of the cached image (sparse, a second or two), so that
# the guest's changes survive its reboots and never reach the cache.
cp --sparse=always "$IMAGE" "$WORK/disk.img"

# A reboot ends QEMU (-no-reboot), and the harness boots the same disk
# again; so does a kernel panic (panic=-1), which reports no status.
# no_timer_check: an emulated CPU on a busy host may miss the kernel's early
# timer interrupt check, which then panics ("IO-APIC + timer doesn't work").
QEMU=(qemu-system-x86_64 "${ACCEL[@]}" -M pc -smp 2 -m "$MEM" -nodefaults
      -display none -serial stdio -no-reboot
      -kernel "$KDIR/vmlinux" -initrd "$WORK/initrd"
      -drive "file=$WORK/disk.img,format=raw,if=virtio,cache=unsafe"
      -virtfs "local,path=$SHARE,mount_tag=share,security_model=none"
      -append 'console=ttyS0 quiet panic=-1 no_timer_check rdinit=/init systemd.show_status=error')

start=$SECONDS
boots=0
while :; do
  boots=$((boots + 1))
  [ $boots -le $MAX_BOOTS ] || die "more than $MAX_BOOTS boots"
  left=$((TIMEOUT - (SECONDS - start)))
  [ $left -gt 0 ] || { note "the guest did not finish within $TIMEOUT s"; exit 124; }
  boot_guest "$left" "$WORK/status" "${QEMU[@]}"
  status=$(cat "$WORK/status" 2> /dev/null || true)
  if [ "$status" = reboot ]; then
    note "boot $boots ended in a reboot after $((SECONDS - start)) s: booting the same disk again"
    continue
  fi
  [[ $status =~ ^[0-9]+$ ]] ||
    die "the guest stopped without reporting the command's exit status (setup failure, kernel panic or crash; see the console above)"
  note "$boots boot(s), $((SECONDS - start)) s in the guest"
  exit "$status"
done
