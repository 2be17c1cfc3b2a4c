"""write_buffer / read_buffer throughput on 64 MiB, side by side with a plain
memoryview copy, bytes(memoryview) and moderngl's buffer write and read
(standalone EGL context on Mesa's llvmpipe).

    .venv/bin/python bench/bench_buffers.py
"""

import statistics
import time

from _quendal import _metal

SIZE = 64 * 1024 * 1024
ROUNDS = 15


def best_rate(fn) -> float:
    fn()  # warm: page faults and first-touch costs are not what is measured
    times = []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return SIZE / statistics.median(times) / 1e9


def main() -> None:
    data = bytes(range(256)) * (SIZE // 256)
    target = bytearray(SIZE)
    target_view = memoryview(target)
    handle = _metal.create_buffer(SIZE)

    rows = {}
    rows["quendal write_buffer"] = best_rate(lambda: _metal.write_buffer(handle, data))
    rows["memoryview copy"] = best_rate(lambda: target_view.__setitem__(slice(None), data))
    rows["quendal read_buffer"] = best_rate(lambda: _metal.read_buffer(handle))
    rows["bytes(memoryview)"] = best_rate(lambda: bytes(target_view))
    assert _metal.read_buffer(handle, 1000, 16) == data[1000:1016]

    try:
        import moderngl
        ctx = moderngl.create_standalone_context(backend="egl")
        mgl = ctx.buffer(reserve=SIZE)
        rows["moderngl write"] = best_rate(lambda: mgl.write(data))
        rows["moderngl read"] = best_rate(lambda: mgl.read())
        renderer = ctx.info["GL_RENDERER"]
    except Exception as exc:  # the peer is optional; say why it is missing
        renderer = f"unavailable ({exc})"

    print(f"64 MiB, median of {ROUNDS} rounds; moderngl renderer: {renderer}")
    for name, rate in rows.items():
        print(f"  {name:24s} {rate:6.2f} GB/s")
    print(f"write_buffer / memoryview copy: {rows['quendal write_buffer'] / rows['memoryview copy']:.2f}")
    print(f"read_buffer / bytes(memoryview): {rows['quendal read_buffer'] / rows['bytes(memoryview)']:.2f}")
    if "moderngl write" in rows:
        print(f"write_buffer / moderngl write: {rows['quendal write_buffer'] / rows['moderngl write']:.2f}")
        print(f"read_buffer / moderngl read: {rows['quendal read_buffer'] / rows['moderngl read']:.2f}")
    _metal.destroy_buffer(handle)


if __name__ == "__main__":
    main()
