"""Frame pacing: the display link's rate, waits for a refresh, and the frame
slot. Time bounds here are generous: they tell a refresh wait from a time-out,
not how fast anything is."""

import threading
import time

import pytest

import _quendal._metal as m
from window_support import needs_display, pump, unique_title, window_id, xdotool

INVALID = "Invalid window handle."
UNKNOWN = 987_654_321


@pytest.fixture
def window():
    handle = m.create_window()
    yield handle
    m.close_window(handle)


def timed(call, *args):
    start = time.monotonic()
    result = call(*args)
    return result, time.monotonic() - start


class TestTargetFps:
    @pytest.mark.parametrize("requested, granted", [(0, 1), (-5, 1), (1, 1), (2, 2), (30, 30), (60, 60), (120, 60)])
    def test_clamps(self, window, requested, granted):
        # Xvfb and headless screens report no rate, which counts as 60.
        assert m.set_target_fps(window, requested) == granted

    @pytest.mark.parametrize("requested, granted", [(30, 30), (500, 500), (0, 1), (-5, 1)])
    def test_unknown_handle_returns_the_clamped_request(self, requested, granted):
        assert m.set_target_fps(UNKNOWN, requested) == granted

    def test_both_arguments_required(self, window):
        with pytest.raises(TypeError):
            m.set_target_fps(window)


class TestVsync:
    def test_waits_about_one_refresh(self, window):
        m.vsync(window)
        results = [timed(m.vsync, window) for _ in range(10)]
        assert all(result is None for result, _ in results)
        # At 60 Hz nearly every wait ends with a refresh, far inside the 250 ms bound.
        assert sorted(elapsed for _, elapsed in results)[5] < 0.2

    def test_missed_refreshes_collapse_into_one(self, window):
        # At 3 Hz refreshes are 0.33 s apart, further than the 0.25 s bound.
        assert m.set_target_fps(window, 3) == 3
        # Line up with a refresh: a wait that ends well before the bound saw one.
        for _ in range(20):
            _, elapsed = timed(m.vsync, window)
            if elapsed < 0.2:
                break
        else:
            pytest.fail("no refresh at 3 Hz")
        aligned = time.monotonic()
        while time.monotonic() < aligned + 0.69:
            m.consume_actions(window)  # turns the context: two refreshes go unwaited
        _, late = timed(m.vsync, window)
        _, next_wait = timed(m.vsync, window)
        assert late < 0.1
        # The next refresh is 0.3 s away: this wait does not return at once.
        assert 0.2 < next_wait < 1.0

    def test_returns_after_the_time_out_without_refreshes(self, window):
        # Off the main thread, with the main context standing still, the
        # display link cannot fire: the wait ends at its bound.
        outcome = {}

        def worker():
            outcome["result"], outcome["elapsed"] = timed(m.vsync, window)

        thread = threading.Thread(target=worker)
        thread.start()
        thread.join()
        assert outcome["result"] is None
        assert 0.2 < outcome["elapsed"] < 2.0

    @needs_display
    def test_hidden_window_gets_no_refreshes(self):
        title = unique_title()
        handle = m.create_window(title=title)
        try:
            xid = window_id(m, handle, title)
            xdotool(m, handle, "windowunmap", "--sync", xid, settle=0.1)
            waits = [timed(m.vsync, handle)[1] for _ in range(3)]
            assert all(0.2 < wait < 1.0 for wait in waits)
            xdotool(m, handle, "windowmap", "--sync", xid, settle=0.1)
            waits = sorted(timed(m.vsync, handle)[1] for _ in range(5))
            assert waits[2] < 0.2
        finally:
            m.close_window(handle)

    def test_releases_the_interpreter_lock_while_waiting(self, window):
        state = {"started": False, "done": False}

        def worker():
            state["started"] = True
            m.vsync(window)
            state["done"] = True

        thread = threading.Thread(target=worker)
        thread.start()
        while not state["started"]:
            time.sleep(0)
        spins = 0
        while not state["done"]:
            spins += 1
        thread.join()
        assert spins > 1000

    def test_close_wakes_a_waiting_thread(self):
        handle = m.create_window()
        outcome = {}
        entered = threading.Event()

        def worker():
            entered.set()
            try:
                outcome["result"] = m.vsync(handle)
            except Exception as error:  # noqa: BLE001 - reported below
                outcome["error"] = error

        thread = threading.Thread(target=worker)
        thread.start()
        entered.wait()
        time.sleep(0.02)
        m.close_window(handle)
        thread.join(5)
        assert not thread.is_alive()
        assert outcome == {"result": None}

    def test_unknown_and_closed_handles(self):
        closed = m.create_window()
        m.close_window(closed)
        for handle in (UNKNOWN, closed):
            with pytest.raises(ValueError) as error:
                m.vsync(handle)
            assert error.value.args == (INVALID,)


