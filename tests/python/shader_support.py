"""Shader sources and helpers shared by the library and pipeline tests."""

import os
from pathlib import Path

# One library with a function of every stage, each in its stage block.
LIBRARY = """\
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer Positions { vec2 positions[]; };
layout(location = 0) out vec2 uv;
void vs_main() {
    uv = positions[gl_VertexIndex];
    gl_Position = vec4(uv * 2.0 - 1.0, 0.0, 1.0);
}
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 1, binding = 0) uniform Tint { vec4 tint; };
layout(set = 2, binding = 0) uniform sampler2D image;
layout(location = 0) in vec2 uv;
layout(location = 0) out vec4 color;
void fs_main() { color = texture(image, uv) * tint; }
#endif
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0) buffer Values { uint values[]; };
layout(set = 1, binding = 0, rgba8) uniform writeonly image2D target;
void fill() {
    values[gl_GlobalInvocationID.x] = gl_WorkGroupSize.x;
    imageStore(target, ivec2(gl_GlobalInvocationID.xy), vec4(1.0));
}
#endif
"""

ENTRY_POINTS = ["vertex:vs_main", "fragment:fs_main", "compute:fill"]


def shaderc() -> Path:
    build = os.environ.get("QUENDAL_TEST_BUILD")
    tool = Path(build, "tools", "quendal-shaderc") if build else None
    if not tool or not tool.is_file():
        import pytest

        pytest.skip("QUENDAL_TEST_BUILD has no tools/quendal-shaderc")
    return tool


def next_handle(metal) -> int:
    """The handle the next creation gets (drawn by making and dropping a buffer)."""
    handle = metal.create_buffer(16)
    metal.destroy_buffer(handle)
    return handle + 1
