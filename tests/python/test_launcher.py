"""The host launcher, quendal-py: the same scripts give the same answers as
under python except where hosting changes them (windows and requests from any
thread while the main loop runs, the bundle), exit statuses and tracebacks as
python gives them, Ctrl-C, and the file-access hooks with their policy."""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from system_support import MockService
from texture_support import write_png

ROOT = Path(__file__).resolve().parents[2]
BUILD = os.environ.get("QUENDAL_TEST_BUILD")

ASK = """
import json
from _quendal import _system

def ask(operation, payload=None):
    request = _system.start(operation, json.dumps(payload or {}))
    try:
        while True:
            snapshot = json.loads(_system.poll(request, 0.25))
            if snapshot["done"]:
                return snapshot["result"], snapshot["error"]
    finally:
        _system.close(request)
"""


@pytest.fixture(scope="session")
def launcher() -> str:
    path = Path(BUILD, "bin", "quendal-py") if BUILD else None
    if not path or not path.exists():
        pytest.skip("QUENDAL_TEST_BUILD does not point at a build with bin/quendal-py")
    return str(path)


def run(command, script, *args, env=None, cwd=None, timeout=120):
    environment = {**os.environ, "NO_AT_BRIDGE": "1", **(env or {})}
    return subprocess.run([*command, str(script), *args], capture_output=True, text=True,
                          env=environment, cwd=cwd, timeout=timeout)


def write_script(folder: Path, text: str, name="script.py") -> Path:
    path = folder / name
    path.write_text(textwrap.dedent(text))
    return path


def with_ask(body: str) -> str:
    return ASK + textwrap.dedent(body)


def both(launcher, script, *args, **kwargs):
    return run([sys.executable], script, *args, **kwargs), run([launcher], script, *args, **kwargs)


# Same answers ---------------------------------------------------------------

def test_a_script_sees_what_it_sees_under_python(launcher, tmp_path):
    script = write_script(tmp_path, with_ask("""
        import os, signal, sys, threading
        import _quendal
        from _quendal import _metal

        try:
            _metal.create_library(source="__default__")
            library = "made"
        except RuntimeError as error:
            library = str(error)
        window = _metal.create_window(title="same answers")
        info, _ = ask("device.info")
        print(json.dumps({
            "argv": sys.argv, "orig_argv": sys.orig_argv[1:], "file": __file__, "path0": sys.path[0], "name": __name__,
            "loader": type(__loader__).__name__, "no_import_spec": __spec__ is None,
            "executable": os.path.realpath(sys.executable), "prefix": sys.prefix, "base": sys.base_prefix,
            "package": _quendal.__file__, "cwd": os.getcwd(),
            "main_thread": threading.current_thread() is threading.main_thread(),
            "thread_name": threading.current_thread().name,
            "sigint": signal.getsignal(signal.SIGINT) is signal.default_int_handler,
            "encodings": [sys.stdout.encoding, sys.getfilesystemencoding()],
            "library": library, "window": window, "size": _metal.window_metrics(window)["size"],
            "platform": info["platform"],
        }))
    """))
    python, hosted = both(launcher, script.name, "a b", "ü", "--out=x.png", cwd=tmp_path)
    assert python.returncode == 0, python.stderr
    assert hosted.returncode == 0, hosted.stderr
    assert json.loads(hosted.stdout) == json.loads(python.stdout)
    assert json.loads(hosted.stdout)["argv"] == ["script.py", "a b", "ü", "--out=x.png"]


def test_only_the_launcher_builds_the_modules_in(launcher, tmp_path):
    script = write_script(tmp_path, """
        import sys
        import _quendal._metal, _quendal._system
        print(sorted(n for n in sys.builtin_module_names if n.startswith("_quendal")))
    """)
    python, hosted = both(launcher, script)
    assert python.stdout.strip() == "[]"
    assert hosted.stdout.strip() == "['_quendal._metal', '_quendal._system']"


# Exit statuses --------------------------------------------------------------

