"""Render commands: binding and drawing into an open frame, checked on the
pixels of the presented frame, and every refusal with its exact message."""

import os

import pytest

import _quendal._metal as m
from frame_support import FULL_QUAD, TOP_TRIANGLE, Scene, Screen, floats, integers, near, needs_screen, read_texture, vertices
from window_support import run_python

UNKNOWN = 987_654_321
RED, GREEN, BLUE = (1.0, 0.0, 0.0, 1.0), (0.0, 1.0, 0.0, 1.0), (0.0, 0.0, 1.0, 1.0)
CLEAR = (0.0, 0.0, 0.0, 1.0)


@pytest.fixture(scope="module")
def scene():
    return Scene(m)


@pytest.fixture(scope="module")
def screen():
    if needs_screen.args[0]:
        pytest.skip(needs_screen.kwargs["reason"])
    s = Screen(m)
    yield s
    s.close()


@pytest.fixture
def window():
    handle = m.create_window()
    yield handle
    m.close_window(handle)


@pytest.fixture
def frame(window):
    m.begin_frame(window)
    yield window
    m.end_frame(window)


def draw_scene(screen, scene, draw, pipeline=None, rgba=GREEN, points=TOP_TRIANGLE, **frame):
    w = screen.handle
    m.begin_frame(w, CLEAR, **frame)
    scene.bind(w, pipeline or scene.pipeline(), vertices(m, points), rgba)
    draw(w)
    m.end_frame(w)
    return screen.capture()


