"""Windows and threads: creation needs the main thread or a running main loop;
a worker thread can then create, title and close windows through it."""

import threading
import time

import pytest

import _quendal._metal as m
import window_support  # noqa: F401 - test-process environment for windows


def in_thread(work):
    outcome = {}

    def run():
        try:
            outcome["result"] = work()
        except Exception as error:  # noqa: BLE001 - reported to the test
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    return thread, outcome


def test_off_the_main_thread_without_a_running_loop():
    thread, outcome = in_thread(m.create_window)
    thread.join(10)
    error = outcome["error"]
    assert type(error) is RuntimeError
    assert error.args == ("Create desktop scene windows on the main Python thread.",)


def test_bad_orientation_is_checked_before_the_thread():
    thread, outcome = in_thread(lambda: m.create_window(orientation="upside-down"))
    thread.join(10)
    assert type(outcome["error"]) is ValueError


def test_worker_uses_the_running_main_loop(testing_dir):
    import _quendal_testhost as host

    def work():
        try:
            while not host.application_is_running():
                time.sleep(0.01)
            handle = m.create_window(title="From a worker", orientation="portrait")
            m.set_title(handle, "Renamed by a worker")
            m.set_action_label(handle, "Go")
            metrics = m.window_metrics(handle)
            actions = m.consume_actions(handle)
            fps = m.set_target_fps(handle, 30)
            m.vsync(handle)
            m.close_window(handle)
            with pytest.raises(KeyError):
                m.window_metrics(handle)
            return metrics, actions, fps
        finally:
            host.quit_main_loop()

    thread, outcome = in_thread(work)
    host.run_main_loop(20.0)
    thread.join(10)
    assert "error" not in outcome, outcome.get("error")
    metrics, actions, fps = outcome["result"]
    assert metrics["size"] == (540.0, 800.0)
    assert actions == {"action": 0, "close": 0}
    assert fps == 30
