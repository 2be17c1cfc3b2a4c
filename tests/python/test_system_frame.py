"""The request protocol: start, poll and close as Python sees them."""

import ctypes
import json
import math
import signal
import threading
import time

import pytest

from _quendal import _system
from system_support import run, snapshot

INTERVAL_MESSAGE = "The native polling interval must be between 0 and 0.25 seconds."
PAYLOAD_MESSAGE = "The operation payload must be a JSON object."


def wait_for_loop(host):
    while not host.application_is_running():
        time.sleep(0.001)


def test_module_surface():
    assert _system.__name__ == "_quendal._system"
    assert _system.__doc__ == "Native Apple system services."
    assert _system.start.__doc__ == "Start a native system request."
    assert _system.poll.__doc__ == "Read a bounded request snapshot."
    assert _system.close.__doc__ == "Cancel and release a request's native resources."


def test_registration_hook_is_exported():
    library = ctypes.CDLL(_system.__file__)
    assert library.registerQuendalSystemModule is not None


class TestStart:
    def test_empty_object_gives_a_request_capsule(self):
        handle = _system.start("device.info", "{}")
        assert type(handle).__name__ == "PyCapsule"
        assert "quendal-py.request" in repr(handle)

    @pytest.mark.parametrize("payload", ["[]", "null", "1", '"text"', "", "{", '{"a":1}x', b"[]"])
    def test_payload_not_an_object(self, payload):
        with pytest.raises(ValueError) as info:
            _system.start("device.info", payload)
        assert str(info.value) == PAYLOAD_MESSAGE

    def test_payload_as_bytes(self):
        assert run("motion.available", b"{}")["error"] is None

    def test_embedded_nul_escape_in_payload(self):
        assert run("device.storage", '{"path": "/\\u0000etc"}')["error"]["kind"] == "os"

    def test_raw_nul_in_payload_text_is_invalid_json(self):
        with pytest.raises(ValueError) as info:
            _system.start("device.info", "{}\x00")
        assert str(info.value) == PAYLOAD_MESSAGE

    @pytest.mark.parametrize("args", [(1, "{}"), ("device.info", 1), ("device.info",), ()])
    def test_wrong_argument_types(self, args):
        with pytest.raises(TypeError):
            _system.start(*args)

    def test_off_main_thread_without_event_loop(self):
        caught = []

        def worker():
            try:
                _system.start("device.info", "{}")
            except Exception as exc:  # noqa: BLE001
                caught.append(exc)

        thread = threading.Thread(target=worker)
        thread.start()
        thread.join()
        assert type(caught[0]) is RuntimeError
        assert str(caught[0]) == "Call system APIs on the Python main thread, or run an AppKit event loop."

    def test_off_main_thread_with_running_loop(self, testing_dir):
        import _quendal_testhost as host

        states = []

        def worker():
            wait_for_loop(host)
            handle = _system.start("motion.available", "{}")
            states.append(snapshot(handle))
            _system.close(handle)
            host.quit_main_loop()

        thread = threading.Thread(target=worker)
        thread.start()
        host.run_main_loop(10)
        thread.join()
        assert states[0]["result"]["gyroscope"] is False


class TestRouting:
    def test_unknown_prefix(self):
        state = run("weather.today")
        assert state["done"] is True
        assert state["error"] == {"kind": "value", "message": "Unknown system operation."}

    @pytest.mark.parametrize("operation", ["Device.info", "device", "clipboard", ""])
    def test_names_are_case_sensitive_and_need_the_dot(self, operation):
        assert run(operation)["error"]["message"] == "Unknown system operation."

    @pytest.mark.parametrize("operation", ["device.unknown", "clipboard.paste", "device.", "clipboard."])
    def test_unknown_device_or_clipboard_operation(self, operation):
        assert run(operation)["error"] == {"kind": "value", "message": "Unknown device or clipboard operation."}

    def test_location_is_routed(self):
        assert run("location.")["error"] == {"kind": "value", "message": "Unknown location operation."}

    def test_motion(self):
        assert run("motion.available")["result"] == {
            "accelerometer": False, "device": False, "gyroscope": False, "magnetometer": False,
        }
        assert run("motion.start")["error"] == {
            "kind": "not_implemented",
            "message": "Core Motion device sensors are not available in native macOS Python.",
        }


