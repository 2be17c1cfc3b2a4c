"""Hostile input never crashes, never hangs and never leaks: every problem comes
back as an exception of the contract or as a failed request."""

import json
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _quendal import _system
from system_support import run

OPERATIONS = [
    "device.info", "device.storage", "device.battery", "motion.available", "motion.start",
    "clipboard.read_text", "clipboard.types", "clipboard.read_bytes", "clipboard.write_text",
    "clipboard.write_bytes", "clipboard.clear", "location.current", "unknown.op",
]
KEYS = ["path", "text", "type", "data", "local_only", "expires_in"]
KINDS = {"value", "runtime", "permission", "os", "not_implemented", "file_not_found"}

json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=50),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=8), children, max_size=4),
    max_leaves=12,
)


def well_formed(state):
    assert state["done"] is True
    if state["error"] is not None:
        assert state["result"] is None
        assert state["error"]["kind"] in KINDS and isinstance(state["error"]["message"], str)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(OPERATIONS), st.dictionaries(st.sampled_from(KEYS), json_values, max_size=4))
def test_wrong_types_in_every_key(operation, payload):
    if operation == "device.battery":
        payload = {}  # the answer does not depend on the payload; each call asks the bus
    well_formed(run(operation, payload))


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=64))
def test_arbitrary_payload_bytes(data):
    try:
        handle = _system.start("motion.available", data)
    except ValueError as exc:
        assert str(exc) == "The operation payload must be a JSON object."
    else:
        assert json.loads(_system.poll(handle, 0))["done"] is True


@pytest.mark.parametrize("depth", [1000, 100000])
def test_deeply_nested_payload(depth):
    nested = "[" * depth + "]" * depth
    assert run("device.storage", '{"path": ' + nested + "}")["error"]["kind"] == "value"
    assert run("motion.available", '{"x": ' + nested + "}")["error"] is None


def test_unbalanced_nesting_is_not_an_object():
    with pytest.raises(ValueError):
        _system.start("device.info", '{"x": ' + "[" * 100000 + "}")


def test_invalid_utf8_in_payload():
    with pytest.raises(ValueError):
        _system.start("clipboard.write_text", b'{"text": "\xff\xfe"}')


def test_lone_surrogate_escape_is_not_json():
    with pytest.raises(ValueError):
        _system.start("clipboard.write_text", '{"text": "\\ud800"}')


def test_huge_path():
    assert run("device.storage", {"path": "/" + "a" * 10_000_000})["error"]["kind"] == "os"


def test_embedded_nul_in_path_is_not_shortened():
    # "/tmp\0/absent" must not be answered as if it were "/tmp".
    assert run("device.storage", {"path": "/tmp\x00/absent"})["error"]["kind"] == "os"


def test_huge_operation_name():
    assert run("device." + "x" * 1_000_000)["error"]["message"] == "Unknown device or clipboard operation."


def test_operation_with_nul_is_an_argument_error():
    with pytest.raises(ValueError):
        _system.start("device.info\x00", "{}")


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


# AddressSanitizer keeps freed memory in quarantine, so resident memory grows
# there without a leak.
@pytest.mark.skipif(os.environ.get("QUENDAL_SANITIZE") == "address", reason="freed memory is quarantined")
def test_failed_requests_do_not_leak():
    payload = json.dumps({"path": ["x"] * 1000, "text": {"a": list(range(1000))}})

    def churn(n):
        for _ in range(n):
            handle = _system.start("device.storage", payload)
            _system.poll(handle, 0)
            _system.close(handle)
            try:
                _system.start("device.storage", "[" + payload + "]")
            except ValueError:
                pass

    churn(500)
    before = _resident_bytes()
    churn(3000)
    assert _resident_bytes() - before < 8 * 1024 * 1024
