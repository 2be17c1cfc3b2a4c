"""Render frames: onscreen frames reach the screen, offscreen frames wait for
the next onscreen frame, the clear colour rules, the frame slot on every path,
and each lifecycle error with its exact message."""

import subprocess
import threading
import time

import pytest

import _quendal._metal as m
from frame_support import FULL_QUAD, TOP_TRIANGLE, Scene, Screen, near, needs_screen, read_texture, vertices
from window_support import needs_display, pump, run_python

UNKNOWN = 987_654_321
DEFAULT_CLEAR = (8, 10, 15)  # (0.03, 0.04, 0.06) in 8 bits


@pytest.fixture
def window():
    handle = m.create_window()
    yield handle
    m.close_window(handle)


@pytest.fixture(scope="module")
def screen():
    if needs_screen.args[0]:
        pytest.skip(needs_screen.kwargs["reason"])
    s = Screen(m)
    yield s
    s.close()


def finishes(handle, call, timeout=10.0) -> bool:
    """Whether call() returns on another thread within timeout (a lost frame
    slot would block it for ever). The main context turns meanwhile, as the
    frame's main-thread steps need."""
    done = threading.Event()

    def worker():
        call()
        done.set()

    threading.Thread(target=worker, daemon=True).start()
    deadline = time.monotonic() + timeout
    while not done.is_set() and time.monotonic() < deadline:
        m.vsync(handle)
    return done.is_set()


def one_frame(handle, **options):
    m.begin_frame(handle, **options)
    m.end_frame(handle)


@needs_screen
class TestClearColour:
    def cleared(self, screen, colour):
        m.begin_frame(screen.handle, colour)
        m.end_frame(screen.handle)
        return screen.pixel(screen.capture(), 0.5, 0.5)

    def test_red(self, screen):
        assert self.cleared(screen, (1, 0, 0, 1)) == (255, 0, 0)

    @pytest.mark.parametrize(
        "colour", [None, (1, 0, 0), (1, 0, 0, 1, 1), "abcd", (1, "x", 0, 1), 5, [0.0, 1.0, 0.0, object()]]
    )
    def test_anything_but_four_floats_is_the_default(self, screen, colour):
        assert near(self.cleared(screen, colour), DEFAULT_CLEAR, 1)

    def test_a_list_of_four_ints(self, screen):
        assert self.cleared(screen, [0, 0, 1, 1]) == (0, 0, 255)

    def test_without_a_colour(self, screen):
        one_frame(screen.handle)
        assert near(screen.pixel(screen.capture(), 0.5, 0.5), DEFAULT_CLEAR, 1)


@needs_screen
class TestOnscreen:
    def test_many_frames_complete(self, screen):
        # Each begin_frame waits for the frame before it: a slot that never came
        # back from the GPU would block here.
        assert finishes(screen.handle, lambda: [one_frame(screen.handle, clear_color=(0, 1, 0, 1)) for _ in range(30)])
        assert screen.pixel(screen.capture(), 0.1, 0.9) == (0, 255, 0)

    def test_offscreen_frames_go_with_the_next_onscreen_frame(self, screen):
        scene = Scene(m)
        texture = m.create_render_texture(8, 8)["handle"]
        w = screen.handle
        one_frame(w, clear_color=(1, 1, 0, 1), target_texture=texture)
        m.begin_frame(w, (0, 0, 0, 1))
        scene.bind(w, scene.pipeline(fragment="fs_textured", blending=False), vertices(m, TOP_TRIANGLE), (0, 0, 0, 0))
        m.set_fragment_texture(w, texture, 0)
        m.draw(w, "triangle", 0, 3)
        m.end_frame(w)
        assert screen.pixel(screen.capture(), 0.5, 0.25) == (255, 255, 0)

    def test_sampling_the_frame_target_reads_zero(self, screen):
        scene = Scene(m)
        texture = m.create_render_texture(8, 8)["handle"]
        w = screen.handle
        one_frame(w, clear_color=(1, 1, 1, 1), target_texture=texture)
        m.begin_frame(w, (0, 0, 1, 1), target_texture=texture)
        scene.bind(w, scene.pipeline(fragment="fs_textured", blending=False), vertices(m, FULL_QUAD), (0, 0, 0, 1))
        m.set_fragment_texture(w, texture, 0)
        m.draw(w, "triangle_strip", 0, 4)
        m.end_frame(w)
        m.begin_frame(w, (0, 0, 0, 1))
        scene.bind(w, scene.pipeline(fragment="fs_textured", blending=False), vertices(m, TOP_TRIANGLE), (0, 0, 0, 0))
        m.set_fragment_texture(w, texture, 0)
        m.draw(w, "triangle", 0, 3)
        m.end_frame(w)
        # The offscreen frame drew black over its own blue clear, not the white it held.
        assert screen.pixel(screen.capture(), 0.5, 0.25) == (0, 0, 0)


