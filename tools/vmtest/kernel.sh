# shellcheck shell=bash
# Kernel cache of the test guests (sourced by run-in-guest.sh and
# run-system-guest.sh): vmlinux and the needed modules of Debian's
# linux-image-amd64, one directory per kernel package version. The host's own
# kernel is not used. Needs die() and note() of the sourcing script.
CACHE=${TELLTRAIL_VMTEST_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/telltrail-vmtest}
# Modules the guest needs; their dependencies are added from the .ko files.
CAN_MODULES="can_raw vcan"
SHARE_MODULES="virtio_pci 9pnet_virtio 9p"
# The system guest's root file system: ext4 on a virtio disk (ext4 asks the
# crypto layer for crc32c when it mounts, which no modprobe can answer in the
# guest's initramfs), and autofs4, which systemd uses for its automounts.
SYSTEM_MODULES="virtio_pci virtio_blk crc32c_generic ext4 autofs4"
# Package folders and files that hold these modules and their dependencies.
MODULE_DIRS=(net/can drivers/net/can drivers/virtio net/9p fs/9p fs/netfs fs/fscache
             drivers/block/virtio_blk.ko fs/ext4 fs/jbd2 fs/mbcache.ko lib/crc16.ko
             crypto/crc32c_generic.ko fs/autofs)
# The last file of a cache directory's list: a directory without it is of an
# older layout (fewer modules) and is built again.
CACHE_COMPLETE=system.modules

# Prints "<package> <version>" of the kernel that linux-image-amd64 selects.
kernel_package() {
  local line
  line=$(apt-cache show --no-all-versions linux-image-amd64 2>/dev/null |
         sed -n 's/^Depends: \(linux-image-[^ ,]*\) (= \([^)]*\)).*/\1 \2/p')
  [ -n "$line" ] && echo "${line%%$'\n'*}"
}

# Module name as the kernel writes it in depends= ('-' and '_' are the same).
modname() { local n=${1##*/}; n=${n%%.ko*}; echo "${n//-/_}"; }

# resolve_modules <unpacked tree> <name...>: prints the names in load order.
resolve_modules() {
  local tree=$1; shift
  local -A seen=()
  local order=()
  visit() {
    local m=$1 f dep
    [ -z "${seen[$m]:-}" ] || return 0
    seen[$m]=1
    f="$tree/$m.ko"
    [ -f "$f" ] || return 0   # not a module in this package: built into the kernel
    for dep in $(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | tr ',' ' '); do
      visit "$(modname "$dep")"
    done
    order+=("$m")
  }
  local m
  for m in "$@"; do visit "$m"; done
  echo "${order[*]}"
}

# build_cache <dir> <package>: downloads the package and fills <dir>. Runs in
# a subshell under set -e; a failure leaves a .build.* folder to remove.
build_cache() {
  local dir=$1 pkg=$2 tmp f off
  tmp=$(mktemp -d "$CACHE/.build.XXXXXX")
  note "fetching $pkg (once; cached in $dir)"
  # As root, apt would hand the download to its sandbox user, who cannot
  # write here.
  (cd "$tmp" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "$pkg" >/dev/null)
  mkdir -p "$tmp/unpacked" "$tmp/out/modules"
  dpkg-deb --fsys-tarfile "$tmp"/*.deb |
    tar -x -C "$tmp/unpacked" --wildcards './boot/vmlinuz-*' \
        "${MODULE_DIRS[@]/#/./lib/modules/*/kernel/}"

  # The bzImage carries vmlinux as an xz stream after the setup code; the
  # ELF vmlinux boots directly through its PVH entry, without the BIOS.
  f=$(echo "$tmp"/unpacked/boot/vmlinuz-*)
  # (grep and tail may be cut short by a closed pipe once the rest has what
  # it needs: their status does not count.)
  off=$({ LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$f" || true; } | head -n1 | cut -d: -f1)
  [ -n "$off" ] || die "no xz payload in $f"
  { tail -c +$((off + 1)) "$f" || true; } | xz -dc --single-stream >"$tmp/out/vmlinux"
  [[ $(head -c4 "$tmp/out/vmlinux") == $'\x7fELF' ]] ||
    die "the payload of $f is not an ELF vmlinux"

  # Flat module folder named by module name; compressed modules unpacked,
  # since busybox insmod takes plain .ko files.
  while IFS= read -r -d '' f; do
    case $f in
      *.ko) cp "$f" "$tmp/out/modules/$(modname "$f").ko" ;;
      *.ko.xz) xz -dc "$f" >"$tmp/out/modules/$(modname "$f").ko" ;;
      *.ko.zst) zstd -qdc "$f" >"$tmp/out/modules/$(modname "$f").ko" ;;
    esac
  done < <(find "$tmp/unpacked/lib/modules" -name '*.ko*' -print0)
  # shellcheck disable=SC2086
  resolve_modules "$tmp/out/modules" $CAN_MODULES >"$tmp/out/can.modules"
  # shellcheck disable=SC2086
  resolve_modules "$tmp/out/modules" $CAN_MODULES $SHARE_MODULES >"$tmp/out/share.modules"
  # shellcheck disable=SC2086
  resolve_modules "$tmp/out/modules" $SYSTEM_MODULES $CAN_MODULES $SHARE_MODULES \
    >"$tmp/out/$CACHE_COMPLETE"
  rm -rf "$dir"
  mv "$tmp/out" "$dir"
  rm -rf "$tmp"
}

# Prints the cache directory of the kernel to boot, building it when needed.
# One builder at a time; without package lists or network an earlier cached
# kernel is used.
kernel_dir() {
  local pkg='' ver='' dir newest
  mkdir -p "$CACHE"
  exec 9>"$CACHE/.lock"
  flock 9
  rm -rf "$CACHE"/.build.*
  # Asking apt costs a second: skip it while the package lists are unchanged
  # since the last answer.
  if [ -f "$CACHE/current" ] && [ -f "$(cat "$CACHE/current")/$CACHE_COMPLETE" ] &&
     [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*Packages*' -newer "$CACHE/current" -print -quit 2>/dev/null)" ]; then
    cat "$CACHE/current"
    return 0
  fi
  if ! read -r pkg ver < <(kernel_package) && [ "$(id -u)" -eq 0 ]; then
    note "no package lists: apt-get update"
    apt-get update -q >/dev/null || true
    read -r pkg ver < <(kernel_package) || true
  fi
  if [ -n "$pkg" ]; then
    dir="$CACHE/${pkg}_$ver"
    if [ ! -f "$dir/$CACHE_COMPLETE" ]; then
      # A failed build ends its subshell; the fallback below takes over.
      set +e; (set -e; build_cache "$dir" "$pkg"); set -e
    fi
    if [ -f "$dir/$CACHE_COMPLETE" ]; then
      echo "$dir" >"$CACHE/current"
      echo "$dir"
      return 0
    fi
  fi
  newest=$(ls -td "$CACHE"/*/"$CACHE_COMPLETE" 2>/dev/null | head -n1 || true)
  [ -n "$newest" ] || die "no kernel: cannot download linux-image-amd64 (run apt-get update?)"
  note "cannot download ${pkg:-linux-image-amd64}; booting the cached ${newest%/*}"
  dirname "$newest"
}
