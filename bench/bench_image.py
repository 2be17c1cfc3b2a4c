"""Loading a 2048 x 2048 RGBA PNG: create_image_texture (decode, premultiply to
BGRA, upload to a GPU texture) against Pillow decoding the same file to
premultiplied BGRA in CPU memory (numpy for the channel swap).

    .venv/bin/python bench/bench_image.py
"""

import os
import statistics
import tempfile
import time

import numpy as np
from PIL import Image

from _quendal import _metal

SIDE = 2048
ROUNDS = 9


def median_seconds(fn) -> float:
    fn()  # warm: page faults, loader modules and the device are not what is measured
    times = []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def make_png(path: str) -> None:
    # Smooth gradients with some noise and a varying alpha: compresses like a
    # photograph with transparency rather than like a flat fill.
    y, x = np.mgrid[0:SIDE, 0:SIDE]
    rng = np.random.default_rng(7)
    noise = rng.integers(0, 24, size=(SIDE, SIDE), dtype=np.uint16)
    rgba = np.stack([
        (x * 255 // SIDE + noise) % 256,
        (y * 255 // SIDE + noise) % 256,
        ((x + y) * 127 // SIDE + noise) % 256,
        np.clip(64 + (x ^ y) % 192, 0, 255),
    ], axis=-1).astype(np.uint8)
    Image.fromarray(rgba, "RGBA").save(path)


def quendal_load(path: str) -> None:
    result = _metal.create_image_texture(path)
    _metal.destroy_texture(result["handle"])


def pillow_load(path: str) -> bytes:
    with Image.open(path) as image:
        premultiplied = np.asarray(image.convert("RGBa"))
    return np.ascontiguousarray(premultiplied[..., [2, 1, 0, 3]]).tobytes()


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "image.png")
        make_png(path)
        size = os.path.getsize(path)
        quendal = median_seconds(lambda: quendal_load(path))
        pillow = median_seconds(lambda: pillow_load(path))
    print(f"{SIDE} x {SIDE} RGBA PNG ({size / 1e6:.1f} MB), median of {ROUNDS} rounds")
    print(f"  quendal create_image_texture  {quendal * 1e3:7.1f} ms  (decode + premultiply + GPU upload)")
    print(f"  Pillow to premultiplied BGRA  {pillow * 1e3:7.1f} ms  (decode + premultiply + swap, CPU only)")
    print(f"quendal / Pillow time: {quendal / pillow:.2f}")


if __name__ == "__main__":
    main()
