"""Frames: the pictures the tool captures, in the driver's own buffers, handed
back by the rules the package documents."""

import csv
import threading
import time
from typing import Dict, List, Optional, Set

import cv2  # reads the tool's PNGs: a decoder of its own
import numpy as np
import pytest

import norvikcam

# The lower right corner: the frame number painted there changes every frame.
WINDOW = (1920, 1440, 640, 480)


def addresses(a: np.ndarray) -> int:
    return int(a.__array_interface__["data"][0])


@pytest.mark.parametrize("flip_v", [0, 1])
def test_pictures_are_those_the_tool_captures(settings, tool, flip_v):
    with norvikcam.open(settings=settings) as cam:
        cam.window = WINDOW
        cam["flip_v"] = flip_v
    # The tool reads the window and the flip from the same settings.
    tool.run("capture", "-n", "8", "-o", "t-%d.png", "--metadata", "t.csv")
    from_tool: Dict[int, str] = {}
    with open("t.csv", newline="") as f:
        for row in csv.DictReader(f):
            from_tool[int(row["picture"])] = row["file"]
    ours: Dict[int, np.ndarray] = {}
    with norvikcam.open(settings=settings) as cam, cam.stream() as s:
        for _ in range(8):
            with s.next(timeout=30) as frame:
                assert (frame.width, frame.height) == (640, 480)
                assert frame.flip_v == bool(flip_v) and not frame.flip_h
                ours[frame.picture_number] = frame.copy()
    common = sorted(set(ours) & set(from_tool))
    assert len(common) >= 4, (sorted(ours), sorted(from_tool))
    for picture in common:
        png = cv2.imread(from_tool[picture], cv2.IMREAD_UNCHANGED)
        assert png is not None and png.shape == (480, 640, 3), from_tool[picture]
        assert np.array_equal(ours[picture][:, :, :3], png), f"picture {picture}"
        assert (ours[picture][:, :, 3] == 255).all()
    # Each picture is its own: the frame number painted in it differs.
    assert not np.array_equal(ours[common[0]], ours[common[-1]])


def test_the_array_is_the_drivers_buffer_with_its_strides(cam):
    cam.window = WINDOW
    seen: Set[int] = set()
    with cam.stream(buffers=3) as s:
        for _ in range(12):
            frame = s.next(timeout=30)
            a = frame.array
            # H x W x 4 bytes, BGRA, the buffer's rows bottom-up: a negative row stride.
            assert a.shape == (480, 640, 4) and a.dtype == np.uint8
            assert a.strides == (-640 * 4, 4, 1)
            assert not a.flags.writeable and not a.flags.owndata
            # The buffer protocol gives the same memory.
            m = memoryview(frame)
            assert (m.shape, m.strides, m.readonly) == ((480, 640, 4), (-2560, 4, 1), True)
            assert np.shares_memory(np.asarray(m), a)
            seen.add(addresses(a))
            kept = frame.copy()
            assert kept.flags.c_contiguous and kept.flags.owndata
            assert not np.shares_memory(kept, a) and np.array_equal(kept, a)
            del a, m
            frame.release()
            assert kept.sum() > 0  # the copy outlives the frame
    # Every frame was one of the stream's three buffers, in turn: no frame was copied.
    assert len(seen) == 3


def test_raw_frames_carry_the_windows_bayer_samples(cam):
    cam.window = WINDOW
    with cam.stream(raw=True) as s:
        frame = s.next(timeout=30)
        raw = frame.raw
        assert raw is not None and raw.shape == (480, 640) and raw.dtype == np.uint8
        assert 0 < int(raw.mean()) < 255
        with pytest.raises(BufferError):
            frame.release()  # the raw view counts as a view too
        del raw
        frame.release()
    with cam.stream() as s, s.next(timeout=30) as frame:
        assert frame.raw is None


def test_holding_every_buffer_starves_the_stream_and_releasing_frees_it(cam):
    cam.window = WINDOW
    with cam.stream(buffers=2) as s:
        first, second = s.next(timeout=30), s.next(timeout=30)
        views = [first.array, second.array]
        # Both buffers are in our hands: the driver has none to fill.
        with pytest.raises(norvikcam.TimedOutError):
            s.next(timeout=1.0)
        del views[0]
        first.release()
        third = s.next(timeout=30)
        assert third.picture_number > second.picture_number
        # Dropping the last reference to a frame and its views hands it back too.
        del views, second
        fourth = s.next(timeout=30)
        assert fourth.picture_number > third.picture_number
        assert cam.stats.timeouts >= 1


def test_a_time_out_of_0_takes_a_frame_that_is_there_and_does_not_wait(cam):
    cam.window = WINDOW
    with cam.stream(buffers=2) as s:
        # Nothing taken yet: asked often enough, a frame is there to take.
        frame = None
        deadline = time.monotonic() + 60
        while frame is None and time.monotonic() < deadline:
            try:
                frame = s.next(timeout=0)
            except norvikcam.TimedOutError:
                pass
        assert frame is not None
        frame.release()
        # Both buffers held: none comes, and a time-out of 0 says so at once.
        held = [s.next(timeout=30), s.next(timeout=30)]
        with pytest.raises(norvikcam.TimedOutError):
            s.next(timeout=0)
        for f in held:
            f.release()


def test_buffer_error_when_a_view_outlives_its_frame(cam):
    cam.window = WINDOW
    with cam.stream() as s:
        frame = s.next(timeout=30)
        a = frame.array[100:200, ::2]  # a view of a view holds the buffer as well
        with pytest.raises(BufferError, match="view"):
            frame.release()
        assert not frame.released and a.sum() > 0
        del a
        frame.release()
        assert frame.released
        with pytest.raises(BufferError):
            frame.array
        with pytest.raises(BufferError):
            memoryview(frame)
        with pytest.raises(BufferError):
            with s.next(timeout=30) as f:
                m = memoryview(f)
        m.release()
        f.release()


def test_another_thread_runs_while_next_waits(cam):
    cam.window = WINDOW
    with cam.stream(buffers=1) as s:
        held = s.next(timeout=30)
        got: List[Optional[norvikcam.Frame]] = [None]

        def wait() -> None:
            got[0] = s.next(timeout=120)

        waiter = threading.Thread(target=wait)
        waiter.start()
        # The waiter's waits end one after another with nothing (the one
        # buffer is ours); this thread sees them count while the waiter is
        # still inside next(), so it is running Python meanwhile.
        deadline = time.monotonic() + 60
        while cam.stats.timeouts < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert cam.stats.timeouts >= 2
        assert waiter.is_alive() and got[0] is None
        held.release()
        waiter.join(60)
        assert not waiter.is_alive()
        assert got[0] is not None and got[0].picture_number > held.picture_number
