"""share.present: the share window, its picker and the services behind it,
driven with xdotool on the X server that run-tests starts (no window manager).
Cases that need their own desktop settings or hook libraries run in a fresh
interpreter."""

import gc
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from _quendal import _system
from system_support import error, result
from window_support import HEADLESS

HERE = Path(__file__).resolve().parent

needs_desktop = pytest.mark.skipif(
    HEADLESS or not all(shutil.which(tool) for tool in ("xdotool", "xclip")),
    reason="needs an X display, xdotool and xclip",
)


@pytest.fixture
def desk(testing_dir):
    from share_support import Desk

    result("clipboard.clear")
    desk = Desk()
    yield desk
    result("clipboard.clear")


def peer_read(desk, target=None):
    """What another program pastes: xclip reads while this process serves the selection."""
    args = ["xclip", "-o", "-selection", "clipboard"] + (["-t", target] if target else [])
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    desk.until(lambda: process.poll() is not None, what="xclip")
    return process.stdout.read()


def share_script(testing_dir, body):
    """A script for a fresh interpreter that drives shares with share_support."""
    return f"import sys\nsys.path[:0] = [{str(HERE)!r}, {str(testing_dir)!r}]\n" + textwrap.dedent(body)


def run_script(code, env_update=None, remove=()):
    env = {k: v for k, v in os.environ.items() if k not in remove}
    env.update(env_update or {})
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


DONE_COPY = {"completed": True, "activity": "Copy"}
DISMISSED = {"completed": False, "activity": None}


