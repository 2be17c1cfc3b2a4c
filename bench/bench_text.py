"""Text and glyph atlases against the usual Python tools, in one run:

- the signed distance field of a 1024 x 1024 atlas (the time create_glyph_atlas
  adds with sdf=True) against scipy's exact Euclidean distance transform run
  twice (inside, outside) plus the byte formula in NumPy, on the same bitmap;
- a 95-character atlas at 32 px (measure, pack, draw, upload to the GPU)
  against Pillow's ImageDraw measuring and drawing the same cells into one image;
- a one-line text texture against Pillow measuring and drawing the same line.

    .venv/bin/python bench/bench_text.py [--quick] [--json] [-k PATTERN] [--curve]

The contenders run in alternating blocks; --curve: SDF time against atlas height.
"""

import json
import os
import subprocess
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFont
from scipy import ndimage

from _harness import alternate, row, run_module, selected

from _quendal import _metal

ROUNDS = 3
BLOCKS = 5
PRINTABLE = "".join(chr(c) for c in range(32, 127))
LINE = "The quick brown fox jumps over the lazy dog, 0123456789!"
FAMILY = "DejaVu Sans"
# Enough cells at 40 px for rows of 513 to 1024 pixels: a 1024 x 1024 atlas.
SDF_CHARS, SDF_SIZE = PRINTABLE * 5, 40
SPREAD = 8.0

os.environ.setdefault("NO_AT_BRIDGE", "1")


def font_path() -> str:
    return subprocess.run(["fc-match", "-f", "%{file}", FAMILY], capture_output=True, text=True,
                          check=True).stdout


def atlas(size, chars, sdf=False):
    result = _metal.create_glyph_atlas(FAMILY, size, chars, sdf=sdf, sdf_spread=SPREAD)
    _metal.destroy_texture(result["handle"])
    return result


def text_texture():
    result = _metal.create_text_texture(LINE, 32, FAMILY)
    _metal.destroy_texture(result["handle"])


def read_back(window, handle, width, height) -> bytes:
    buffer = _metal.create_buffer(width * height * 4)
    _metal.begin_blit(window)
    _metal.copy_texture_to_buffer(window, handle, buffer)
    _metal.end_blit(window)
    data = _metal.read_buffer(buffer)
    _metal.destroy_buffer(buffer)
    return data


def scipy_field(alpha: np.ndarray) -> np.ndarray:
    inside = alpha >= 128
    to_inside = ndimage.distance_transform_edt(~inside).astype(np.float32)
    to_outside = ndimage.distance_transform_edt(inside).astype(np.float32)
    s = np.clip((to_outside - to_inside) / np.float32(2 * SPREAD) + np.float32(0.5), 0, 1)
    return (s * np.float32(255) + np.float32(0.5)).astype(np.uint8)


def pillow_atlas(font, chars, padding) -> Image.Image:
    draw_probe = ImageDraw.Draw(Image.new("L", (1, 1)))
    cells = []
    for c in chars:
        left, top, right, bottom = draw_probe.textbbox((0, 0), c, font=font)
        cells.append((c, max(1, right), max(1, bottom)))
    x = y = padding
    row = 0
    placed = []
    for c, w, h in cells:
        if x + w + 2 * padding > 1024:
            y, x, row = y + padding + row, padding, 0
        placed.append((c, x, y))
        x += w + 2 * padding
        row = max(row, h + 2 * padding)
    height = 64
    while height < y + row + padding:
        height *= 2
    image = Image.new("RGBA", (1024, height))
    draw = ImageDraw.Draw(image)
    for c, x, y in placed:
        draw.text((x, y), c, font=font, fill=(255, 255, 255, 255))
    return image


def pillow_line(font) -> Image.Image:
    probe = ImageDraw.Draw(Image.new("L", (1, 1)))
    left, top, right, bottom = probe.textbbox((0, 0), LINE, font=font)
    padding = 6
    image = Image.new("RGBA", (right + 2 * padding, bottom + 2 * padding))
    ImageDraw.Draw(image).text((padding, padding), LINE, font=font, fill=(255, 255, 255, 255))
    return image


def rows(quick=False, select=None):
    path = font_path()
    blocks = 3 if quick else BLOCKS
    out = []
    if selected("text.sdf_1024", "SDF", select):
        window = _metal.create_window(title="bench text")
        plain = _metal.create_glyph_atlas(FAMILY, SDF_SIZE, SDF_CHARS, sdf_spread=SPREAD)
        width, height = plain["size"]
        assert (width, height) == (1024, 1024), plain["size"]
        alpha = np.frombuffer(read_back(window, plain["handle"], width, height),
                              np.uint8).reshape(height, width, 4)[..., 3]
        _metal.destroy_texture(plain["handle"])
        _metal.close_window(window)
        # The field is what sdf=True adds: the difference of the two atlases.
        times = alternate({"with": lambda: atlas(SDF_SIZE, SDF_CHARS, sdf=True),
                           "without": lambda: atlas(SDF_SIZE, SDF_CHARS),
                           "scipy": lambda: scipy_field(alpha)}, ROUNDS, blocks)
        out.append(row("text.sdf_1024", "SDF of a 1024x1024 atlas (what sdf=True adds)", "ms",
                       (times["with"] - times["without"]) * 1e3, {"scipy edt x2 + NumPy": times["scipy"] * 1e3}))
    font32 = ImageFont.truetype(path, 32)
    if selected("text.atlas_95", "95-character atlas", select):
        times = alternate({"quendal": lambda: atlas(32, PRINTABLE),
                           "Pillow": lambda: pillow_atlas(font32, PRINTABLE, 4)}, ROUNDS, blocks)
        out.append(row("text.atlas_95", "95-character atlas at 32 px (ours also uploads)", "ms",
                       times["quendal"] * 1e3, {"Pillow ImageDraw": times["Pillow"] * 1e3}))
    if selected("text.line", "one-line text texture", select):
        times = alternate({"quendal": text_texture, "Pillow": lambda: pillow_line(font32)}, ROUNDS, blocks)
        out.append(row("text.line", "one-line text texture at 32 px", "ms", times["quendal"] * 1e3,
                       {"Pillow ImageDraw": times["Pillow"] * 1e3}))
    return out


def sdf_time(height):
    """Milliseconds that sdf=True adds to an atlas of (about) the given height:
    as many rows of 40 px cells as fit."""
    chars = PRINTABLE * max(1, round(height / 205))
    times = alternate({"with": lambda: atlas(SDF_SIZE, chars, sdf=True), "without": lambda: atlas(SDF_SIZE, chars)},
                      3, 3)
    plain = _metal.create_glyph_atlas(FAMILY, SDF_SIZE, chars, sdf_spread=SPREAD)
    _metal.destroy_texture(plain["handle"])
    return plain["size"][1], (times["with"] - times["without"]) * 1e3


def curve(quick=False):
    heights, ms = [], []
    for target in ([256, 1024, 4096] if quick else [256, 512, 1024, 2048, 4096]):
        height, t = sdf_time(target)
        heights.append(height)
        ms.append(t)
    return [{"name": "SDF time (width 1024)", "x": heights, "xlabel": "atlas height (px)", "ylabel": "ms",
             "logx": 2, "logy": True, "series": {"quendal sdf": ms}}]


if __name__ == "__main__":
    if "--curve" in sys.argv:
        for c in curve("--quick" in sys.argv):
            print("CURVE " + json.dumps(c), flush=True)
    else:
        run_module(rows)
