"""Render and compute pipelines: every one is built by Vulkan with validation on,
so a pipeline the driver would reject, or one that validation complains about,
fails its test."""

import itertools

import pytest

from _quendal import _metal as metal
from shader_support import LIBRARY, next_handle

FORMATS = ["bgra8", "rgba8", "rgba16f", "r8", "r16f", "r32f", "rg16f", "rg32f"]


@pytest.fixture(scope="module")
def library():
    handle = metal.create_library(source=LIBRARY)
    yield handle
    metal.destroy_library(handle)


def make(library, **options):
    handle = metal.create_render_pipeline(library, "vs_main", "fs_main", **options)
    assert isinstance(handle, int) and handle > 0
    metal.destroy_render_pipeline(handle)
    return handle


# --- render pipelines that Vulkan builds -----------------------------------


@pytest.mark.parametrize("format", FORMATS)
def test_every_pixel_format_with_every_attachment_setup(library, format):
    depths = [None, "depth32f", "depth32f_stencil8"]
    stencils = [None, "stencil8"]
    for depth, stencil, samples in itertools.product(depths, stencils, [1, 4]):
        make(library, format=format, depth_format=depth, stencil_format=stencil, sample_count=samples)


@pytest.mark.parametrize("blending,premultiplied,color_write",
                         list(itertools.product([True, False], repeat=3)))
def test_blending_and_colour_write_settings(library, blending, premultiplied, color_write):
    make(library, blending=blending, premultiplied=premultiplied, color_write=color_write)
    make(library, format="rgba16f", blending=blending, premultiplied=premultiplied,
         color_write=color_write, sample_count=4, depth_format="depth32f")


def test_keywords_and_positional_arguments(library):
    handle = metal.create_render_pipeline(library, "vs_main", "fs_main", True, False, "rgba8", "depth32f", 4,
                                          "stencil8", True)
    metal.destroy_render_pipeline(handle)


def test_unknown_names_fall_back_without_error(library):
    make(library, format="bgra8_srgb")
    make(library, format="RGBA8")
    make(library, depth_format="depth24", stencil_format="stencil16")
    make(library, depth_format="depth32f_stencil8", stencil_format="stencil8")


def test_sample_counts_zero_and_one_are_one(library):
    make(library, sample_count=0)
    make(library, sample_count=1)


@pytest.mark.parametrize("samples", [3, 64, 2**32 - 1])
def test_unsupported_sample_count_is_a_value_error(library, samples):
    expected = next_handle(metal)
    with pytest.raises(ValueError) as info:
        metal.create_render_pipeline(library, "vs_main", "fs_main", sample_count=samples)
    message = str(info.value)
    assert message.startswith(f"sample_count {samples} is not supported by this device (supported: 1")
    assert message.endswith(").")
    assert metal.create_buffer(16) == expected


def test_push_constants_and_shared_bindings():
    source = """
    layout(push_constant) uniform Push { vec4 scale; };
    layout(set = 1, binding = 3) uniform Shared { vec4 tint; };
    #ifdef QUENDAL_VERTEX
    void vs() { gl_Position = scale * tint; }
    #endif
    #ifdef QUENDAL_FRAGMENT
    layout(location = 0) out vec4 color;
    void fs() { color = scale * tint; }
    #endif
    """
    library = metal.create_library(source=source)
    metal.destroy_render_pipeline(metal.create_render_pipeline(library, "vs", "fs"))
    metal.destroy_library(library)


# --- errors ------------------------------------------------------------------


def test_unknown_library_messages_differ_between_render_and_compute():
    expected = next_handle(metal)
    with pytest.raises(KeyError) as info:
        metal.create_render_pipeline(987654, "vs_main", "fs_main")
    assert info.value.args == ("_metal library handle not found.",)
    with pytest.raises(KeyError) as info:
        metal.create_compute_pipeline(987654, "fill")
    assert info.value.args == ("Library handle not found.",)
    assert metal.create_buffer(16) == expected


