"""Shader compile and pipeline creation times.

Run with the package installed (scripts/setup), validation off:
    .venv/bin/python bench/bench_shaders.py
The first compile of a process pays for glslang's built-in symbol tables, so it
is measured in fresh subprocesses; later compiles reuse them.
"""

import statistics
import subprocess
import sys
import time

HELPERS = 40  # four lines each: with the stage blocks about 200 lines in all


def library_source(seed: int = 0) -> str:
    lines = ["#version 450"]
    for i in range(HELPERS):
        lines += [
            f"vec4 helper{i}(vec4 v) {{",
            f"    v = v * {i + seed + 1}.0 + vec4({i}.0, 1.0, 2.0, 3.0);",
            "    return sin(v) + cos(v.yzwx);",
            "}",
        ]
    lines += [
        "#ifdef QUENDAL_VERTEX",
        "layout(set = 0, binding = 0) readonly buffer P { vec4 positions[]; };",
        "layout(location = 0) out vec4 tint;",
        "void vs_main() {",
        "    vec4 p = positions[gl_VertexIndex];",
        *[f"    p = helper{i}(p);" for i in range(0, HELPERS, 4)],
        "    tint = p;",
        "    gl_Position = vec4(p.xy, 0.0, 1.0);",
        "}",
        "#endif",
        "#ifdef QUENDAL_FRAGMENT",
        "layout(set = 2, binding = 0) uniform sampler2D image;",
        "layout(location = 0) in vec4 tint;",
        "layout(location = 0) out vec4 color;",
        "void fs_main() {",
        "    vec4 c = texture(image, tint.xy) * tint;",
        *[f"    c = helper{i}(c);" for i in range(1, HELPERS, 4)],
        "    color = c;",
        "}",
        "#endif",
        "#ifdef QUENDAL_COMPUTE",
        "layout(set = 0, binding = 0) buffer V { vec4 values[]; };",
        "void cs_main() {",
        "    vec4 v = values[gl_GlobalInvocationID.x];",
        *[f"    v = helper{i}(v);" for i in range(2, HELPERS, 4)],
        "    values[gl_GlobalInvocationID.x] = v;",
        "}",
        "#endif",
    ]
    return "\n".join(lines) + "\n"


FIRST = """
import time
from _quendal import _metal as metal
metal.create_buffer(16)  # device creation is not part of the compile
t = time.perf_counter()
metal.create_library(source=%r)
print(time.perf_counter() - t)
"""


def ms(values):
    return f"median {statistics.median(values) * 1e3:7.2f} ms  min {min(values) * 1e3:7.2f} ms  (n={len(values)})"


def main() -> None:
    from _quendal import _metal as metal

    source = library_source()
    print(f"library: {source.count(chr(10))} lines")

    first = []
    for _ in range(5):
        out = subprocess.run([sys.executable, "-c", FIRST % source], capture_output=True, text=True, check=True)
        first.append(float(out.stdout))
    print("first create_library in a process:", ms(first))

    metal.create_buffer(16)
    metal.create_library(source=source)
    later, libraries = [], []
    for seed in range(20):
        text = library_source(seed + 1)  # a new text each time: nothing is cached
        t = time.perf_counter()
        libraries.append(metal.create_library(source=text))
        later.append(time.perf_counter() - t)
    print("later create_library:             ", ms(later))

    render, render_msaa, compute = [], [], []
    for lib in libraries:
        t = time.perf_counter()
        metal.create_render_pipeline(lib, "vs_main", "fs_main")
        render.append(time.perf_counter() - t)
        t = time.perf_counter()
        metal.create_render_pipeline(lib, "vs_main", "fs_main", sample_count=4, depth_format="depth32f_stencil8")
        render_msaa.append(time.perf_counter() - t)
        t = time.perf_counter()
        metal.create_compute_pipeline(lib, "cs_main")
        compute.append(time.perf_counter() - t)
    print("create_render_pipeline (first):   ", ms(render))
    print("create_render_pipeline (msaa+ds): ", ms(render_msaa))
    print("create_compute_pipeline:          ", ms(compute))


if __name__ == "__main__":
    main()
