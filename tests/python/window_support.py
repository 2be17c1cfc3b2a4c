"""Helpers for the window suites: whether windows are headless in this process,
finding a window's X11 id, driving real input with xdotool while the main
context is pumped, and running snippets in a fresh interpreter."""

import itertools
import json
import os
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

# The accessibility bridge would start a bus service for every test process.
os.environ.setdefault("NO_AT_BRIDGE", "1")

HEADLESS = os.environ.get("QUENDAL_HEADLESS", "") not in ("", "0") or not os.environ.get("DISPLAY")

needs_display = pytest.mark.skipif(
    HEADLESS or shutil.which("xdotool") is None, reason="needs an X display and xdotool"
)

_titles = itertools.count(1)


def unique_title(prefix: str = "quendal-test") -> str:
    return f"{prefix}-{os.getpid()}-{next(_titles)}"


def pump(m, handle, seconds: float) -> None:
    """Iterates the main context for a while through vsync, which leaves the
    window's counters and queues alone."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        m.vsync(handle)


def window_id(m, handle, title: str) -> str:
    """The X11 id of the toplevel titled title, pumping until it is mapped."""
    end = time.monotonic() + 5
    while time.monotonic() < end:
        found = subprocess.run(
            ["xdotool", "search", "--name", f"^{title}$"], capture_output=True, text=True
        ).stdout.split()
        if found:
            return found[0]
        pump(m, handle, 0.05)
    raise AssertionError(f"no X11 window titled {title!r}")


def drive(m, handle, command, settle: float = 0.3) -> None:
    """Runs an input tool while iterating the main context through vsync (input
    is delivered only while the context turns), then keeps pumping a little
    so that the last events arrive."""
    process = subprocess.Popen(command)
    try:
        while process.poll() is None:
            m.vsync(handle)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.wait() == 0, command
    pump(m, handle, settle)


def xdotool(m, handle, *args, settle: float = 0.3) -> None:
    drive(m, handle, ["xdotool", *args], settle=settle)


def run_python(code: str, env_update: dict | None = None, remove=(), timeout: float = 60) -> dict:
    """Runs code in a fresh interpreter (the window system is chosen once per
    process); code prints one JSON object on its last line, which is returned."""
    env = dict(os.environ)
    for name in remove:
        env.pop(name, None)
    env.update(env_update or {})
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=timeout
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])