@needs_screen
class TestDraws:
    def test_y_points_up(self, screen, scene):
        shot = draw_scene(screen, scene, lambda w: m.draw(w, "triangle", 0, 3))
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 255, 0))
        assert near(screen.pixel(shot, 0.5, 0.75), (0, 0, 0))
        assert near(screen.pixel(shot, 0.05, 0.25), (0, 0, 0))

    @pytest.mark.parametrize(
        "primitive, covered",
        [("triangle_strip", True), ("triangle", False), ("trangle_strip", True), ("Triangle", True)],
    )
    def test_strip_and_misspelt_names(self, screen, scene, primitive, covered):
        # Four quad corners: a strip fills the top right corner too, a list does not.
        shot = draw_scene(screen, scene, lambda w: m.draw(w, primitive, 0, 4), points=FULL_QUAD)
        assert near(screen.pixel(shot, 0.9, 0.1), (0, 255, 0) if covered else (0, 0, 0))
        assert near(screen.pixel(shot, 0.1, 0.9), (0, 255, 0))

    @pytest.mark.parametrize("primitive", ["point", "line", "line_strip"])
    def test_points_and_lines(self, screen, scene, primitive):
        points = [(-0.5, 0.5, 0.5), (0.5, 0.5, 0.5), (0.5, -0.5, 0.5)]
        shot = draw_scene(screen, scene, lambda w: m.draw(w, primitive, 0, 3), points=points)
        lit = sum(1 for i in range(1, len(shot), 3) if shot[i] > 128)
        expected = {"point": (100, 400), "line": (400, 600), "line_strip": (700, 1000)}[primitive]
        assert expected[0] <= lit <= expected[1]

    @pytest.mark.parametrize("fmt, index_type", [("H", "uint16"), ("I", "uint32"), ("H", "uint_32")])
    def test_indexed(self, screen, scene, fmt, index_type):
        # Indices 2, 1, 0 name the top triangle backwards.
        indices = integers(m, fmt, [2, 1, 0])
        shot = draw_scene(
            screen, scene, lambda w: m.draw_indexed(w, "triangle", indices, 3, index_type=index_type)
        )
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 255, 0))

    def test_32_bit_indices_read_as_16_bit_draw_other_vertices(self, screen, scene):
        indices = integers(m, "I", [0, 1, 2])  # as 16-bit: 0, 0, 1, 0, 2, 0
        shot = draw_scene(screen, scene, lambda w: m.draw_indexed(w, "triangle", indices, 3))
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 0, 0))

    def test_indexed_offset(self, screen, scene):
        indices = integers(m, "H", [7, 7, 0, 1, 2])
        shot = draw_scene(screen, scene, lambda w: m.draw_indexed(w, "triangle", indices, 3, offset=4))
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 255, 0))

    def test_instanced(self, screen, scene):
        small = [(-0.1, -0.1, 0.5), (0.1, -0.1, 0.5), (0.0, 0.1, 0.5)]
        offsets = floats(m, [-0.5, 0.5, 0.5, -0.5])
        w = screen.handle
        m.begin_frame(w, CLEAR)
        scene.bind(w, scene.pipeline(), vertices(m, small), GREEN, offsets=offsets)
        m.draw_instanced(w, "triangle", 0, 3, 2)
        m.end_frame(w)
        shot = screen.capture()
        assert near(screen.pixel(shot, 0.25, 0.25), (0, 255, 0))
        assert near(screen.pixel(shot, 0.75, 0.75), (0, 255, 0))
        assert near(screen.pixel(shot, 0.75, 0.25), (0, 0, 0))

    def test_indexed_instanced(self, screen, scene):
        small = [(-0.1, -0.1, 0.5), (0.1, -0.1, 0.5), (0.0, 0.1, 0.5)]
        offsets = floats(m, [-0.5, 0.5, 0.5, -0.5])
        indices = integers(m, "I", [0, 1, 2])
        w = screen.handle
        m.begin_frame(w, CLEAR)
        scene.bind(w, scene.pipeline(), vertices(m, small), GREEN, offsets=offsets)
        m.draw_indexed_instanced(w, "triangle", indices, 3, index_type="uint32", instance_count=2)
        m.end_frame(w)
        shot = screen.capture()
        assert near(screen.pixel(shot, 0.25, 0.25), (0, 255, 0))
        assert near(screen.pixel(shot, 0.75, 0.75), (0, 255, 0))

    def test_indirect(self, screen, scene):
        # Skipped words first: offset 16 holds (vertex count 3, 1 instance, first vertex 0, first instance 0).
        arguments = integers(m, "I", [0, 0, 0, 0, 3, 1, 0, 0])
        shot = draw_scene(screen, scene, lambda w: m.draw_indirect(w, "triangle", arguments, offset=16))
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 255, 0))

    def test_indexed_indirect(self, screen, scene):
        indices = integers(m, "I", [2, 1, 0])
        arguments = integers(m, "I", [9, 3, 1, 0, 0, 0])
        shot = draw_scene(
            screen,
            scene,
            lambda w: m.draw_indexed_indirect(w, "triangle", indices, "uint32", arguments, indirect_offset=4),
        )
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 255, 0))

    def test_unbound_buffers_read_as_zero(self, screen, scene):
        # No colour buffer: the fragment uniform reads zero, a transparent black.
        w = screen.handle
        m.begin_frame(w, (1, 1, 1, 1))
        m.set_pipeline(w, scene.pipeline(blending=False))
        m.set_vertex_buffer(w, vertices(m, TOP_TRIANGLE), 0)
        m.draw(w, "triangle", 0, 3)
        m.end_frame(w)
        shot = screen.capture()
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 0, 0))
        assert near(screen.pixel(shot, 0.5, 0.75), (255, 255, 255))

    def test_sampled_render_texture(self, screen, scene):
        texture = m.create_render_texture(4, 4)["handle"]
        m.begin_frame(screen.handle, (0.0, 0.0, 1.0, 1.0), target_texture=texture)
        m.end_frame(screen.handle)
        w = screen.handle
        m.begin_frame(w, CLEAR)
        scene.bind(w, scene.pipeline(fragment="fs_textured", blending=False), vertices(m, TOP_TRIANGLE), RED)
        m.set_fragment_texture(w, texture, 0)
        m.draw(w, "triangle", 0, 3)
        m.end_frame(w)
        shot = screen.capture()
        assert near(screen.pixel(shot, 0.5, 0.25), (255, 0, 255))
        m.destroy_texture(texture)

    def test_never_drawn_texture_can_be_sampled(self, screen, scene):
        texture = m.create_render_texture(4, 4)["handle"]
        w = screen.handle
        m.begin_frame(w, CLEAR)
        scene.bind(w, scene.pipeline(fragment="fs_textured", blending=False), vertices(m, TOP_TRIANGLE), RED)
        m.set_fragment_texture(w, texture, 0)
        m.draw(w, "triangle", 0, 3)
        m.end_frame(w)
        shot = screen.capture()
        assert screen.pixel(shot, 0.5, 0.25)[0] == 255
        m.destroy_texture(texture)


