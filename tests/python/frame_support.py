"""Helpers for the frame suites: a small shader library, buffers of packed
floats, and reading the pixels of a window's last onscreen frame back from the
X server (the screen is the only read-back that needs no blit pass)."""

import struct
import subprocess

import pytest

from window_support import HEADLESS, pump, unique_title, window_id

needs_screen = pytest.mark.skipif(HEADLESS, reason="reads pixels back from an X display")

# Vertices are vec4 (x, y, depth, unused) in clip space, y up; each instance
# is moved by its vec2 offset. The colour is a fragment uniform.
SOURCE = """
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer Vertices { vec4 vertices[]; };
layout(set = 0, binding = 1) readonly buffer Offsets { vec2 offsets[]; };
void vs() {
    vec4 v = vertices[gl_VertexIndex];
    gl_Position = vec4(v.xy + offsets[gl_InstanceIndex], v.z, 1.0);
    gl_PointSize = 8.0;
}
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 1, binding = 0) uniform Colour { vec4 colour; };
layout(set = 2, binding = 0) uniform sampler2D image;
layout(location = 0) out vec4 fragment;
void fs() { fragment = colour; }
void fs_textured() { fragment = texture(image, vec2(0.5)) + colour; }
#endif
"""

# Top half of the target: (-1, 0), (1, 0), (0, 1).
TOP_TRIANGLE = [(-1, 0, 0.5), (1, 0, 0.5), (0, 1, 0.5)]
FULL_QUAD = [(-1, -1, 0.5), (1, -1, 0.5), (-1, 1, 0.5), (1, 1, 0.5)]


def floats(m, values) -> int:
    data = struct.pack(f"{len(values)}f", *values)
    handle = m.create_buffer(len(data))
    m.write_buffer(handle, data)
    return handle


def vertices(m, points) -> int:
    flat = []
    for x, y, z in points:
        flat += [x, y, z, 0.0]
    return floats(m, flat)


def integers(m, fmt: str, values) -> int:
    data = struct.pack(f"<{len(values)}{fmt}", *values)
    handle = m.create_buffer(len(data))
    m.write_buffer(handle, data)
    return handle


class Scene:
    """A library, a zero offset buffer and colour buffers for drawing."""

    def __init__(self, m):
        self.m = m
        self.library = m.create_library(source=SOURCE)
        self.no_offset = floats(m, [0.0, 0.0])
        self._colours = {}

    def pipeline(self, **options) -> int:
        fragment = options.pop("fragment", "fs")
        return self.m.create_render_pipeline(self.library, "vs", fragment, **options)

    def colour(self, rgba) -> int:
        if rgba not in self._colours:
            self._colours[rgba] = floats(self.m, list(rgba))
        return self._colours[rgba]

    def bind(self, window, pipeline, vertex_buffer, rgba, offsets=None):
        m = self.m
        m.set_pipeline(window, pipeline)
        m.set_vertex_buffer(window, vertex_buffer, 0)
        m.set_vertex_buffer(window, offsets or self.no_offset, 1)
        m.set_fragment_buffer(window, self.colour(rgba), 0)


class Screen:
    """One window under X whose presented frames are read back with xwd."""

    def __init__(self, m):
        self.m = m
        self.title = unique_title("frames")
        self.handle = m.create_window(title=self.title)
        pump(m, self.handle, 0.2)
        self.xid = window_id(m, self.handle, self.title)
        width, height = m.window_metrics(self.handle)["pixel_size"]
        self.width, self.height = int(width), int(height)

    def capture(self) -> bytes:
        # The slot comes back when the GPU has finished the last frame; then the
        # present is queued and a few refreshes let it reach the screen.
        self.m.acquire_frame_slot(self.handle)
        self.m.release_frame_slot(self.handle)
        pump(self.m, self.handle, 0.1)
        dump = subprocess.run(["xwd", "-id", str(self.xid), "-silent"], capture_output=True, check=True).stdout
        shot = xwd_to_rgb(dump)
        assert len(shot) == self.width * self.height * 3
        return shot

    def pixel(self, shot: bytes, x: float, y: float) -> tuple:
        """The pixel at a fraction of the width and height from the top left."""
        px = min(int(x * self.width), self.width - 1)
        py = min(int(y * self.height), self.height - 1)
        i = (py * self.width + px) * 3
        return tuple(shot[i : i + 3])

    def close(self):
        self.m.close_window(self.handle)


def xwd_to_rgb(dump: bytes) -> bytes:
    """The pixels of an xwd dump as packed 8-bit RGB rows, top row first.

    The dump is a big-endian XWDFileHeader of 25 CARD32 fields (followed by the
    window name up to header_size), a colour map of ncolors 12-byte entries,
    then the ZPixmap rows. Only the true-colour layout of a 24-bit screen is
    read: 32 bits per pixel with one byte per channel mask."""
    fields = struct.unpack_from(">25I", dump)
    header_size, pixmap_format = fields[0], fields[2]
    width, height, byte_order = fields[4], fields[5], fields[7]
    bits_per_pixel, bytes_per_line = fields[11], fields[12]
    masks = fields[14:17]
    ncolors = fields[19]
    shifts = [mask.bit_length() - 8 for mask in masks]
    if (pixmap_format != 2 or bits_per_pixel != 32
            or any(shift % 8 or mask != 0xFF << shift for mask, shift in zip(masks, shifts))):
        raise ValueError(f"unsupported xwd layout: format {pixmap_format}, {bits_per_pixel} bpp, masks {masks}")
    # Byte offset of each channel inside a pixel: LSBFirst puts the low byte first.
    offsets = [shift // 8 if byte_order == 0 else 3 - shift // 8 for shift in shifts]
    start = header_size + ncolors * 12
    rgb = bytearray(width * height * 3)
    for y in range(height):
        row = dump[start + y * bytes_per_line : start + y * bytes_per_line + width * 4]
        out = memoryview(rgb)[y * width * 3 : (y + 1) * width * 3]
        for channel, offset in enumerate(offsets):
            out[channel::3] = row[offset::4]
    return bytes(rgb)


def near(actual, expected, tolerance=2) -> bool:
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


def read_texture(m, window, texture, width, height, bytes_per_pixel=4) -> bytes:
    """The texture's pixels, copied into a buffer by a blit pass."""
    buffer = m.create_buffer(width * height * bytes_per_pixel)
    m.begin_blit(window)
    m.copy_texture_to_buffer(window, texture, buffer)
    m.end_blit(window)
    data = m.read_buffer(buffer)
    m.destroy_buffer(buffer)
    return data