@needs_desktop
class TestPicker:
    def test_copy_puts_the_text_on_the_clipboard_and_closes_the_window(self, desk):
        handle, window = desk.present({"text": "héllo share ✓"})
        desk.open_picker(window)
        desk.keys("Return")
        state = desk.finished(handle)
        assert (state["result"], state["error"]) == (DONE_COPY, None)
        assert desk.closed(window)
        assert peer_read(desk) == "héllo share ✓".encode()

    def test_copy_of_files_and_links_gives_a_uri_list_and_their_text(self, desk, tmp_path):
        first, second = tmp_path / "a b.txt", tmp_path / "c.txt"
        first.write_text("a")
        second.write_text("c")
        handle, window = desk.present({"text": "look", "files": [str(first), str(second)],
                                       "urls": ["https://example.com/x?q=1", "mailto:someone@example.com"]})
        desk.open_picker(window, keyboard=True)
        desk.keys("Return")
        assert desk.finished(handle)["result"] == DONE_COPY
        assert peer_read(desk, "text/uri-list") == (
            f"{first.as_uri()}\r\n{second.as_uri()}\r\nhttps://example.com/x?q=1\r\nmailto:someone@example.com\r\n"
        ).encode()
        assert peer_read(desk) == (
            f"look\n{first}\n{second}\nhttps://example.com/x?q=1\nmailto:someone@example.com"
        ).encode()
        assert peer_read(desk, "x-special/gnome-copied-files") == f"copy\n{first.as_uri()}\n{second.as_uri()}".encode()

    def test_escape_dismisses_the_picker(self, desk):
        handle, window = desk.present({"text": "never copied"})
        desk.open_picker(window)
        desk.keys("Escape")
        state = desk.finished(handle)
        assert (state["result"], state["error"]) == (DISMISSED, None)
        assert desk.closed(window)
        assert peer_read(desk) == b""

    def test_close_box_before_a_choice(self, desk, testing_dir):
        handle, window = desk.present({"text": "x"})
        desk.run(str(testing_dir / "x11_close_request"), window)
        assert desk.finished(handle)["result"] == DISMISSED
        assert desk.closed(window)

    def test_two_shares_are_independent(self, desk):
        first, first_window = desk.present({"text": "first"})
        second, second_window = desk.present({"text": "second"})
        desk.open_picker(second_window, keyboard=True)
        desk.keys("Return")
        assert desk.finished(second)["result"] == DONE_COPY
        assert desk.closed(second_window)
        assert desk.windows() == {first_window}
        assert json.loads(_system.poll(first, 0))["done"] is False
        desk.open_picker(first_window, keyboard=True)
        desk.keys("Escape")
        assert desk.finished(first)["result"] == DISMISSED
        assert peer_read(desk) == b"second"

    def test_close_while_the_picker_is_open(self, desk):
        before = desk.windows(share_only=False)
        handle, window = desk.present({"text": "x"})
        desk.open_picker(window)
        _system.close(handle)
        # The window and the menu are gone at once; the request stays closed and pending.
        assert desk.windows(share_only=False) == before
        _system.close(handle)
        state = json.loads(_system.poll(handle, 0))
        assert (state["closed"], state["done"], state["result"]) == (True, False, None)
        # The keys that would have chosen a service now reach no one.
        desk.keys("Return")
        assert json.loads(_system.poll(handle, 0))["done"] is False

    def test_dropping_the_handle_closes_the_window(self, desk):
        handle, window = desk.present({"text": "x"})
        del handle
        gc.collect()
        assert desk.closed(window)

    def test_window_and_button_geometry(self, desk):
        handle, window = desk.present({"text": "x"})
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                                  capture_output=True, text=True).stdout
        values = dict(line.split("=") for line in geometry.split())
        screen = subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True, text=True).stdout.split()
        assert (values["WIDTH"], values["HEIGHT"]) == ("360", "150")
        assert int(values["X"]) == (int(screen[0]) - 360) // 2 and int(values["Y"]) == (int(screen[1]) - 150) // 2
        name = subprocess.run(["xdotool", "getwindowname", window], capture_output=True, text=True).stdout
        assert name.strip() == "Share"
        # Beside the button nothing happens; its far corner (239, 94 from the top) presses it.
        before = desk.windows(share_only=False)
        desk.xdotool("mousemove", "--window", window, "119", "77", "click", "1", settle=0.3)
        assert desk.windows(share_only=False) == before
        desk.xdotool("mousemove", "--window", window, "239", "94", "mousedown", "1", settle=0)
        desk.xdotool("mouseup", "1")
        desk.until(lambda: desk.windows(share_only=False) - before, what="the picker")
        desk.keys("Escape")
        assert desk.finished(handle)["result"] == DISMISSED

    def test_accepted_payloads_open_a_window(self, desk, tmp_path):
        (tmp_path / "f").write_text("f")
        for payload in [{"text": ""}, {"text": None, "urls": ["mailto:someone@example.com"]},
                        {"text": None, "files": [str(tmp_path / "f")]},
                        {"text": None, "urls": ["https://example.com/a b"]}]:
            handle, window = desk.present(payload)
            _system.close(handle)
            assert desk.closed(window)