@needs_display
def test_a_resized_window_presents_at_its_new_size():
    screen = Screen(m)
    try:
        one_frame(screen.handle, clear_color=(1, 0, 0, 1), depth=True, stencil=True, sample_count=4)
        screen.capture()
        subprocess.run(["xdotool", "windowsize", screen.xid, "400", "300"], check=True)
        pump(m, screen.handle, 0.3)
        width, height = m.window_metrics(screen.handle)["pixel_size"]
        screen.width, screen.height = int(width), int(height)
        assert (screen.width, screen.height) == (400, 300)
        one_frame(screen.handle, clear_color=(0, 0, 1, 1), depth=True, stencil=True, sample_count=4)
        shot = screen.capture()
        assert screen.pixel(shot, 0.99, 0.99) == (0, 0, 255)
    finally:
        screen.close()


class TestLifecycleErrors:
    def test_unknown_window(self):
        for call in (lambda: m.begin_frame(UNKNOWN), lambda: m.end_frame(UNKNOWN)):
            with pytest.raises(RuntimeError) as caught:
                call()
            assert str(caught.value) == "_metal window handle not found."

    def test_two_begin_frames(self, window):
        m.begin_frame(window)
        with pytest.raises(RuntimeError) as caught:
            m.begin_frame(window)
        assert str(caught.value) == "A Metal frame is already active for this window."
        m.end_frame(window)
        assert finishes(window, lambda: one_frame(window))

    def test_end_frame_without_begin_gives_back_the_slot(self, window):
        m.acquire_frame_slot(window)
        with pytest.raises(RuntimeError) as caught:
            m.end_frame(window)
        assert str(caught.value) == "begin_frame() must be called before end_frame()."
        assert finishes(window, lambda: one_frame(window))

    def test_unknown_target_texture_takes_no_slot(self, window):
        for _ in range(2):
            with pytest.raises(RuntimeError) as caught:
                m.begin_frame(window, target_texture=UNKNOWN)
            assert str(caught.value) == "_metal target texture handle not found."
        assert finishes(window, lambda: one_frame(window))
        m.release_frame_slot(window)

    def test_failed_onscreen_begin_gives_back_a_held_slot(self, window):
        m.acquire_frame_slot(window)
        m.begin_frame(window)
        with pytest.raises(RuntimeError):
            m.begin_frame(window)
        m.end_frame(window)
        assert finishes(window, lambda: [one_frame(window) for _ in range(3)])

    def test_texture_that_cannot_be_drawn_into(self, window, tmp_path):
        from texture_support import write_png

        image = m.create_image_texture(write_png(tmp_path / "one.png", [[(1, 2, 3, 255)]]))["handle"]
        with pytest.raises(RuntimeError) as caught:
            m.begin_frame(window, target_texture=image)
        assert str(caught.value) == "Failed to create a Metal render encoder."
        assert finishes(window, lambda: one_frame(window))

    @pytest.mark.parametrize("count", [3, 5, 1000])
    def test_unsupported_sample_count(self, window, count):
        with pytest.raises(ValueError, match=rf"^sample_count {count} is not supported by this device \(supported: 1(, \d+)*\)\.$"):
            m.begin_frame(window, sample_count=count)
        assert finishes(window, lambda: one_frame(window))

    def test_sample_counts_below_one_as_signed_are_one(self, window):
        one_frame(window, sample_count=0)
        one_frame(window, sample_count=(1 << 32) - 1)
        one_frame(window, sample_count=1 << 31)


class TestOffscreen:
    def test_offscreen_frames_leave_the_slot_alone(self, window):
        texture = m.create_render_texture(16, 16)["handle"]
        m.acquire_frame_slot(window)
        for _ in range(3):
            one_frame(window, clear_color=(0, 1, 0, 1), target_texture=texture, depth=True, sample_count=4)
        m.release_frame_slot(window)
        assert finishes(window, lambda: one_frame(window))

    def test_rgba16f_target_with_every_attachment(self, window):
        scene = Scene(m)
        texture = m.create_render_texture(32, 16, "rgba16f")["handle"]
        m.begin_frame(window, target_texture=texture, depth=True, stencil=True, sample_count=4)
        scene.bind(window, scene.pipeline(), vertices(m, TOP_TRIANGLE), (1, 0, 0, 1))
        m.set_depth_stencil(window, "less", True, stencil_pass="replace", stencil_ref=3)
        m.draw(window, "triangle", 0, 3)
        m.end_frame(window)
        one_frame(window)

    def test_destroyed_target_stays_alive_while_pending(self, window):
        texture = m.create_render_texture(8, 8)["handle"]
        m.begin_frame(window, target_texture=texture)
        m.destroy_texture(texture)
        m.end_frame(window)
        one_frame(window)


