"""The project's demo: opens the GPU, moves data through GPU buffers and says
what it did and how long each step took."""

import time

from _quendal import _metal


def timed(label, fn):
    t0 = time.perf_counter()
    result = fn()
    print(f"{label:44s} {1000 * (time.perf_counter() - t0):8.2f} ms")
    return result


def main() -> None:
    size = 16 * 1024 * 1024
    payload = bytes(range(256)) * (size // 256)
    first = timed("open the GPU and create a 16 MiB buffer", lambda: _metal.create_buffer(size))
    second = timed("create a second 16 MiB buffer", lambda: _metal.create_buffer(size))
    timed("write 16 MiB", lambda: _metal.write_buffer(first, payload))
    back = timed("read 16 MiB back", lambda: _metal.read_buffer(first))
    assert back == payload, "read-back differs from what was written"
    timed("write 4 bytes at the end of the second buffer",
          lambda: _metal.write_buffer(second, b"tail", size - 4))
    tail = timed("read them back", lambda: _metal.read_buffer(second, size - 4))
    assert tail == b"tail"
    for handle in (first, second):
        _metal.destroy_buffer(handle)
    print(f"buffers {first} and {second}: written, read back and verified, then destroyed")


if __name__ == "__main__":
    main()
