"""The file-access holder and a host's two hooks. The hooks are looked up once
per process, so each case loads its hook library into a fresh interpreter
before the first use."""

import os
import subprocess
import sys

SCRIPT = """
import ctypes, os, sys
sys.path.insert(0, {testing!r})
hooks = ctypes.CDLL({library!r}, mode=os.RTLD_GLOBAL) if {library!r} else None
import _quendal_testhost
_quendal_testhost.hold_file_access({path!r})
_quendal_testhost.hold_file_access({path!r})
if hooks:
    begin = ctypes.c_int.in_dll(hooks, "begin_calls").value
    end = ctypes.c_int.in_dll(hooks, "end_calls").value
    last = ctypes.c_int64.in_dll(hooks, "last_ended_token").value
    path = ctypes.string_at(ctypes.addressof(ctypes.c_char.in_dll(hooks, "last_path")))
    print(begin, end, last, path.decode())
else:
    print("no hooks")
"""


def run_holder(testing_dir, library, path, **env):
    code = SCRIPT.format(testing=str(testing_dir), library=library, path=path)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60, env={**os.environ, **env})
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_both_hooks_begin_once_and_end_each_token_once(testing_dir, tmp_path):
    target = tmp_path / "image.png"
    target.write_bytes(b"x")
    begin, end, last, path = run_holder(testing_dir, str(testing_dir / "libquendal_hooks_pair.so"), str(target))
    assert (begin, end, last, path) == ("2", "2", "43", str(target))


def test_zero_token_means_nothing_to_end(testing_dir, tmp_path):
    begin, end, _, _ = run_holder(testing_dir, str(testing_dir / "libquendal_hooks_pair.so"), str(tmp_path),
                                  QUENDAL_HOOKS_ZERO_TOKEN="1")
    assert (begin, end) == ("2", "0")


def test_one_hook_alone_counts_as_none(testing_dir, tmp_path):
    begin, *_ = run_holder(testing_dir, str(testing_dir / "libquendal_hooks_begin_only.so"), str(tmp_path))
    assert begin == "0"


def test_without_hooks_the_holder_holds_nothing(testing_dir, tmp_path):
    assert run_holder(testing_dir, "", str(tmp_path)) == ["no", "hooks"]