class TestFrameSlot:
    def test_acquire_twice_then_release_twice(self, window):
        assert m.acquire_frame_slot(window) is None
        assert m.acquire_frame_slot(window) is None
        assert m.release_frame_slot(window) is None
        assert m.release_frame_slot(window) is None
        # The slot came free once; taking it again does not wait.
        outcome = {}
        thread = threading.Thread(target=lambda: outcome.setdefault("r", m.acquire_frame_slot(window)))
        thread.start()
        thread.join(5)
        assert not thread.is_alive() and outcome == {"r": None}
        m.release_frame_slot(window)

    def test_release_without_acquire_changes_nothing(self, window):
        assert m.release_frame_slot(window) is None
        assert m.acquire_frame_slot(window) is None
        assert m.release_frame_slot(window) is None

    def test_held_slot_survives_pumping(self, window):
        m.acquire_frame_slot(window)
        pump(m, window, 0.05)
        assert m.acquire_frame_slot(window) is None
        m.release_frame_slot(window)

    @pytest.mark.parametrize("call", [m.acquire_frame_slot, m.release_frame_slot], ids=lambda c: c.__name__)
    def test_unknown_and_closed_handles(self, call):
        closed = m.create_window()
        m.acquire_frame_slot(closed)
        m.close_window(closed)
        for handle in (UNKNOWN, closed):
            with pytest.raises(ValueError) as error:
                call(handle)
            assert error.value.args == (INVALID,)



# Headless, because lavapipe's X11 presentation finishes the frame before
# end_frame returns, so no frame would still be in flight on a screen.
IN_FLIGHT_SCENARIO = '''
import threading
import _quendal._metal as m

SLOW = """
#ifdef QUENDAL_VERTEX
void vs() {
    vec2 corners[3] = vec2[](vec2(-1.0, -1.0), vec2(3.0, -1.0), vec2(-1.0, 3.0));
    gl_Position = vec4(corners[gl_VertexIndex], 0.0, 1.0);
}
#endif
#ifdef QUENDAL_FRAGMENT
layout(location = 0) out vec4 colour;
void fs() {
    float v = gl_FragCoord.x;
    for (int i = 0; i < 4000; ++i) v = fract(sin(v) * 43758.5453);
    colour = vec4(v, 0.0, 0.0, 1.0);
}
#endif
"""

window = m.create_window()
pipeline = m.create_render_pipeline(m.create_library(source=SLOW), "vs", "fs", blending=False)
m.begin_frame(window)
m.set_pipeline(window, pipeline)
m.draw(window, "triangle", 0, 3)
m.end_frame(window)
outcome = {}

def wait_for_slot():
    try:
        outcome["result"] = m.acquire_frame_slot(window)
    except ValueError as error:
        outcome["error"] = error.args[0]

thread = threading.Thread(target=wait_for_slot)
thread.start()
thread.join(0.2)
print("waiting" if thread.is_alive() else "finished early")
m.close_window(window)
thread.join(30)
print("alive" if thread.is_alive() else outcome)
'''


def test_close_window_wakes_a_thread_waiting_for_an_in_flight_frame():
    """The slot is held by a frame the GPU is still drawing; a thread waiting
    for it is woken by close_window and told the window is gone."""
    import os
    import subprocess
    import sys

    result = subprocess.run([sys.executable, "-c", IN_FLIGHT_SCENARIO], capture_output=True, text=True,
                            timeout=120, env={**os.environ, "QUENDAL_HEADLESS": "1"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["waiting", str({"error": INVALID})]
