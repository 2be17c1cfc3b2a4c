"""Frame throughput: offscreen 256 x 256 frames of many small draws, each frame
ending with a read-back of its pixels, side by side with moderngl drawing the
same triangles into a framebuffer (standalone EGL context on Mesa's llvmpipe).

    .venv/bin/python bench/bench_frames.py [--quick] [--json] [-k PATTERN]

The contenders run in alternating blocks of ROUNDS runs of FRAMES frames.
"""

import os
import struct
import sys

os.environ.setdefault("QUENDAL_HEADLESS", "1")

from _harness import alternate, optional_peer, row, run_module, selected  # noqa: E402

from _quendal import _metal as m  # noqa: E402

SIZE = 256
FRAMES = 30
ROUNDS = 3
BLOCKS = 5

SOURCE = """
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer V { vec2 v[]; };
void vs() { gl_Position = vec4(v[gl_VertexIndex], 0.0, 1.0); }
#endif
#ifdef QUENDAL_FRAGMENT
layout(location = 0) out vec4 colour;
void fs() { colour = vec4(1.0, 0.5, 0.0, 0.5); }
#endif
"""


def triangles(count: int) -> list[float]:
    out = []
    for i in range(count):
        x = (i % 16) / 8 - 1
        y = (i // 16 % 16) / 8 - 1
        out += [x, y, x + 0.1, y, x, y + 0.1]
    return out


def quendal(draws: int, per_draw: bool):
    w = m.create_window()
    pipeline = m.create_render_pipeline(m.create_library(source=SOURCE), "vs", "fs")
    data = struct.pack(f"{draws * 6}f", *triangles(draws))
    vertices = m.create_buffer(len(data))
    m.write_buffer(vertices, data)
    target = m.create_render_texture(SIZE, SIZE)["handle"]
    readback = m.create_buffer(SIZE * SIZE * 4)

    def run():
        for _ in range(FRAMES):
            m.begin_frame(w, (0, 0, 0, 1), target_texture=target)
            m.set_pipeline(w, pipeline)
            m.set_vertex_buffer(w, vertices, 0)
            if per_draw:
                for i in range(draws):
                    m.draw(w, "triangle", i * 3, 3)
            else:
                m.draw(w, "triangle", 0, draws * 3)
            m.end_frame(w)
            m.begin_blit(w)
            m.copy_texture_to_buffer(w, target, readback)
            m.end_blit(w)
            m.read_buffer(readback)

    return run


def moderngl_run(draws: int, per_draw: bool):
    import moderngl

    ctx = moderngl.create_standalone_context(backend="egl")
    program = ctx.program(
        vertex_shader="#version 330\nin vec2 p; void main() { gl_Position = vec4(p, 0.0, 1.0); }",
        fragment_shader="#version 330\nout vec4 c; void main() { c = vec4(1.0, 0.5, 0.0, 0.5); }",
    )
    vbo = ctx.buffer(struct.pack(f"{draws * 6}f", *triangles(draws)))
    vao = ctx.vertex_array(program, [(vbo, "2f", "p")])
    fbo = ctx.simple_framebuffer((SIZE, SIZE))
    ctx.enable(moderngl.BLEND)

    def run():
        for _ in range(FRAMES):
            fbo.use()
            fbo.clear(0, 0, 0, 1)
            if per_draw:
                for i in range(draws):
                    vao.render(moderngl.TRIANGLES, vertices=3, first=i * 3)
            else:
                vao.render(moderngl.TRIANGLES, vertices=draws * 3)
            fbo.read(components=4)

    return run, ctx.info["GL_RENDERER"]


CASES = (("frames.per_draw", "256x256 frames of 256 draws, with read-back", 256, True),
         ("frames.one_draw", "256x256 frames of one 256-triangle draw, with read-back", 256, False))


def rows(quick=False, select=None):
    notes, out = [], []
    for key, measure, draws, per_draw in CASES:
        if not selected(key, measure, select):
            continue
        fns = {"quendal": quendal(draws, per_draw)}
        made = optional_peer(lambda: moderngl_run(draws, per_draw), notes, "moderngl")
        if made:
            fns["moderngl"], renderer = made
            notes.append(f"moderngl: {renderer}")
        times = alternate(fns, ROUNDS, 3 if quick else BLOCKS)
        fps = {n: FRAMES / t for n, t in times.items()}
        out.append(row(key, measure, "frames/s", fps.pop("quendal"), fps, higher=True))
    for n in sorted(set(notes)):
        print(n, file=sys.stderr)
    return out


if __name__ == "__main__":
    run_module(rows)
