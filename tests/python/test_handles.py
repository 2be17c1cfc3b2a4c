"""Handles: one counter for every kind of object, never reused, and a creation
that fails consumes none. Each case runs in a fresh interpreter, because the
counter starts at 1 once per process."""

import os
import subprocess
import sys
import textwrap


def run_fresh(code: str, **env) -> str:
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, **env},
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_first_handles_count_from_one_and_are_never_reused():
    out = run_fresh("""
        from _quendal import _metal
        a = _metal.create_buffer(4)
        b = _metal.create_buffer(4)
        _metal.destroy_buffer(a)
        try:
            _metal.create_buffer(0)
        except ValueError:
            pass
        try:
            _metal.create_buffer(1 << 62)
        except RuntimeError:
            pass
        c = _metal.create_buffer(4)
        print(a, b, c)
    """)
    assert out == "1 2 3"


def test_without_a_device_creators_fail_and_consume_nothing():
    out = run_fresh("""
        from _quendal import _metal
        for _ in range(2):
            try:
                _metal.create_buffer(4)
            except RuntimeError as e:
                print(e)
        try:
            _metal.create_buffer(0)
        except RuntimeError as e:
            print("device checked first:", e)
    """, VK_ICD_FILENAMES="/nonexistent/icd.json", VK_DRIVER_FILES="/nonexistent/icd.json",
        QUENDAL_VK_VALIDATION="0")
    assert out.splitlines() == ["Metal device is unavailable on this device."] * 2 + [
        "device checked first: Metal device is unavailable on this device."]


def test_module_frame():
    from _quendal import _metal
    assert _metal.__name__ == "_quendal._metal"
    assert _metal.__doc__ == "quendal-py Metal runtime bridge."
    assert _metal.create_buffer.__doc__ == "Create a shared Metal buffer."
    assert _metal.read_buffer.__doc__ == "Read bytes from a Metal buffer."


def test_registration_hook_is_exported_for_embedding_hosts():
    import ctypes
    from _quendal import _metal
    library = ctypes.CDLL(_metal.__file__)
    assert library.registerMetalModule
