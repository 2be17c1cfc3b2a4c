"""Short runs of the hostile-user campaigns in tests/fuzz: seeded random calls
over every function of both modules, and eight threads mixing resource, frame,
pass and request calls while windows close and reopen. The long runs use the
same scripts with larger numbers (see the README)."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parents[1] / "fuzz"


def run(script, *args, timeout=600, **env):
    result = subprocess.run([sys.executable, str(FUZZ / script), *args], capture_output=True, text=True,
                            timeout=timeout, env=dict(os.environ, **env))
    return result


@pytest.mark.parametrize("seeds", ["0-1", "2-3"])
def test_random_calls_crash_hang_and_warn_nowhere(seeds):
    result = run("fuzz_calls.py", "--seeds", seeds, "--calls", "1500", "--hang", "120")
    assert result.returncode == 0, result.stdout[-8000:] + result.stderr[-4000:]


@pytest.mark.parametrize("headless", ["1", "0"])
def test_eight_threads_make_progress_and_leave_nothing(headless):
    result = run("stress_threads.py", "--seconds", "3", "--stall", "60", QUENDAL_HEADLESS=headless)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-8000:]
    summary = json.loads(result.stdout.strip().splitlines()[-1])
    assert summary["left"] == {} and summary["calls"] > 0
