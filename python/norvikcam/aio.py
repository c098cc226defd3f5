"""asyncio at the edge: the synchronous stream, its waits on a thread of its own.

    async with norvikcam.aio.stream(cam) as s:
        async for frame in s:
            ...

Each stream's waits run one after another on one worker thread (the client
allows one streaming thread at a time), and they let the GIL go, so the event
loop keeps running while a frame is awaited. A cancelled wait ends when the
frame it was waiting for comes (or its time-out): that frame is then dropped
and its buffer goes back.
"""

from __future__ import annotations

import asyncio
from concurrent.futures import ThreadPoolExecutor
from types import TracebackType
from typing import Optional, Type

from ._norvikcam import Camera, Frame, Stream


class AsyncStream:
    """A stream whose frames are awaited; ``async with`` starts and stops it."""

    def __init__(
        self,
        camera: Camera,
        buffers: int = 3,
        threads: int = 0,
        raw: bool = False,
        timeout: float = 5.0,
    ) -> None:
        self._camera = camera
        self._options = (buffers, threads, raw, timeout)
        self._stream: Optional[Stream] = None
        self._worker = ThreadPoolExecutor(max_workers=1, thread_name_prefix="norvikcam-aio")

    async def _run(self, call, *args):  # type: ignore[no-untyped-def]
        return await asyncio.get_running_loop().run_in_executor(self._worker, call, *args)

    async def start(self) -> AsyncStream:
        buffers, threads, raw, timeout = self._options
        self._stream = await self._run(
            lambda: self._camera.stream(buffers=buffers, threads=threads, raw=raw, timeout=timeout)
        )
        return self

    async def next(self, timeout: Optional[float] = None) -> Frame:
        """The next frame; TimedOutError when none comes within timeout seconds."""
        if self._stream is None:
            raise RuntimeError("the stream has not started: use 'async with' or await start()")
        frame: Frame = await self._run(self._stream.next, timeout)
        return frame

    @property
    def closed(self) -> bool:
        return self._stream is None or self._stream.closed

    async def close(self) -> None:
        if self._stream is not None:
            await self._run(self._stream.close)
        self._worker.shutdown(wait=False)

    def __aiter__(self) -> AsyncStream:
        return self

    async def __anext__(self) -> Frame:
        if self.closed:
            raise StopAsyncIteration
        return await self.next()

    async def __aenter__(self) -> AsyncStream:
        return await self.start()

    async def __aexit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        await self.close()


def stream(
    camera: Camera, buffers: int = 3, threads: int = 0, raw: bool = False, timeout: float = 5.0
) -> AsyncStream:
    """An asyncio form of ``camera.stream(...)``: ``async with aio.stream(cam) as s``."""
    return AsyncStream(camera, buffers=buffers, threads=threads, raw=raw, timeout=timeout)