@pytest.mark.parametrize("vertex,fragment", [
    ("missing", "fs_main"),
    ("vs_main", "missing"),
    ("missing", "also_missing"),
    ("fs_main", "fs_main"),      # a fragment function as the vertex function
    ("vs_main", "vs_main"),      # a vertex function as the fragment function
    ("fill", "fs_main"),         # a compute function
])
def test_entry_point_not_found(library, vertex, fragment):
    expected = next_handle(metal)
    with pytest.raises(RuntimeError) as info:
        metal.create_render_pipeline(library, vertex, fragment)
    assert info.value.args == ("Metal entry point not found in library.",)
    assert metal.create_buffer(16) == expected


@pytest.mark.parametrize("name", ["missing", "vs_main", "fs_main"])
def test_compute_function_not_found(library, name):
    with pytest.raises(RuntimeError) as info:
        metal.create_compute_pipeline(library, name)
    assert info.value.args == ("Compute function not found in library.",)


BINDING_MODEL_ERRORS = [
    ("layout(set = 3, binding = 0) buffer B { uint v[]; };",
     "Shader resource 'B' (set 3, binding 0) is outside the binding model: "
     "vertex buffers are set 0, fragment buffers set 1, fragment textures set 2."),
    ("layout(set = 0, binding = 1) uniform sampler2D t;",
     "Shader resource 't' (set 0, binding 1) is not of the kind its set holds: "
     "vertex buffers are set 0, fragment buffers set 1, fragment textures set 2."),
    ("layout(set = 2, binding = 0) buffer B { uint v[]; };",
     "Shader resource 'B' (set 2, binding 0) is not of the kind its set holds: "
     "vertex buffers are set 0, fragment buffers set 1, fragment textures set 2."),
    ("layout(set = 1, binding = 256) buffer B { uint v[]; };",
     "Shader resource 'B' (set 1, binding 256) has a binding above 255."),
]


@pytest.mark.parametrize("declaration,message", BINDING_MODEL_ERRORS)
def test_resources_outside_the_binding_model(declaration, message):
    source = f"""
    {declaration}
    #ifdef QUENDAL_VERTEX
    void vs() {{ gl_Position = vec4(0.0); }}
    #endif
    #ifdef QUENDAL_FRAGMENT
    layout(location = 0) out vec4 color;
    void fs() {{ color = vec4(float({'v[0]' if 'buffer' in declaration else 'texture(t, vec2(0)).x'})); }}
    #endif
    """
    library = metal.create_library(source=source)
    expected = next_handle(metal)
    with pytest.raises(RuntimeError) as info:
        metal.create_render_pipeline(library, "vs", "fs")
    assert info.value.args == (message,)
    assert metal.create_buffer(16) == expected
    metal.destroy_library(library)


def test_compute_binding_model():
    source = """
    layout(set = 2, binding = 0) buffer B { uint v[]; };
    void k() { v[0] = 1u; }
    """
    library = metal.create_library(source=source)
    with pytest.raises(RuntimeError) as info:
        metal.create_compute_pipeline(library, "k")
    assert info.value.args == ("Shader resource 'B' (set 2, binding 0) is outside the binding model: "
                               "compute buffers are set 0, compute textures set 1.",)
    metal.destroy_library(library)


# --- compute pipelines -------------------------------------------------------


def test_compute_pipeline_with_fixed_and_dispatch_sizes():
    source = """
    layout(local_size_x = 8) in;
    layout(set = 0, binding = 0) buffer B { uint v[]; };
    void sized() { v[gl_GlobalInvocationID.x] = gl_WorkGroupSize.x; }
    """
    library = metal.create_library(source=source)
    handle = metal.create_compute_pipeline(library=library, function="sized")
    assert metal.destroy_compute_pipeline(handle) is None
    metal.destroy_library(library)


# --- lifetime and handles ----------------------------------------------------


