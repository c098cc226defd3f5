#!/usr/bin/env bash
# Runs the USB scenario in a Linux guest under qemu: the simulated camera as
# a FunctionFS gadget on dummy_hcd, and norvikcam with the libusb device on
# the guest's real usbcore and usbfs. Usage: tests/guest/run.sh BUILD_DIR
# Exits 0 when every step in the guest passed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
root=$("$here/fetch-kernel.sh")
release=${root##*/root-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/initrd
mkdir -p "$tree"/{bin,dev,proc,sys,tmp,modules,usr/local/bin}
cp /bin/busybox "$tree/bin/busybox"

# The modules in load order, as modprobe resolves them.
n=0
for m in dummy_hcd usb_f_fs; do
  modprobe -d "$root" -S "$release" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
  n=$((n + 1))
  cp "$ko" "$tree/modules/$(printf %02d "$n")-$(basename "$ko")"
done

# Loaded by the scenario itself: a kernel driver that binds to the camera.
mkdir -p "$tree/extra"
for ko in $(modprobe -d "$root" -S "$release" --show-depends usbserial | awk '$1 == "insmod" {print $2}'); do
  cp "$ko" "$tree/extra/"
done

# The programs and every library they load.
for exe in "$build/tools/norvikcam" "$build/sim/norvikcam-gadget"; do
  cp "$exe" "$tree/usr/local/bin/"
  ldd "$exe" | awk '/=> \// {print $3} /^\t\/lib/ {print $1}' | while read -r lib; do
    mkdir -p "$tree$(dirname "$lib")"
    cp -L "$lib" "$tree$lib"
  done
done
# The loader is found by its absolute path in the programs.
for loader in /lib64/ld-linux-x86-64.so.2 /lib/x86_64-linux-gnu/ld-linux-x86-64.so.2; do
  mkdir -p "$tree$(dirname "$loader")"
  cp -L "$loader" "$tree$loader"
done
mkdir -p "$tree/etc"
printf 'root:x:0:0::/root:/bin/sh\nnobody:x:65534:65534::/tmp:/bin/sh\n' > "$tree/etc/passwd"
printf 'root:x:0:\nplugdev:x:46:\nnogroup:x:65534:\n' > "$tree/etc/group"
cp "$here/guest-init.sh" "$tree/init"
cp "$here/scenario.sh" "$tree/scenario.sh"
chmod +x "$tree/init"
(cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"

# The guest reports through isa-debug-exit: 0x10 passes (qemu exits 33).
set +e
timeout 900 qemu-system-x86_64 -accel tcg -m 1536 -smp 2 -nographic -no-reboot \
  -kernel "$root/boot/vmlinuz-$release" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1" \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 </dev/null
status=$?
set -e
if [ "$status" -eq 33 ]; then
  echo "guest USB scenario passed"
  exit 0
fi
echo "guest USB scenario FAILED (qemu exit status $status)" >&2
exit 1
