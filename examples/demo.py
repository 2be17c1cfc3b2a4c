"""The project's demo.

Opens a window (headless when there is no display), renders a spinning cube
with depth and 4x multisampling, runs a compute kernel every frame that paints
the texture the cube samples, overlays a frame counter drawn from a glyph
atlas that is a signed distance field, paces itself with vsync, then renders
the last frame into an offscreen target, reads it back through a blit pass and
writes it to a PNG. Along the way it asks the system services about the machine
(its location too, where GeoClue answers) and prints the resource counts at the
end. Run from an application bundle, it also schedules a notification a second
ahead and reports its delivery:

    .venv/bin/python examples/demo.py [--seconds 4] [--out out/demo.png]
    QUENDAL_BUNDLE=examples/Demo.app .venv/bin/python examples/demo.py
"""

import argparse
import json
import math
import os
import struct
import time
import zlib

from _quendal import _metal, _system

SHADERS = """
#version 450

struct Vertex { vec4 position; vec4 normal; };   // position.w, normal.w: texture u, v

#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0, std430) readonly buffer Vertices { Vertex vertices[]; };
layout(set = 0, binding = 1, std430) readonly buffer Scene { mat4 mvp; mat4 model; };
layout(location = 0) out vec3 vNormal;
layout(location = 1) out vec2 vUV;
void vs_main() {
    Vertex v = vertices[gl_VertexIndex];
    gl_Position = mvp * vec4(v.position.xyz, 1.0);
    vNormal = mat3(model) * v.normal.xyz;
    vUV = vec2(v.position.w, v.normal.w);
}
#endif

#ifdef QUENDAL_FRAGMENT
layout(set = 2, binding = 0) uniform sampler2D pattern;
layout(location = 0) in vec3 vNormal;
layout(location = 1) in vec2 vUV;
layout(location = 0) out vec4 color;
void fs_main() {
    float light = 0.25 + 0.75 * max(dot(normalize(vNormal), normalize(vec3(0.4, 0.8, 0.6))), 0.0);
    color = vec4(texture(pattern, vUV).rgb * light, 1.0);
}
#endif

#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0, std430) readonly buffer Params { vec4 time; };
layout(set = 1, binding = 0, rgba8) writeonly uniform image2D canvas;
void cs_main() {
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    vec2 uv = vec2(p) / vec2(imageSize(canvas));
    float t = time.x;
    float v = sin(uv.x * 12.0 + t) + sin(uv.y * 9.0 - t * 1.3) + sin((uv.x + uv.y) * 7.0 + t * 0.7);
    vec3 c = 0.5 + 0.5 * cos(v * 2.0 + vec3(0.0, 2.1, 4.2));
    float grid = step(0.94, fract(uv.x * 4.0)) + step(0.94, fract(uv.y * 4.0));
    imageStore(canvas, p, vec4(mix(c, vec3(1.0), min(grid, 1.0)), 1.0));
}
#endif
"""

# Text from a signed distance field atlas: each glyph is a quad whose vertices
# carry clip-space position and atlas coordinates; the edge is where the field
# crosses 0.5, smoothed over about one screen pixel.
TEXT_SHADERS = """
#version 450
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0, std430) readonly buffer Quads { vec4 corners[]; };
layout(location = 0) out vec2 vUV;
void text_vs() {
    vec4 c = corners[gl_VertexIndex];
    gl_Position = vec4(c.xy, 0.0, 1.0);
    vUV = c.zw;
}
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 2, binding = 0) uniform sampler2D atlas;
layout(location = 0) in vec2 vUV;
layout(location = 0) out vec4 color;
void text_fs() {
    float d = texture(atlas, vUV).r;
    float w = max(fwidth(d), 1e-4);
    float body = smoothstep(0.5 - w, 0.5 + w, d);
    float halo = smoothstep(0.5 - 0.25 - w, 0.5 - 0.25 + w, d);  // a dark outline 2 px wide
    color = vec4(vec3(body), max(body, halo * 0.8));
}
#endif
"""