class TestPoll:
    @pytest.mark.parametrize("interval", [0, 0.0, 0.25, 0.1])
    def test_accepted_intervals(self, interval):
        handle = _system.start("motion.available", "{}")
        assert snapshot(handle, interval)["done"] is True

    @pytest.mark.parametrize("interval", [0.2500001, -0.0001, math.nan, math.inf, -math.inf, 1.0])
    def test_rejected_intervals(self, interval):
        handle = _system.start("motion.available", "{}")
        with pytest.raises(ValueError) as info:
            _system.poll(handle, interval)
        assert str(info.value) == INTERVAL_MESSAGE

    def test_snapshot_has_the_eight_keys(self):
        handle = _system.start("motion.available", "{}")
        state = json.loads(_system.poll(handle, 0))
        assert set(state) == {"done", "closed", "result", "error", "sample", "buffered", "capacity", "dropped"}
        assert state["capacity"] == 128 and state["buffered"] == 0 and state["dropped"] == 0

    @pytest.mark.parametrize("consume", [True, False, 0, 1])
    def test_done_request_whatever_consume(self, consume):
        handle = _system.start("motion.available", "{}")
        assert snapshot(handle, 0.25, consume)["done"] is True

    @pytest.mark.parametrize("handle", [1, None, "capsule", object()])
    def test_not_a_capsule(self, handle):
        with pytest.raises(ValueError):
            _system.poll(handle, 0)
        with pytest.raises(ValueError):
            _system.close(handle)

    def test_unrelated_capsule(self):
        make = ctypes.pythonapi.PyCapsule_New
        make.restype = ctypes.py_object
        make.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        other = make(ctypes.c_void_p(1), b"someone.else", None)
        with pytest.raises(ValueError) as info:
            _system.poll(other, 0)
        assert str(info.value) == "PyCapsule_GetPointer called with incorrect name"
        with pytest.raises(ValueError):
            _system.close(other)

    def test_wrong_argument_types(self):
        handle = _system.start("motion.available", "{}")
        with pytest.raises(TypeError):
            _system.poll(handle, "0.1")
        with pytest.raises(TypeError):
            _system.poll(handle)


class TestClose:
    def test_close_twice_then_poll(self):
        handle = _system.start("motion.available", "{}")
        assert _system.close(handle) is None
        assert _system.close(handle) is None
        state = snapshot(handle, 0)
        assert state["closed"] is True and state["buffered"] == 0
        # The outcome recorded before closing is still reported.
        assert state["done"] is True and state["result"]["device"] is False

    def test_close_takes_exactly_one_argument(self):
        with pytest.raises(TypeError):
            _system.close()

    def test_dropping_the_handle_off_main_thread(self, testing_dir):
        import _quendal_testhost as host

        def worker():
            wait_for_loop(host)
            handles = [_system.start("motion.available", "{}") for _ in range(3)]
            handles.clear()
            host.quit_main_loop()

        thread = threading.Thread(target=worker)
        thread.start()
        host.run_main_loop(10)
        thread.join()


def test_signal_handler_exception_interrupts_poll(testing_dir):
    import _quendal_systemprobe as probe

    handle = probe.make_request()
    probe.push_later(handle, '"late"', 0.4)

    def raise_interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, raise_interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            while True:
                probe.poll(handle, 0.25, False)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    state = json.loads(probe.poll(handle, 0.25))
    while state["sample"] is None:
        state = json.loads(probe.poll(handle, 0.25))
    assert state["sample"] == "late" and state["dropped"] == 0
