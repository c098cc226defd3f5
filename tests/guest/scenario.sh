# The USB scenario, run inside the guest: start -> properties -> capture
# checked against the scene -> the usbfs limit -> a stalled frame timing out
# -> a camera that misbehaves (a frame's tail kept after a time-out, a short
# packet, bytes beyond a frame, halted endpoints, a command endpoint that
# takes nothing for a while, a second program, a kernel driver, usbfs used
# up by another program, a reset that re-enumerates) -> unplug while
# streaming -> clean stop. Prints figures as it goes.
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
# How many frames the gadget has sent so far.
sent() {
  rm -f /tmp/sent
  echo "frames /tmp/sent" > "$ctl"
  for _ in $(seq 1200); do [ -f /tmp/sent ] && break; sleep 0.1; done
  cat /tmp/sent
}
# Every full-sensor raw frame named is the scene, each a later camera frame
# than the one before and than $1; sets first to the first one's number.
exact() {
  last=$1
  first=
  shift
  for f in "$@"; do
    verdict=$(check "$f" 0 0)
    echo "$f: $verdict"
    case "$verdict" in match*) ;; *) fail "$f is not the scene" ;; esac
    n=${verdict#match }
    [ "$n" -gt "$last" ] || fail "$f is camera frame $n, not later than $last"
    last=$n
    [ -n "$first" ] || first=$n
  done
}
# Asks the gadget whether a raw frame is the scene; prints its verdict.
check() {
  rm -f /tmp/verdict
  echo "check $1 $2 $3 /tmp/verdict" > "$ctl"
  for _ in $(seq 600); do [ -f /tmp/verdict ] && break; sleep 0.1; done
  cat /tmp/verdict 2>/dev/null || echo "no verdict"
}

step "start: the simulated camera as a USB gadget"
norvikcam-gadget --control "$ctl" --ready /tmp/gadget.ready > "$log" 2>&1 &
for _ in $(seq 1200); do [ -f /tmp/gadget.ready ] && break; sleep 0.1; done
[ -f /tmp/gadget.ready ] || fail "the gadget did not come up"
found=
for _ in $(seq 1200); do
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

step "capture checked against the scene"
norvikcam capture $D -n 3 -o /tmp/w-%d.png --raw --raw-format pgm 2> /tmp/capture.err || { cat /tmp/capture.err; fail "capture"; }
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
norvikcam capture $D -n 4 -o /tmp/f-%d.png --raw --raw-format pgm 2> /tmp/capture.err || { cat /tmp/capture.err; fail "capture"; }
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
f0=$(sent)
t0=$(now)
norvikcam stream $D -n 10 2> /tmp/stream.err | wc -c > /tmp/stream.bytes || fail "stream"
t1=$(now)
f1=$(sent)
[ "$(cat /tmp/stream.bytes)" -eq $((10 * 2560 * 1920 * 4)) ] || fail "stream gave $(cat /tmp/stream.bytes) bytes"
echo "FIGURE stream -n 10 (open, start, convert, stop included): $(( (t1 - t0) * 10 )) ms; the camera sent $((f1 - f0)) frames over USB meanwhile"