def test_pipelines_outlive_their_library():
    library = metal.create_library(source=LIBRARY)
    render = metal.create_render_pipeline(library, "vs_main", "fs_main")
    compute = metal.create_compute_pipeline(library, "fill")
    metal.destroy_library(library)
    with pytest.raises(KeyError):
        metal.create_render_pipeline(library, "vs_main", "fs_main")
    # Destroying them after their library is gone is clean for Vulkan too.
    metal.destroy_render_pipeline(render)
    metal.destroy_compute_pipeline(compute)


def test_handles_come_from_the_shared_counter(library):
    render = metal.create_render_pipeline(library, "vs_main", "fs_main")
    compute = metal.create_compute_pipeline(library, "fill")
    buffer = metal.create_buffer(16)
    assert [compute, buffer] == [render + 1, render + 2]
    metal.destroy_render_pipeline(render)
    metal.destroy_compute_pipeline(compute)
    metal.destroy_buffer(buffer)


def test_destroy_accepts_unknown_handles(library):
    render = metal.create_render_pipeline(library, "vs_main", "fs_main")
    assert metal.destroy_render_pipeline(render) is None
    assert metal.destroy_render_pipeline(render) is None
    assert metal.destroy_compute_pipeline(render) is None
    assert metal.destroy_compute_pipeline(0) is None
    with pytest.raises(TypeError):
        metal.destroy_render_pipeline(handle=render)


MAIN_LIBRARY = """\
#ifdef QUENDAL_VERTEX
void main() { gl_Position = vec4(0.0); }
void withargs(int a) { gl_Position = vec4(a); }
#endif
#ifdef QUENDAL_FRAGMENT
layout(location = 0) out vec4 color;
void fs() { color = vec4(1.0); }
#endif
#ifdef QUENDAL_COMPUTE
void main() {}
#endif
"""


@pytest.mark.parametrize("name", ["", "main(", "gl_Position", "withargs(i1;", "fs "])
def test_names_that_are_no_function_never_reach_the_driver(name):
    # glslang reads an empty entry name as "main"; the module must carry the
    # name asked for, or SPIR-V reflection and the driver would be handed a
    # name the module lacks.
    library = metal.create_library(source=MAIN_LIBRARY)
    with pytest.raises(RuntimeError) as info:
        metal.create_render_pipeline(library, name, "fs")
    assert info.value.args == ("Metal entry point not found in library.",)
    with pytest.raises(RuntimeError) as info:
        metal.create_compute_pipeline(library, name)
    assert info.value.args == ("Compute function not found in library.",)
    metal.destroy_render_pipeline(metal.create_render_pipeline(library, "main", "fs"))
    metal.destroy_compute_pipeline(metal.create_compute_pipeline(library, "main"))
    metal.destroy_library(library)


def test_entry_point_that_cannot_be_one_raises_the_compilers_text():
    library = metal.create_library(source=MAIN_LIBRARY)
    expected = next_handle(metal)
    with pytest.raises(RuntimeError) as info:
        metal.create_render_pipeline(library, "withargs", "fs")
    assert str(info.value).startswith("ERROR: 0:3: 'withargs' : function cannot take any parameter(s)")
    assert metal.create_buffer(16) == expected
    metal.destroy_library(library)


FEATURE_LIBRARY = """\
#extension GL_ARB_sparse_texture2 : require
#ifdef QUENDAL_VERTEX
out float gl_ClipDistance[1];
void clipped() { gl_Position = vec4(0.0); gl_ClipDistance[0] = 1.0; }
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 2, binding = 0) uniform sampler2D image;
layout(location = 0) out vec4 color;
void primitive() { color = vec4(gl_PrimitiveID, gl_SampleID, 0.0, 1.0); }
void sparse() {
    vec4 texel;
    int code = sparseTextureARB(image, vec2(0.0), texel);
    color = texel * float(sparseTexelsResidentARB(code));
}
#endif
"""


