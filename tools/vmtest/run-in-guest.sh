#!/usr/bin/env bash
# Runs a command in a throwaway QEMU guest with a real Linux kernel and a vcan
# interface can0. See tools/vmtest/README.md.
#
#   run-in-guest.sh [--share HOSTDIR] [--timeout SECONDS] [--mem MB] FILE... -- COMMAND...
#
# Exit status: the command's own; 124 when the guest did not finish in time;
# 125 when the guest stopped without reporting a status, or the harness failed.
set -euo pipefail
shopt -s inherit_errexit

HERE=$(cd "$(dirname "$0")" && pwd)
SHARE='' TIMEOUT=240 MEM=512
FILES=()
CAN_UTILS=(cangen candump cansend canplayer cansequence)

die() { echo "run-in-guest: $*" >&2; exit 125; }
note() { echo "run-in-guest: $*" >&2; }

usage() { sed -n '5p' "$0" | sed 's/^# *//' >&2; exit 125; }

while [ $# -gt 0 ]; do
  case $1 in
    --share) [ $# -ge 2 ] || usage; SHARE=$(cd "$2" && pwd) || die "no directory $2"; shift 2 ;;
    --timeout) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage; TIMEOUT=$2; shift 2 ;;
    --mem) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage; MEM=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) FILES+=("$1"); shift ;;
  esac
done
[ $# -gt 0 ] || usage
for f in "${FILES[@]}"; do [ -f "$f" ] || die "no file $f"; done
[ "$(uname -m)" = x86_64 ] || die "the guest is x86_64 and runs the host's binaries: needs an x86_64 host"
for tool in qemu-system-x86_64 busybox cpio xz "${CAN_UTILS[@]}"; do
  command -v "$tool" >/dev/null || die "$tool is missing (tools/run-tests.sh installs it)"
done

# Kernel cache (vmlinux and modules of Debian's kernel package).
# shellcheck source=kernel.sh
. "$HERE/kernel.sh"
# shellcheck source=qemu.sh
. "$HERE/qemu.sh"

# ---------------------------------------------------------------------------
# Initramfs.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/telltrail-vmtest.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
ROOTFS=$WORK/root

# copy_libraries <file...>: every library that ldd lists for the dynamic
# executables among the files, at the same path in the guest (loader
# included). One ldd and one cp for all: each process costs on a busy host.
copy_libraries() {
  local deps libs
  deps=$(ldd "$@" 2>/dev/null | grep $'^\t' || true)   # data, scripts, static: none
  [[ $deps != *"not found"* ]] ||
    die "libraries not found:$(grep 'not found' <<<"$deps" | tr -s ' \t\n' ' ')"
  mapfile -t libs < <(grep -o '/[^ ]*' <<<"$deps" | sort -u)
  [ ${#libs[@]} -eq 0 ] || cp -L --parents "${libs[@]}" "$ROOTFS/"
}

# cpio newc entry of a character device, written by hand so that no root
# rights are needed for mknod: without /dev/console the init has no stdout.
cpio_chardev() {
  local name=$1 major=$2 minor=$3 size=$(( ${#1} + 1 ))
  printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%s\0' \
    1 $((0020600)) 0 0 1 0 0 0 0 "$major" "$minor" "$size" 0 "$name"
  head -c $(( (4 - (110 + size) % 4) % 4 )) /dev/zero
}
cpio_trailer() {
  printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%s\0\0\0\0' \
    0 0 0 0 1 0 0 0 0 0 0 11 0 'TRAILER!!!'
}

KDIR=$(kernel_dir)

mkdir -p "$ROOTFS"/{bin,usr/bin,dev,etc/vmtest,lib/vmtest-modules,opt/test,mnt/share,proc,sys,tmp}
cp -L "$(command -v busybox)" "$ROOTFS/bin/"
for tool in "${CAN_UTILS[@]}"; do cp -L "$(command -v "$tool")" "$ROOTFS/usr/bin/"; done
for f in "${FILES[@]}"; do
  [ ! -e "$ROOTFS/opt/test/${f##*/}" ] || die "two files named ${f##*/}"
  cp -L "$f" "$ROOTFS/opt/test/"
done
copy_libraries "$ROOTFS"/bin/* "$ROOTFS"/usr/bin/* "$ROOTFS"/opt/test/*
install -m 755 "$HERE/init.sh" "$ROOTFS/init"
modules=$(cat "$KDIR/$([ -n "$SHARE" ] && echo share || echo can).modules")
for m in $modules; do cp "$KDIR/modules/$m.ko" "$ROOTFS/lib/vmtest-modules/"; done
echo "$modules" >"$ROOTFS/etc/vmtest/modules"
echo "$MARKER" >"$ROOTFS/etc/vmtest/marker"
echo "$*" >"$ROOTFS/etc/vmtest/command"   # the words as one command line, as ssh does
[ -z "$SHARE" ] || touch "$ROOTFS/etc/vmtest/share"

# Two archives back to back, as the kernel accepts them: the console node,
# then the tree (uncompressed: faster to build and to unpack than gzip).
{
  cpio_chardev dev/console 5 1
  cpio_trailer
  (cd "$ROOTFS" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0)
} >"$WORK/initrd"

# ---------------------------------------------------------------------------
# Boot.
# no_timer_check: an emulated CPU on a busy host may miss the kernel's early
# timer interrupt check, which then panics ("IO-APIC + timer doesn't work").
QEMU=(qemu-system-x86_64 "${ACCEL[@]}" -M pc -smp 2 -m "$MEM" -nodefaults
      -display none -serial stdio -no-reboot
      -kernel "$KDIR/vmlinux" -initrd "$WORK/initrd"
      -append 'console=ttyS0 quiet panic=-1 no_timer_check rdinit=/init')
[ -z "$SHARE" ] || QEMU+=(-virtfs "local,path=$SHARE,mount_tag=share,security_model=none")

boot_guest "$TIMEOUT" "$WORK/status" "${QEMU[@]}"
status=$(cat "$WORK/status" 2>/dev/null || true)
[[ $status =~ ^[0-9]+$ ]] || die "the guest stopped without reporting the command's exit status (setup failure, kernel panic or crash; see the console above)"
exit "$status"