@needs_screen
class TestBlending:
    HALF_RED = (1.0, 0.0, 0.0, 0.5)

    def blend(self, screen, scene, **options):
        w = screen.handle
        m.begin_frame(w, (0.0, 0.0, 1.0, 1.0))
        scene.bind(w, scene.pipeline(**options), vertices(m, TOP_TRIANGLE), self.HALF_RED)
        m.draw(w, "triangle", 0, 3)
        m.end_frame(w)
        return screen.pixel(screen.capture(), 0.5, 0.25)

    def test_source_alpha_by_default(self, screen, scene):
        assert near(self.blend(screen, scene), (128, 0, 128))

    def test_premultiplied(self, screen, scene):
        assert near(self.blend(screen, scene, premultiplied=True), (255, 0, 128))

    def test_off(self, screen, scene):
        assert near(self.blend(screen, scene, blending=False), (255, 0, 0))

    def test_colour_writes_off(self, screen, scene):
        assert near(self.blend(screen, scene, color_write=False), (0, 0, 255))


@needs_screen
class TestMismatchedPipelines:
    def test_pipeline_for_another_format_and_sample_count(self, screen, scene):
        pipeline = scene.pipeline(format="rgba16f", sample_count=4, depth_format="depth32f_stencil8")
        shot = draw_scene(screen, scene, lambda w: m.draw(w, "triangle", 0, 3), pipeline=pipeline)
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 255, 0))

    @pytest.mark.parametrize("sample_count", [0, 1])
    def test_sample_count_0_is_1(self, screen, scene, sample_count):
        shot = draw_scene(
            screen, scene, lambda w: m.draw(w, "triangle", 0, 3), sample_count=sample_count
        )
        assert near(screen.pixel(shot, 0.5, 0.25), (0, 255, 0))


@needs_screen
class TestMultisample:
    def edge_colours(self, screen, scene, samples):
        shot = draw_scene(
            screen,
            scene,
            lambda w: m.draw(w, "triangle", 0, 3),
            pipeline=scene.pipeline(sample_count=samples),
            rgba=(1.0, 1.0, 1.0, 1.0),
            points=[(-1, -1, 0.5), (1, -0.9, 0.5), (-1, 1, 0.5)],
            sample_count=samples,
        )
        return {shot[i] for i in range(0, len(shot), 3)}

    def test_4x_edges_hold_blended_colours(self, screen, scene):
        values = self.edge_colours(screen, scene, 4)
        assert {0, 255} <= values
        assert {64, 128, 191} & values

    def test_without_multisampling_edges_are_hard(self, screen, scene):
        assert self.edge_colours(screen, scene, 1) == {0, 255}


