"""Render-path costs side by side, in one run and one interpreter, with wgpu-py
(on the same lavapipe Vulkan driver, offscreen) and moderngl (standalone EGL
context on Mesa's llvmpipe):

- encoding cost per draw call (10,000 one-triangle draws into one pass),
- an offscreen clear-and-finish frame loop at 960 x 640,
- read-back throughput of a 1024 x 1024 BGRA target.

    QUENDAL_HEADLESS=1 .venv/bin/python bench/bench_render.py
"""

import os
import statistics
import time

os.environ.setdefault("QUENDAL_HEADLESS", "1")

from _quendal import _metal  # noqa: E402

DRAWS = 10_000
FRAMES = 200
W, H = 960, 640
RB = 1024

TRIANGLE = """
#version 450
#ifdef QUENDAL_VERTEX
void vs_main() {
    vec2 p[3] = vec2[](vec2(-0.5, -0.5), vec2(0.5, -0.5), vec2(0.0, 0.5));
    gl_Position = vec4(p[gl_VertexIndex % 3], 0.0, 1.0);
}
#endif
#ifdef QUENDAL_FRAGMENT
layout(location = 0) out vec4 color;
void fs_main() { color = vec4(1.0, 0.5, 0.2, 1.0); }
#endif
"""

WGSL = """
@vertex fn vs_main(@builtin(vertex_index) i: u32) -> @builtin(position) vec4<f32> {
    var p = array<vec2<f32>, 3>(vec2<f32>(-0.5, -0.5), vec2<f32>(0.5, -0.5), vec2<f32>(0.0, 0.5));
    return vec4<f32>(p[i % 3u], 0.0, 1.0);
}
@fragment fn fs_main() -> @location(0) vec4<f32> { return vec4<f32>(1.0, 0.5, 0.2, 1.0); }
"""

GL_VS = "#version 330\nvoid main(){vec2 p[3]=vec2[](vec2(-0.5,-0.5),vec2(0.5,-0.5),vec2(0.0,0.5));gl_Position=vec4(p[gl_VertexID%3],0.0,1.0);}"
GL_FS = "#version 330\nout vec4 c;void main(){c=vec4(1.0,0.5,0.2,1.0);}"


def median_time(fn, rounds=7):
    fn()
    samples = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


class Quendal:
    name = "quendal"

    def __init__(self):
        self.window = _metal.create_window()
        lib = _metal.create_library(source=TRIANGLE)
        self.pipeline = _metal.create_render_pipeline(lib, "vs_main", "fs_main", blending=False)
        self.target = _metal.create_render_texture(W, H, "bgra8")["handle"]
        self.rb_target = _metal.create_render_texture(RB, RB, "bgra8")["handle"]
        self.rb_buffer = _metal.create_buffer(RB * RB * 4)

    def finish(self):
        # Offscreen frames reach the GPU when a blit pass begins; end_blit waits for it.
        _metal.begin_blit(self.window)
        _metal.end_blit(self.window)

    def draws(self):
        w = self.window
        _metal.begin_frame(w, target_texture=self.target)
        _metal.set_pipeline(w, self.pipeline)
        draw = _metal.draw
        t0 = time.perf_counter()
        for _ in range(DRAWS):
            draw(w, "triangle", 0, 3)
        t1 = time.perf_counter()
        _metal.end_frame(w)
        self.finish()
        return (t1 - t0) / DRAWS

    def frame_loop(self):
        w = self.window
        for _ in range(FRAMES):
            _metal.begin_frame(w, clear_color=(0.1, 0.2, 0.3, 1.0), target_texture=self.target)
            _metal.end_frame(w)
            self.finish()

    def readback(self):
        w = self.window
        _metal.begin_blit(w)
        _metal.copy_texture_to_buffer(w, self.rb_target, self.rb_buffer)
        _metal.end_blit(w)
        return _metal.read_buffer(self.rb_buffer)