step "the viewer on the real camera"
# The page, the state, the live picture and a snapshot over the guest's
# loopback; Ctrl-C ends it cleanly.
ip link set lo up 2> /dev/null || ifconfig lo 127.0.0.1 up
norvikcam view $D --listen 127.0.0.1:0 --snapshots /tmp/snaps > /tmp/view.out 2> /tmp/view.err &
vpid=$!
for _ in $(seq 1200); do grep -q "http://" /tmp/view.out && break; sleep 0.1; done
url=$(grep -o 'http://[^ ]*' /tmp/view.out) || fail "the viewer did not start: $(cat /tmp/view.err)"
wget -q -O /tmp/page.html "$url" || fail "the viewer's page"
token=$(sed -n 's/.*const token = "\([0-9a-f]*\)".*/\1/p' /tmp/page.html)
[ ${#token} -eq 32 ] || fail "no token in the page"
# Until the viewer has a frame: the emulated camera gives under 2 frames/s,
# fewer under a sanitizer, so the bound is generous and the wait is for
# the frame itself.
for _ in $(seq 1200); do
  wget -q -O /tmp/state.json "${url}state" && grep -q '"picture":[1-9]' /tmp/state.json && break
  sleep 0.1
done
wget -q -O /tmp/state.json "${url}state" || fail "the viewer's state"
grep -q '"picture":[1-9]' /tmp/state.json || fail "no frames in the viewer: $(cat /tmp/state.json)"
# The live stream's first part, however long it takes to come.
( timeout 120 sh -c "wget -q -O - '${url}stream.mjpg' | head -c 7" > /tmp/live.mjpg ) 2> /dev/null
grep -q -- "--frame" /tmp/live.mjpg || fail "no live picture"
echo "live picture: its first part; $(sed 's/,"window.*//' /tmp/state.json)}"
if wget -q -O /dev/null --post-data "name=hue&value=20" "${url}control" 2> /dev/null; then
  fail "a change without the token was taken"
fi
wget -q -O /tmp/snap.json --header "X-Norvik-Token: $token" --post-data "" "${url}snapshot" || fail "snapshot"
ls /tmp/snaps/snapshot-*.png /tmp/snaps/snapshot-*.dng > /dev/null || fail "the snapshot's files"
kill -INT $vpid
wait $vpid || fail "the viewer did not end cleanly: $(cat /tmp/view.err)"

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
norvikcam capture $D -n 3 -o /tmp/s-%d.png --raw --raw-format pgm 2> /tmp/stall.err || { cat /tmp/stall.err; fail "capture after a stall"; }
cat /tmp/stall.err
line=$(grep "a frame stopped after 1048576 bytes" "$log") || fail "the frame did not stall"
echo "$line"
ms=$(echo "$line" | sed 's/.*began \([0-9]*\) ms later/\1/')
# The time-out runs from the frame's start, a little before its data stopped.
[ "$ms" -ge 3000 ] && [ "$ms" -lt 7000 ] || fail "the stalled frame was given up after $ms ms, not the 4000 ms time-out"
verdict=$(check /tmp/s-2.pgm 0 0)
case "$verdict" in match*) ;; *) fail "the frame after the stall is not the scene" ;; esac

# From here on the camera keeps what is left of a frame across a transfer
# begin, as one whose FIFO is not flushed would: a frame the host gives up
# must not leave its tail at the start of the next.
echo "keep on" > "$ctl"
norvikcam set $D timeout=2000 > /dev/null || fail "set timeout"
port=$(sed -n 's#.*usb:4e56:2560@\([0-9.-]*\).*#\1#p' /tmp/list.txt | head -n 1)
# Runs a capture of $1 raw frames to /tmp/$2-N; prints how long it took.
timed_capture() {
  t0=$(now)
  norvikcam capture $D -n "$1" -o "/tmp/$2-%d.png" --raw --raw-format pgm --timeout 30 2> "/tmp/$2.err" ||
    { cat "/tmp/$2.err"; fail "capture ($2)"; }
  t1=$(now)
  echo $(( (t1 - t0) * 10 ))
}
for n in 1 2 3; do
  ms=$(timed_capture $n base$n) || fail "capture (base$n)"
  echo "FIGURE capture -n $n with nothing wrong (open, start, stop included): $ms ms"
done

