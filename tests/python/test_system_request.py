"""The request model: results, failures, the bounded sample buffer and wake-ups,
driven through the test-only probe, which builds the same protocol from the
same sources as _quendal._system."""

import json
import threading

import pytest


@pytest.fixture
def probe(testing_dir):
    import _quendal_systemprobe

    return _quendal_systemprobe


def snap(probe, handle, interval=0.0, consume=True):
    return json.loads(probe.poll(handle, interval, consume))


class TestOutcome:
    def test_finish_with_value(self, probe):
        handle = probe.make_request()
        probe.finish(handle, '{"a": [1, 2.5, "x", null, true]}')
        state = snap(probe, handle)
        assert state["done"] is True and state["error"] is None
        assert state["result"] == {"a": [1, 2.5, "x", None, True]}

    def test_finish_with_absent_value(self, probe):
        handle = probe.make_request()
        probe.finish(handle, None)
        state = snap(probe, handle)
        assert state["done"] is True and state["result"] is None and state["error"] is None

    def test_fail_with_absent_message(self, probe):
        handle = probe.make_request()
        probe.fail(handle, "os", None)
        assert snap(probe, handle)["error"] == {"kind": "os", "message": "Apple framework operation failed."}

    def test_first_outcome_wins(self, probe):
        handle = probe.make_request()
        probe.fail(handle, "permission", "denied")
        probe.finish(handle, "1")
        probe.fail(handle, "os", "later")
        probe.push(handle, "2")
        state = snap(probe, handle)
        assert state["error"] == {"kind": "permission", "message": "denied"}
        assert state["result"] is None and state["buffered"] == 0

    def test_finish_then_fail_keeps_result(self, probe):
        handle = probe.make_request()
        probe.finish(handle, '"first"')
        probe.fail(handle, "os", "late")
        state = snap(probe, handle)
        assert state["result"] == "first" and state["error"] is None


class TestSamples:
    def test_capacity_overflow_drops_the_oldest(self, probe):
        handle = probe.make_request(2)
        for sample in ('"A"', '"B"', '"C"'):
            probe.push(handle, sample)
        state = snap(probe, handle)
        assert (state["sample"], state["buffered"], state["dropped"], state["capacity"]) == ("B", 1, 1, 2)
        assert snap(probe, handle)["sample"] == "C"
        state = snap(probe, handle)
        assert state["sample"] is None and state["buffered"] == 0 and state["dropped"] == 1

    def test_zero_capacity_counts_every_sample_as_dropped(self, probe):
        handle = probe.make_request(0)
        probe.push(handle, "1")
        probe.push(handle, "2")
        state = snap(probe, handle)
        assert state["sample"] is None and state["buffered"] == 0 and state["dropped"] == 2

    def test_non_consuming_snapshot_repeats_the_oldest(self, probe):
        handle = probe.make_request()
        probe.push(handle, "1")
        probe.push(handle, "2")
        for _ in range(2):
            state = snap(probe, handle, 0.25, False)
            assert state["sample"] == 1 and state["buffered"] == 2
        assert snap(probe, handle)["sample"] == 1
        assert snap(probe, handle)["buffered"] == 0

    def test_close_discards_samples_and_refuses_new_ones(self, probe):
        handle = probe.make_request()
        probe.push(handle, "1")
        probe.close(handle)
        probe.push(handle, "2")
        probe.finish(handle, "3")
        state = snap(probe, handle)
        assert state["closed"] is True and state["buffered"] == 0 and state["sample"] is None
        assert state["done"] is False and state["result"] is None

    def test_result_recorded_before_close_survives(self, probe):
        handle = probe.make_request()
        probe.finish(handle, '"kept"')
        probe.close(handle)
        state = snap(probe, handle)
        assert state["closed"] is True and state["result"] == "kept"

    def test_pushes_after_done_are_ignored(self, probe):
        handle = probe.make_request()
        probe.finish(handle, None)
        probe.push(handle, "1")
        assert snap(probe, handle)["buffered"] == 0


class TestWakeUps:
    def test_zero_interval_never_waits(self, probe):
        handle = probe.make_request()
        state = snap(probe, handle, 0)
        assert state["done"] is False and state["sample"] is None

    def test_sample_from_another_thread_wakes_poll(self, probe):
        handle = probe.make_request()
        probe.push_later(handle, '"s"', 0.02)
        state = snap(probe, handle, 0.25)
        while state["sample"] is None:
            state = snap(probe, handle, 0.25)
        assert state["sample"] == "s"

    def test_result_wakes_poll_off_main_thread(self, probe):
        handle = probe.make_request()
        states = []

        def worker():
            state = snap(probe, handle, 0.25)
            while not state["done"]:
                state = snap(probe, handle, 0.25)
            states.append(state)

        thread = threading.Thread(target=worker)
        thread.start()
        probe.push_later(handle, '{"ok": true}', 0.02, True)
        thread.join()
        assert states[0]["result"] == {"ok": True}

    def test_close_from_another_thread_wakes_poll(self, probe):
        handle = probe.make_request()
        timer = threading.Timer(0.02, probe.close, (handle,))
        # close off the main thread needs the main context, which poll pumps.
        timer.start()
        state = snap(probe, handle, 0.25)
        while not state["closed"]:
            state = snap(probe, handle, 0.25)
        timer.join()
        assert state["closed"] is True
