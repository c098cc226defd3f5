# The USB scenario, run inside the guest: start -> properties -> capture
# checked against the scene -> the usbfs limit -> a stalled frame timing out
# -> unplug while streaming -> clean stop. Prints figures as it goes.
export XDG_CONFIG_HOME=/tmp/cfg
# For the address-sanitizer build: any report fails the program, and so
# the scenario.
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
D="--device usb"
ctl=/tmp/gadget.ctl
log=/tmp/gadget.log

fail() {
  echo "GUEST FAIL: $*"
  echo "--- gadget log"; cat "$log"
  exit 1
}
step() { echo "== $*"; }
# Hundredths of a second since boot.
now() { cut -d' ' -f1 /proc/uptime | tr -d .; }
# Asks the gadget whether a raw frame is the scene; prints its verdict.
check() {
  rm -f /tmp/verdict
  echo "check $1 $2 $3 /tmp/verdict" > "$ctl"
  for _ in $(seq 600); do [ -f /tmp/verdict ] && break; sleep 0.1; done
  cat /tmp/verdict 2>/dev/null || echo "no verdict"
}

step "start: the simulated camera as a USB gadget"
norvikcam-gadget --control "$ctl" --ready /tmp/gadget.ready > "$log" 2>&1 &
for _ in $(seq 100); do [ -f /tmp/gadget.ready ] && break; sleep 0.1; done
[ -f /tmp/gadget.ready ] || fail "the gadget did not come up"
found=
for _ in $(seq 100); do
  norvikcam list > /tmp/list.txt 2>&1 && grep -q "usb:4e56:2560" /tmp/list.txt && found=1 && break
  sleep 0.1
done
cat /tmp/list.txt
[ -n "$found" ] || fail "norvikcam list does not show the camera"
# The controller numbers the endpoints its own way; the driver finds them
# by their order in the interface.
echo "endpoints as the host sees them: $(cd /sys/bus/usb/devices/1-1:1.0 2>/dev/null && echo ep_*)"

step "a user without access is told what to do"
node=$(sed -n 's#.*(bus \([0-9]*\) device \([0-9]*\)).*#/dev/bus/usb/\1/\2#p' /tmp/list.txt)
[ -e "$node" ] || fail "no device node $node"
mode=$(stat -c %a "$node")
chmod 600 "$node"
if su -s /bin/sh nobody -c "XDG_CONFIG_HOME=/tmp/nobody norvikcam info --device usb" > /dev/null 2> /tmp/perm.err; then
  fail "opened a camera it has no access to"
fi
chmod "$mode" "$node"
cat /tmp/perm.err
grep -q "permission denied opening the camera at $node" /tmp/perm.err || fail "the permission message"
grep -q "plugdev" /tmp/perm.err || fail "the permission message does not say what to do"

step "properties"
norvikcam info $D > /tmp/info.txt 2>&1 || { cat /tmp/info.txt; fail "info"; }
grep -q "window: x=0 y=0 width=2560 height=1920" /tmp/info.txt || { cat /tmp/info.txt; fail "info: window"; }
grep -q "exposure" /tmp/info.txt || fail "info: controls"
norvikcam set $D exposure=80 global_gain=100 hue=10 > /dev/null 2>&1 || fail "set"
out=$(norvikcam get $D exposure global_gain hue 2>&1)
[ "$out" = "exposure=80
global_gain=100
hue=10" ] || fail "get in the next run gave: $out"
norvikcam window $D 200 100 1280 720 | grep -q "frames 1280x720" || fail "window"
# Under emulation a frame can take longer than the 3 s default time-out; a
# frame given up with a read half done leaves the gadget's rest of it queued
# for the next frame's reads, as a camera's FIFO would until its next
# transfer begin. The longest time-out keeps the captures whole.
norvikcam set $D timeout=9999 > /dev/null || fail "set timeout"

step "capture checked against the scene"
norvikcam capture $D -n 3 -o /tmp/w-%d.png --raw 2> /tmp/capture.err || { cat /tmp/capture.err; fail "capture"; }
cat /tmp/capture.err
for i in 0 2; do
  [ -s /tmp/w-$i.png ] || fail "no PNG for frame $i"
  verdict=$(check /tmp/w-$i.pgm 200 100)
  echo "windowed frame $i: $verdict"
  case "$verdict" in match*) ;; *) fail "windowed frame $i is not the scene" ;; esac
