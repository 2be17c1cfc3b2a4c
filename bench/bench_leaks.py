"""Leak cycles: create/destroy rounds of each kind of object, and the growth of
resident memory after the first thousand rounds (the warm-up in which the
driver, the allocator and the interpreter settle).

    QUENDAL_HEADLESS=1 .venv/bin/python bench/bench_leaks.py --rounds 100000 [--kinds buffer,window]

Prints one row per kind: rounds, seconds, resident growth in KiB per kind and
per 1000 rounds; the goal is under 1 MiB per kind."""

import argparse
import json
import os
import struct
import sys
import tempfile
import time
import zlib

import _quendal._metal as m
import _quendal._system as s

SOURCE = """
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer V { vec4 v[]; };
void vs() { gl_Position = v[gl_VertexIndex]; }
#endif
#ifdef QUENDAL_FRAGMENT
layout(location = 0) out vec4 o;
void fs() { o = vec4(1.0); }
#endif
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0) buffer B { uint b[]; };
void k() { b[gl_GlobalInvocationID.x] = 1u; }
#endif
"""


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def png(path):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + b"\x10\x20\x30\xff" * 32 for _ in range(32))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 32, 32, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
    return path


def request(operation, payload="{}"):
    handle = s.start(operation, payload)
    for _ in range(400):
        if json.loads(s.poll(handle, 0.01))["done"]:
            break
    s.close(handle)


def kinds(image):
    def buffer():
        handle = m.create_buffer(4096)
        m.write_buffer(handle, bytes(64))
        m.destroy_buffer(handle)

    def texture():
        m.destroy_texture(m.create_render_texture(64, 64)["handle"])

    def image_texture():
        m.destroy_texture(m.create_image_texture(image)["handle"])

    def text_texture():
        m.destroy_texture(m.create_text_texture("Leak cycle", 16.0)["handle"])

    def glyph_atlas():
        m.destroy_texture(m.create_glyph_atlas(None, 16.0, "abcdefghij", sdf=True)["handle"])

    def pipelines():
        library = m.create_library(source=SOURCE)
        m.destroy_render_pipeline(m.create_render_pipeline(library, "vs", "fs"))
        m.destroy_compute_pipeline(m.create_compute_pipeline(library, "k"))
        m.destroy_library(library)

    def window():
        m.close_window(m.create_window(title="leak"))

    found = {
        "buffer": buffer, "texture": texture, "image_texture": image_texture, "pipelines": pipelines,
        "window": window,
        "device_request": lambda: request("device.storage", json.dumps({"path": "/"})),
        "clipboard_request": lambda: request("clipboard.read_text"),
        "location_request": lambda: request("location.status"),
        "notification_request": lambda: request("notification.available"),
        "share_request": lambda: request("share.present", json.dumps({"text": "x"})),
    }
    if hasattr(m, "create_text_texture"):
        found["text_texture"] = text_texture
        found["glyph_atlas"] = glyph_atlas
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=20000)
    parser.add_argument("--warmup", type=int, default=1000)
    parser.add_argument("--kinds", default="")
    options = parser.parse_args()
    available = kinds(png(os.path.join(tempfile.mkdtemp(), "leak.png")))
    chosen = options.kinds.split(",") if options.kinds else list(available)
    print(f"{'kind':22} {'rounds':>8} {'seconds':>8} {'growth KiB':>11} {'KiB/1000':>9}")
    rows = []
    for name in chosen:
        cycle = available[name]
        for _ in range(options.warmup):
            cycle()
        before = resident()
        started = time.perf_counter()
        for _ in range(options.rounds):
            cycle()
        seconds = time.perf_counter() - started
        growth = (resident() - before) / 1024
        rows.append({"kind": name, "rounds": options.rounds, "seconds": round(seconds, 2),
                     "growth_kib": round(growth), "goal_met": growth < 1024})
        print(f"{name:22} {options.rounds:8} {seconds:8.1f} {growth:11.0f} {growth * 1000 / options.rounds:9.1f}",
              flush=True)
    counts = m.resource_counts()
    left = {k: v for k, v in counts.items() if v and k not in ("resident_bytes", "phys_footprint_bytes",
                                                                 "depth_stencil_states")}
    print(json.dumps({"rows": rows, "left": left}))
    return 0 if all(row["goal_met"] for row in rows) and not left else 1


if __name__ == "__main__":
    sys.exit(main())
