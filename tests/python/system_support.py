"""Helpers for the _system suites: running one request to completion, and mock
services on the private bus that run-tests points both buses at."""

import json
import os
import shutil
import signal
import subprocess
import time

from _quendal import _system


def snapshot(handle, interval=0.0, consume=True):
    return json.loads(_system.poll(handle, interval, consume))


def run(operation, payload=None):
    """Starts an operation (payload a dict or raw text) and returns its first snapshot."""
    text = payload if isinstance(payload, (str, bytes)) else json.dumps(payload or {})
    handle = _system.start(operation, text)
    state = snapshot(handle, 0.25)
    _system.close(handle)
    return state


def result(operation, payload=None):
    state = run(operation, payload)
    assert state["done"] and state["error"] is None, state
    return state["result"]


def error(operation, payload=None):
    state = run(operation, payload)
    assert state["done"] and state["result"] is None, state
    return state["error"]


def bus_available():
    return bool(os.environ.get("DBUS_SYSTEM_BUS_ADDRESS")) and shutil.which("gdbus") is not None


def _name_owned(name, bus="system"):
    out = subprocess.run(
        ["gdbus", "call", f"--{bus}", "-d", "org.freedesktop.DBus", "-o", "/org/freedesktop/DBus",
         "-m", "org.freedesktop.DBus.NameHasOwner", name],
        capture_output=True, text=True, timeout=5,
    )
    return "true" in out.stdout


class MockService:
    """One python3-dbusmock template on the system bus, or on the session bus
    with bus="session" (Debian's python3 has the dbus bindings; the venv
    interpreter does not)."""

    def __init__(self, template, bus_name, parameters=None, bus="system"):
        args = ["/usr/bin/python3", "-m", "dbusmock", "--template", template, f"--{bus}"]
        if parameters:
            args += ["-p", json.dumps(parameters)]
        self.bus_name = bus_name
        self.bus = bus
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not _name_owned(bus_name, bus):
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise RuntimeError(f"mock {template} did not come up")
            time.sleep(0.05)

    def call(self, path, method, *args):
        out = subprocess.run(
            ["gdbus", "call", f"--{self.bus}", "-d", self.bus_name, "-o", path, "-m", method, *args],
            capture_output=True, text=True, timeout=5,
        )
        assert out.returncode == 0, out.stderr
        return out.stdout

    def freeze(self):
        """Keeps the name owned but stops answering."""
        self.process.send_signal(signal.SIGSTOP)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            self.process.wait(timeout=10)
        # The next test must find the name free.
        deadline = time.monotonic() + 5
        while _name_owned(self.bus_name, self.bus) and time.monotonic() < deadline:
            time.sleep(0.05)