# Has the gadget misbehave ($1), captures $2 raw frames through it to
# /tmp/$3-N, checks that they are the scene and later than the frames sent
# before, less $4 frames the misbehaviour may leave whole; $5 must then be
# in the gadget's log. Prints how long the capture took.
through() {
  f0=$(sent)
  echo "$1" > "$ctl"
  ms=$(timed_capture "$2" "$3") || fail "capture ($3)"
  files=
  for i in $(seq 0 $(($2 - 1))); do files="$files /tmp/$3-$i.pgm"; done
  exact $((f0 - $4)) $files
  grep -q "$5" "$log" || fail "the gadget's log has no '$5'"
  echo "FIGURE capture -n $2 through '$1': $ms ms"
}

step "a frame given up while the camera goes on sending it"
# About 3 s for the frame: the host gives up after 2 s with a third of it
# to come, and that frame is not delivered.
through "slow 1800000" 3 tail 0 "the next frame goes out at 1800000 bytes/s"

step "a short packet in the middle of a frame"
through "short 1000100" 2 short 0 "a short packet after 1000100 bytes"

step "bytes beyond a frame"
# The frame they follow is whole; the one after it is not delivered.
through "extra 700" 3 extra 1 "700 bytes more after the frame"

step "the frame endpoint halts until it is cleared"
through "halt frame" 2 haltf 0 "the frame endpoint halted"

step "the command endpoint halts until it is cleared"
# The halt comes between blocks: every frame is whole.
through "halt command" 2 haltc 1 "the command endpoint halted"

step "the command endpoint takes nothing for 5 s while streaming"
norvikcam capture $D -n 14 -o /tmp/nak-%d.png --raw --raw-format pgm --timeout 30 2> /tmp/nak.err &
pid=$!
for _ in $(seq 1200); do [ -f /tmp/nak-1.pgm ] && break; sleep 0.1; done
t0=$(now)
echo "nak 5000" > "$ctl"
wait $pid || { cat /tmp/nak.err; fail "capture through a command endpoint that takes nothing"; }
t1=$(now)
exact 0 /tmp/nak-12.pgm /tmp/nak-13.pgm
echo "FIGURE the rest of a 14-frame capture after the command endpoint stopped taking data for 5 s: $(( (t1 - t0) * 10 )) ms"

step "a second program has the camera"
mkdir -p /tmp/other
XDG_RUNTIME_DIR=/tmp/other norvikcam stream $D -n 0 > /dev/null 2> /tmp/other.err &
other=$!
f0=$(sent)
for _ in $(seq 1200); do [ "$(sent)" -gt $((f0 + 1)) ] && break; sleep 0.1; done
if norvikcam info $D > /dev/null 2> /tmp/busy.err; then fail "opened a camera another program has"; fi
cat /tmp/busy.err
grep -q "in use by norvikcam (pid $other)" /tmp/busy.err || fail "the message does not name the program"
kill -INT $other
wait $other
norvikcam info $D > /dev/null 2>&1 || fail "info after the other program closed"

step "a kernel driver bound to the camera"
insmod /extra/usbserial.ko vendor=0x4e56 product=0x2560 || fail "loading usbserial"
bound() { basename "$(readlink "/sys/bus/usb/devices/$port:1.0/driver" 2>/dev/null)"; }
for _ in $(seq 600); do [ -n "$(bound)" ] && [ "$(bound)" != "." ] && break; sleep 0.1; done
driver=$(bound)
echo "bound to the camera: $driver"
[ -n "$driver" ] && [ "$driver" != "usbfs" ] || fail "no kernel driver bound to the camera"
f0=$(sent)
ms=$(timed_capture 1 kernel) || fail "capture (kernel)"
exact $((f0 - 1)) /tmp/kernel-0.pgm
[ "$(bound)" = "$driver" ] || fail "the kernel driver was not bound again after the capture: $(bound)"
echo "FIGURE capture -n 1 with the kernel driver let go and bound again: $ms ms"
rmmod usbserial

