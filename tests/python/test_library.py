"""Shader libraries: source text, source files, precompiled SPIR-V libraries and
the bundle's default library."""

import os
import subprocess
import sys
import textwrap

import pytest

from _quendal import _metal as metal
from shader_support import ENTRY_POINTS, LIBRARY, next_handle, shaderc

SYNTAX_ERROR = "void main() {\n  int x = 1;\n  y = x;\n}\n"
SYNTAX_ERROR_LOG = (
    "ERROR: 0:3: 'y' : undeclared identifier \n"
    "ERROR: 0:3: '' : compilation terminated \n"
    "ERROR: 2 compilation errors.  No code generated."
)


@pytest.fixture
def precompiled(tmp_path):
    source = tmp_path / "lib.glsl"
    source.write_text(LIBRARY)
    out = tmp_path / "lib.spv"
    subprocess.run([shaderc(), source, "-o", out, *ENTRY_POINTS], check=True)
    return out


# --- arguments -------------------------------------------------------------


def test_no_arguments_is_a_value_error():
    with pytest.raises(ValueError) as info:
        metal.create_library()
    assert info.value.args == ("Either source or path must be provided",)


def test_none_is_refused_for_both_keywords():
    with pytest.raises(TypeError):
        metal.create_library(source=None)
    with pytest.raises(TypeError):
        metal.create_library(path=None)


# --- source text -----------------------------------------------------------


def test_source_compiles_to_consecutive_handles():
    first = metal.create_library(source=LIBRARY)
    second = metal.create_library(LIBRARY)
    assert second == first + 1
    metal.destroy_library(first)
    metal.destroy_library(second)


def test_syntax_error_raises_the_compilers_text_with_the_users_line_numbers():
    with pytest.raises(RuntimeError) as info:
        metal.create_library(source=SYNTAX_ERROR)
    assert str(info.value) == SYNTAX_ERROR_LOG
    # An explicit #version line is part of the user's text and counts as line 1.
    with pytest.raises(RuntimeError) as info:
        metal.create_library(source="#version 450\n" + SYNTAX_ERROR)
    assert str(info.value) == SYNTAX_ERROR_LOG.replace("0:3:", "0:4:")


def test_error_in_one_stage_block_fails_the_library():
    broken = LIBRARY.replace("color = texture(image, uv) * tint;", "color = tint * missing;")
    with pytest.raises(RuntimeError) as info:
        metal.create_library(source=broken)
    assert "'missing' : undeclared identifier" in str(info.value)
    assert "Source entry point" not in str(info.value)


def test_source_without_stage_blocks_needs_one_stage_that_parses():
    fragment_only = "layout(location = 0) out vec4 color;\nvoid shade() { color = gl_FragCoord; }\n"
    handle = metal.create_library(source=fragment_only)
    # The vertex parse fails (gl_FragCoord), so the library has no vertex functions.
    with pytest.raises(RuntimeError) as info:
        metal.create_render_pipeline(handle, "shade", "shade")
    assert info.value.args == ("Metal entry point not found in library.",)
    metal.destroy_library(handle)
    with pytest.raises(RuntimeError) as info:
        metal.create_library(source="void f() { gl_Position = gl_FragCoord; }\n")
    assert "undeclared identifier" in str(info.value)


def test_failed_compile_consumes_no_handle():
    expected = next_handle(metal)
    with pytest.raises(RuntimeError):
        metal.create_library(source=SYNTAX_ERROR)
    assert metal.create_buffer(16) == expected


# --- files -----------------------------------------------------------------


def test_path_wins_over_source(tmp_path):
    path = tmp_path / "lib.glsl"
    path.write_text(LIBRARY)
    handle = metal.create_library(source=SYNTAX_ERROR, path=str(path))
    metal.destroy_render_pipeline(metal.create_render_pipeline(handle, "vs_main", "fs_main"))


@pytest.mark.parametrize("name", ["lib.METALLIB", "lib.Metallib", "lib.SPV", "lib.metallib.txt"])
def test_suffix_differing_in_case_takes_the_text_route(tmp_path, name):
    path = tmp_path / name
    path.write_text(LIBRARY)
    handle = metal.create_library(path=str(path))
    metal.destroy_compute_pipeline(metal.create_compute_pipeline(handle, "fill"))


def test_compile_error_in_a_file_raises_the_compilers_text(tmp_path):
    path = tmp_path / "broken.glsl"
    path.write_text(SYNTAX_ERROR)
    with pytest.raises(RuntimeError) as info:
        metal.create_library(path=str(path))
    assert str(info.value) == SYNTAX_ERROR_LOG


def test_missing_file_is_file_not_found(tmp_path):
    expected = next_handle(metal)
    with pytest.raises(FileNotFoundError) as info:
        metal.create_library(path=str(tmp_path / "absent.glsl"))
    assert str(info.value) == "Cannot read shader file: No such file or directory"
    assert str(tmp_path) not in str(info.value)
    assert metal.create_buffer(16) == expected


def test_file_that_is_not_utf8_is_file_not_found(tmp_path):
    path = tmp_path / "latin1.glsl"
    path.write_bytes(b"// caf\xe9\nvoid main() {}\n")
    with pytest.raises(FileNotFoundError) as info:
        metal.create_library(path=str(path))
    assert str(info.value) == "Cannot read shader file: The file is not valid UTF-8 text."


