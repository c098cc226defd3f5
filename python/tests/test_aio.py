"""The asyncio form: frames in order, the event loop running while it waits."""

import asyncio

import norvikcam
import norvikcam.aio


def test_async_for_delivers_frames_in_order(cam):
    cam.window = (1920, 1440, 640, 480)

    async def main():
        ticks = 0
        done = False

        async def ticker():
            nonlocal ticks
            while not done:
                ticks += 1
                await asyncio.sleep(0.005)

        ticking = asyncio.create_task(ticker())
        pictures = []
        async with norvikcam.aio.stream(cam, buffers=3) as s:
            async for frame in s:
                with frame:
                    assert frame.array.shape == (480, 640, 4)
                    pictures.append(frame.picture_number)
                if len(pictures) == 8:
                    break
            assert not s.closed
        assert s.closed
        done = True
        await ticking
        return pictures, ticks

    pictures, ticks = asyncio.run(main())
    assert pictures == sorted(pictures) and len(set(pictures)) == 8
    # 8 frames at 30 frames/s take a quarter of a second or more; the loop
    # ran its other task meanwhile.
    assert ticks >= 2
