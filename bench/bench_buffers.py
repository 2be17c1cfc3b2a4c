"""write_buffer / read_buffer throughput on 64 MiB, side by side with a plain
memoryview copy, bytes(memoryview) and moderngl's buffer write and read
(standalone EGL context on Mesa's llvmpipe), in alternating blocks.

    .venv/bin/python bench/bench_buffers.py [--quick] [--json] [--curve]

--curve: throughput against size, 4 KiB to 256 MiB (bench/run-all --curves).
"""

import json
import sys

from _harness import alternate, optional_peer, row, run_module

from _quendal import _metal

SIZE = 64 * 1024 * 1024


def contenders(size, notes):
    data = bytes(range(256)) * (size // 256)
    target = bytearray(size)
    target_view = memoryview(target)
    handle = _metal.create_buffer(size)
    _metal.write_buffer(handle, data)
    assert _metal.read_buffer(handle, 1000 % size, 16) == data[1000 % size:1000 % size + 16]
    write = {"quendal": lambda: _metal.write_buffer(handle, data),
             "memoryview copy": lambda: target_view.__setitem__(slice(None), data)}
    read = {"quendal": lambda: _metal.read_buffer(handle), "bytes(memoryview)": lambda: bytes(target_view)}

    def moderngl_buffer():
        import moderngl
        ctx = moderngl.create_standalone_context(backend="egl")
        notes.append(f"moderngl: {ctx.info['GL_RENDERER']}")
        return ctx, ctx.buffer(reserve=size)

    made = optional_peer(moderngl_buffer, notes, "moderngl")
    if made:
        ctx, mgl = made
        write["moderngl write"] = lambda: mgl.write(data)
        read["moderngl read"] = lambda: mgl.read()
    return write, read, lambda: _metal.destroy_buffer(handle)


def rows(quick=False, select=None):
    notes = []
    write, read, done = contenders(SIZE, notes)
    blocks, rounds = (3, 3) if quick else (5, 3)
    out = []
    for key, name, fns in (("buffers.write_64m", "write_buffer 64 MiB", write),
                           ("buffers.read_64m", "read_buffer 64 MiB", read)):
        times = alternate(fns, rounds, blocks)
        rates = {n: SIZE / t / 1e9 for n, t in times.items()}
        ours = rates.pop("quendal")
        out.append(row(key, name, "GB/s", ours, rates, higher=True))
    done()
    for n in notes:
        print(n, file=sys.stderr)
    return out


def curve(quick=False):
    sizes = [4 << 10, 64 << 10, 1 << 20, 16 << 20, 64 << 20, 256 << 20]
    if not quick:
        sizes = [4 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20, 64 << 20, 256 << 20]
    series = {"write_buffer": [], "memoryview copy": [], "read_buffer": [], "bytes(memoryview)": []}
    for size in sizes:
        write, read, done = contenders(size, [])
        write.pop("moderngl write", None)
        read.pop("moderngl read", None)
        # Small sizes take microseconds: more rounds there, fewer at 256 MiB.
        rounds = max(3, min(2000, (64 << 20) // size // 4))
        w = alternate(write, rounds, 3)
        r = alternate(read, rounds, 3)
        series["write_buffer"].append(size / w["quendal"] / 1e9)
        series["memoryview copy"].append(size / w["memoryview copy"] / 1e9)
        series["read_buffer"].append(size / r["quendal"] / 1e9)
        series["bytes(memoryview)"].append(size / r["bytes(memoryview)"] / 1e9)
        done()
    return [{"name": "buffer throughput", "x": sizes, "xlabel": "bytes", "ylabel": "GB/s", "logx": True,
             "series": series}]


if __name__ == "__main__":
    if "--curve" in sys.argv:
        for c in curve("--quick" in sys.argv):
            print("CURVE " + json.dumps(c), flush=True)
    else:
        run_module(rows)