PROGRAMS = {
    "falls off the end": "print('done')",
    "exit 3": "import sys\nsys.exit(3)",
    "exit None": "import sys\nsys.exit(None)",
    "exit 256 wraps": "import sys\nsys.exit(256)",
    "exit -1": "import sys\nsys.exit(-1)",
    "SystemExit with a message": "raise SystemExit('msg')",
    "uncaught exception": "def f():\n    raise ValueError('boom')\nf()",
    "syntax error": "print('never')\ndef (",
    "exception in a thread": "import threading\nt = threading.Thread(target=lambda: 1 / 0)\nt.start()\nt.join()",
    "KeyboardInterrupt": "raise KeyboardInterrupt",
    "atexit": "import atexit\natexit.register(print, 'bye')",
    "thread outlives the script": ("import threading, time\n"
                                   "def late():\n    time.sleep(0.3)\n    print('late')\n"
                                   "threading.Thread(target=late).start()"),
    "daemon thread never ends": ("import threading\n"
                                 "threading.Thread(target=lambda: [0 for _ in iter(int, 1)], daemon=True).start()"),
    "window and request left open": ("from _quendal import _metal, _system\n"
                                     "_metal.create_window()\n_system.start('device.info', '{}')\nprint('left')"),
}


@pytest.mark.parametrize("program", PROGRAMS.values(), ids=PROGRAMS.keys())
def test_exit_status_and_output_as_python_gives_them(launcher, tmp_path, program):
    script = write_script(tmp_path, program)
    python, hosted = both(launcher, script)
    assert (hosted.returncode, hosted.stdout, hosted.stderr) == (python.returncode, python.stdout, python.stderr)


def test_a_forked_child_ends_with_its_own_status(launcher, tmp_path):
    """The launcher is always multi-threaded, so python's warning about fork
    appears on stderr; the statuses are the same."""
    script = write_script(tmp_path, """
        import os, sys
        pid = os.fork()
        if pid == 0:
            sys.exit(5)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """)
    python, hosted = both(launcher, script)
    assert (hosted.returncode, hosted.stdout) == (python.returncode, python.stdout) == (0, "5\n")


def test_a_missing_script_is_reported_like_python(launcher, tmp_path):
    python, hosted = both(launcher, tmp_path / "missing.py")
    assert hosted.returncode == python.returncode == 2
    assert hosted.stderr.replace(launcher, "PROGRAM") == python.stderr.replace(sys.executable, "PROGRAM")


def test_the_modules_come_from_pythonpath_or_beside_the_launcher(launcher, tmp_path):
    moved = tmp_path / "bin" / "quendal-py"
    moved.parent.mkdir()
    shutil.copy(launcher, moved)
    script = write_script(tmp_path, "import _quendal._metal\nprint('ok')")
    lost = run([str(moved)], script, env={"PYTHONPATH": str(tmp_path / "nowhere")})
    assert lost.returncode == 1 and "quendal-py: cannot find the _quendal package" in lost.stderr
    found = run([str(moved)], script, env={"PYTHONPATH": str(Path(launcher).parents[1])})
    assert (found.returncode, found.stdout) == (0, "ok\n"), found.stderr


def test_usage(launcher):
    assert run([launcher], "--help").returncode == 0
    nothing = subprocess.run([launcher], capture_output=True, text=True, timeout=30)
    assert nothing.returncode == 2 and nothing.stderr.startswith("usage: quendal-py")
    unknown = run([launcher], "--bogus")
    assert unknown.returncode == 2 and "unknown option --bogus" in unknown.stderr


# Ctrl-C -----------------------------------------------------------------------

SLEEPER = """
    import sys, time
    if "--window" in sys.argv:
        from _quendal import _metal
        _metal.create_window(title="sleeper")
    try:
        print("ready", flush=True)
        time.sleep(60)
    except KeyboardInterrupt:
        if "--catch" in sys.argv:
            sys.exit(7)
        raise
"""


def interrupted(command, script, *args):
    process = subprocess.Popen([*command, str(script), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, env={**os.environ, "NO_AT_BRIDGE": "1"})
    guard = threading.Timer(60, process.kill)  # a launcher that never gets ready fails instead of hanging
    guard.start()
    ready = process.stdout.readline()
    guard.cancel()
    assert ready == "ready\n"
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=30)
    return process.returncode, stderr