class TestPayload:
    SHAPE = {"kind": "value", "message": "Share requires text, file paths, or URL strings."}
    FILES = {"kind": "value", "message": "File paths must be nonempty strings."}
    URL_TYPE = {"kind": "value", "message": "URLs must be strings."}
    URL = {"kind": "value", "message": "Use an absolute non-file URL, or put local paths in files."}
    EMPTY = {"kind": "value", "message": "At least one item is required."}

    @pytest.mark.parametrize("payload", [
        {}, {"files": ["/"]}, {"text": 1}, {"text": []}, {"text": True}, {"text": None, "files": "/tmp"},
        {"text": None, "files": None}, {"text": "x", "urls": {}}, {"text": "x", "urls": "https://a.b"},
    ])
    def test_bad_shape(self, payload):
        assert error("share.present", payload) == self.SHAPE

    @pytest.mark.parametrize("entry", ["", 3, None, [], {"path": "/"}])
    def test_file_entries_must_be_nonempty_strings(self, entry):
        assert error("share.present", {"text": "x", "files": ["/", entry]}) == self.FILES

    @pytest.mark.parametrize("entry", [3, None, ["https://a.b"]])
    def test_url_entries_must_be_strings(self, entry):
        assert error("share.present", {"text": "x", "urls": [entry]}) == self.URL_TYPE

    @pytest.mark.parametrize("url", ["hello", "", "file:///tmp/x", "FILE:///etc/hostname", "/etc/hostname",
                                     "://nothing", "https://exa%mple.com", "https://example.com/\u0000.evil"])
    def test_urls_must_be_absolute_and_not_files(self, url):
        assert error("share.present", {"text": "x", "urls": ["https://ok.example", url]}) == self.URL

    @pytest.mark.parametrize("payload", [{"text": None}, {"text": None, "files": [], "urls": []}])
    def test_nothing_to_share(self, payload):
        assert error("share.present", payload) == self.EMPTY

    def test_checks_run_in_order(self, tmp_path):
        assert error("share.present", {"text": None, "files": [3], "urls": [3]}) == self.FILES
        assert error("share.present", {"text": None, "files": [str(tmp_path / "gone")], "urls": ["bad"]})["kind"] == \
            "file_not_found"
        assert error("share.present", {"text": None, "urls": ["bad", 3]}) == self.URL

    def test_missing_file(self, tmp_path, monkeypatch):
        missing = tmp_path / "missing.txt"
        (tmp_path / "there").write_text("x")
        assert error("share.present", {"text": "x", "files": [str(tmp_path / "there"), str(missing)]}) == {
            "kind": "file_not_found", "message": f"The shared file does not exist: {missing}",
        }
        # A relative path is reported as the absolute path it names.
        monkeypatch.chdir(tmp_path)
        assert error("share.present", {"text": None, "files": ["missing.txt"]})["message"] == \
            f"The shared file does not exist: {missing}"
        # A NUL byte cannot be part of a path; the part before it is not looked at.
        assert error("share.present", {"text": None, "files": [str(tmp_path / "there") + "\u0000x"]})["kind"] == \
            "file_not_found"

    def test_unknown_operation(self):
        assert error("share.other", {"text": "x"}) == {"kind": "value", "message": "Unknown share operation."}
        assert error("share.", {}) == {"kind": "value", "message": "Unknown share operation."}


def test_without_a_display(tmp_path):
    code = """
    import json
    from _quendal import _system
    def run(payload):
        handle = _system.start("share.present", json.dumps(payload))
        state = json.loads(_system.poll(handle, 0))
        return [state["done"], state["error"]]
    print(json.dumps([run({"text": "x"}), run({"text": None})]))
    """
    assert run_script(textwrap.dedent(code), remove=("DISPLAY", "WAYLAND_DISPLAY")) == [
        [True, {"kind": "not_implemented", "message": "Sharing needs a graphical display."}],
        [True, {"kind": "value", "message": "At least one item is required."}],
    ]


@needs_desktop
def test_file_access_lasts_as_long_as_the_share(testing_dir, tmp_path):
    first, second = tmp_path / "first.txt", tmp_path / "second.txt"
    first.write_text("1")
    second.write_text("2")
    body = f"""
    import ctypes, gc, json, os
    hooks = ctypes.CDLL({str(testing_dir / "libquendal_hooks_pair.so")!r}, mode=os.RTLD_GLOBAL)
    from share_support import Desk, snapshot
    from _quendal import _system
    counts = lambda: [ctypes.c_int.in_dll(hooks, name).value for name in ("begin_calls", "end_calls")]
    last = lambda: ctypes.c_int64.in_dll(hooks, "last_ended_token").value
    desk = Desk()
    out = {{}}
    # Closed before a choice: the window goes and both files are let go, the last first.
    handle, window = desk.present({{"text": None, "files": [{str(first)!r}, {str(second)!r}]}})
    out["open"] = counts()
    _system.close(handle)
    out["closed"] = [counts(), last(), sorted(desk.windows())]
    # Dismissed: let go when the share ends, not when the handle goes.
    handle, window = desk.present({{"text": None, "files": [{str(first)!r}]}})
    desk.open_picker(window)
    desk.keys("Escape")
    desk.finished(handle)
    out["dismissed"] = counts()
    # A missing file: no window, and nothing stays held.
    handle = _system.start("share.present", json.dumps({{"text": None, "files": [{str(first)!r}, "/nonexistent/x"]}}))
    out["missing"] = [snapshot(handle)["error"]["kind"], counts(), sorted(desk.windows())]
    print(json.dumps(out))
    """
    out = run_script(share_script(testing_dir, body))
    assert out["open"] == [2, 0]
    assert out["closed"] == [[2, 2], 42, []]
    assert out["dismissed"] == [3, 3]
    assert out["missing"] == ["file_not_found", [5, 5], []]