class TestErrors:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda w, b, t, p: m.set_pipeline(w, UNKNOWN), "_metal window or pipeline handle not found."),
            (lambda w, b, t, p: m.set_pipeline(UNKNOWN, p), "_metal window or pipeline handle not found."),
            (lambda w, b, t, p: m.set_vertex_buffer(w, UNKNOWN, 0), "_metal window or buffer handle not found."),
            (lambda w, b, t, p: m.set_fragment_buffer(UNKNOWN, b, 0), "_metal window or buffer handle not found."),
            (lambda w, b, t, p: m.set_fragment_texture(w, UNKNOWN, 0), "_metal window or texture handle not found."),
            (lambda w, b, t, p: m.draw(UNKNOWN, "triangle", 0, 3), "_metal window handle not found."),
            (
                lambda w, b, t, p: m.draw_indexed(w, "triangle", UNKNOWN, 3),
                "_metal window or index buffer handle not found.",
            ),
            (lambda w, b, t, p: m.draw_instanced(UNKNOWN, "triangle", 0, 3, 1), "_metal window handle not found."),
            (
                lambda w, b, t, p: m.draw_indexed_instanced(w, "triangle", UNKNOWN, 3),
                "_metal window or index buffer handle not found.",
            ),
            (
                lambda w, b, t, p: m.draw_indirect(w, "triangle", UNKNOWN),
                "_metal window or indirect buffer handle not found.",
            ),
            (lambda w, b, t, p: m.draw_indexed_indirect(w, "triangle", b, "uint16", UNKNOWN), "_metal handle not found."),
            (lambda w, b, t, p: m.draw_indexed_indirect(w, "triangle", UNKNOWN, "uint16", b), "_metal handle not found."),
        ],
    )
    def test_unknown_handles_raise_key_error_without_a_frame(self, window, scene, call, message):
        buffer = m.create_buffer(64)
        texture = m.create_render_texture(2, 2)["handle"]
        with pytest.raises(KeyError) as caught:
            call(window, buffer, texture, scene.pipeline())
        assert caught.value.args[0] == message

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda w, b, t, p: m.set_pipeline(w, p), "begin_frame() must be called before set_pipeline()."),
            (lambda w, b, t, p: m.set_vertex_buffer(w, b, 0), "begin_frame() must be called before set_vertex_buffer()."),
            (
                lambda w, b, t, p: m.set_fragment_buffer(w, b, 0),
                "begin_frame() must be called before set_fragment_buffer().",
            ),
            (
                lambda w, b, t, p: m.set_fragment_texture(w, t, 0),
                "begin_frame() must be called before set_fragment_texture().",
            ),
            (lambda w, b, t, p: m.draw(w, "triangle", 0, 3), "begin_frame() must be called before draw()."),
            (lambda w, b, t, p: m.draw_indexed(w, "triangle", b, 3), "begin_frame() must be called before draw_indexed()."),
            (lambda w, b, t, p: m.draw_instanced(w, "triangle", 0, 3, 1), "begin_frame() must be called first."),
            (lambda w, b, t, p: m.draw_indexed_instanced(w, "triangle", b, 3), "begin_frame() must be called first."),
            (lambda w, b, t, p: m.draw_indirect(w, "triangle", b), "begin_frame() must be called first."),
            (lambda w, b, t, p: m.draw_indexed_indirect(w, "triangle", b, "uint16", b), "begin_frame() must be called first."),
        ],
    )
    def test_without_a_frame(self, window, scene, call, message):
        buffer = m.create_buffer(64)
        texture = m.create_render_texture(2, 2)["handle"]
        with pytest.raises(RuntimeError) as caught:
            call(window, buffer, texture, scene.pipeline())
        assert str(caught.value) == message

    def test_instance_count_is_required(self, frame):
        with pytest.raises(TypeError):
            m.draw_instanced(frame, "triangle", 0, 3)

    def test_draw_without_a_pipeline(self, frame):
        with pytest.raises(RuntimeError) as caught:
            m.draw(frame, "triangle", 0, 3)
        assert str(caught.value) == "set_pipeline() must be called before drawing."


