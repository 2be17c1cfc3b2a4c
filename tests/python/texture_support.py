"""Small image files written without any imaging library."""

import struct
import zlib


def _chunk(kind: bytes, payload: bytes) -> bytes:
    return (struct.pack(">I", len(payload)) + kind + payload
            + struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))


def png_bytes(rows: list[list[tuple[int, int, int, int]]]) -> bytes:
    """An 8-bit RGBA PNG of straight-alpha pixels, top row first."""
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(raw)) + _chunk(b"IEND", b""))


def png_first_row_only(width: int, height: int) -> bytes:
    """The start of a PNG: its declared size and one row of pixels, no more."""
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    stream = zlib.compressobj()
    row = stream.compress(b"\x00" * (1 + 4 * width)) + stream.flush(zlib.Z_SYNC_FLUSH)
    return b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", row)


def write_png(path, rows) -> str:
    with open(path, "wb") as f:
        f.write(png_bytes(rows))
    return str(path)
