"""Where the time of the GPU-to-CPU rows goes, call by call (not a comparison):
the median time of each Python call of a read-back, a compute round trip, a
256 x 256 frame with read-back, and a 1M-float transform. bench/FINDINGS.md
quotes it.

    .venv/bin/python bench/phases.py [--rounds N]
"""

import os
import statistics
import struct
import sys
import time

os.environ.setdefault("QUENDAL_HEADLESS", "1")
os.environ.setdefault("NO_AT_BRIDGE", "1")

from _quendal import _metal as m  # noqa: E402

ROUNDS = int(sys.argv[sys.argv.index("--rounds") + 1]) if "--rounds" in sys.argv else 200


def phases(steps, rounds=ROUNDS):
    """steps: list of (name, callable) run in order each round; prints the
    median of each and of their sum."""
    for _, fn in steps:
        fn()
    samples = {name: [] for name, _ in steps}
    totals = []
    for _ in range(rounds):
        total = 0.0
        for name, fn in steps:
            t0 = time.perf_counter()
            fn()
            dt = time.perf_counter() - t0
            samples[name].append(dt)
            total += dt
        totals.append(total)
    for name, _ in steps:
        print(f"    {name:36s} {statistics.median(samples[name]) * 1e6:9.1f} us")
    print(f"    {'total':36s} {statistics.median(totals) * 1e6:9.1f} us")


def main():
    w = m.create_window()
    for side in (64, 1024):
        target = m.create_render_texture(side, side, "bgra8")["handle"]
        buffer = m.create_buffer(side * side * 4)
        print(f"read-back of a {side}x{side} target:")
        phases([("begin_blit", lambda: m.begin_blit(w)),
                ("copy_texture_to_buffer", lambda: m.copy_texture_to_buffer(w, target, buffer)),
                ("end_blit (submit + wait)", lambda: m.end_blit(w)),
                ("read_buffer (bytes)", lambda: m.read_buffer(buffer))], 50 if side > 512 else ROUNDS)
        data = bytearray(side * side * 4)
        view = memoryview(data)
        print(f"    {'(bytes(memoryview) of as much)':36s} "
              f"{statistics.median(_time(lambda: bytes(view)) for _ in range(50)) * 1e6:9.1f} us")

    library = m.create_library(source="""
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0) buffer Data { float data[]; };
void touch() { data[0] = 1.0; }
void transform() { uint i = gl_GlobalInvocationID.x; data[i] = data[i] * 2.0 + 1.0; }
#endif
""")
    touch = m.create_compute_pipeline(library, "touch")
    transform = m.create_compute_pipeline(library, "transform")
    n = 1 << 20
    data = m.create_buffer(4 * n)
    print("compute round trip:")
    phases([("begin_compute", lambda: m.begin_compute(w)),
            ("set_compute_pipeline", lambda: m.set_compute_pipeline(w, touch)),
            ("set_compute_buffer", lambda: m.set_compute_buffer(w, data, 0)),
            ("dispatch_compute", lambda: m.dispatch_compute(w)),
            ("end_compute (submit + wait)", lambda: m.end_compute(w))])
    raw = struct.pack(f"{n}f", *range(n))
    print("1M-float transform:")
    phases([("write_buffer 4 MiB", lambda: m.write_buffer(data, raw)),
            ("begin..dispatch", lambda: (m.begin_compute(w), m.set_compute_pipeline(w, transform),
                                         m.set_compute_buffer(w, data, 0),
                                         m.dispatch_compute(w, grid_x=n // 256, tg_x=256))),
            ("end_compute (submit + kernel + wait)", lambda: m.end_compute(w)),
            ("read_buffer 4 MiB", lambda: m.read_buffer(data))], 30)

    source = """
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer V { vec2 v[]; };
void vs() { gl_Position = vec4(v[gl_VertexIndex], 0.0, 1.0); }
#endif
#ifdef QUENDAL_FRAGMENT
layout(location = 0) out vec4 colour;
void fs() { colour = vec4(1.0, 0.5, 0.0, 0.5); }
#endif
"""
    pipeline = m.create_render_pipeline(m.create_library(source=source), "vs", "fs")
    tri = []
    for i in range(256):
        x, y = (i % 16) / 8 - 1, (i // 16 % 16) / 8 - 1
        tri += [x, y, x + 0.1, y, x, y + 0.1]
    vertices = m.create_buffer(len(tri) * 4)
    m.write_buffer(vertices, struct.pack(f"{len(tri)}f", *tri))
    target = m.create_render_texture(256, 256)["handle"]
    readback = m.create_buffer(256 * 256 * 4)

    def draws(per_draw):
        def run():
            if per_draw:
                for i in range(256):
                    m.draw(w, "triangle", i * 3, 3)
            else:
                m.draw(w, "triangle", 0, 768)
        return run

    for per_draw in (True, False):
        print(f"256x256 frame, {'256 draws' if per_draw else 'one 256-triangle draw'}, with read-back:")
        phases([("begin_frame + set_pipeline + set_vb", lambda: (m.begin_frame(w, (0, 0, 0, 1), target_texture=target),
                                                                m.set_pipeline(w, pipeline),
                                                                m.set_vertex_buffer(w, vertices, 0))),
                ("draw(s)", draws(per_draw)),
                ("end_frame", lambda: m.end_frame(w)),
                ("begin_blit (submits the frame)", lambda: m.begin_blit(w)),
                ("copy_texture_to_buffer", lambda: m.copy_texture_to_buffer(w, target, readback)),
                ("end_blit (submit + wait)", lambda: m.end_blit(w)),
                ("read_buffer 256 KiB", lambda: m.read_buffer(readback))])


def _time(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


if __name__ == "__main__":
    main()
