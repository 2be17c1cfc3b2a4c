"""Blit passes: the pass lifecycle and its errors, the row-stride and buffer
size checks, and pixels really copied into buffers."""

import os
import threading

import pytest

from _quendal import _metal as m
from texture_support import write_png

WINDOW_NOT_FOUND = "_metal window handle not found."
HANDLE_NOT_FOUND = "_metal handle not found."
NO_PASS = "begin_blit() must be called first."
TOO_SMALL = "The destination buffer or row stride is too small."
UNKNOWN = 987_654_321

# The accessibility bridge would start a bus service for the test process.
os.environ.setdefault("NO_AT_BRIDGE", "1")

RED, GREEN, BLUE = (255, 0, 0, 255), (0, 255, 0, 255), (0, 0, 255, 255)
HALF_RED, WHITE, CLEAR = (255, 0, 0, 128), (255, 255, 255, 255), (0, 0, 0, 0)
# The same pixels as the texture holds them: premultiplied, bytes B, G, R, A.
PIXELS_BGRA = [
    bytes([0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255]),
    bytes([0, 0, 128, 128, 255, 255, 255, 255, 0, 0, 0, 0]),
]


@pytest.fixture
def window():
    handle = m.create_window()
    yield handle
    m.close_window(handle)


@pytest.fixture
def resources():
    """Makes textures and buffers and destroys them after the test."""
    made = []

    def texture(width, height, format="rgba8"):
        handle = m.create_render_texture(width, height, format)["handle"]
        made.append((m.destroy_texture, handle))
        return handle

    def image(path):
        handle = m.create_image_texture(path)["handle"]
        made.append((m.destroy_texture, handle))
        return handle

    def buffer(length, fill=b"\0"):
        handle = m.create_buffer(length)
        m.write_buffer(handle, fill * length)
        made.append((m.destroy_buffer, handle))
        return handle

    yield type("Resources", (), {"texture": staticmethod(texture), "image": staticmethod(image),
                                 "buffer": staticmethod(buffer)})
    for destroy, handle in made:
        destroy(handle)


@pytest.fixture
def picture(tmp_path, resources):
    return resources.image(write_png(tmp_path / "picture.png", [[RED, GREEN, BLUE], [HALF_RED, WHITE, CLEAR]]))


def copy(window, texture, buffer, bytes_per_row=0):
    m.begin_blit(window)
    try:
        m.copy_texture_to_buffer(window, texture, buffer, bytes_per_row)
    finally:
        m.end_blit(window)


