"""Render-path costs side by side, in one run and one interpreter, with wgpu-py
(on the same lavapipe Vulkan driver, offscreen) and moderngl (standalone EGL
context on Mesa's llvmpipe):

- encoding cost per draw call (10,000 one-triangle draws into one pass),
- an offscreen clear-and-finish frame at 960 x 640,
- read-back throughput of a 1024 x 1024 BGRA target.

    .venv/bin/python bench/bench_render.py [--quick] [--json] [--curve]

The contenders run in alternating blocks. --curve: encoding cost per draw
against draws per frame, and read-back time against target size.
"""

import json
import os
import sys
import time

os.environ.setdefault("QUENDAL_HEADLESS", "1")

from _harness import alternate, alternate_values, optional_peer, row, run_module  # noqa: E402

from _quendal import _metal  # noqa: E402

DRAWS = 10_000
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

    def draws(self, count=DRAWS):
        w = self.window
        _metal.begin_frame(w, target_texture=self.target)
        _metal.set_pipeline(w, self.pipeline)
        draw = _metal.draw
        t0 = time.perf_counter()
        for _ in range(count):
            draw(w, "triangle", 0, 3)
        t1 = time.perf_counter()
        _metal.end_frame(w)
        self.finish()
        return (t1 - t0) / count

    def frame(self):
        w = self.window
        _metal.begin_frame(w, clear_color=(0.1, 0.2, 0.3, 1.0), target_texture=self.target)
        _metal.end_frame(w)
        self.finish()

    def readback(self):
        w = self.window
        _metal.begin_blit(w)
        _metal.copy_texture_to_buffer(w, self.rb_target, self.rb_buffer)
        _metal.end_blit(w)
        return _metal.read_buffer(self.rb_buffer)

    def readback_of(self, side):
        target = _metal.create_render_texture(side, side, "bgra8")["handle"]
        buffer = _metal.create_buffer(side * side * 4)
        w = self.window

        def run():
            _metal.begin_blit(w)
            _metal.copy_texture_to_buffer(w, target, buffer)
            _metal.end_blit(w)
            return _metal.read_buffer(buffer)

        def done():
            _metal.destroy_buffer(buffer)
            _metal.destroy_texture(target)

        return run, done


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

    def draws(self, count=DRAWS):
        encoder = self.device.create_command_encoder()
        rp = self.pass_(encoder)
        rp.set_pipeline(self.pipeline)
        draw = rp.draw
        t0 = time.perf_counter()
        for _ in range(count):
            draw(3)
        t1 = time.perf_counter()
        rp.end()
        self.device.queue.submit([encoder.finish()])
        self.finish()
        return (t1 - t0) / count

    def frame(self):
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

    def draws(self, count=DRAWS):
        self.fbo.use()
        render, tri = self.vao.render, self.mgl.TRIANGLES
        t0 = time.perf_counter()
        for _ in range(count):
            render(tri, vertices=3)
        t1 = time.perf_counter()
        self.ctx.finish()
        return (t1 - t0) / count

    def frame(self):
        self.fbo.clear(0.1, 0.2, 0.3, 1.0)
        self.ctx.finish()

    def readback(self):
        return self.rb_fbo.read(components=4)

    def readback_of(self, side):
        fbo = self.ctx.simple_framebuffer((side, side))
        return (lambda: fbo.read(components=4)), fbo.release


def runners(notes):
    made = [Quendal()]
    for peer in (Wgpu, ModernGL):
        r = optional_peer(peer, notes, peer.name)
        if r:
            notes.append(f"{r.name}: {r.info}")
            made.append(r)
    return made


def rows(quick=False, select=None):
    notes = []
    made = runners(notes)
    blocks = 3 if quick else 7
    out = []
    per_draw = alternate_values({r.name: r.draws for r in made}, blocks)
    ours = per_draw.pop("quendal")
    out.append(row("render.encode_per_draw", "encoding per draw (10,000 draws)", "ns", ours * 1e9,
                   {n: v * 1e9 for n, v in per_draw.items()}))
    frame = alternate({r.name: r.frame for r in made}, 20 if quick else 40, blocks)
    fps = {n: 1 / t for n, t in frame.items()}
    out.append(row("render.clear_finish", "960x640 clear and finish", "frames/s", fps.pop("quendal"), fps,
                   higher=True))
    rb = alternate({r.name: r.readback for r in made}, 10, blocks)
    rates = {n: RB * RB * 4 / t / 1e9 for n, t in rb.items()}
    out.append(row("render.readback_1024", "read-back of a 1024x1024 target", "GB/s", rates.pop("quendal"), rates,
                   higher=True))
    for n in notes:
        print(n, file=sys.stderr)
    return out


def curve(quick=False):
    notes = []
    made = [r for r in runners(notes) if r.name in ("quendal", "wgpu-py", "moderngl")]
    counts = [1, 10, 100, 1000, 10_000, 100_000]
    encode = {r.name: [] for r in made}
    for count in counts:
        per = alternate_values({r.name: (lambda r=r: r.draws(count)) for r in made}, 3 if count >= 10_000 else 9)
        for n, v in per.items():
            encode[n].append(v * 1e9)
    sides = [64, 128, 256, 512, 1024, 2048]
    readback = {r.name: [] for r in made if hasattr(r, "readback_of")}
    for side in sides:
        fns, dones = {}, []
        for r in made:
            if hasattr(r, "readback_of"):
                fns[r.name], done = r.readback_of(side)
                dones.append(done)
        times = alternate(fns, max(3, 2000 // side), 3)
        for n, t in times.items():
            readback[n].append(t * 1e3)
        for done in dones:
            done()
    return [
        {"name": "encoding cost per draw", "x": counts, "xlabel": "draws per frame", "ylabel": "ns per draw",
         "logx": True, "logy": True, "series": encode},
        {"name": "read-back time", "x": [s * s * 4 for s in sides], "xlabel": "target bytes (square BGRA)",
         "ylabel": "ms", "logx": True, "logy": True, "series": readback},
    ]


if __name__ == "__main__":
    if "--curve" in sys.argv:
        for c in curve("--quick" in sys.argv):
            print("CURVE " + json.dumps(c), flush=True)
    else:
        run_module(rows)