def test_directory_is_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        metal.create_library(path=str(tmp_path))
    assert str(info.value).startswith("Cannot read shader file: ")


# --- precompiled libraries -------------------------------------------------


@pytest.mark.parametrize("suffix", [".spv", ".metallib"])
def test_precompiled_library_holds_every_entry_point(tmp_path, precompiled, suffix):
    path = tmp_path / ("copy" + suffix)
    path.write_bytes(precompiled.read_bytes())
    handle = metal.create_library(path=str(path))
    metal.destroy_render_pipeline(metal.create_render_pipeline(handle, "vs_main", "fs_main"))
    metal.destroy_compute_pipeline(metal.create_compute_pipeline(handle, "fill"))
    metal.destroy_library(handle)


def test_truncated_precompiled_library_cannot_load(tmp_path, precompiled):
    expected = next_handle(metal)
    data = precompiled.read_bytes()
    for name, content in [("empty.spv", b""), ("odd.spv", data[:-1]), ("cut.spv", data[: len(data) // 2]),
                          ("text.metallib", LIBRARY.encode())]:
        path = tmp_path / name
        path.write_bytes(content)
        with pytest.raises(RuntimeError) as info:
            metal.create_library(path=str(path))
        assert str(info.value).startswith("Cannot load metallib: "), name
        assert len(str(info.value)) > len("Cannot load metallib: ")
    assert metal.create_buffer(16) == expected


def test_missing_precompiled_library(tmp_path):
    with pytest.raises(RuntimeError) as info:
        metal.create_library(path=str(tmp_path / "absent.metallib"))
    assert str(info.value) == "Cannot load metallib: No such file or directory"


def test_shaderc_refuses_a_function_the_source_lacks(tmp_path):
    source = tmp_path / "lib.glsl"
    source.write_text(LIBRARY)
    result = subprocess.run([shaderc(), source, "-o", tmp_path / "out.spv", "vertex:fs_main"],
                            capture_output=True, text=True)
    assert result.returncode != 0
    assert "no vertex function 'fs_main'" in result.stderr
    assert not (tmp_path / "out.spv").exists()


# --- the bundle's default library ------------------------------------------

DEFAULT_SCRIPT = textwrap.dedent("""\
    from _quendal import _metal as metal
    try:
        handle = metal.create_library(source="__default__")
    except RuntimeError as error:
        print("error", error)
    else:
        print("handle", handle, metal.create_compute_pipeline(handle, "fill"))
""")


def run_with_bundle(bundle):
    env = dict(os.environ, QUENDAL_BUNDLE=str(bundle))
    result = subprocess.run([sys.executable, "-c", DEFAULT_SCRIPT], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_default_library_without_one_in_the_bundle(tmp_path):
    assert run_with_bundle(tmp_path) == "error No default Metal library found in app bundle."


def test_default_library_from_the_bundle(tmp_path, precompiled):
    (tmp_path / "default.spv").write_bytes(precompiled.read_bytes())
    assert run_with_bundle(tmp_path) == "handle 1 2"


def test_default_is_matched_exactly():
    with pytest.raises(RuntimeError) as info:
        metal.create_library(source="__default__ ")
    assert "No default Metal library" not in str(info.value)


# --- destroy ---------------------------------------------------------------


def test_destroy_accepts_unknown_and_destroyed_handles():
    handle = metal.create_library(source=LIBRARY)
    assert metal.destroy_library(handle) is None
    assert metal.destroy_library(handle) is None
    assert metal.destroy_library(-5) is None
    with pytest.raises(KeyError):
        metal.create_compute_pipeline(handle, "fill")


def test_destroy_is_positional_only():
    with pytest.raises(TypeError):
        metal.destroy_library(handle=1)


# --- sources that would exhaust the compiler's stack ------------------------

DEEP_SCRIPT = textwrap.dedent("""\
    import sys
    from _quendal import _metal as metal
    head = "#ifdef QUENDAL_COMPUTE\\n" + sys.argv[1].replace("|", "\\n")
    body = "layout(set = 0, binding = 0) buffer B { float v[]; };\\nvoid k() { float x = v[0]; v[1] = %s; }\\n#endif\\n"
    try:
        library = metal.create_library(source=head + body % sys.stdin.read())
        metal.create_compute_pipeline(library, "k")
        print("built")
    except RuntimeError as error:
        print(error)
""")


def run_deep(defines, expression):
    # A subprocess: a regression would crash the interpreter, not fail a test.
    # Validating a module this large would take most of the run.
    env = dict(os.environ, QUENDAL_VK_VALIDATION="0")
    result = subprocess.run([sys.executable, "-c", DEEP_SCRIPT, defines], input=expression, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_long_operator_chain_compiles():
    # 20000 additions nest 20000 deep in glslang's tree: past a default stack.
    assert run_deep("", "x" + " + x" * 20000) == "built"


def test_macro_expanding_past_the_limit_is_refused():
    defines = "#define A0 x|" + "".join(
        f"#define A{i} " + "+".join([f"A{i - 1}"] * 10) + "|" for i in range(1, 7))
    assert run_deep(defines, "A6") == (
        "ERROR: 0:10: '' : expression too complex (more than 65536 operators in one statement)")
