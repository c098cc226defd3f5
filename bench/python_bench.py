#!/usr/bin/python3
"""Frames through Python next to the C++ client, on the same stream.

The stream is stream_bench's: the simulated camera unpaced, repeating a few
scene frames, full resolution, 3 client buffers, and a reader that looks at
one pixel of each frame. The C++ figures are stream_bench's own
(BM_StreamFullResolution/3); the Python reader takes each frame with
``s.next()``, looks at the same pixel through ``frame.array`` and releases it.
Reports frames/s and process CPU milliseconds per frame for both, each run
twice, alternating, and Python's figures against C++'s.

    cmake --build build-rel --target python_bench
"""

import argparse
import json
import os
import subprocess
import tempfile
import time

SECONDS = 3.0
BUFFERS = 3


def cxx(stream_bench: str) -> tuple:
    r = subprocess.run([stream_bench, f"--benchmark_filter=BM_StreamFullResolution/{BUFFERS}/",
                        "--benchmark_format=json"], capture_output=True, text=True, check=True)
    run = json.loads(r.stdout)["benchmarks"][0]
    return run["frames_per_s"], run["cpu_ms_per_frame"]


def python() -> tuple:
    from norvikcam import _norvikcam

    with _norvikcam._testing.open(settings="", fps=0, cycle=4) as cam:
        with cam.stream(buffers=BUFFERS) as s:
            for _ in range(8):  # threads started and the cycle rendered outside the timing
                s.next(timeout=10).release()
            frames = seen = 0
            cpu, wall = time.process_time(), time.perf_counter()
            while time.perf_counter() - wall < SECONDS:
                frame = s.next(timeout=10)
                a = frame.array
                seen += int(a[a.shape[0] // 2, 0, 0])
                del a
                frame.release()
                frames += 1
            cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return frames / wall, cpu * 1000 / frames


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--stream-bench", required=True, help="the stream_bench program")
    args = p.parse_args()
    # Locks of its own, away from any other camera user.
    os.environ["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="norvikcam-bench-")
    rows = []
    for _ in range(2):
        rows.append(("C++ client (stream_bench)",) + cxx(args.stream_bench))
        rows.append(("Python next() + frame.array",) + python())
    print(f"{'reader':<30} {'frames/s':>10} {'CPU ms/frame':>13}")
    for name, fps, cpu in rows:
        print(f"{name:<30} {fps:>10.1f} {cpu:>13.2f}")
    c = [r for r in rows if r[0].startswith("C++")]
    py = [r for r in rows if r[0].startswith("Python")]
    best = lambda rs: (max(r[1] for r in rs), min(r[2] for r in rs))  # noqa: E731
    (cf, cc), (pf, pc) = best(c), best(py)
    print(f"Python against C++ (best of each): frames/s {100 * (pf / cf - 1):+.1f} %, "
          f"CPU per frame {100 * (pc / cc - 1):+.1f} %")


if __name__ == "__main__":
    main()
