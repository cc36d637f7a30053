#!/bin/busybox sh
# /init of the throwaway test guest (busybox sh, PID 1).
# Mounts the pseudo file systems, loads the CAN modules, creates the vcan
# interface can0, runs the test command in /opt/test and reports its exit
# status to the host as one marker line on the console, then powers off.
# A setup failure powers off without the marker: the host reports it.

/bin/busybox mkdir -p /bin /sbin /usr/bin /usr/sbin /proc /sys /dev /tmp /mnt/share
/bin/busybox --install -s
export PATH=/opt/test:/usr/bin:/usr/sbin:/bin:/sbin HOME=/tmp

fail() {
  echo "guest: $*"
  poweroff -f
  sleep 60
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

# Modules in load order, each after the modules it depends on.
for m in $(cat /etc/vmtest/modules); do
  insmod "/lib/vmtest-modules/$m.ko" || fail "cannot load kernel module $m"
done

ip link set up dev lo || fail "cannot bring up lo"
ip link add dev can0 type vcan || fail "cannot create vcan interface can0"
ip link set up dev can0 || fail "cannot bring up can0"

if [ -f /etc/vmtest/share ]; then
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /mnt/share ||
    fail "cannot mount the shared directory on /mnt/share"
fi

cd /opt/test || fail "no /opt/test"
sh /etc/vmtest/command </dev/null 2>&1
status=$?

# Background jobs the command left behind go first, so that the share can be
# unmounted cleanly (9p writes reach the host as they are made in any case).
cd /
kill -KILL -1 2>/dev/null
sync
[ -f /etc/vmtest/share ] && { umount /mnt/share 2>/dev/null || umount -l /mnt/share; }
echo "$(cat /etc/vmtest/marker) $status"
poweroff -f
sleep 60
