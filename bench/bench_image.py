"""Loading a 2048 x 2048 RGBA PNG: create_image_texture (decode, premultiply to
BGRA, upload to a GPU texture) against Pillow decoding the same file to
premultiplied BGRA in CPU memory (numpy for the channel swap).

Ours also uploads to the GPU; Pillow stays in CPU memory.

    .venv/bin/python bench/bench_image.py [--quick] [--json]
"""

import os
import sys
import tempfile

import numpy as np
from PIL import Image

from _harness import alternate, row, run_module

from _quendal import _metal

SIDE = 2048
ROUNDS = 3
BLOCKS = 5


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


def rows(quick=False, select=None):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "image.png")
        make_png(path)
        times = alternate({"quendal": lambda: quendal_load(path), "Pillow": lambda: pillow_load(path)},
                          ROUNDS, 3 if quick else BLOCKS)
        print(f"{SIDE} x {SIDE} RGBA PNG ({os.path.getsize(path) / 1e6:.1f} MB)", file=sys.stderr)
    return [row("image.png_2048", f"PNG {SIDE}x{SIDE} to a premultiplied BGRA texture", "ms",
                times["quendal"] * 1e3, {"Pillow": times["Pillow"] * 1e3})]


if __name__ == "__main__":
    run_module(rows)
