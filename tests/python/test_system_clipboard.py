"""The clipboard against real peers: xclip reads what this process writes and
writes what it reads, on the X server that run-tests starts."""

import base64
import json
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

from system_support import error, result

pytestmark = pytest.mark.skipif(
    not os.environ.get("DISPLAY") or not shutil.which("xclip"), reason="needs an X display and xclip"
)


@pytest.fixture
def pump(testing_dir):
    """Serves this process's selection while a peer reads it: polls an open
    request on the main thread, which turns the main context."""
    import _quendal_systemprobe as probe

    handle = probe.make_request()

    def until_done(process, timeout=20):
        # Drain the peer's output meanwhile: a full pipe would stall it.
        output = []
        reader = threading.Thread(target=lambda: output.append(process.stdout.read()))
        reader.start()
        deadline = time.monotonic() + timeout
        while process.poll() is None and time.monotonic() < deadline:
            probe.poll(handle, 0.02)
        if process.poll() is None:
            process.kill()
        reader.join()
        process.wait()
        return process.returncode, output[0]

    return until_done


@pytest.fixture
def peers():
    """xclip writers, stopped (and the clipboard cleared) after the test."""
    processes = []

    def write(data, target=None):
        args = ["xclip", "-quiet", "-i", "-selection", "clipboard"]
        if target:
            args += ["-t", target]
        process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        process.stdin.write(data)
        process.stdin.close()
        processes.append(process)
        # xclip owns the selection once it lists its target.
        for _ in range(200):
            types = result("clipboard.types")
            if (target or "UTF8_STRING") in types:
                return
        raise AssertionError("xclip did not take the clipboard")

    yield write
    result("clipboard.clear")
    for process in processes:
        process.kill()
        process.wait()


@pytest.fixture(autouse=True)
def empty_clipboard():
    result("clipboard.clear")
    yield
    result("clipboard.clear")


def peer_read(pump, target=None):
    args = ["xclip", "-o", "-selection", "clipboard"]
    if target:
        args += ["-t", target]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return pump(process)


class TestWrittenHere:
    def test_text_is_read_by_a_peer(self, pump):
        assert result("clipboard.write_text", {"text": "héllo wörld ✓"}) is None
        assert peer_read(pump) == (0, "héllo wörld ✓".encode())

    def test_text_read_back_here(self):
        result("clipboard.write_text", {"text": "round trip"})
        assert result("clipboard.read_text") == "round trip"
        assert "text/plain;charset=utf-8" in result("clipboard.types")

    def test_empty_text(self, pump):
        result("clipboard.write_text", {"text": ""})
        assert result("clipboard.read_text") == ""
        assert peer_read(pump) == (0, b"")

    def test_large_text_crosses_in_increments(self, pump):
        text = "0123456789abcdef" * 40000
        result("clipboard.write_text", {"text": text})
        assert peer_read(pump) == (0, text.encode())

    def test_bytes_are_read_by_a_peer(self, pump):
        data = bytes(range(256)) * 3
        result("clipboard.write_bytes", {"type": "image/png", "data": base64.b64encode(data).decode()})
        assert result("clipboard.types") == ["image/png"]
        assert peer_read(pump, "image/png") == (0, data)
        assert result("clipboard.read_bytes", {"type": "image/png"}) == base64.b64encode(data).decode()
        assert result("clipboard.read_text") is None
        assert result("clipboard.read_bytes", {"type": "application/pdf"}) is None

    def test_empty_bytes(self):
        result("clipboard.write_bytes", {"type": "application/x-empty", "data": ""})
        assert result("clipboard.read_bytes", {"type": "application/x-empty"}) == ""

    def test_invalid_base64_leaves_the_clipboard_untouched(self):
        result("clipboard.write_text", {"text": "keep me"})
        for data in ["!!!!", "AAE", "AA=A", "A===", "QUJD\n", "QU JD"]:
            assert error("clipboard.write_bytes", {"type": "image/png", "data": data}) == {
                "kind": "value", "message": "Invalid base64 data.",
            }
        assert result("clipboard.read_text") == "keep me"

    def test_clear(self, pump):
        result("clipboard.write_text", {"text": "gone soon"})
        assert result("clipboard.clear") is None
        assert result("clipboard.types") == []
        assert result("clipboard.read_text") is None
        assert peer_read(pump)[0] != 0