class Label:
    """A line of text drawn from an SDF glyph atlas at a pixel position."""

    CHARS = "0123456789 .:abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ/"
    MAX_CHARS = 64

    def __init__(self, size: float = 28.0):
        self.atlas = _metal.create_glyph_atlas(None, size, self.CHARS, sdf=True, sdf_spread=8.0)
        self.library = _metal.create_library(source=TEXT_SHADERS)
        self.pipeline = _metal.create_render_pipeline(self.library, "text_vs", "text_fs", blending=True,
                                                      depth_format="depth32f", sample_count=4)
        self.quads = _metal.create_buffer(self.MAX_CHARS * 6 * 16)
        self.count = 0

    def set_text(self, text: str, x: float, y: float, width: int, height: int) -> None:
        atlas_w, atlas_h = self.atlas["size"]
        glyphs = self.atlas["glyphs"]
        margin = 3.0  # the field reaches into the padding around each glyph
        out = bytearray()
        for ch in text[: self.MAX_CHARS]:
            rect = glyphs.get(ord(ch))
            if rect is None:
                continue
            gx, gy, gw, gh, advance = rect[:5]
            x0, y0, x1, y1 = x - margin, y - margin, x + gw + margin, y + gh + margin
            u0, v0 = (gx - margin) / atlas_w, (gy - margin) / atlas_h
            u1, v1 = (gx + gw + margin) / atlas_w, (gy + gh + margin) / atlas_h

            def corner(px, py, u, v):
                return struct.pack("4f", px / width * 2 - 1, 1 - py / height * 2, u, v)

            a, b, c, d = corner(x0, y0, u0, v0), corner(x1, y0, u1, v0), corner(x0, y1, u0, v1), corner(x1, y1, u1, v1)
            out += a + c + b + b + c + d
            x += advance
        self.count = len(out) // 16
        if out:
            _metal.write_buffer(self.quads, bytes(out))

    def draw(self, window) -> None:
        if not self.count:
            return
        _metal.set_pipeline(window, self.pipeline)
        _metal.set_depth_stencil(window, compare="always", write_enabled=False)
        _metal.set_vertex_buffer(window, self.quads, 0)
        _metal.set_fragment_texture(window, self.atlas["handle"], 0)
        _metal.draw(window, "triangle", 0, self.count)

    def destroy(self) -> None:
        _metal.destroy_buffer(self.quads)
        _metal.destroy_texture(self.atlas["handle"])
        _metal.destroy_render_pipeline(self.pipeline)
        _metal.destroy_library(self.library)


TEXTURE_SIZE = 256
THREADS = 16


def cube_vertices() -> bytes:
    faces = [  # normal, then the two axes spanning the face
        ((1, 0, 0), (0, 0, -1), (0, 1, 0)), ((-1, 0, 0), (0, 0, 1), (0, 1, 0)),
        ((0, 1, 0), (1, 0, 0), (0, 0, -1)), ((0, -1, 0), (1, 0, 0), (0, 0, 1)),
        ((0, 0, 1), (1, 0, 0), (0, 1, 0)), ((0, 0, -1), (-1, 0, 0), (0, 1, 0)),
    ]
    out = bytearray()
    for n, u, v in faces:
        corners = [(-1, -1), (1, -1), (1, 1), (-1, -1), (1, 1), (-1, 1)]
        for a, b in corners:
            pos = [n[i] + a * u[i] + b * v[i] for i in range(3)]
            out += struct.pack("8f", *pos, (a + 1) / 2, *n, (1 - b) / 2)
    return bytes(out)


def mat_mul(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(4)) for j in range(4)] for i in range(4)]


def perspective(fovy, aspect, near, far):
    f = 1 / math.tan(fovy / 2)
    # Clip depth runs from 0 to 1 and y points up.
    return [[f / aspect, 0, 0, 0], [0, f, 0, 0],
            [0, 0, far / (near - far), near * far / (near - far)], [0, 0, -1, 0]]


