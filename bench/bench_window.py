"""Window benchmarks (not a test): vsync pacing at 60 Hz over 300 frames, and
the cost of consume_touches and window_metrics calls.

Run with a display (e.g. under Xvfb) or headless (QUENDAL_HEADLESS=1):
    .venv/bin/python bench/bench_window.py
"""

import os
import statistics
import time

import _quendal._metal as m

FRAMES = 300
CALLS = 20_000


def pacing(handle):
    granted = m.set_target_fps(handle, 60)
    for _ in range(10):
        m.vsync(handle)
    stamps = []
    for _ in range(FRAMES + 1):
        m.vsync(handle)
        stamps.append(time.perf_counter())
    intervals = [(b - a) * 1000 for a, b in zip(stamps, stamps[1:])]
    return granted, statistics.mean(intervals), statistics.pstdev(intervals), min(intervals), max(intervals)


def per_call_us(call, *args):
    call(*args)
    start = time.perf_counter()
    for _ in range(CALLS):
        call(*args)
    return (time.perf_counter() - start) / CALLS * 1e6


def main():
    handle = m.create_window(title="bench_window")
    try:
        mode = "headless" if os.environ.get("QUENDAL_HEADLESS") or not os.environ.get("DISPLAY") else "X11"
        granted, mean, stdev, low, high = pacing(handle)
        print(f"windows: {mode}")
        print(f"vsync at {granted} Hz over {FRAMES} frames: mean {mean:.3f} ms, stdev {stdev:.3f} ms, "
              f"min {low:.3f} ms, max {high:.3f} ms")
        print(f"consume_touches (empty queue): {per_call_us(m.consume_touches, handle):.2f} us per call")
        print(f"window_metrics: {per_call_us(m.window_metrics, handle):.2f} us per call")
        print(f"window_metrics_if_changed (unchanged): "
              f"{per_call_us(m.window_metrics_if_changed, handle, m.window_metrics(handle)['revision']):.2f} us per call")
    finally:
        m.close_window(handle)


if __name__ == "__main__":
    main()