class TestWrittenByPeer:
    def test_text(self, peers):
        peers("from a peer ✓".encode())
        assert result("clipboard.read_text") == "from a peer ✓"

    def test_large_text(self, peers):
        text = "fedcba9876543210" * 40000
        peers(text.encode())
        assert result("clipboard.read_text") == text

    def test_bytes_and_types(self, peers):
        data = b"\x89PNG\r\n\x1a\n\x00\x00binary\xff"
        peers(data, "image/png")
        assert "image/png" in result("clipboard.types")
        assert base64.b64decode(result("clipboard.read_bytes", {"type": "image/png"})) == data

    def test_malformed_utf8_text(self, peers):
        peers(b"ab\xffcd")
        assert result("clipboard.read_text") in (None, "ab\ufffdcd")

    def test_clear_empties_a_peer_clipboard(self, peers):
        peers(b"peer text")
        result("clipboard.clear")
        assert result("clipboard.read_text") is None
        assert result("clipboard.types") == []


class TestOptions:
    @pytest.mark.parametrize("options", [{"expires_in": 0}, {"expires_in": False}, {"expires_in": 10},
                                         {"local_only": True}, {"local_only": "yes"}, {"local_only": 1}])
    def test_other_platform_options(self, options):
        result("clipboard.write_text", {"text": "before"})
        assert error("clipboard.write_text", {"text": "x", **options}) == {
            "kind": "not_implemented", "message": "Clipboard expiration and local_only require iOS.",
        }
        assert result("clipboard.read_text") == "before"

    @pytest.mark.parametrize("options", [{"expires_in": None}, {"local_only": False}, {"local_only": "no"},
                                         {"local_only": 0}, {"local_only": "0"}])
    def test_options_that_read_as_off(self, options):
        assert result("clipboard.write_text", {"text": "ok", **options}) is None
        assert result("clipboard.read_text") == "ok"

    @pytest.mark.parametrize("flag", [None, [], {}])
    def test_local_only_without_a_truth_value(self, flag):
        assert error("clipboard.write_text", {"text": "x", "local_only": flag})["kind"] == "runtime"


class TestPayloadChecks:
    @pytest.mark.parametrize("text", [None, 1, [], {}, True])
    def test_text_must_be_a_string(self, text):
        assert error("clipboard.write_text", {"text": text}) == {"kind": "value", "message": "text must be a string."}

    def test_text_missing(self):
        assert error("clipboard.write_text")["message"] == "text must be a string."

    @pytest.mark.parametrize("payload", [{"type": "", "data": ""}, {"type": "a/b"}, {"data": "AA=="},
                                         {"type": 1, "data": "AA=="}, {"type": "a/b", "data": None}])
    def test_write_bytes_needs_type_and_data(self, payload):
        assert error("clipboard.write_bytes", payload) == {
            "kind": "value", "message": "type and base64 data must be strings.",
        }

    @pytest.mark.parametrize("payload", [{}, {"type": ""}, {"type": None}, {"type": 3}])
    def test_read_bytes_needs_a_type(self, payload):
        assert error("clipboard.read_bytes", payload) == {"kind": "value", "message": "type must be a nonempty string."}


def test_without_a_display():
    script = """
import json
from _quendal import _system
def run(op, payload):
    handle = _system.start(op, json.dumps(payload))
    state = json.loads(_system.poll(handle, 0))
    return [state["result"], state["error"]]
print(json.dumps([
    run("clipboard.read_text", {}), run("clipboard.types", {}), run("clipboard.clear", {}),
    run("clipboard.read_bytes", {"type": "image/png"}),
    run("clipboard.write_text", {"text": "x"}), run("clipboard.write_bytes", {"type": "a/b", "data": "AA=="}),
]))
"""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == [
        [None, None], [[], None], [None, None], [None, None],
        [None, {"kind": "os", "message": "The clipboard rejected the text."}],
        [None, {"kind": "os", "message": "The clipboard rejected the data."}],
    ]


def test_peer_that_stops_answering():
    # In a process of its own: GTK keeps the abandoned read pending for a while.
    script = """
import json, os, signal, subprocess, time
from _quendal import _system
def run(op, payload):
    handle = _system.start(op, json.dumps(payload))
    return json.loads(_system.poll(handle, 0))
peer = subprocess.Popen(["xclip", "-quiet", "-i", "-selection", "clipboard"], stdin=subprocess.PIPE,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
peer.stdin.write(b"frozen"); peer.stdin.close()
while run("clipboard.read_text", {})["result"] != "frozen":
    time.sleep(0.01)
os.kill(peer.pid, signal.SIGSTOP)
states = [run("clipboard.read_text", {}), run("clipboard.types", {}), run("clipboard.read_bytes", {"type": "UTF8_STRING"})]
os.kill(peer.pid, signal.SIGCONT); peer.kill(); peer.wait()
print(json.dumps([[s["done"], s["result"], s["error"]] for s in states]))
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == [[True, None, None], [True, [], None], [True, None, None]]
