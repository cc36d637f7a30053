#!/bin/busybox sh
# /init of the system guest's initramfs (busybox sh): loads the modules that
# Debian's kernel needs for the root file system (ext4 on the virtio disk),
# for the shared folder (9p) and for CAN (vcan), mounts the root file system
# and the shared folder, and hands over to systemd with switch_root. A
# failure powers off without the host's marker line: the host reports it.

/bin/busybox mkdir -p /bin /sbin /usr/bin /usr/sbin /proc /sys /dev /newroot
/bin/busybox --install -s
export PATH=/bin:/sbin

fail() {
  echo "guest initramfs: $*"
  poweroff -f
  sleep 60
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

for m in $(cat /etc/vmtest/modules); do
  insmod "/lib/vmtest-modules/$m.ko" || fail "cannot load kernel module $m"
done

# The disk appears once its driver has probed it.
i=0
while [ ! -b /dev/vda ]; do
  i=$((i + 1))
  [ $i -le 50 ] || fail "no disk /dev/vda"
  sleep 0.1
done
mount -t ext4 -o rw /dev/vda /newroot || fail "cannot mount the root file system /dev/vda"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /newroot/opt/vmtest ||
  fail "cannot mount the shared folder on /opt/vmtest"

mount --move /dev /newroot/dev
umount /proc /sys
exec switch_root /newroot /sbin/init