@pytest.mark.parametrize("args", [(), ("--window",), ("--window", "--catch")], ids=["plain", "window", "caught"])
def test_ctrl_c_ends_a_sleeping_script_as_python(launcher, tmp_path, args):
    script = write_script(tmp_path, SLEEPER)
    python_status, python_err = interrupted([sys.executable], script, *args)
    status, stderr = interrupted([launcher], script, *args)
    assert status == python_status == (7 if "--catch" in args else -signal.SIGINT)
    assert stderr.endswith("KeyboardInterrupt\n") == python_err.endswith("KeyboardInterrupt\n")


# What hosting changes ----------------------------------------------------------

WORKER = with_ask("""
    import sys, threading, time
    from _quendal import _metal

    window = _metal.create_window(title="hosted")
    outcome = {}

    def attempt(name, work):
        try:
            outcome[name] = work()
        except RuntimeError as error:
            outcome[name] = str(error)

    def worker():
        attempt("window", lambda: _metal.close_window(_metal.create_window(title="from a worker")) or "made")
        attempt("request", lambda: ask("device.info")[0]["platform"])
        if "--busy" in sys.argv:
            for i in range(20):
                _metal.set_title(window, f"step {i}")
                _metal.vsync(window)
            outcome["titles"] = "set"

    thread = threading.Thread(target=worker, daemon=True)
    thread.start()
    if "--busy" in sys.argv:
        # This thread computes and never turns the main context itself.
        guard = time.monotonic() + 60
        while "titles" not in outcome and time.monotonic() < guard:
            pass
    thread.join(60)
    print(json.dumps(outcome))
""")


def test_worker_threads_get_windows_and_requests_only_when_hosted(launcher, tmp_path):
    script = write_script(tmp_path, WORKER)
    python, hosted = both(launcher, script)
    assert json.loads(python.stdout) == {
        "window": "Create desktop scene windows on the main Python thread.",
        "request": "Call system APIs on the Python main thread, or run an AppKit event loop.",
    }
    assert json.loads(hosted.stdout) == {"window": "made", "request": "linux"}


def test_the_main_loop_serves_workers_while_the_script_computes(launcher, tmp_path):
    hosted = run([launcher], write_script(tmp_path, WORKER), "--busy")
    assert hosted.returncode == 0, hosted.stderr
    assert json.loads(hosted.stdout) == {"window": "made", "request": "linux", "titles": "set"}


def shader_library(path: Path) -> None:
    compiler = Path(BUILD, "tools", "quendal-shaderc")
    source = path.with_suffix(".glsl")
    source.write_text("#version 450\nlayout(local_size_x = 1) in;\nvoid fill() {}\n")
    subprocess.run([str(compiler), str(source), "-o", str(path), "compute:fill"], check=True, timeout=60)
    source.unlink()


def make_bundle(folder: Path, name="Demo.app", identifier="org.example.demo") -> Path:
    bundle = folder / name
    bundle.mkdir()
    (bundle / "Info.json").write_text(json.dumps({
        "CFBundleIdentifier": identifier, "NSLocationUsageDescription": "To show the weather where you are."}))
    shader_library(bundle / "default.spv")
    write_script(bundle, with_ask("""
        import os, sys
        from _quendal import _metal
        try:
            library = type(_metal.create_library(source="__default__")).__name__
        except RuntimeError as error:
            library = str(error)
        print(json.dumps({"bundle": os.environ.get("QUENDAL_BUNDLE"), "argv": sys.argv, "library": library,
                          "notifications": ask("notification.available")}))
    """), name="main.py")
    return bundle


def test_a_bundle_runs_its_main_with_the_bundle_known(launcher, tmp_path):
    bundle = make_bundle(tmp_path)
    hosted = run([launcher], "Demo.app/", "x", cwd=tmp_path)
    python = run([sys.executable], "Demo.app/main.py", "x", cwd=tmp_path)
    assert hosted.returncode == 0, hosted.stderr
    hosted, python = json.loads(hosted.stdout), json.loads(python.stdout)
    assert hosted["bundle"] == str(bundle) and python["bundle"] is None
    assert hosted["argv"] == python["argv"] == ["Demo.app/main.py", "x"]
    assert hosted["library"] == "int"
    assert python["library"] == "No default Metal library found in app bundle."
    assert hosted["notifications"] == [True, None]
    assert python["notifications"] == [False, None]


