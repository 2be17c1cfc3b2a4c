"""Depth and stencil state: the depth test hides what lies behind, only with a
depth attachment; the stencil test masks a region; names fall back; the one
refusal."""

import threading

import pytest

import _quendal._metal as m
from frame_support import FULL_QUAD, TOP_TRIANGLE, Scene, Screen, near, needs_screen, vertices
from window_support import run_python

RED, GREEN = (1.0, 0.0, 0.0, 1.0), (0.0, 1.0, 0.0, 1.0)
NEAR_RED = [(x, y, 0.2) for x, y, _ in TOP_TRIANGLE]
FAR_QUAD = [(x, y, 0.8) for x, y, _ in FULL_QUAD]


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


def near_then_far(screen, scene, depth, pipeline_options, **state):
    """Draws a near red triangle, then a far green quad; returns the pixel where both lie."""
    w = screen.handle
    m.begin_frame(w, (0, 0, 0, 1), depth=depth)
    pipeline = scene.pipeline(blending=False, **pipeline_options)
    m.set_depth_stencil(w, **state)
    scene.bind(w, pipeline, vertices(m, NEAR_RED), RED)
    m.draw(w, "triangle", 0, 3)
    scene.bind(w, pipeline, vertices(m, FAR_QUAD), GREEN)
    m.draw(w, "triangle_strip", 0, 4)
    m.end_frame(w)
    return screen.pixel(screen.capture(), 0.5, 0.25)


@needs_screen
class TestDepth:
    def test_nearer_hides_farther_with_less(self, screen, scene):
        pixel = near_then_far(screen, scene, True, {"depth_format": "depth32f"}, compare="less", write_enabled=True)
        assert near(pixel, (255, 0, 0))

    def test_default_state_tests_nothing(self, screen, scene):
        pixel = near_then_far(screen, scene, True, {"depth_format": "depth32f"})
        assert near(pixel, (0, 255, 0))

    def test_without_the_depth_flag_there_is_no_test(self, screen, scene):
        pixel = near_then_far(screen, scene, False, {"depth_format": "depth32f"}, compare="less", write_enabled=True)
        assert near(pixel, (0, 255, 0))

    def test_unknown_compare_name_is_less(self, screen, scene):
        pixel = near_then_far(screen, scene, True, {"depth_format": "depth32f"}, compare="LESS", write_enabled=True)
        assert near(pixel, (255, 0, 0))

    def test_greater_keeps_the_farther(self, screen, scene):
        pixel = near_then_far(
            screen, scene, True, {"depth_format": "depth32f"}, compare="greater", write_enabled=True
        )
        # The cleared depth 1.0 is greater than everything: nothing is drawn.
        assert near(pixel, (0, 0, 0))

    def test_depth_with_stencil_in_one_frame(self, screen, scene):
        pixel = near_then_far(
            screen,
            scene,
            True,
            {"depth_format": "depth32f_stencil8"},
            compare="less",
            write_enabled=True,
        )
        assert near(pixel, (255, 0, 0))


@needs_screen
class TestStencil:
    def masked(self, screen, scene, compare, ref=1, op="replace", back=None):
        """Writes ref into the stencil under the top triangle, then draws a green quad tested against it."""
        w = screen.handle
        m.begin_frame(w, (0, 0, 0, 1), stencil=True)
        pipeline = scene.pipeline(stencil_format="stencil8", color_write=False)
        m.set_depth_stencil(w, stencil_pass=op, stencil_ref=ref, stencil_back_pass=back)
        scene.bind(w, pipeline, vertices(m, TOP_TRIANGLE), RED)
        m.draw(w, "triangle", 0, 3)
        m.set_depth_stencil(w, stencil_compare=compare, stencil_ref=ref)
        scene.bind(w, scene.pipeline(stencil_format="stencil8"), vertices(m, FULL_QUAD), GREEN)
        m.draw(w, "triangle_strip", 0, 4)
        m.end_frame(w)
        shot = screen.capture()
        return screen.pixel(shot, 0.5, 0.25), screen.pixel(shot, 0.5, 0.75)

    def test_replace_then_equal_masks_a_region(self, screen, scene):
        assert self.masked(screen, scene, "equal") == ((0, 255, 0), (0, 0, 0))

    def test_not_equal_inverts_the_mask(self, screen, scene):
        assert self.masked(screen, scene, "not_equal") == ((0, 0, 0), (0, 255, 0))

    def test_unknown_operation_is_keep(self, screen, scene):
        assert self.masked(screen, scene, "equal", op="Replace") == ((0, 0, 0), (0, 0, 0))

    def test_reference_is_taken_as_32_bits(self, screen, scene):
        # -1 is 0xFFFFFFFF; the 8-bit stencil keeps 0xFF, which equals it under the 0xFF mask.
        assert self.masked(screen, scene, "equal", ref=-1) == ((0, 255, 0), (0, 0, 0))

    def test_back_faces_use_the_back_pass_operation(self, screen, scene):
        # The top triangle is counter-clockwise on screen, so a back face here.
        assert self.masked(screen, scene, "equal", back="keep") == ((0, 0, 0), (0, 0, 0))


class TestSetDepthStencil:
    @pytest.fixture
    def window(self):
        handle = m.create_window()
        yield handle
        m.close_window(handle)

    MESSAGE = "begin_frame() must be called before set_depth_stencil()."

    def test_without_a_frame(self, window):
        with pytest.raises(RuntimeError) as caught:
            m.set_depth_stencil(window)
        assert str(caught.value) == self.MESSAGE

    def test_unknown_window(self):
        with pytest.raises(RuntimeError) as caught:
            m.set_depth_stencil(987_654_321, "less")
        assert str(caught.value) == self.MESSAGE

    def test_argument_types(self, window):
        m.begin_frame(window)
        with pytest.raises(TypeError):
            m.set_depth_stencil(window, compare=1)
        with pytest.raises(OverflowError):
            m.set_depth_stencil(window, stencil_ref=1 << 40)
        m.set_depth_stencil(window, "less", True, "equal", "incr_wrap", "decr", 7, None)
        m.end_frame(window)

    def test_threads_share_the_cache(self, window):
        m.begin_frame(window)
        errors = []

        def worker():
            try:
                for _ in range(200):
                    m.set_depth_stencil(window, "less_equal", True)
            except Exception as error:  # noqa: BLE001 - reported below
                errors.append(error)

        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        m.end_frame(window)
        assert errors == []



def test_one_state_per_distinct_key():
    # A fresh interpreter, so that the process-wide cache starts empty.
    counts = run_python(
        """
        import json
        import _quendal._metal as m
        w = m.create_window()
        m.begin_frame(w)
        seen = []
        def step(*args, **kwargs):
            m.set_depth_stencil(w, *args, **kwargs)
            seen.append(m.resource_counts()["depth_stencil_states"])
        step()                                                      # 0x700070000
        step("always", False, "always", "keep", "keep", 5, "keep")  # the same key
        step("less", True)                                          # 0x100070001
        step("bogus", True, "always", "bogus", "bogus")             # falls back: 0x100070001
        step("less", True, stencil_pass="zero")
        step("less", True, stencil_pass="zero", stencil_back_pass="zero")
        step("less", True, stencil_pass="zero", stencil_back_pass="keep")
        m.end_frame(w)
        m.close_window(w)
        print(json.dumps(seen))
        """
    )
    assert counts == [1, 1, 2, 2, 3, 3, 4]
