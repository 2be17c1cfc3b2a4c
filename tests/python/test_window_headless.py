"""Without a display, windows are headless: the window, input and pacing suites
run again in a process that has no X display (their input cases skip)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from window_support import HEADLESS

HERE = Path(__file__).parent
SUITES = ["test_windows.py", "test_pacing.py", "test_window_threads.py", "test_input.py"]


@pytest.mark.skipif(HEADLESS, reason="this process is already headless")
@pytest.mark.parametrize("how", ["no-display", "forced"])
def test_window_suites_pass_headless(how):
    env = dict(os.environ)
    if how == "no-display":
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    else:
        env["QUENDAL_HEADLESS"] = "1"
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *(str(HERE / s) for s in SUITES)],
        cwd=HERE, env=env, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-2000:]
    assert " passed" in result.stdout and "failed" not in result.stdout


def test_gtk_is_started_once_without_warnings():
    # Both modules start GTK, and the clipboard tries again each time while no
    # display is there; GTK warned each time the locale call came late.
    code = """
import _quendal._metal as m, _quendal._system as s
for _ in range(3):
    handle = s.start("clipboard.read_text", "{}")
    s.poll(handle, 0.05)
    s.close(handle)
m.close_window(m.create_window())
"""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "Gtk-WARNING" not in result.stderr


@pytest.mark.skipif(os.environ.get("QUENDAL_SANITIZE") == "address", reason="freed memory is quarantined")
def test_requests_that_need_a_display_cost_nothing_without_one():
    # Each failed GTK start-up kept memory inside GTK; without DISPLAY none is tried.
    code = """
import json, os, _quendal._system as s
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
def churn(n):
    for _ in range(n):
        for operation, payload in (("clipboard.read_text", "{}"), ("share.present", '{"text": "x"}')):
            handle = s.start(operation, payload)
            s.poll(handle, 0)
            s.close(handle)
churn(500)
before = resident()
churn(5000)
print(json.dumps(resident() - before))
"""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout.split()[-1]) < 512 * 1024