class TestLifecycle:
    def test_begin_twice(self, window):
        m.begin_blit(window)
        with pytest.raises(RuntimeError) as raised:
            m.begin_blit(window)
        assert raised.value.args == ("A blit pass is already active.",)
        m.end_blit(window)

    def test_end_without_begin(self, window):
        with pytest.raises(RuntimeError) as raised:
            m.end_blit(window)
        assert raised.value.args == ("No blit pass active.",)

    def test_end_twice(self, window):
        m.begin_blit(window)
        m.end_blit(window)
        with pytest.raises(RuntimeError) as raised:
            m.end_blit(window)
        assert raised.value.args == ("No blit pass active.",)

    @pytest.mark.parametrize("function", [m.begin_blit, m.end_blit])
    def test_unknown_window(self, function):
        with pytest.raises(RuntimeError) as raised:
            function(UNKNOWN)
        assert raised.value.args == (WINDOW_NOT_FOUND,)

    def test_empty_pass(self, window):
        m.begin_blit(window)
        assert m.end_blit(window) is None

    def test_passes_of_two_windows_are_independent(self, window):
        other = m.create_window()
        try:
            m.begin_blit(window)
            m.begin_blit(other)
            m.end_blit(window)
            m.end_blit(other)
        finally:
            m.close_window(other)

    def test_closing_the_window_drops_the_pass_uncommitted(self, picture, resources):
        window = m.create_window()
        buffer = resources.buffer(24, b"\xaa")
        m.begin_blit(window)
        m.copy_texture_to_buffer(window, picture, buffer)
        m.close_window(window)
        other = m.create_window()
        try:
            m.begin_blit(other)
            m.end_blit(other)
        finally:
            m.close_window(other)
        assert m.read_buffer(buffer) == b"\xaa" * 24

    @pytest.mark.skipif(not hasattr(m, "begin_frame"), reason="render frames are not built")
    def test_begin_during_render_frame(self, window, resources):
        target = resources.texture(4, 4, "bgra8")
        m.begin_frame(window, target_texture=target)
        try:
            with pytest.raises(RuntimeError) as raised:
                m.begin_blit(window)
            assert raised.value.args == ("End the render pass before starting a blit pass.",)
        finally:
            m.end_frame(window)
        m.begin_blit(window)
        m.end_blit(window)

    @pytest.mark.skipif(not hasattr(m, "begin_frame"), reason="render frames are not built")
    def test_offscreen_frame_is_submitted_before_the_pass(self, window, resources):
        target = resources.texture(2, 2, "bgra8")
        buffer = resources.buffer(16, b"\xaa")
        m.begin_frame(window, clear_color=(1.0, 0.0, 0.0, 1.0), target_texture=target)
        m.end_frame(window)
        copy(window, target, buffer)
        assert m.read_buffer(buffer) == bytes([0, 0, 255, 255]) * 4

    @pytest.mark.skipif(not hasattr(m, "begin_frame"), reason="render frames are not built")
    def test_pass_after_frames_into_two_targets(self, window, resources):
        # The pass and the frames pending before it reach the GPU together, in
        # the order encoded: the last frame into a target wins.
        first, second = resources.texture(2, 2, "bgra8"), resources.texture(2, 2, "bgra8")
        into_first, into_second = resources.buffer(16, b"\xaa"), resources.buffer(16, b"\xaa")
        for target, colour in ((first, (1.0, 0.0, 0.0, 1.0)), (second, (0.0, 1.0, 0.0, 1.0)),
                               (first, (0.0, 0.0, 1.0, 1.0))):
            m.begin_frame(window, clear_color=colour, target_texture=target)
            m.end_frame(window)
        m.begin_blit(window)
        m.copy_texture_to_buffer(window, first, into_first)
        m.copy_texture_to_buffer(window, second, into_second)
        m.end_blit(window)
        assert m.read_buffer(into_first) == bytes([255, 0, 0, 255]) * 4
        assert m.read_buffer(into_second) == bytes([0, 255, 0, 255]) * 4

    @pytest.mark.skipif(not hasattr(m, "begin_frame"), reason="render frames are not built")
    def test_frame_encoded_during_a_pass_reaches_the_next_one(self, window, resources):
        target = resources.texture(2, 2, "bgra8")
        buffer = resources.buffer(16, b"\xaa")
        before = m.resource_counts()["offscreen_command_buffers"]
        m.begin_frame(window, clear_color=(1.0, 0.0, 0.0, 1.0), target_texture=target)
        m.end_frame(window)
        m.begin_blit(window)
        m.begin_frame(window, clear_color=(0.0, 1.0, 0.0, 1.0), target_texture=target)
        m.end_frame(window)
        m.end_blit(window)
        assert m.resource_counts()["offscreen_command_buffers"] == before + 1
        copy(window, target, buffer)
        assert m.resource_counts()["offscreen_command_buffers"] == before
        assert m.read_buffer(buffer) == bytes([0, 255, 0, 255]) * 4


    @pytest.mark.skipif(not hasattr(m, "begin_frame"), reason="render frames are not built")
    def test_pass_right_after_onscreen_frames(self, window, picture, resources):
        # end_blit waits holding the state lock while the frames' completion
        # handlers want it.
        buffer = resources.buffer(24)
        for _ in range(5):
            m.begin_frame(window)
            m.end_frame(window)
            copy(window, picture, buffer)
        assert m.read_buffer(buffer) == b"".join(PIXELS_BGRA)


class TestEncodingErrors:
    @pytest.mark.parametrize("which", ["window", "texture", "buffer"])
    @pytest.mark.parametrize("in_pass", [False, True])
    def test_copy_with_unknown_handle(self, window, resources, which, in_pass):
        handles = {"window": window, "texture": resources.texture(4, 2), "buffer": resources.buffer(32)}
        handles[which] = UNKNOWN
        if in_pass:
            m.begin_blit(window)
        try:
            with pytest.raises(KeyError) as raised:
                m.copy_texture_to_buffer(handles["window"], handles["texture"], handles["buffer"])
            assert raised.value.args == (HANDLE_NOT_FOUND,)
        finally:
            if in_pass:
                m.end_blit(window)

    def test_copy_without_pass(self, window, resources):
        with pytest.raises(RuntimeError) as raised:
            m.copy_texture_to_buffer(window, resources.texture(4, 2), resources.buffer(32))
        assert raised.value.args == (NO_PASS,)

    @pytest.mark.parametrize("which", ["window", "texture"])
    def test_mipmaps_with_unknown_handle(self, window, resources, which):
        handles = {"window": window, "texture": resources.texture(4, 2)}
        handles[which] = UNKNOWN
        with pytest.raises(KeyError) as raised:
            m.generate_mipmaps(handles["window"], handles["texture"])
        assert raised.value.args == (HANDLE_NOT_FOUND,)

    def test_mipmaps_without_pass(self, window, resources):
        with pytest.raises(RuntimeError) as raised:
            m.generate_mipmaps(window, resources.texture(4, 2))
        assert raised.value.args == (NO_PASS,)

    def test_mipmaps_of_a_single_level_texture(self, window, resources):
        m.begin_blit(window)
        m.generate_mipmaps(window=window, texture=resources.texture(8, 8))
        m.end_blit(window)