def test_shaders_using_optional_device_features():
    library = metal.create_library(source=FEATURE_LIBRARY)
    # Clip distances, primitive ids and per-sample shading are enabled where
    # the device has them, so the validation layer has nothing to say.
    metal.destroy_render_pipeline(metal.create_render_pipeline(library, "clipped", "primitive"))
    # Sparse residency is never enabled: refused before the driver sees it.
    expected = next_handle(metal)
    with pytest.raises(RuntimeError) as info:
        metal.create_render_pipeline(library, "clipped", "sparse")
    assert info.value.args == ("The shader needs the device feature shaderResourceResidency, "
                               "which is not enabled on this device.",)
    assert metal.create_buffer(16) == expected
    metal.destroy_library(library)


VERTEX_WRITES_V = """\
#ifdef QUENDAL_VERTEX
layout(location = 0) out vec4 v;
layout(location = 1) out Block { vec2 uv; flat int id; } block;
void vs() { gl_Position = vec4(0.0); v = vec4(1.0); block.uv = vec2(0.0); block.id = 1; }
#endif
"""

INTERFACE_CASES = [
    ("layout(location = 0) in vec4 v; layout(location = 1) in Block { vec2 uv; flat int id; } b;"
     "layout(location = 0) out vec4 c; void fs() { c = v + b.uv.xyxy; }", None),
    ("layout(location = 0) in vec2 v; layout(location = 0) out vec4 c; void fs() { c = v.xyxy; }", None),
    ("layout(location = 2) in vec4 w; layout(location = 0) out vec4 c; void fs() { c = w; }",
     "Fragment input 'w' (location 2) is not written by the vertex function."),
    ("layout(location = 0) flat in ivec4 v; layout(location = 0) out vec4 c; void fs() { c = vec4(v); }",
     "Fragment input 'v' (location 0) does not match the type of the vertex output 'v'."),
    ("layout(location = 0) out uvec4 u; void fs() { u = uvec4(1); }",
     "Fragment output 'u' (location 0) is an integer type, but the colour pixel format holds floating-point values."),
]


def test_vertex_inputs_are_refused():
    source = """
    #ifdef QUENDAL_VERTEX
    layout(location = 0) in vec3 position;
    void vs() { gl_Position = vec4(position, 1.0); }
    #endif
    #ifdef QUENDAL_FRAGMENT
    void fs() {}
    #endif
    """
    library = metal.create_library(source=source)
    with pytest.raises(RuntimeError) as info:
        metal.create_render_pipeline(library, "vs", "fs")
    assert info.value.args == ("Vertex input 'position' (location 0) has no vertex attribute to read: "
                               "vertex functions read their data from buffers by gl_VertexIndex.",)
    metal.destroy_library(library)


@pytest.mark.parametrize("fragment,message", INTERFACE_CASES)
def test_vertex_and_fragment_interfaces_must_match(fragment, message):
    library = metal.create_library(source=VERTEX_WRITES_V + "#ifdef QUENDAL_FRAGMENT\n" + fragment + "\n#endif\n")
    if message is None:
        metal.destroy_render_pipeline(metal.create_render_pipeline(library, "vs", "fs"))
    else:
        with pytest.raises(RuntimeError) as info:
            metal.create_render_pipeline(library, "vs", "fs")
        assert info.value.args == (message,)
    metal.destroy_library(library)


def test_functions_outside_stage_blocks_serve_every_stage_they_compile_for():
    source = """
    layout(set = 0, binding = 0) buffer B { uint values[]; };
    void kernel() { values[0] = 1u; }
    #ifdef QUENDAL_VERTEX
    void vs() { gl_Position = vec4(float(values[gl_VertexIndex])); }
    #endif
    #ifdef QUENDAL_FRAGMENT
    layout(location = 0) out vec4 color;
    void fs() { color = gl_FragCoord; }
    #endif
    """
    library = metal.create_library(source=source)
    metal.destroy_render_pipeline(metal.create_render_pipeline(library, "vs", "fs"))
    metal.destroy_compute_pipeline(metal.create_compute_pipeline(library, "kernel"))
    with pytest.raises(RuntimeError) as info:
        metal.create_compute_pipeline(library, "vs")
    assert info.value.args == ("Compute function not found in library.",)
    metal.destroy_library(library)