step "usbfs used up by another program"
norvikcam-gadget --name norvik2 --udc dummy_udc.1 --control /tmp/gadget2.ctl --ready /tmp/gadget2.ready > /tmp/gadget2.log 2>&1 &
for _ in $(seq 1200); do [ -f /tmp/gadget2.ready ] && break; sleep 0.1; done
second=
for _ in $(seq 1200); do
  second=$(norvikcam list 2>/dev/null | sed -n 's#^\(usb:4e56:2560@[0-9.-]*\).*#\1#p' | grep -v "@$port\$" | head -n 1)
  [ -n "$second" ] && break
  sleep 0.1
done
[ -n "$second" ] || fail "the second camera did not come up"
# The other program's frame stalls with all of its reads in flight, and
# the program is stopped, so it holds a frame's usbfs memory.
XDG_RUNTIME_DIR=/tmp/other XDG_CONFIG_HOME=/tmp/cfg2 norvikcam set --device "$second" timeout=9999 > /dev/null
echo "stall 1" > /tmp/gadget2.ctl
XDG_RUNTIME_DIR=/tmp/other XDG_CONFIG_HOME=/tmp/cfg2 norvikcam stream --device "$second" -n 0 > /dev/null 2> /tmp/other.err &
other=$!
# Its frame has stopped once the second camera says so: its reads are then
# all in flight.
stalled=
for _ in $(seq 1200); do
  rm -f /tmp/stalled2
  echo "stalled /tmp/stalled2" > /tmp/gadget2.ctl
  for _ in $(seq 600); do [ -f /tmp/stalled2 ] && break; sleep 0.1; done
  [ "$(cat /tmp/stalled2 2>/dev/null)" = yes ] && stalled=1 && break
  sleep 0.1
done
[ -n "$stalled" ] || fail "the other program's frame never reached the stall"
kill -STOP $other
old=$(cat $limit)
echo 8 > $limit
if norvikcam capture --device "usb@$port" -n 1 -o /tmp/x.png 2> /tmp/nomem.err; then fail "captured with usbfs used up"; fi
cat /tmp/nomem.err
grep -q "other programs use up most of usbfs's 8 MB memory limit" /tmp/nomem.err || fail "the usbfs message"
echo "$old" > $limit
kill -CONT $other
kill -INT $other
wait $other
echo unbind > /tmp/gadget2.ctl
f0=$(sent)
ms=$(timed_capture 1 afternomem) || fail "capture (afternomem)"
exact $((f0 - 1)) /tmp/afternomem-0.pgm

step "a reset that re-enumerates the camera"
f0=$(sent)
norvikcam stream $D -n 0 > /dev/null 2> /tmp/replug.err &
pid=$!
# Streaming: the camera has sent frames to it.
for _ in $(seq 1200); do [ "$(sent)" -gt $((f0 + 1)) ] && break; sleep 0.1; done
echo "replug 500" > "$ctl"
wait $pid
rc=$?
cat /tmp/replug.err
[ "$rc" -eq 1 ] || fail "stream exited with $rc after the camera re-enumerated"
grep -q "came back as a new USB device: it must be opened again" /tmp/replug.err || fail "the re-enumeration message"
f0=$(sent)
ms=$(timed_capture 1 replugged) || fail "capture (replugged)"
exact $((f0 - 1)) /tmp/replugged-0.pgm
echo "FIGURE capture -n 1 after the camera re-enumerated: $ms ms"

step "unplug while streaming"
f0=$(sent)
norvikcam stream $D -n 0 > /dev/null 2> /tmp/stream.err &
pid=$!
for _ in $(seq 1200); do [ "$(sent)" -gt $((f0 + 1)) ] && break; sleep 0.1; done
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
# Up to 2 s of it is the wait for a camera that reset to come back.
[ $((t1 - t0)) -lt 700 ] || fail "stopping took longer than 7 s"
if norvikcam info $D > /dev/null 2> /tmp/gone.err; then fail "info on an unplugged camera"; fi
cat /tmp/gone.err

echo "--- gadget log"; cat "$log"
echo "GUEST PASS"
