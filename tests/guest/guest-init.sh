#!/bin/busybox sh
# The guest's first process: mounts, loads the USB modules, runs the
# scenario and hands its result to qemu.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/local/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for m in /modules/*.ko; do
  # Two emulated controllers: a second camera can be plugged in.
  case "$m" in *dummy_hcd*) args=num=2 ;; *) args= ;; esac
  insmod "$m" $args || echo "guest: loading $m failed"
done
mount -t configfs none /sys/kernel/config
sh /scenario.sh
rc=$?
# The serial console is slow under emulation: let it drain before qemu goes.
sleep 2
if [ "$rc" -eq 0 ]; then code='\020'; else code='\021'; fi
printf "$code" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
poweroff -f