class TestTargetOfAnOpenFrame:
    """A texture that an open offscreen frame renders into is refused elsewhere
    until that frame ends; then the same use works and sees the frame's pixels."""

    MESSAGE = "The texture is the target of the open frame of window {}; end that frame first."
    KERNEL = """
    layout(set = 1, binding = 0, rgba8) uniform writeonly image2D image;
    void fill() { imageStore(image, ivec2(gl_GlobalInvocationID.xy), vec4(1.0)); }
    """

    @pytest.fixture
    def open_frame(self, window):
        texture = m.create_render_texture(8, 8, "rgba8")["handle"]
        m.begin_frame(window, clear_color=(0, 1, 0, 1), target_texture=texture)
        yield texture, self.MESSAGE.format(window)
        m.destroy_texture(texture)

    @pytest.fixture
    def other(self):
        handle = m.create_window(title="other")
        yield handle
        m.close_window(handle)

    def test_compute_pass_of_this_or_another_window(self, window, other, open_frame):
        texture, message = open_frame
        pipeline = m.create_compute_pipeline(m.create_library(source=self.KERNEL), "fill")
        for handle in (window, other):
            m.begin_compute(handle)
            m.set_compute_pipeline(handle, pipeline)
            with pytest.raises(RuntimeError) as raised:
                m.set_compute_texture(handle, texture, 0)
            assert str(raised.value) == message
            m.end_compute(handle)
        m.end_frame(window)
        m.begin_compute(other)
        m.set_compute_pipeline(other, pipeline)
        m.set_compute_texture(other, texture, 0)
        m.dispatch_compute(other, 8, 8, 1, 1, 1, 1)
        m.end_compute(other)

    def test_blit_pass_of_another_window(self, window, other, open_frame):
        texture, message = open_frame
        buffer = m.create_buffer(8 * 8 * 4)
        m.begin_blit(other)
        for call in (lambda: m.copy_texture_to_buffer(other, texture, buffer), lambda: m.generate_mipmaps(other, texture)):
            with pytest.raises(RuntimeError) as raised:
                call()
            assert str(raised.value) == message
        m.end_blit(other)
        m.end_frame(window)
        assert read_texture(m, window, texture, 8, 8)[:4] == bytes([0, 255, 0, 255])

    def test_sampled_or_rendered_into_by_another_window(self, window, other, open_frame):
        texture, message = open_frame
        scene = Scene(m)
        target = m.create_render_texture(8, 8, "rgba8")["handle"]
        m.begin_frame(other, target_texture=target)
        scene.bind(other, scene.pipeline(fragment="fs_textured", format="rgba8"), vertices(m, FULL_QUAD), (0, 0, 0, 0))
        with pytest.raises(RuntimeError) as raised:
            m.set_fragment_texture(other, texture, 0)
        assert str(raised.value) == message
        m.end_frame(other)
        with pytest.raises(RuntimeError) as raised:
            m.begin_frame(other, target_texture=texture)
        assert str(raised.value) == message
        m.end_frame(window)
        m.begin_blit(window)  # submits the frame that rendered texture
        m.end_blit(window)
        m.begin_frame(other, target_texture=target)
        scene.bind(other, scene.pipeline(fragment="fs_textured", format="rgba8"), vertices(m, FULL_QUAD), (0, 0, 0, 0))
        m.set_fragment_texture(other, texture, 0)
        m.draw(other, "triangle_strip", 0, 4)
        m.end_frame(other)
        assert read_texture(m, other, target, 8, 8)[:4] == bytes([0, 255, 0, 255])


class TestClose:
    def test_close_with_an_open_frame(self):
        handle = m.create_window()
        texture = m.create_render_texture(8, 8)["handle"]
        one_frame(handle, target_texture=texture)
        m.begin_frame(handle, depth=True)
        m.close_window(handle)
        with pytest.raises(RuntimeError):
            m.end_frame(handle)
        # The texture's layout is still known: it can be drawn into again.
        other = m.create_window()
        one_frame(other, target_texture=texture)
        one_frame(other)
        m.close_window(other)

    def test_close_with_a_frame_in_flight(self):
        handle = m.create_window()
        one_frame(handle)
        m.close_window(handle)


def test_frames_without_a_display():
    result = run_python(
        """
        import json
        import _quendal._metal as m
        w = m.create_window()
        t = m.create_render_texture(8, 8)["handle"]
        for target in (0, t, 0):
            for _ in range(3):
                m.begin_frame(w, (1, 0, 0, 1), target_texture=target, depth=True, sample_count=4)
                m.end_frame(w)
        m.close_window(w)
        print(json.dumps({"ok": True}))
        """,
        env_update={"QUENDAL_HEADLESS": "1"},
    )
    assert result == {"ok": True}