ABSURD_INDIRECT_COUNTS = """
    import json, sys
    sys.path.insert(0, {here!r})
    import _quendal._metal as m
    from frame_support import TOP_TRIANGLE, Scene, integers, read_texture, vertices
    window, scene = m.create_window(), Scene(m)
    target = m.create_render_texture(8, 8)["handle"]
    triangle, indices = vertices(m, TOP_TRIANGLE), integers(m, "I", [0, 1, 2])
    pixels = []
    for arguments in ([0xFFFFFFFF, 1, 0, 0], [3, 0xFFFFFFFF, 0, 0], [0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0]):
        m.begin_frame(window, target_texture=target)
        scene.bind(window, scene.pipeline(), triangle, (0, 1, 0, 1))
        if len(arguments) == 5:
            m.draw_indexed_indirect(window, "triangle", indices, "uint32", integers(m, "I", arguments))
        else:
            m.draw_indirect(window, "triangle", integers(m, "I", arguments))
        m.end_frame(window)
        pixels.append(read_texture(m, window, target, 8, 8)[4 * (8 + 4) :][:4].hex())
    print(json.dumps(pixels))
"""


def test_absurd_indirect_counts_are_clamped():
    # Counts of 2^32 vertices or instances, as the GPU reads them, once kept a
    # software driver busy for hours; clamped, each frame ends and still draws.
    code = ABSURD_INDIRECT_COUNTS.replace("{here!r}", repr(os.path.dirname(__file__)))
    pixels = run_python(code, {"QUENDAL_HEADLESS": "1"}, timeout=300)
    assert pixels == ["00ff00ff"] * 3


