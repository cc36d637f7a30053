#!/usr/bin/env bash
# Prints the path of the system guest's disk image, building it first when
# it is not cached: a small Debian 12 system (systemd as PID 1, udev, can-utils,
# iproute2, MariaDB and the MySQL client library) made with mmdebstrap from
# the machine's own apt sources, as an ext4 file system image. See
# tools/vmtest/README.md.
#
#   system-image.sh            (as root; the cache is reused without root)
#
# The cache ($TELLTRAIL_VMTEST_SYSTEM_CACHE, default build/vmtest-system in
# the source tree) holds one image, named by a key of the package list and of
# this script: a change of either builds a new image and drops the old one.
set -euo pipefail
shopt -s inherit_errexit

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CACHE=${TELLTRAIL_VMTEST_SYSTEM_CACHE:-$ROOT/build/vmtest-system}
SUITE=bookworm
SIZE=2G

# What the guest has besides apt and the essential packages. A package whose
# programs need more (the web package's web server, say) adds them here.
PACKAGES=(
  systemd systemd-sysv udev iproute2 can-utils
  # the database output: the server in the guest and the client library that
  # telltrail loads at run time (libmysqlclient.so)
  mariadb-server libmariadb-dev-compat
  # the web page's package (telltrail-web) and a client to ask its API
  php-cli php-cgi php-mysql libjs-chart.js curl
)

die() { echo "system-image: $*" >&2; exit 1; }
note() { echo "system-image: $*" >&2; }

KEY=$({ echo "$SUITE ${PACKAGES[*]}"; cat "$0"; } | sha256sum | cut -c1-16)
IMAGE=$CACHE/$KEY/rootfs.img
if [ -f "$IMAGE" ]; then
  echo "$IMAGE"
  exit 0
fi

[ "$(id -u)" -eq 0 ] || die "building the image needs root (mmdebstrap, file owners); none is cached in $CACHE"
for tool in mmdebstrap mke2fs; do
  command -v "$tool" > /dev/null || die "$tool is missing (tools/run-tests.sh installs it)"
done

mkdir -p "$CACHE"
exec 9> "$CACHE/.lock"
flock 9
if [ -f "$IMAGE" ]; then   # built by another run while this one waited
  echo "$IMAGE"
  exit 0
fi
rm -rf "$CACHE"/.build.*
TMP=$(mktemp -d "$CACHE/.build.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
START=$SECONDS

# The machine's Debian sources (deb822 or one-line files), as apt uses them.
SOURCES=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && grep -qE '^[[:space:]]*(deb|Types:)' "$f" && SOURCES+=("$f")
done
[ ${#SOURCES[@]} -gt 0 ] || die "no apt sources in /etc/apt"

note "building the Debian $SUITE system (once; cached in $CACHE/$KEY)"
packages=$(IFS=,; echo "${PACKAGES[*]}")
# Manual pages, translations and documents are left out, except the
# documents of telltrail's own packages (the table's schema is among them).
mmdebstrap --variant=apt --mode=root --quiet \
  --aptopt='Acquire::Check-Valid-Until "false"' \
  --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-include=/usr/share/doc/telltrail*' \
  --include="$packages" \
  "$SUITE" "$TMP/root" "${SOURCES[@]}" > "$TMP/mmdebstrap.log" 2>&1 ||
  { tail -n 30 "$TMP/mmdebstrap.log" >&2; die "mmdebstrap failed"; }

R=$TMP/root
echo board > "$R/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tboard\n' > "$R/etc/hosts"
# A machine id of its own, so that the first boot is no "first boot" (which
# would ask questions on the console).
od -An -N16 -tx1 /dev/urandom | tr -d ' \n' > "$R/etc/machine-id"
echo >> "$R/etc/machine-id"
# Nobody logs in, and no timer wakes up during a test.
for unit in getty@tty1.service serial-getty@ttyS0.service apt-daily.timer \
            apt-daily-upgrade.timer dpkg-db-backup.timer fstrim.timer e2scrub_all.timer \
            getty-static.service; do
  ln -sf /dev/null "$R/etc/systemd/system/$unit"
done
rm -f "$R/etc/systemd/system/getty.target.wants/getty@tty1.service"

# can0: the board's CAN interface, here a vcan interface (the initramfs
# loaded the module), up before the network is.
cat > "$R/etc/systemd/system/vcan-can0.service" << 'EOF'
[Unit]
Description=CAN interface can0 (vcan)
DefaultDependencies=no
Before=network-pre.target
Wants=network-pre.target

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/sbin/ip link add dev can0 type vcan
ExecStart=/sbin/ip link set up dev can0

[Install]
WantedBy=multi-user.target
EOF
# The test command of the host (run-system-guest.sh), from the shared folder
# that the initramfs mounted on /opt/vmtest, once the system is up.
cat > "$R/etc/systemd/system/vmtest.service" << 'EOF'
[Unit]
Description=Test command of the host
After=multi-user.target
ConditionPathExists=/opt/vmtest/.vmtest/boot.sh

[Service]
Type=exec
ExecStart=/bin/sh /opt/vmtest/.vmtest/boot.sh
StandardInput=null
StandardOutput=tty
StandardError=tty
TTYPath=/dev/console
TTYReset=no
TTYVHangup=no

[Install]
WantedBy=multi-user.target
EOF
mkdir -p "$R/opt/vmtest" "$R/etc/systemd/system/multi-user.target.wants"
ln -sf ../vcan-can0.service "$R/etc/systemd/system/multi-user.target.wants/vcan-can0.service"
ln -sf ../vmtest.service "$R/etc/systemd/system/multi-user.target.wants/vmtest.service"

note "ext4 image of $(du -sh "$R" | cut -f1)"
mke2fs -q -t ext4 -L root -d "$R" "$TMP/rootfs.img" "$SIZE" >&2 ||
  die "mke2fs could not make the image"
# One image in the cache: older keys go.
find "$CACHE" -mindepth 1 -maxdepth 1 -type d ! -name '.build.*' -exec rm -rf {} +
mkdir -p "$CACHE/$KEY"
mv "$TMP/rootfs.img" "$IMAGE"
note "built in $((SECONDS - START)) s"
echo "$IMAGE"