class TestReadBack:
    def test_offscreen_clear_is_red(self, window):
        texture = m.create_render_texture(4, 2)["handle"]
        one_frame(window, clear_color=(1, 0, 0, 1), target_texture=texture)
        assert read_texture(m, window, texture, 4, 2) == bytes([0, 0, 255, 255]) * 8

    def test_default_clear_in_rgba8(self, window):
        texture = m.create_render_texture(2, 2, "rgba8")["handle"]
        one_frame(window, clear_color="abcd", target_texture=texture)
        assert read_texture(m, window, texture, 2, 2) == bytes([8, 10, 15, 255]) * 4

    def test_multisampled_triangle_resolves_into_the_target(self, window):
        scene = Scene(m)
        texture = m.create_render_texture(16, 16)["handle"]
        m.begin_frame(window, (0, 0, 0, 1), target_texture=texture, sample_count=4)
        scene.bind(window, scene.pipeline(sample_count=4), vertices(m, [(-1, -1, 0.5), (1, -0.9, 0.5), (-1, 1, 0.5)]), (1, 1, 1, 1))
        m.draw(window, "triangle", 0, 3)
        m.end_frame(window)
        reds = set(read_texture(m, window, texture, 16, 16)[2::4])
        assert {0, 255} <= reds and len(reds) > 2

    def test_top_is_top(self, window):
        scene = Scene(m)
        texture = m.create_render_texture(8, 8)["handle"]
        m.begin_frame(window, (0, 0, 0, 1), target_texture=texture)
        scene.bind(window, scene.pipeline(), vertices(m, TOP_TRIANGLE), (0, 1, 0, 1))
        m.draw(window, "triangle", 0, 3)
        m.end_frame(window)
        pixels = read_texture(m, window, texture, 8, 8)
        assert pixels[(1 * 8 + 4) * 4 + 1] == 255
        assert pixels[(6 * 8 + 4) * 4 + 1] == 0


class TestCounts:
    def test_offscreen_work_waits_for_a_blit_or_an_onscreen_frame(self, window):
        texture = m.create_render_texture(8, 8)["handle"]
        before = m.resource_counts()["offscreen_command_buffers"]
        one_frame(window, target_texture=texture)
        one_frame(window, target_texture=texture)
        assert m.resource_counts()["offscreen_command_buffers"] == before + 1
        one_frame(window)
        assert m.resource_counts()["offscreen_command_buffers"] == before
        one_frame(window, target_texture=texture)
        m.begin_blit(window)
        assert m.resource_counts()["offscreen_command_buffers"] == before
        m.end_blit(window)

    def test_close_drops_pending_offscreen_work(self):
        handle = m.create_window()
        texture = m.create_render_texture(8, 8)["handle"]
        before = m.resource_counts()
        one_frame(handle, target_texture=texture)
        m.begin_frame(handle)
        during = m.resource_counts()
        assert during["frame_autorelease_pools"] == before["frame_autorelease_pools"] + 1
        assert during["active_frames"] == before["active_frames"] + 1
        m.close_window(handle)
        after = m.resource_counts()
        for key in ("offscreen_command_buffers", "frame_autorelease_pools", "active_frames"):
            assert after[key] == before[key], key

    def test_submitted_then_completed(self, window):
        before = m.resource_counts()
        m.begin_frame(window)
        assert m.resource_counts()["submitted_frames"] == before["submitted_frames"]
        m.end_frame(window)
        assert m.resource_counts()["submitted_frames"] == before["submitted_frames"] + 1
        m.acquire_frame_slot(window)
        assert m.resource_counts()["completed_frames"] == before["completed_frames"] + 1
        assert m.resource_counts()["frame_autorelease_pools"] == before["frame_autorelease_pools"]
        m.release_frame_slot(window)

    def test_attachment_caches_and_their_estimates(self, window):
        texture = m.create_render_texture(10, 10)["handle"]
        other = m.create_render_texture(20, 10)["handle"]
        base = m.resource_counts()["window_texture_bytes"]
        one_frame(window, target_texture=texture, depth=True)
        assert m.resource_counts()["window_texture_bytes"] == base + 400
        one_frame(window, target_texture=texture, stencil=True)
        assert m.resource_counts()["window_texture_bytes"] == base + 500
        one_frame(window, target_texture=texture, depth=True, stencil=True, sample_count=4)
        # Depth 4, stencil 1 and colour 4 bytes per sample, 4 samples.
        assert m.resource_counts()["window_texture_bytes"] == base + 100 * 4 * 9
        one_frame(window, target_texture=texture)
        assert m.resource_counts()["window_texture_bytes"] == base + 100 * 4 * 9
        one_frame(window, target_texture=other, depth=True, stencil=True, sample_count=4)
        assert m.resource_counts()["window_texture_bytes"] == base + 200 * 4 * 9