class TestOutOfRange:
    @pytest.fixture
    def drawing(self, frame, scene):
        scene.bind(frame, scene.pipeline(), vertices(m, TOP_TRIANGLE), GREEN)
        return frame

    @pytest.mark.parametrize("setter", [m.set_vertex_buffer, m.set_fragment_buffer])
    @pytest.mark.parametrize("offset", [-1, 64, 1 << 40])
    def test_buffer_offset_outside_the_buffer(self, frame, setter, offset):
        buffer = m.create_buffer(64)
        with pytest.raises(ValueError) as caught:
            setter(frame, buffer, 0, offset)
        assert str(caught.value) == "offset must be at least 0 and less than the buffer's length."

    @pytest.mark.parametrize("index", [-1, 256, 1 << 33])
    def test_slot_index_outside_the_binding_model(self, frame, index):
        buffer = m.create_buffer(64)
        texture = m.create_render_texture(2, 2)["handle"]
        for call in (
            lambda: m.set_vertex_buffer(frame, buffer, index),
            lambda: m.set_fragment_buffer(frame, buffer, index),
            lambda: m.set_fragment_texture(frame, texture, index),
        ):
            with pytest.raises(ValueError) as caught:
                call()
            assert str(caught.value) == "index must be between 0 and 255."

    def test_points_need_a_vertex_function_that_writes_their_size(self, frame):
        library = m.create_library(source="""
            #ifdef QUENDAL_VERTEX
            void vs() { gl_Position = vec4(0.0, 0.0, 0.5, 1.0); }
            #endif
            #ifdef QUENDAL_FRAGMENT
            layout(location = 0) out vec4 colour;
            void fs() { colour = vec4(1.0); }
            #endif
        """)
        m.set_pipeline(frame, m.create_render_pipeline(library, "vs", "fs"))
        with pytest.raises(RuntimeError) as caught:
            m.draw(frame, "point", 0, 1)
        assert str(caught.value) == "Point draws need a vertex function that writes gl_PointSize."
        m.draw(frame, "triangle", 0, 3)

    def test_misaligned_buffer_offset_is_refused_at_the_draw(self, drawing):
        m.set_fragment_buffer(drawing, floats(m, [1.0] * 8), 0, 4)
        with pytest.raises(ValueError, match=r"^The buffer offset at index 0 must be a multiple of \d+ on this device\.$"):
            m.draw(drawing, "triangle", 0, 3)

    def test_argument_forms_other_than_plain_positional_ones(self, drawing):
        class Count(int):
            pass

        m.draw(drawing, "triangle", True, Count(3))
        m.draw(primitive="triangle", vertex_start=0, vertex_count=3, window=drawing)
        m.draw(drawing, "triangle", 0, vertex_count=3)
        m.draw_indexed(drawing, "triangle", integers(m, "H", [0, 1, 2]), 3)
        with pytest.raises(OverflowError):
            m.draw(drawing, "triangle", 1 << 70, 3)
        with pytest.raises(ValueError, match="embedded null character"):
            m.draw(drawing, "tri\0angle", 0, 3)
        for primitive, count in ((b"triangle", 3), ("triangle", 3.0)):
            with pytest.raises(TypeError):
                m.draw(drawing, primitive, 0, count)
        with pytest.raises(TypeError):
            m.draw(drawing, "triangle", 0, 3, 1)

    @pytest.mark.parametrize(
        "start, count, what",
        [(-1, 3, "vertex_start"), (0, -3, "vertex_count"), (1 << 32, 3, "vertex_start"), (1 << 31, 1 << 31, "vertex_start + vertex_count")],
    )
    def test_vertex_counts(self, drawing, start, count, what):
        with pytest.raises(ValueError) as caught:
            m.draw(drawing, "triangle", start, count)
        assert str(caught.value) == f"{what} must be between 0 and 4294967295."

    def test_negative_instance_count(self, drawing):
        with pytest.raises(ValueError) as caught:
            m.draw_instanced(drawing, "triangle", 0, 3, -1)
        assert str(caught.value) == "instance_count must be between 0 and 4294967295."

    @pytest.mark.parametrize(
        "count, offset, index_type, message",
        [
            (4, 0, "uint16", "The indices lie outside the index buffer."),
            (2, 4, "uint32", "The indices lie outside the index buffer."),
            (1, 1, "uint16", "The index buffer offset must be a non-negative multiple of the index size."),
            (1, -2, "uint16", "The index buffer offset must be a non-negative multiple of the index size."),
            (-1, 0, "uint16", "index_count must be between 0 and 4294967295."),
        ],
    )
    def test_indices_outside_the_buffer(self, drawing, count, offset, index_type, message):
        indices = integers(m, "H", [0, 1, 2])
        with pytest.raises(ValueError) as caught:
            m.draw_indexed(drawing, "triangle", indices, count, index_type=index_type, offset=offset)
        assert str(caught.value) == message
        m.draw_indexed(drawing, "triangle", indices, 3)

    @pytest.mark.parametrize(
        "offset, message",
        [
            (8, "The draw arguments lie outside the indirect buffer."),
            (-4, "The indirect buffer offset must be a non-negative multiple of 4."),
            (2, "The indirect buffer offset must be a non-negative multiple of 4."),
        ],
    )
    def test_indirect_arguments_outside_the_buffer(self, drawing, offset, message):
        arguments = integers(m, "I", [0] * 5)
        with pytest.raises(ValueError) as caught:
            m.draw_indirect(drawing, "triangle", arguments, offset=offset)
        assert str(caught.value) == message
        indices = integers(m, "H", [0, 1, 2])
        with pytest.raises(ValueError) as caught:
            m.draw_indexed_indirect(drawing, "triangle", indices, "uint16", arguments, indirect_offset=offset)
        assert str(caught.value) == message

    def test_indexed_indirect_needs_20_bytes(self, drawing):
        indices = integers(m, "H", [0, 1, 2])
        arguments = integers(m, "I", [3, 1, 0, 0, 0])
        m.draw_indexed_indirect(drawing, "triangle", indices, "uint16", arguments)
        with pytest.raises(ValueError):
            m.draw_indexed_indirect(drawing, "triangle", indices, "uint16", arguments, indirect_offset=4)