def rotation(ax, ay):
    cx, sx, cy, sy = math.cos(ax), math.sin(ax), math.cos(ay), math.sin(ay)
    rx = [[1, 0, 0, 0], [0, cx, -sx, 0], [0, sx, cx, 0], [0, 0, 0, 1]]
    ry = [[cy, 0, sy, 0], [0, 1, 0, 0], [-sy, 0, cy, 0], [0, 0, 0, 1]]
    return mat_mul(ry, rx)


def column_major(m) -> bytes:
    return struct.pack("16f", *(m[r][c] for c in range(4) for r in range(4)))


def scene_uniforms(t: float, aspect: float) -> bytes:
    model = rotation(t * 0.7, t)
    view = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, -5.0], [0, 0, 0, 1]]
    mvp = mat_mul(perspective(math.radians(45), aspect, 0.1, 50.0), mat_mul(view, model))
    return column_major(mvp) + column_major(model)


def write_png(path: str, width: int, height: int, bgra: bytes) -> None:
    rows = bytearray()
    for y in range(height):
        row = bgra[y * width * 4:(y + 1) * width * 4]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
        rows += b"\0" + rgb

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b"")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(png)


def ask_system(operation: str, payload: dict) -> dict:
    request = _system.start(operation, json.dumps(payload))
    try:
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            snapshot = json.loads(_system.poll(request, 0.1))
            if snapshot["done"]:
                return snapshot["result"] if snapshot["error"] is None else {"error": snapshot["error"]}
        return {"error": "no answer within 5 s"}
    finally:
        _system.close(request)


def report_location() -> None:
    """Location status and, where GeoClue answers, one fix. Asking for the fix
    needs a bundle with a location usage text (examples/Demo.app has one)."""
    status = ask_system("location.status", {})
    print(f"location: {status}")
    if status.get("enabled"):
        fix = ask_system("location.current", {"accuracy": 1000, "max_age": 600, "distance_filter": 0, "capacity": 1})
        print(f"location fix: {fix}")


def schedule_notification():
    """Schedules a notification a second ahead; its identifier, or None where
    notifications cannot be shown here."""
    available = ask_system("notification.available", {})
    if available is not True:
        print("notifications: not running from an app bundle (QUENDAL_BUNDLE=examples/Demo.app runs in one)")
        return None
    permission = ask_system("notification.request_permission", {})
    if permission != "authorized":
        error = permission.get("error") if isinstance(permission, dict) else permission
        print(f"notifications: no permission: {error.get('message') if isinstance(error, dict) else error}")
        return None
    scheduled = ask_system("notification.schedule", {
        "identifier": "demo", "title": "quendal demo", "body": "Sent one second after it was scheduled.", "delay": 1.0,
    })
    if scheduled != "demo":
        print(f"notifications: {scheduled}")
        return None
    print("notifications: scheduled 'demo' for one second from now")
    return scheduled


def report_notification(identifier):
    """A sent notification leaves the pending list. Asking keeps the main context
    turning, which is what fires its timer."""
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        pending = ask_system("notification.pending", {})
        if isinstance(pending, list) and all(entry["identifier"] != identifier for entry in pending):
            print(f"notifications: '{identifier}' delivered")
            return
        time.sleep(0.05)
    print(f"notifications: '{identifier}' still pending")


