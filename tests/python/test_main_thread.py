"""The main-thread runtime: inline on the main thread, queued onto the default
main context from workers, with the interpreter lock released while waiting."""

import threading
import time

import pytest


@pytest.fixture
def host(testing_dir):
    import _quendal_testhost
    return _quendal_testhost


def test_on_the_main_thread_the_block_runs_inline(host):
    assert host.is_main_thread()
    assert host.run_on_main_sync(0.0) == (True, True)
    assert not host.application_is_running()


def test_worker_blocks_run_on_the_main_thread_while_its_loop_runs(host):
    outcome = {}

    def worker():
        deadline = time.monotonic() + 5
        while not host.application_is_running() and time.monotonic() < deadline:
            time.sleep(0.005)
        outcome["running"] = host.application_is_running()
        outcome["main"] = host.is_main_thread()
        outcome["ran"] = host.run_on_main_sync(0.0)
        host.quit_main_loop()

    t = threading.Thread(target=worker)
    t.start()
    host.run_main_loop(10.0)
    t.join()
    assert outcome == {"running": True, "main": False, "ran": (True, False)}


def test_worker_releases_the_interpreter_lock_while_waiting(host):
    """While one worker waits for a slow main-thread block, a third thread
    keeps running Python code."""
    progress = []
    stop = threading.Event()
    window = {}

    def counter():
        while not stop.is_set():
            progress.append(time.monotonic())
            time.sleep(0.001)

    def worker():
        window["start"] = time.monotonic()
        host.run_on_main_sync(0.3)
        window["end"] = time.monotonic()
        host.quit_main_loop()

    c = threading.Thread(target=counter)
    w = threading.Thread(target=worker)
    c.start()
    w.start()
    host.run_main_loop(10.0)
    w.join()
    stop.set()
    c.join()
    during = [t for t in progress if window["start"] < t < window["end"]]
    assert len(during) > 10


def test_without_a_running_loop_the_application_is_not_running(host):
    seen = []
    t = threading.Thread(target=lambda: seen.append(host.application_is_running()))
    t.start()
    t.join()
    assert seen == [False]
