"""Compute passes side by side with wgpu-py's compute pass (wgpu-native on the
same Vulkan driver) and moderngl's compute shader (OpenGL 4.3 on llvmpipe):

- round trip: open a pass, dispatch one threadgroup of a trivial kernel, end
  and wait for the GPU;
- transform: x * 2 + 1 over 1M floats, including the upload and the read-back.

The contenders run in alternating blocks, and each figure is the median of the
blocks' medians, so that load from other processes falls on all of them alike.

    .venv/bin/python bench/bench_compute.py [--quick] [--json] [-k PATTERN]
"""

import sys

import numpy as np

from _harness import alternate, optional_peer, row, run_module, selected

from _quendal import _metal as m

N = 1 << 20
GROUP = 256
BLOCKS = 15
ROUNDS = 100
TRANSFORM_ROUNDS = 4

QUENDAL_KERNELS = """
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0) buffer Data { float data[]; };
void touch() { data[0] = 1.0; }
void transform() { uint i = gl_GlobalInvocationID.x; data[i] = data[i] * 2.0 + 1.0; }
#endif
"""

WGSL = """
@group(0) @binding(0) var<storage, read_write> data: array<f32>;
@compute @workgroup_size(1) fn touch() { data[0] = 1.0; }
@compute @workgroup_size(256) fn transform(@builtin(global_invocation_id) id: vec3<u32>) {
    data[id.x] = data[id.x] * 2.0 + 1.0;
}
"""

GLSL_TOUCH = """#version 430
layout(local_size_x = 1) in;
layout(std430, binding = 0) buffer Data { float data[]; };
void main() { data[0] = 1.0; }
"""

GLSL_TRANSFORM = """#version 430
layout(local_size_x = 256) in;
layout(std430, binding = 0) buffer Data { float data[]; };
void main() { uint i = gl_GlobalInvocationID.x; data[i] = data[i] * 2.0 + 1.0; }
"""


def check(result: bytes, source: np.ndarray, name: str) -> None:
    got = np.frombuffer(result, dtype=np.float32)
    if not np.array_equal(got, source * 2 + 1):
        raise AssertionError(f"{name}: wrong transform result")


def bench_quendal(source: np.ndarray) -> dict:
    window = m.create_window(title="bench_compute")
    library = m.create_library(source=QUENDAL_KERNELS)
    touch = m.create_compute_pipeline(library, "touch")
    transform = m.create_compute_pipeline(library, "transform")
    data = m.create_buffer(4 * N)

    def round_trip():
        m.begin_compute(window)
        m.set_compute_pipeline(window, touch)
        m.set_compute_buffer(window, data, 0)
        m.dispatch_compute(window)
        m.end_compute(window)

    raw = source.tobytes()

    def run_transform():
        m.write_buffer(data, raw)
        m.begin_compute(window)
        m.set_compute_pipeline(window, transform)
        m.set_compute_buffer(window, data, 0)
        m.dispatch_compute(window, grid_x=N // GROUP, tg_x=GROUP)
        m.end_compute(window)
        return m.read_buffer(data)

    check(run_transform(), source, "quendal")
    device = "Vulkan default device (lavapipe where there is no GPU)"
    return {"round trip": round_trip, "transform": run_transform}, device


def bench_wgpu(source: np.ndarray):
    import wgpu
    from wgpu.backends.wgpu_native import extras

    extras.set_instance_extras(backends=["Vulkan"])
    adapter = wgpu.gpu.request_adapter_sync(power_preference="high-performance")
    info = adapter.info
    if info["backend_type"] != "Vulkan" or "llvmpipe" not in info["device"]:
        raise RuntimeError(f"wgpu picked {info['device']} on {info['backend_type']}, not lavapipe")
    device = adapter.request_device_sync()
    module = device.create_shader_module(code=WGSL)
    data = device.create_buffer(size=4 * N, usage=wgpu.BufferUsage.STORAGE | wgpu.BufferUsage.COPY_DST
                                | wgpu.BufferUsage.COPY_SRC)

    def pipeline(entry):
        made = device.create_compute_pipeline(layout="auto", compute={"module": module, "entry_point": entry})
        group = device.create_bind_group(layout=made.get_bind_group_layout(0),
                                         entries=[{"binding": 0, "resource": {"buffer": data}}])
        return made, group

    touch, touch_group = pipeline("touch")
    transform, transform_group = pipeline("transform")

    def encode(made, group, count):
        encoder = device.create_command_encoder()
        compute = encoder.begin_compute_pass()
        compute.set_pipeline(made)
        compute.set_bind_group(0, group)
        compute.dispatch_workgroups(count)
        compute.end()
        device.queue.submit([encoder.finish()])

    # on_submitted_work_done_sync is broken in some wgpu-py releases (a
    # callback signature mismatch); a blocking device poll waits the same.
    wait = device.queue.on_submitted_work_done_sync
    try:
        wait()
    except TypeError:
        wait = device._poll_wait

    def round_trip():
        encode(touch, touch_group, 1)
        wait()

    raw = source.tobytes()

    def run_transform():
        device.queue.write_buffer(data, 0, raw)
        encode(transform, transform_group, N // GROUP)
        return bytes(device.queue.read_buffer(data))

    check(run_transform(), source, "wgpu")
    return {"round trip": round_trip, "transform": run_transform}, info["device"]


def bench_moderngl(source: np.ndarray):
    import moderngl

    ctx = moderngl.create_standalone_context(backend="egl", require=430)
    touch = ctx.compute_shader(GLSL_TOUCH)
    transform = ctx.compute_shader(GLSL_TRANSFORM)
    data = ctx.buffer(reserve=4 * N)
    data.bind_to_storage_buffer(0)

    def round_trip():
        touch.run(1)
        ctx.finish()

    raw = source.tobytes()

    def run_transform():
        data.write(raw)
        transform.run(N // GROUP)
        return data.read()

    check(run_transform(), source, "moderngl")
    return {"round trip": round_trip, "transform": run_transform}, ctx.info["GL_RENDERER"]


def rows(quick=False, select=None):
    source = np.arange(N, dtype=np.float32) * np.float32(0.25)
    contenders, notes = {}, []
    for name, setup in (("quendal", bench_quendal), ("wgpu", bench_wgpu), ("moderngl", bench_moderngl)):
        if name == "quendal":
            contenders[name], device = setup(source)
        else:
            made = optional_peer(lambda setup=setup: setup(source), notes, name)
            if not made:
                continue
            contenders[name], device = made
        notes.append(f"{name}: {device}")
    blocks = 5 if quick else BLOCKS
    out = []
    for key, measure, row_name, rounds, unit, scale in (
            ("compute.round_trip", "compute begin/dispatch/end round trip", "round trip", ROUNDS, "us", 1e6),
            ("compute.transform", "1M-float transform: upload, kernel, read-back", "transform", TRANSFORM_ROUNDS,
             "ms", 1e3)):
        if not selected(key, measure, select):
            continue
        times = alternate({name: calls[row_name] for name, calls in contenders.items()}, rounds, blocks)
        ours = times.pop("quendal")
        out.append(row(key, measure, unit, ours * scale, {n: t * scale for n, t in times.items()}))
    for n in notes:
        print(n, file=sys.stderr)
    return out


if __name__ == "__main__":
    run_module(rows)