done
# The whole sensor, frame number included: every frame is one the camera
# sent, each later than the one before.
norvikcam window $D 0 0 2560 1920 > /dev/null || fail "window back to full"
norvikcam capture $D -n 4 -o /tmp/f-%d.png --raw 2> /tmp/capture.err || { cat /tmp/capture.err; fail "capture"; }
cat /tmp/capture.err
last=-1
for i in 0 1 2 3; do
  verdict=$(check /tmp/f-$i.pgm 0 0)
  echo "frame $i: $verdict"
  case "$verdict" in match*) ;; *) fail "frame $i is not the scene" ;; esac
  n=${verdict#match }
  [ "$n" -gt "$last" ] || fail "frame $i is camera frame $n, not later than $last"
  last=$n
done
sent() {
  rm -f /tmp/sent
  echo "frames /tmp/sent" > "$ctl"
  for _ in $(seq 100); do [ -f /tmp/sent ] && break; sleep 0.1; done
  cat /tmp/sent
}
f0=$(sent)
t0=$(now)
norvikcam stream $D -n 10 2> /tmp/stream.err | wc -c > /tmp/stream.bytes || fail "stream"
t1=$(now)
f1=$(sent)
[ "$(cat /tmp/stream.bytes)" -eq $((10 * 2560 * 1920 * 4)) ] || fail "stream gave $(cat /tmp/stream.bytes) bytes"
echo "FIGURE stream -n 10 (open, start, convert, stop included): $(( (t1 - t0) * 10 )) ms; the camera sent $((f1 - f0)) frames over USB meanwhile"

step "usbfs memory limit"
limit=/sys/module/usbcore/parameters/usbfs_memory_mb
old=$(cat $limit)
echo 4 > $limit
if norvikcam capture $D -n 1 -o /tmp/x.png 2> /tmp/limit.err; then fail "streamed past a 4 MB usbfs limit"; fi
cat /tmp/limit.err
grep -q "usbfs memory limit is 4 MB" /tmp/limit.err || fail "the limit's message"
echo "$old" > $limit

step "a stalled frame times out"
norvikcam set $D timeout=4000 > /dev/null || fail "set timeout"
echo "stall 1048576" > "$ctl"
norvikcam capture $D -n 3 -o /tmp/s-%d.png --raw 2> /tmp/stall.err || { cat /tmp/stall.err; fail "capture after a stall"; }
cat /tmp/stall.err
line=$(grep "a frame stopped after 1048576 bytes" "$log") || fail "the frame did not stall"
echo "$line"
ms=$(echo "$line" | sed 's/.*began \([0-9]*\) ms later/\1/')
# The time-out runs from the frame's start, a little before its data stopped.
[ "$ms" -ge 3000 ] && [ "$ms" -lt 7000 ] || fail "the stalled frame was given up after $ms ms, not the 4000 ms time-out"
verdict=$(check /tmp/s-2.pgm 0 0)
case "$verdict" in match*) ;; *) fail "the frame after the stall is not the scene" ;; esac

step "unplug while streaming"
norvikcam stream $D -n 0 > /dev/null 2> /tmp/stream.err &
pid=$!
sleep 3
kill -0 $pid 2>/dev/null || { cat /tmp/stream.err; fail "stream ended early"; }
t0=$(now)
echo unbind > "$ctl"
wait $pid
rc=$?
t1=$(now)
cat /tmp/stream.err
[ "$rc" -eq 1 ] || fail "stream exited with $rc after the unplug"
grep -q "the camera was unplugged" /tmp/stream.err || fail "no unplug message"
echo "FIGURE unplug to clean stop: $(( (t1 - t0) * 10 )) ms"
[ $((t1 - t0)) -lt 500 ] || fail "stopping took longer than 5 s"
if norvikcam info $D > /dev/null 2> /tmp/gone.err; then fail "info on an unplugged camera"; fi
cat /tmp/gone.err

echo "--- gadget log"; cat "$log"
echo "GUEST PASS"
