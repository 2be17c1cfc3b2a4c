"""Text and glyph atlases against the usual Python tools, in one run:

- the signed distance field of a 1024 x 1024 atlas (the time create_glyph_atlas
  adds with sdf=True) against scipy's exact Euclidean distance transform run
  twice (inside, outside) plus the byte formula in NumPy, on the same bitmap;
- a 95-character atlas at 32 px (measure, pack, draw, upload to the GPU)
  against Pillow's ImageDraw measuring and drawing the same cells into one image;
- a one-line text texture against Pillow measuring and drawing the same line.

    .venv/bin/python bench/bench_text.py
"""

import os
import statistics
import string
import subprocess
import time

import numpy as np
from PIL import Image, ImageDraw, ImageFont
from scipy import ndimage

from _quendal import _metal

ROUNDS = 15
PRINTABLE = "".join(chr(c) for c in range(32, 127))
LINE = "The quick brown fox jumps over the lazy dog, 0123456789!"
FAMILY = "DejaVu Sans"
# Enough cells at 40 px for rows of 513 to 1024 pixels: a 1024 x 1024 atlas.
SDF_CHARS, SDF_SIZE = PRINTABLE * 5, 40
SPREAD = 8.0

os.environ.setdefault("NO_AT_BRIDGE", "1")


def median_seconds(fn, rounds=ROUNDS) -> float:
    fn()  # warm: fonts, glyph caches and the device are not what is measured
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


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


def main() -> None:
    path = font_path()
    window = _metal.create_window(title="bench text")

    plain = _metal.create_glyph_atlas(FAMILY, SDF_SIZE, SDF_CHARS, sdf_spread=SPREAD)
    width, height = plain["size"]
    assert (width, height) == (1024, 1024), plain["size"]
    alpha = np.frombuffer(read_back(window, plain["handle"], width, height), np.uint8).reshape(height, width, 4)[..., 3]
    _metal.destroy_texture(plain["handle"])
    with_sdf = median_seconds(lambda: atlas(SDF_SIZE, SDF_CHARS, sdf=True))
    without_sdf = median_seconds(lambda: atlas(SDF_SIZE, SDF_CHARS))
    quendal_sdf = with_sdf - without_sdf
    scipy_sdf = median_seconds(lambda: scipy_field(alpha))

    pillow_font32 = ImageFont.truetype(path, 32)
    quendal_atlas = median_seconds(lambda: atlas(32, PRINTABLE))
    pillow_atlas_time = median_seconds(lambda: pillow_atlas(pillow_font32, PRINTABLE, 4))

    quendal_line = median_seconds(text_texture)
    pillow_line_time = median_seconds(lambda: pillow_line(pillow_font32))
    _metal.close_window(window)

    print(f"median of {ROUNDS} rounds, font {FAMILY} ({os.path.basename(path)})")
    print(f"signed distance field, 1024 x 1024 atlas ({len(SDF_CHARS)} glyphs at {SDF_SIZE} px):")
    print(f"  quendal atlas with sdf {with_sdf * 1e3:7.2f} ms, without {without_sdf * 1e3:7.2f} ms:"
          f" field {quendal_sdf * 1e3:7.2f} ms")
    print(f"  scipy edt x 2 + bytes  {scipy_sdf * 1e3:7.2f} ms")
    print(f"  quendal / scipy time: {quendal_sdf / scipy_sdf:.3f}")
    print(f"glyph atlas, {len(PRINTABLE)} characters at 32 px (measure, pack, draw; quendal also uploads):")
    print(f"  quendal create_glyph_atlas {quendal_atlas * 1e3:7.2f} ms")
    print(f"  Pillow ImageDraw           {pillow_atlas_time * 1e3:7.2f} ms")
    print(f"  quendal / Pillow time: {quendal_atlas / pillow_atlas_time:.2f}")
    print(f"text texture, one line of {len(LINE)} characters at 32 px:")
    print(f"  quendal create_text_texture {quendal_line * 1e3:7.2f} ms")
    print(f"  Pillow ImageDraw            {pillow_line_time * 1e3:7.2f} ms")
    print(f"  quendal / Pillow time: {quendal_line / pillow_line_time:.2f}")


if __name__ == "__main__":
    main()