class TestBackToBackDraws:
    """Draws that continue one another's vertex range may reach the driver as
    one; what they render must not change."""

    SIZE = 16
    PRIMITIVE_ID = """
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer Vertices { vec4 vertices[]; };
void vs() { gl_Position = vec4(vertices[gl_VertexIndex].xy, 0.5, 1.0); }
#endif
#ifdef QUENDAL_FRAGMENT
layout(location = 0) out vec4 fragment;
void fs() { fragment = gl_PrimitiveID == 0 ? vec4(0.0, 1.0, 0.0, 1.0) : vec4(1.0, 0.0, 0.0, 1.0); }
#endif
"""
    # Left half and right half of the target, one triangle each.
    HALVES = [(-1, -1, 0.5), (0, -1, 0.5), (-1, 1, 0.5), (0, -1, 0.5), (1, -1, 0.5), (1, 1, 0.5)]

    def render(self, window, scene, points, draws, rgba=GREEN, pipeline=None):
        target = m.create_render_texture(self.SIZE, self.SIZE, "rgba8")["handle"]
        m.begin_frame(window, CLEAR, target_texture=target)
        scene.bind(window, pipeline or scene.pipeline(format="rgba8"), vertices(m, points), rgba)
        draws(window)
        m.end_frame(window)
        return read_texture(m, window, target, self.SIZE, self.SIZE)

    def pixel(self, data, x, y):
        """The RGB of the texel under clip-space (x, y), y up."""
        column = min(int((x + 1) / 2 * self.SIZE), self.SIZE - 1)
        row = min(int((1 - y) / 2 * self.SIZE), self.SIZE - 1)
        i = (row * self.SIZE + column) * 4
        return tuple(data[i : i + 3])

    def test_many_small_draws_render_as_one_large_draw(self, window, scene):
        points = []
        for i in range(16):
            x, y = -1 + (i % 4) / 2, -1 + (i // 4) / 2
            points += [(x, y, 0.5), (x + 0.5, y, 0.5), (x, y + 0.5, 0.5)]
        one = self.render(window, scene, points, lambda w: m.draw(w, "triangle", 0, 48))
        many = self.render(window, scene, points, lambda w: [m.draw(w, "triangle", 3 * i, 3) for i in range(16)])
        assert many == one
        assert self.pixel(many, -0.9, -0.9) == (0, 255, 0) and self.pixel(many, -0.6, -0.6) == (0, 0, 0)

    def test_a_draw_ending_inside_a_primitive_keeps_its_leftover_vertices(self, window, scene):
        # Vertex 3 is a stray: joined to the next draw it would take vertex 6's place.
        points = [(-1, 0, 0.5), (0, 0, 0.5), (-1, 1, 0.5), (0, -1, 0.5), (0, -1, 0.5), (1, -1, 0.5), (1, 0, 0.5)]

        def draws(w):
            m.draw(w, "triangle", 0, 4)
            m.draw(w, "triangle", 4, 3)

        shot = self.render(window, scene, points, draws)
        assert self.pixel(shot, -0.8, 0.2) == (0, 255, 0)
        assert self.pixel(shot, 0.8, -0.7) == (0, 255, 0)

    def test_bindings_set_between_draws_apply_to_the_later_one(self, window, scene):
        def draws(w):
            m.draw(w, "triangle", 0, 3)
            m.set_fragment_buffer(w, scene.colour(RED), 0)
            m.draw(w, "triangle", 3, 3)

        shot = self.render(window, scene, self.HALVES, draws)
        assert self.pixel(shot, -0.9, -0.5) == (0, 255, 0)
        assert self.pixel(shot, 0.9, -0.5) == (255, 0, 0)

    def test_primitive_ids_restart_with_each_draw(self, window, scene):
        library = m.create_library(source=self.PRIMITIVE_ID)
        pipeline = m.create_render_pipeline(library, "vs", "fs", format="rgba8")

        def draws(w):
            m.draw(w, "triangle", 0, 3)
            m.draw(w, "triangle", 3, 3)

        shot = self.render(window, scene, self.HALVES, draws, pipeline=pipeline)
        assert self.pixel(shot, -0.9, -0.5) == (0, 255, 0)
        assert self.pixel(shot, 0.9, -0.5) == (0, 255, 0)
