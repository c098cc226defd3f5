"""Each error kind from a real cause, as its own exception class, with the
words the tool prints for the same failure."""

import subprocess

import pytest

import norvikcam
from conftest import python_child
from norvikcam import _norvikcam

HOLDER = """
import sys, norvikcam
cam = norvikcam.open(settings=sys.argv[1])
print("open", flush=True)
sys.stdin.read()
cam.close()
"""


def test_a_camera_another_process_has_is_busy(settings, tool):
    holder = subprocess.Popen(python_child(HOLDER) + [settings], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout is not None and holder.stdout.readline() == "open\n"
        with pytest.raises(norvikcam.BusyError) as busy:
            norvikcam.open(settings=settings)
        assert f"(pid {holder.pid})" in str(busy.value)
        assert str(busy.value) == tool.error("info")
        # Waiting for it: the camera is ours once the other process closes it.
        assert holder.stdin is not None
        holder.stdin.close()
        with norvikcam.open(settings=settings, wait=60) as cam:
            assert cam.identity == "sim"
    finally:
        holder.kill() if holder.poll() is None else None
        holder.wait(60)


def test_an_unplugged_simulated_camera(settings):
    cam = _norvikcam._testing.open(settings=settings, unplug_after=2)
    with cam.stream() as s:
        pictures = [s.next(timeout=30).picture_number for _ in range(2)]
        with pytest.raises(norvikcam.UnpluggedError, match="^the camera was unplugged$"):
            while True:  # the frame after the second is the one it is unplugged in
                pictures.append(s.next(timeout=30).picture_number)
    assert len(pictures) >= 2
    with pytest.raises(norvikcam.UnpluggedError):
        cam["exposure"]
    cam.close()


def test_a_time_out(cam):
    with cam.stream(buffers=1) as s:
        held = s.next(timeout=30)
        with pytest.raises(norvikcam.TimedOutError, match="^no frames from the camera$") as e:
            s.next(timeout=0.5)
        assert isinstance(e.value, TimeoutError) and isinstance(e.value, norvikcam.Error)
        held.release()


def test_invalid_arguments(settings, tool, cam):
    with pytest.raises(norvikcam.InvalidArgumentError) as e:
        norvikcam.open(device="nosuch", settings=settings)
    assert isinstance(e.value, ValueError)
    assert str(e.value) == tool.error("--device", "nosuch", "info")
    with pytest.raises(norvikcam.InvalidArgumentError, match="between 1 and 64"):
        cam.stream(buffers=0)
    with cam.stream():
        with pytest.raises(norvikcam.InvalidArgumentError, match="already streaming"):
            cam.stream()
        with pytest.raises(norvikcam.InvalidArgumentError, match="while streaming"):
            cam.window = (0, 0, 640, 480)


def test_io_failures(settings, tool):
    trace = "no-such-folder/usb.pcap"
    with pytest.raises(norvikcam.IoError) as e:
        norvikcam.open(settings=settings, trace=trace)
    assert isinstance(e.value, OSError)
    assert str(e.value) == tool.error("--trace", trace, "info")


def test_a_closed_camera(settings):
    cam = norvikcam.open(settings=settings)
    cam.close()
    with pytest.raises(norvikcam.ClosedError):
        cam["exposure"]
    with pytest.raises(norvikcam.ClosedError):
        cam.stream()
