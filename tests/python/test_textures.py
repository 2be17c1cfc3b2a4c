"""Render textures and image textures: sizes, formats, failures and handles.
Pixel contents are read back in the C++ suite (gpu_texture_test.cpp) until
blit passes exist on the Python side."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

from _quendal import _metal
from texture_support import png_bytes, png_first_row_only, write_png

RED, GREEN, BLUE = (255, 0, 0, 255), (0, 255, 0, 255), (0, 0, 255, 255)
HALF_RED, WHITE, CLEAR = (255, 0, 0, 128), (255, 255, 255, 255), (0, 0, 0, 0)
FORMATS = ["bgra8", "rgba8", "rgba16f", "r8", "r16f", "r32f", "rg16f", "rg32f"]


def spend_handle() -> int:
    """Draws one handle, on a throwaway buffer, and returns it."""
    handle = _metal.create_buffer(1)
    _metal.destroy_buffer(handle)
    return handle


@pytest.fixture
def png_3x2(tmp_path):
    return write_png(tmp_path / "three.png", [[RED, GREEN, BLUE], [HALF_RED, WHITE, CLEAR]])


class TestRenderTextures:
    def test_result_holds_handle_and_size(self):
        before = spend_handle()
        result = _metal.create_render_texture(640, 480)
        assert list(result) == ["handle", "size"]
        assert result["handle"] == before + 1
        assert result["size"] == (640, 480)
        assert type(result["size"]) is tuple
        _metal.destroy_texture(result["handle"])

    @pytest.mark.parametrize("name", FORMATS + ["no-such-format", ""])
    def test_every_format_name_allocates(self, name):
        result = _metal.create_render_texture(width=33, height=7, format=name)
        assert result["size"] == (33, 7)
        _metal.destroy_texture(result["handle"])

    @pytest.mark.parametrize("width, height", [(0, 10), (10, -1), (-5, -5), (1, 0)])
    def test_dimensions_below_one(self, width, height):
        before = spend_handle()
        with pytest.raises(ValueError) as raised:
            _metal.create_render_texture(width, height)
        assert str(raised.value) == "Render texture dimensions must be positive."
        assert spend_handle() == before + 1

    @pytest.mark.parametrize("width, height", [(1 << 40, 1), (1, 1 << 32), (1 << 20, 1 << 20)])
    def test_sizes_the_device_cannot_hold(self, width, height):
        before = spend_handle()
        with pytest.raises(RuntimeError) as raised:
            _metal.create_render_texture(width, height, "rgba16f")
        assert str(raised.value) == "Failed to allocate Metal render texture."
        assert spend_handle() == before + 1

    def test_arguments_are_checked_by_the_parser(self):
        with pytest.raises(TypeError):
            _metal.create_render_texture(4)
        with pytest.raises(TypeError):
            _metal.create_render_texture(4, 4, None)
        with pytest.raises(TypeError):
            _metal.destroy_texture(handle=1)


    def test_threads_creating_at_once_get_distinct_handles(self):
        handles, lock = [], threading.Lock()

        def create_some():
            made = [_metal.create_render_texture(16, 16, "r8")["handle"] for _ in range(25)]
            with lock:
                handles.extend(made)

        threads = [threading.Thread(target=create_some) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(set(handles)) == 100
        for handle in handles:
            _metal.destroy_texture(handle)


class TestDestroyTexture:
    def test_destroy_accepts_unknown_and_repeated_handles(self):
        handle = _metal.create_render_texture(8, 8)["handle"]
        assert _metal.destroy_texture(handle) is None
        assert _metal.destroy_texture(handle) is None
        assert _metal.destroy_texture(-1) is None
        assert _metal.destroy_texture(1 << 62) is None

    def test_handles_are_not_reused(self):
        first = _metal.create_render_texture(8, 8)["handle"]
        _metal.destroy_texture(first)
        second = _metal.create_render_texture(8, 8)["handle"]
        assert second == first + 1
        _metal.destroy_texture(second)


class TestImageTextures:
    def test_png_size(self, png_3x2):
        before = spend_handle()
        result = _metal.create_image_texture(png_3x2)
        assert result == {"handle": before + 1, "size": (3, 2)}
        _metal.destroy_texture(result["handle"])

    def test_keyword_and_large_image(self, tmp_path):
        rows = [[(x % 256, y % 256, 7, 255) for x in range(300)] for y in range(120)]
        result = _metal.create_image_texture(path=write_png(tmp_path / "big.png", rows))
        assert result["size"] == (300, 120)
        _metal.destroy_texture(result["handle"])

    def test_missing_file(self, tmp_path):
        before = spend_handle()
        with pytest.raises(RuntimeError) as raised:
            _metal.create_image_texture(str(tmp_path / "absent.png"))
        assert str(raised.value) == "Failed to load image file."
        assert spend_handle() == before + 1

    def test_directory(self, tmp_path):
        with pytest.raises(RuntimeError) as raised:
            _metal.create_image_texture(str(tmp_path))
        assert str(raised.value) == "Failed to load image file."

    @pytest.mark.parametrize("content", [
        b"just some text\n",
        b"",
        png_bytes([[RED, GREEN], [BLUE, WHITE]])[:40],
    ], ids=["text", "empty", "truncated-png"])
    def test_undecodable_file(self, tmp_path, content):
        path = tmp_path / "bad.png"
        path.write_bytes(content)
        before = spend_handle()
        with pytest.raises(RuntimeError) as raised:
            _metal.create_image_texture(str(path))
        assert str(raised.value) == "Failed to decode image file."
        assert spend_handle() == before + 1

    def test_image_larger_than_any_texture_is_not_decoded(self, tmp_path):
        path = tmp_path / "huge.png"
        path.write_bytes(png_first_row_only(100_000, 3))
        before = spend_handle()
        with pytest.raises(RuntimeError) as raised:
            _metal.create_image_texture(str(path))
        assert str(raised.value) == "Failed to create texture."
        assert spend_handle() == before + 1

    def test_path_must_be_a_string(self):
        with pytest.raises(TypeError):
            _metal.create_image_texture(None)
        with pytest.raises(ValueError):
            _metal.create_image_texture("a\0b")

    def test_loads_from_a_worker_while_the_main_loop_runs(self, testing_dir, png_3x2):
        import _quendal_testhost
        outcome = {}

        def worker():
            try:
                outcome["result"] = _metal.create_image_texture(png_3x2)
            except BaseException as error:  # reported below
                outcome["error"] = error
            finally:
                _quendal_testhost.quit_main_loop()

        thread = threading.Thread(target=worker)
        thread.start()
        _quendal_testhost.run_main_loop(30.0)
        thread.join()
        assert "error" not in outcome
        assert outcome["result"]["size"] == (3, 2)
        _metal.destroy_texture(outcome["result"]["handle"])


HOOKED_LOAD = """
import ctypes, os, sys
hooks = ctypes.CDLL({library!r}, mode=os.RTLD_GLOBAL)
from _quendal import _metal
try:
    print(_metal.create_image_texture({path!r})["size"])
