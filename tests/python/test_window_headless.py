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