def test_a_plain_script_runs_without_a_bundle(launcher, tmp_path):
    bundle = make_bundle(tmp_path)
    hosted = run([launcher], bundle / "main.py", env={"QUENDAL_BUNDLE": ""})
    assert hosted.returncode == 0, hosted.stderr
    facts = json.loads(hosted.stdout)
    assert facts["bundle"] == "" and facts["library"] == "No default Metal library found in app bundle."


def test_a_folder_without_main_py_is_not_run(launcher, tmp_path):
    (tmp_path / "Empty.app").mkdir()
    hosted = run([launcher], tmp_path / "Empty.app")
    assert hosted.returncode == 2
    assert f"can't open file '{tmp_path / 'Empty.app' / 'main.py'}'" in hosted.stderr


def test_the_spinner_example(launcher, tmp_path):
    spinner = ROOT / "examples" / "Spinner.app"
    hosted = run([launcher], spinner, "--compute", "0.5", "--linger", "0.2")
    assert hosted.returncode == 0, hosted.stderr
    assert "meanwhile the spinner drew" in hosted.stdout and "notifications:" in hosted.stdout
    python = run([sys.executable], spinner / "main.py")
    assert python.returncode == 2 and "quendal-py examples/Spinner.app" in python.stderr


def test_the_spinner_notifies_from_the_host_loop_while_its_script_sleeps(launcher):
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS") or not shutil.which("gdbus"):
        pytest.skip("needs a session bus")
    service = MockService("notification_daemon", "org.freedesktop.Notifications", bus="session")
    try:
        hosted = run([launcher], ROOT / "examples" / "Spinner.app", "--compute", "0.2", "--linger", "0.5")
        calls = subprocess.run(["gdbus", "call", "--session", "-d", "org.freedesktop.Notifications",
                                "-o", "/org/freedesktop/Notifications",
                                "-m", "org.freedesktop.DBus.Mock.GetMethodCalls", "Notify"],
                               capture_output=True, text=True, timeout=10).stdout
    finally:
        service.stop()
    assert hosted.returncode == 0, hosted.stderr
    assert "notifications: 'spinner-done' scheduled a second ahead" in hosted.stdout
    assert "notifications: 'spinner-done' sent" in hosted.stdout
    assert "'Spinner'" in calls and "Found" in calls


# File-access hooks ----------------------------------------------------------------

HOOKED = with_ask("""
    import os
    from _quendal import _metal
    outcomes = []
    for path in json.loads(os.environ["ACCESS_PATHS"]):
        try:
            _metal.create_image_texture(path)
            outcomes.append("loaded")
        except Exception as error:
            outcomes.append(type(error).__name__)
    outcomes.append(ask("device.storage", {"path": os.environ["STORAGE_PATH"]})[1])
    print(json.dumps(outcomes))
""")


@pytest.fixture
def outside(tmp_path):
    """A folder that is neither under the home, the temporary folders nor the build."""
    if not os.access("/dev/shm", os.W_OK):
        pytest.skip("needs a writable /dev/shm")
    folder = Path("/dev/shm", f"quendal-launcher-{os.getpid()}-{tmp_path.name}")
    folder.mkdir()
    yield folder
    shutil.rmtree(folder)


def access_log(path: Path) -> list[list[str]]:
    return [line.split("\t") for line in path.read_text().splitlines()]