@needs_desktop
class TestServices:
    """Open and Email against a handler of the test's own, registered as the
    desktop's default for web links, mail links and plain text in private XDG
    folders, so that no real application starts."""

    @pytest.fixture(scope="class")
    @classmethod
    def outcome(cls, testing_dir, tmp_path_factory):
        root = tmp_path_factory.mktemp("desktop")
        log = root / "handled.log"
        handler = root / "handler"
        handler.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$@\" >> '{log}'\n")
        handler.chmod(0o755)
        applications = root / "data" / "applications"
        applications.mkdir(parents=True)
        (applications / "quendal-share-handler.desktop").write_text(
            "[Desktop Entry]\nType=Application\nName=Share handler\nNoDisplay=true\n"
            f"Exec={handler} %u\nMimeType=x-scheme-handler/https;x-scheme-handler/mailto;text/plain;\n"
        )
        (root / "config").mkdir()
        (root / "config" / "mimeapps.list").write_text(
            "[Default Applications]\n" + "".join(
                f"{kind}=quendal-share-handler.desktop\n"
                for kind in ("x-scheme-handler/https", "x-scheme-handler/mailto", "text/plain")
            )
        )
        note = root / "note one.txt"
        note.write_text("a note")
        body = f"""
        import json, os
        from share_support import Desk, snapshot
        desk = Desk()
        log = {str(log)!r}
        def handled(count):
            desk.until(lambda: os.path.exists(log) and len(open(log).read().splitlines()) >= count, what="the handler")
            return open(log).read().splitlines()
        def choose(payload, *keys):
            handle, window = desk.present(payload)
            desk.open_picker(window)
            desk.keys(*keys)
            state = desk.finished(handle)
            return [state["result"], state["error"], desk.closed(window)]
        out = {{}}
        out["open"] = choose({{"text": "not opened", "files": [{str(note)!r}], "urls": ["https://example.com/page?q=1"]}},
                             "Down", "Return")
        out["open_handled"] = handled(2)
        out["email"] = choose({{"text": "hello world", "files": [{str(note)!r}], "urls": ["https://example.com/"]}},
                              "Down", "Down", "Return")
        out["email_handled"] = handled(3)[2:]
        out["failed"] = choose({{"text": None, "urls": ["x-quendal-nothing:here"]}}, "Down", "Return")
        print(json.dumps(out))
        """
        empty = root / "empty"
        empty.mkdir()
        env = {"XDG_DATA_HOME": str(root / "data"), "XDG_CONFIG_HOME": str(root / "config"),
               "XDG_CONFIG_DIRS": str(empty), "XDG_DATA_DIRS": f"{empty}:/usr/share"}
        return run_script(share_script(testing_dir, body), env), note

    def test_open_hands_each_file_and_link_to_its_default_application(self, outcome):
        out, note = outcome
        assert out["open"] == [{"completed": True, "activity": "Open"}, None, True]
        # GIO hands a local file to a %u handler by path.
        assert out["open_handled"] == [str(note), "https://example.com/page?q=1"]

    def test_email_sends_one_mail_link_with_body_and_attachment(self, outcome):
        from urllib.parse import quote

        out, note = outcome
        assert out["email"] == [{"completed": True, "activity": "Email"}, None, True]
        body = quote("hello world\r\nhttps://example.com/", safe="")
        assert out["email_handled"] == [f"mailto:?body={body}&attach={quote(note.as_uri(), safe='')}"]

    def test_a_failing_service_fails_the_share(self, outcome):
        out, _ = outcome
        result_, error_, closed = out["failed"]
        assert result_ is None and closed
        assert error_["kind"] == "os" and error_["message"]