except RuntimeError as error:
    print(error)
print(ctypes.c_int.in_dll(hooks, "begin_calls").value, ctypes.c_int.in_dll(hooks, "end_calls").value)
"""


class TestFileAccessHooks:
    """The hooks are looked up once per process: each case loads them into a
    fresh interpreter before the module's first use."""

    def run_hooked(self, testing_dir, path):
        code = HOOKED_LOAD.format(library=str(testing_dir / "libquendal_hooks_pair.so"), path=str(path))
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                                env=dict(os.environ))
        assert result.returncode == 0, result.stderr
        return result.stdout.splitlines()

    def test_failed_load_still_ends_access_once(self, testing_dir, tmp_path):
        text = tmp_path / "notes.txt"
        text.write_text("hello\n")
        assert self.run_hooked(testing_dir, text) == ["Failed to decode image file.", "1 1"]

    def test_missing_file_still_ends_access_once(self, testing_dir, tmp_path):
        assert self.run_hooked(testing_dir, tmp_path / "absent.png") == ["Failed to load image file.", "1 1"]

    def test_successful_load_ends_access_once(self, testing_dir, png_3x2):
        assert self.run_hooked(testing_dir, png_3x2) == ["(3, 2)", "1 1"]


def test_without_a_device_each_creator_names_its_own_failure(tmp_path):
    code = textwrap.dedent("""
        from _quendal import _metal
        for call in (lambda: _metal.create_render_texture(4, 4),
                     lambda: _metal.create_image_texture({path!r})):
            try:
                call()
            except RuntimeError as error:
                print(error)
    """).format(path=str(tmp_path / "any.png"))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                            env={**os.environ, "QUENDAL_VK_DEVICE": "no-such-device"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["Metal device is unavailable on this device.", "Metal unavailable."]
