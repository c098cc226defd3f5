"""norvikcam: the Norvik 2560 x 1920 raw-Bayer camera (and its simulated twin) in Python.

    import norvikcam
    with norvikcam.open() as cam, cam.stream() as s:
        for frame in s:
            with frame:
                print(frame.picture_number, frame.array.mean())

Frames are the driver's buffers, not copies: ``frame.array`` is a numpy view of
the buffer, valid until the frame is released (``frame.release()``, the end of
``with frame:``, or the last reference to the frame and its views going away).
Releasing a frame while a view of it is alive raises ``BufferError``;
``frame.copy()`` gives pixels of your own. While the application holds a
stream's every buffer, the driver has none to fill and ``next()`` times out.
"""

from ._norvikcam import (
    BusyError,
    Camera,
    CameraInfo,
    ClosedError,
    Control,
    Error,
    Frame,
    InvalidArgumentError,
    IoError,
    Statistics,
    Stream,
    TimedOutError,
    UnpluggedError,
    Window,
    default_settings_path,
    list_cameras,
    open,
)

__all__ = [
    "BusyError",
    "Camera",
    "CameraInfo",
    "ClosedError",
    "Control",
    "Error",
    "Frame",
    "InvalidArgumentError",
    "IoError",
    "Statistics",
    "Stream",
    "TimedOutError",
    "UnpluggedError",
    "Window",
    "default_settings_path",
    "list_cameras",
    "open",
]