def render(window, pipeline, target, vertices, scene, canvas, depth_state, label=None):
    _metal.begin_frame(window, clear_color=(0.05, 0.06, 0.09, 1.0), target_texture=target,
                       depth=True, sample_count=4)
    _metal.set_pipeline(window, pipeline)
    _metal.set_depth_stencil(window, compare="less", write_enabled=depth_state)
    _metal.set_vertex_buffer(window, vertices, 0)
    _metal.set_vertex_buffer(window, scene, 1)
    _metal.set_fragment_texture(window, canvas, 0)
    _metal.draw(window, "triangle", 0, 36)
    if label:
        label.draw(window)
    _metal.end_frame(window)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--out", default="out/demo.png")
    args = parser.parse_args()

    info = ask_system("device.info", {})
    battery = ask_system("device.battery", {})
    storage = ask_system("device.storage", {"path": os.getcwd()})
    print(f"machine: {info.get('machine')} {info.get('platform')} {info.get('system_version')}, "
          f"{info.get('active_cpu_count')} processors, {info.get('physical_memory', 0) / 2**30:.1f} GiB, "
          f"thermal state {info.get('thermal_state')}")
    print(f"battery: {battery}")
    if "total" in storage:
        print(f"storage here: {storage['free'] / 2**30:.1f} GiB free of {storage['total'] / 2**30:.1f} GiB")
    report_location()
    notification = schedule_notification()

    window = _metal.create_window(title="quendal demo")
    metrics = _metal.window_metrics(window)
    width, height = (int(v) for v in metrics["pixel_size"])
    print(f"window {window}: {metrics['size'][0]:.0f} x {metrics['size'][1]:.0f} points, scale {metrics['scale']}")

    library = _metal.create_library(source=SHADERS)
    pipeline = _metal.create_render_pipeline(library, "vs_main", "fs_main", blending=False,
                                             depth_format="depth32f", sample_count=4)
    kernel = _metal.create_compute_pipeline(library, "cs_main")
    canvas = _metal.create_render_texture(TEXTURE_SIZE, TEXTURE_SIZE, "rgba8")["handle"]
    vertices = _metal.create_buffer(36 * 32)
    _metal.write_buffer(vertices, cube_vertices())
    scene = _metal.create_buffer(128)
    params = _metal.create_buffer(16)

    def paint(t):
        _metal.write_buffer(params, struct.pack("4f", t, 0, 0, 0))
        _metal.begin_compute(window)
        _metal.set_compute_pipeline(window, kernel)
        _metal.set_compute_buffer(window, params, 0)
        _metal.set_compute_texture(window, canvas, 0)
        _metal.dispatch_compute(window, TEXTURE_SIZE // THREADS, TEXTURE_SIZE // THREADS, 1, THREADS, THREADS, 1)
        _metal.end_compute(window)

    label = Label()
    start = time.monotonic()
    frames = 0
    while (t := time.monotonic() - start) < args.seconds:
        paint(t)
        _metal.write_buffer(scene, scene_uniforms(t, width / height))
        label.set_text(f"frame {frames}  {frames / max(t, 1e-3):.0f} fps", 16, 16, width, height)
        render(window, pipeline, 0, vertices, scene, canvas, True, label)
        _metal.vsync(window)
        if _metal.consume_actions(window)["close"]:
            break
        frames += 1
    elapsed = time.monotonic() - start
    print(f"{frames} frames in {elapsed:.2f} s ({frames / elapsed:.1f} fps, paced by vsync)")
    if notification:
        report_notification(notification)

    # The last frame once more, into a texture that a blit pass can read back.
    target = _metal.create_render_texture(width, height, "bgra8")["handle"]
    readback = _metal.create_buffer(width * height * 4)
    render(window, pipeline, target, vertices, scene, canvas, True, label)
    _metal.begin_blit(window)
    _metal.copy_texture_to_buffer(window, target, readback)
    _metal.end_blit(window)
    write_png(args.out, width, height, _metal.read_buffer(readback))
    print(f"last frame written to {os.path.abspath(args.out)}")

    for handle in (vertices, scene, params, readback):
        _metal.destroy_buffer(handle)
    for handle in (canvas, target):
        _metal.destroy_texture(handle)
    _metal.destroy_render_pipeline(pipeline)
    _metal.destroy_compute_pipeline(kernel)
    _metal.destroy_library(library)
    label.destroy()
    _metal.close_window(window)
    print("resource counts:")
    for key, value in _metal.resource_counts().items():
        print(f"  {key:28s} {value}")


if __name__ == "__main__":
    main()