class Wgpu:
    name = "wgpu-py"

    def __init__(self):
        import wgpu
        self.wgpu = wgpu
        adapter = wgpu.gpu.request_adapter_sync(power_preference="high-performance")
        self.info = adapter.info
        self.device = adapter.request_device_sync()
        fmt = wgpu.TextureFormat.bgra8unorm
        usage = wgpu.TextureUsage.RENDER_ATTACHMENT | wgpu.TextureUsage.COPY_SRC
        self.target = self.device.create_texture(size=(W, H, 1), format=fmt, usage=usage)
        self.rb_target = self.device.create_texture(size=(RB, RB, 1), format=fmt, usage=usage)
        module = self.device.create_shader_module(code=WGSL)
        self.pipeline = self.device.create_render_pipeline(
            layout="auto",
            vertex={"module": module, "entry_point": "vs_main"},
            primitive={"topology": wgpu.PrimitiveTopology.triangle_list},
            fragment={"module": module, "entry_point": "fs_main", "targets": [{"format": fmt}]},
        )
        self.view = self.target.create_view()
        self.fence = self.device.create_buffer(size=4, usage=wgpu.BufferUsage.COPY_SRC | wgpu.BufferUsage.COPY_DST)

    def finish(self):
        # Mapping a buffer waits for all submitted work (this release's
        # on_submitted_work_done binding is broken).
        self.device.queue.read_buffer(self.fence)

    def pass_(self, encoder):
        return encoder.begin_render_pass(color_attachments=[{
            "view": self.view, "load_op": "clear", "store_op": "store", "clear_value": (0.1, 0.2, 0.3, 1.0)}])

    def draws(self):
        encoder = self.device.create_command_encoder()
        rp = self.pass_(encoder)
        rp.set_pipeline(self.pipeline)
        draw = rp.draw
        t0 = time.perf_counter()
        for _ in range(DRAWS):
            draw(3)
        t1 = time.perf_counter()
        rp.end()
        self.device.queue.submit([encoder.finish()])
        self.finish()
        return (t1 - t0) / DRAWS

    def frame_loop(self):
        for _ in range(FRAMES):
            encoder = self.device.create_command_encoder()
            self.pass_(encoder).end()
            self.device.queue.submit([encoder.finish()])
            self.finish()

    def readback(self):
        return self.device.queue.read_texture(
            {"texture": self.rb_target}, {"bytes_per_row": RB * 4, "rows_per_image": RB}, (RB, RB, 1))


class ModernGL:
    name = "moderngl"

    def __init__(self):
        import moderngl
        self.mgl = moderngl
        self.ctx = moderngl.create_standalone_context(backend="egl")
        self.info = self.ctx.info["GL_RENDERER"]
        self.fbo = self.ctx.simple_framebuffer((W, H))
        self.rb_fbo = self.ctx.simple_framebuffer((RB, RB))
        prog = self.ctx.program(vertex_shader=GL_VS, fragment_shader=GL_FS)
        self.vao = self.ctx.vertex_array(prog, [])

    def draws(self):
        self.fbo.use()
        render, tri = self.vao.render, self.mgl.TRIANGLES
        t0 = time.perf_counter()
        for _ in range(DRAWS):
            render(tri, vertices=3)
        t1 = time.perf_counter()
        self.ctx.finish()
        return (t1 - t0) / DRAWS

    def frame_loop(self):
        for _ in range(FRAMES):
            self.fbo.clear(0.1, 0.2, 0.3, 1.0)
            self.ctx.finish()

    def readback(self):
        return self.rb_fbo.read(components=4)


def main():
    runners = [Quendal()]
    for peer in (Wgpu, ModernGL):
        try:
            runners.append(peer())
        except Exception as exc:  # a missing peer is reported, not fatal
            print(f"{peer.name}: unavailable ({exc})")
    for r in runners[1:]:
        print(f"{r.name}: {r.info}")

    rows = {}
    for r in runners:
        per_draw = statistics.median(r.draws() for _ in range(5))
        fps = FRAMES / median_time(r.frame_loop, rounds=3)
        rb = RB * RB * 4 / median_time(r.readback, rounds=25) / 1e9
        rows[r.name] = (per_draw, fps, rb)
        print(f"{r.name:9s} per draw {per_draw * 1e9:8.0f} ns   clear+finish {fps:8.0f} frames/s   "
              f"read-back {rb:6.2f} GB/s")

    q = rows["quendal"]
    peers = {k: v for k, v in rows.items() if k != "quendal"}
    if peers:
        fastest_draw = min(v[0] for v in peers.values())
        best_fps = max(v[1] for v in peers.values())
        best_rb = max(v[2] for v in peers.values())
        print(f"per-draw cost / faster peer's: {q[0] / fastest_draw:.2f} (goal <= 0.6)")
        print(f"frame rate / faster peer's:    {q[1] / best_fps:.2f} (goal >= 1)")
        print(f"read-back / faster peer's:     {q[2] / best_rb:.2f} (goal >= 1)")


if __name__ == "__main__":
    main()
