"""Creating many small textures with initial data: 1,000 textures of 64 x 64
pixels, each made from an image file (create_image_texture: decode, upload) and
from text (create_text_texture), destroyed again afterwards. Side by side with
wgpu-py (create_texture + queue.write_texture on the same Vulkan driver) and
moderngl (ctx.texture with data on llvmpipe) uploading the same pixels.

What is timed is the caller's time to have all textures made; a creation that
waits on the GPU once per texture shows here.

    .venv/bin/python bench/bench_texture_upload.py
"""

import os
import statistics
import tempfile
import time

import numpy as np
from PIL import Image

os.environ.setdefault("QUENDAL_HEADLESS", "1")

from _quendal import _metal as m  # noqa: E402

SIDE = 64
COUNT = 1000
ROUNDS = 5


def median_seconds(fn) -> float:
    fn()  # warm: the device, loader modules and page faults are not what is measured
    times = []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def pixels() -> np.ndarray:
    y, x = np.mgrid[0:SIDE, 0:SIDE]
    return np.stack([x * 4, y * 4, (x + y) * 2, np.full_like(x, 255)], axis=-1).astype(np.uint8)


def quendal_image(path: str):
    def run():
        handles = [m.create_image_texture(path)["handle"] for _ in range(COUNT)]
        for handle in handles:
            m.destroy_texture(handle)

    return run


def quendal_text():
    def run():
        handles = [m.create_text_texture("Wq", 40.0)["handle"] for _ in range(COUNT)]
        for handle in handles:
            m.destroy_texture(handle)

    return run


def wgpu_run(data: bytes):
    import wgpu
    from wgpu.backends.wgpu_native import extras

    extras.set_instance_extras(backends=["Vulkan"])
    adapter = wgpu.gpu.request_adapter_sync(power_preference="high-performance")
    device = adapter.request_device_sync()
    size = (SIDE, SIDE, 1)

    def run():
        textures = []
        for _ in range(COUNT):
            texture = device.create_texture(size=size, format=wgpu.TextureFormat.bgra8unorm,
                                            usage=wgpu.TextureUsage.TEXTURE_BINDING | wgpu.TextureUsage.COPY_DST)
            device.queue.write_texture({"texture": texture}, data, {"bytes_per_row": SIDE * 4}, size)
            textures.append(texture)
        for texture in textures:
            texture.destroy()

    return run, adapter.info["device"]


def moderngl_run(data: bytes):
    import moderngl

    ctx = moderngl.create_standalone_context(backend="egl")

    def run():
        textures = [ctx.texture((SIDE, SIDE), 4, data) for _ in range(COUNT)]
        for texture in textures:
            texture.release()

    return run, ctx.info["GL_RENDERER"]


def main() -> None:
    image = pixels()
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "tile.png")
        Image.fromarray(image, "RGBA").save(path)
        rows.append(("_metal create_image_texture", median_seconds(quendal_image(path))))
        rows.append(("_metal create_text_texture", median_seconds(quendal_text())))
    data = image.tobytes()
    renderers = {}
    for name, setup in (("wgpu create_texture + write_texture", wgpu_run),
                        ("moderngl ctx.texture", moderngl_run)):
        try:
            run, renderers[name] = setup(data)
            rows.append((name, median_seconds(run)))
        except Exception as error:  # noqa: BLE001 - a peer is optional; say why it is missing
            renderers[name] = f"unavailable ({error})"
    print(f"{COUNT} textures of {SIDE} x {SIDE} with data, made and destroyed; median of {ROUNDS} rounds")
    for name, renderer in renderers.items():
        print(f"  {name}: {renderer}")
    for name, seconds in rows:
        print(f"  {name:40s} {seconds * 1e3:9.1f} ms  ({seconds / COUNT * 1e6:7.1f} us per texture)")


if __name__ == "__main__":
    main()
