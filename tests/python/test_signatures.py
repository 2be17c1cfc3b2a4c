"""Every function of both modules has a signature that inspect can read, and
that signature is the one the function really parses: its keyword names are
accepted by name, its positional-only arguments are counted, and its optional
arguments may be left out."""

import inspect

import pytest

import _quendal._metal as metal
import _quendal._system as system

# A value of the right type for each argument name, chosen so that calls fail
# on their handles or values (KeyError, ValueError, RuntimeError) after the
# arguments have been parsed, and change nothing.
SAMPLES = {
    "handle": -7, "window": -7, "library": -7, "pipeline": -7, "buffer": -7, "texture": -7,
    "index_buffer": -7, "indirect_buffer": -7, "target_texture": -7,
    "revision": -7, "fps": -7, "length": -7, "width": -7, "height": -7, "index": -7, "offset": -7,
    "indirect_offset": -7, "bytes_per_row": -7, "vertex_start": -7, "vertex_count": -7,
    "index_count": -7, "instance_count": -7, "stencil_ref": 0, "sample_count": 3,
    "grid_x": -7, "grid_y": -7, "grid_z": -7, "tg_x": -7, "tg_y": -7, "tg_z": -7,
    "title": "signature", "orientation": "sideways", "label": None, "source": "", "path": "/nonexistent/x",
    "vertex": "v", "fragment": "f", "function": "f", "format": "nonsense", "depth_format": "nonsense",
    "stencil_format": None, "primitive": "nonsense", "index_type": "nonsense", "compare": "nonsense",
    "stencil_compare": "always", "stencil_pass": "keep", "stencil_fail": "keep", "stencil_back_pass": None,
    "data": b"", "clear_color": None, "blending": True, "premultiplied": False, "color_write": True,
    "depth": False, "stencil": False, "write_enabled": False,
    "operation": "signature.none", "payload": "{}", "interval": 0.0, "consume": True,
    # Text too large for any texture is refused after parsing.
    "text": "signature", "chars": "ab", "font_size": 1e9, "font_name": None, "padding": -1.0, "sdf": False,
    "sdf_spread": 8.0,
}

FUNCTIONS = [
    (module, name, getattr(module, name))
    for module in (metal, system)
    for name in dir(module)
    if not name.startswith("_") and callable(getattr(module, name))
]


def sample(function, parameter):
    if function in (system.poll, system.close) and parameter.name == "handle":
        return system.start("signature.none", "{}")
    assert parameter.name in SAMPLES, f"add a sample value for argument {parameter.name!r}"
    return SAMPLES[parameter.name]


def call(function, positional, keywords):
    try:
        result = function(*positional, **keywords)
    except TypeError:
        raise
    except Exception:
        return  # parsed, then refused: what these values are for
    if function is metal.create_window:
        metal.close_window(result)


def test_metal_has_every_function():
    assert len([name for module, name, _ in FUNCTIONS if module is metal]) >= 49


@pytest.mark.parametrize("module,name,function", FUNCTIONS, ids=[f"{m.__name__}.{n}" for m, n, _ in FUNCTIONS])
def test_signature_matches_parsing(module, name, function):
    signature = inspect.signature(function)
    assert function.__doc__ and not function.__doc__.startswith(name + "(")
    parameters = list(signature.parameters.values())
    positional_only = [p for p in parameters if p.kind is p.POSITIONAL_ONLY]
    keywords = [p for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
    assert not positional_only or not keywords, "a function parses either by position or by keyword list"

    # Every argument given, by name where the signature says it has one.
    call(function, [sample(function, p) for p in positional_only], {p.name: sample(function, p) for p in keywords})
    # Only the required ones: the optional ones may really be left out.
    required = [p for p in parameters if p.default is p.empty]
    call(function, [sample(function, p) for p in required], {})
    # One argument too many is refused by the parser.
    with pytest.raises(TypeError):
        function(*[sample(function, p) for p in parameters], 0)
    if keywords:
        with pytest.raises(TypeError):
            function(**{p.name: sample(function, p) for p in keywords}, no_such_argument=0)