def test_hooks_begin_once_per_access_and_end_each_granted_token_once(launcher, tmp_path, outside):
    pixel = [[(255, 0, 0, 255)]]
    inside = write_png(tmp_path / "inside.png", pixel)
    elsewhere = write_png(outside / "elsewhere.png", pixel)
    named = write_png(outside / "named.png", pixel)
    (tmp_path / "link.png").symlink_to(elsewhere)
    paths = [inside, "inside.png", str(tmp_path / "missing.png"), elsewhere, str(tmp_path / "link.png"), named,
             str(outside / "missing.png")]
    log = tmp_path / "access.log"
    env = {"ACCESS_PATHS": json.dumps(paths), "STORAGE_PATH": str(tmp_path), "HOME": str(tmp_path / "home"),
           "QUENDAL_FILE_ACCESS_LOG": str(log)}
    hosted = run([launcher], write_script(tmp_path, HOOKED), named, env=env, cwd=tmp_path)
    assert hosted.returncode == 0, hosted.stderr
    outcomes = json.loads(hosted.stdout)
    # A refusal takes nothing away on Linux: the module still reads the file.
    assert outcomes[:7] == ["loaded", "loaded", "RuntimeError", "loaded", "loaded", "loaded",
                            "RuntimeError"]
    assert outcomes[7] is None

    events = access_log(log)
    begun = {token: path for kind, token, *path in events if kind == "begin" for path in path}
    ended = [token for kind, token in (e[:2] for e in events) if kind == "end"]
    assert sorted(begun.values()) == sorted([inside, "inside.png", str(tmp_path / "missing.png"), named,
                                             str(tmp_path)])
    assert sorted(ended) == sorted(begun) and len(set(ended)) == len(ended)
    assert sorted(e[1] for e in events if e[0] == "refuse") == sorted(
        [elsewhere, str(tmp_path / "link.png"), str(outside / "missing.png")])
    assert {e[0] for e in events} <= {"begin", "end", "refuse"}


@pytest.mark.parametrize("launch", ["bundle", "environment"])
def test_the_bundle_and_the_home_are_granted(launcher, tmp_path, outside, launch):
    home, lookalike, bundle = outside / "home", outside / "home2", outside / "Hooks.app"
    for folder in (home, lookalike, bundle):
        folder.mkdir()
    write_script(bundle, HOOKED, name="main.py")
    pixel = [[(0, 0, 0, 255)]]
    paths = [write_png(bundle / "icon.png", pixel), write_png(home / "photo.png", pixel),
             write_png(lookalike / "photo.png", pixel)]
    log = tmp_path / "access.log"
    env = {"ACCESS_PATHS": json.dumps(paths), "STORAGE_PATH": str(outside), "HOME": str(home),
           "QUENDAL_FILE_ACCESS_LOG": str(log)}
    if launch == "bundle":
        hosted = run([launcher], bundle, env=env)
    else:  # a plain script (granted alone) with the bundle named by the environment
        hosted = run([launcher], bundle / "main.py", env={**env, "QUENDAL_BUNDLE": str(bundle)})
    assert hosted.returncode == 0, hosted.stderr
    events = access_log(log)
    assert [e[0] for e in events] == ["begin", "end", "begin", "end", "refuse", "refuse"]
    assert [e[2] for e in events if e[0] == "begin"] == paths[:2]
    assert [e[1] for e in events if e[0] == "refuse"] == [paths[2], str(outside)]


@pytest.mark.skipif(not os.environ.get("DISPLAY") or os.environ.get("QUENDAL_HEADLESS", "") not in ("", "0"),
                    reason="sharing needs a display")
def test_a_share_closed_before_a_choice_ends_its_grants(launcher, tmp_path, outside):
    granted, refused = tmp_path / "granted.txt", outside / "refused.txt"
    granted.write_text("1")
    refused.write_text("2")
    script = write_script(tmp_path, f"""
        import json
        from _quendal import _system

        def share(*files):
            return _system.start("share.present", json.dumps({{"text": None, "files": files}}))
        handle = share({str(granted)!r}, {str(refused)!r})
        first = json.loads(_system.poll(handle, 0.1))
        _system.close(handle)
        missing = share({str(granted)!r}, "/nonexistent/x")
        print(json.dumps([first["done"], json.loads(_system.poll(missing, 0.1))["error"]["kind"]]))
    """)
    log = tmp_path / "access.log"
    hosted = run([launcher], script, env={"HOME": str(tmp_path / "home"), "QUENDAL_FILE_ACCESS_LOG": str(log)})
    assert hosted.returncode == 0, hosted.stderr
    assert json.loads(hosted.stdout) == [False, "file_not_found"]
    events = access_log(log)
    begun = [token for kind, token, *_ in events if kind == "begin"]
    assert [e[2] for e in events if e[0] == "begin"] == [str(granted), str(granted)]
    assert sorted(e[1] for e in events if e[0] == "end") == sorted(begun)
    assert [e[1] for e in events if e[0] == "refuse"] == [str(refused), "/nonexistent/x"]
    assert {e[0] for e in events} == {"begin", "end", "refuse"}