class TestStride:
    @pytest.mark.parametrize(
        "length, bytes_per_row, fits",
        [(32, 0, True), (32, 16, True), (32, 15, False), (31, 0, False), (40, 20, True), (39, 20, False),
         (32, -1, False), (32, -16, False), (1 << 20, 1 << 62, False)],
    )
    def test_rgba8_4x2(self, window, resources, length, bytes_per_row, fits):
        texture = resources.texture(4, 2, "rgba8")
        buffer = resources.buffer(length)
        m.begin_blit(window)
        try:
            if fits:
                m.copy_texture_to_buffer(window, texture, buffer, bytes_per_row=bytes_per_row)
            else:
                with pytest.raises(ValueError) as raised:
                    m.copy_texture_to_buffer(window, texture, buffer, bytes_per_row=bytes_per_row)
                assert raised.value.args == (TOO_SMALL,)
        finally:
            m.end_blit(window)

    @pytest.mark.parametrize("length, fits", [(6, True), (5, False)])
    def test_r8_default_stride_is_unaligned_width(self, window, resources, length, fits):
        texture = resources.texture(3, 2, "r8")
        buffer = resources.buffer(length)
        m.begin_blit(window)
        try:
            if fits:
                m.copy_texture_to_buffer(window, texture, buffer)
            else:
                with pytest.raises(ValueError, match="^The destination buffer or row stride is too small.$"):
                    m.copy_texture_to_buffer(window, texture, buffer)
        finally:
            m.end_blit(window)

    @pytest.mark.parametrize("name, bytes_per_pixel", [("rgba16f", 8), ("r16f", 2), ("rg32f", 8), ("r32f", 4)])
    def test_default_stride_follows_the_format(self, window, resources, name, bytes_per_pixel):
        texture = resources.texture(5, 3, name)
        m.begin_blit(window)
        try:
            m.copy_texture_to_buffer(window, texture, resources.buffer(5 * 3 * bytes_per_pixel))
            with pytest.raises(ValueError):
                m.copy_texture_to_buffer(window, texture, resources.buffer(5 * 3 * bytes_per_pixel - 1))
        finally:
            m.end_blit(window)

    def test_failed_copy_leaves_the_pass_open(self, window, resources, picture):
        buffer = resources.buffer(24, b"\xaa")
        m.begin_blit(window)
        with pytest.raises(ValueError):
            m.copy_texture_to_buffer(window, picture, buffer, 4)
        m.copy_texture_to_buffer(window, picture, buffer)
        m.end_blit(window)
        assert m.read_buffer(buffer) == b"".join(PIXELS_BGRA)


class TestPixels:
    def test_image_texture_reads_back_top_row_first(self, window, resources, picture):
        buffer = resources.buffer(24, b"\xaa")
        copy(window, picture, buffer)
        assert m.read_buffer(buffer) == b"".join(PIXELS_BGRA)

    @pytest.mark.parametrize("bytes_per_row", [16, 13, 64])
    def test_wide_stride_leaves_the_gap_alone(self, window, resources, picture, bytes_per_row):
        buffer = resources.buffer(bytes_per_row * 2, b"\xaa")
        copy(window, picture, buffer, bytes_per_row)
        data = m.read_buffer(buffer)
        gap = b"\xaa" * (bytes_per_row - 12)
        assert data == PIXELS_BGRA[0] + gap + PIXELS_BGRA[1] + gap

    def test_two_copies_in_one_pass(self, window, resources, picture):
        first, second = resources.buffer(24), resources.buffer(48, b"\x11")
        m.begin_blit(window)
        m.copy_texture_to_buffer(window, picture, first)
        m.copy_texture_to_buffer(window, picture, second, 24)
        m.end_blit(window)
        assert m.read_buffer(first) == b"".join(PIXELS_BGRA)
        assert m.read_buffer(second, 0, 12) == PIXELS_BGRA[0]
        assert m.read_buffer(second, 24, 12) == PIXELS_BGRA[1]

    def test_texture_destroyed_inside_the_pass_is_still_copied(self, window, tmp_path, resources):
        texture = m.create_image_texture(write_png(tmp_path / "one.png", [[GREEN]]))["handle"]
        buffer = resources.buffer(4)
        m.begin_blit(window)
        m.copy_texture_to_buffer(window, texture, buffer)
        m.destroy_texture(texture)
        m.end_blit(window)
        assert m.read_buffer(buffer) == bytes([0, 255, 0, 255])

    def test_pass_from_another_thread(self, window, resources, picture):
        buffer = resources.buffer(24)
        errors = []

        def work():
            try:
                copy(window, picture, buffer)
            except Exception as error:  # reported to the main thread
                errors.append(error)

        worker = threading.Thread(target=work)
        worker.start()
        # begin_blit and end_blit run on the main thread: keep its context turning.
        while worker.is_alive():
            m.vsync(window)
        worker.join()
        assert errors == []
        assert m.read_buffer(buffer) == b"".join(PIXELS_BGRA)
