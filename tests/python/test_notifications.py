"""Local notifications. Outside an application bundle in this process; under a
bundle in fresh interpreters, because the bundle is read once per process,
against python3-dbusmock's notification daemon on the private session bus."""

import json
import os
import subprocess
import sys

import pytest

from system_support import MockService, bus_available, run

UNAVAILABLE = {
    "kind": "not_implemented",
    "message": "Local notifications require an app bundle. On macOS, use the quendal-py launcher.",
}
INVALID = {
    "kind": "value",
    "message": "A notification requires a valid identifier, text, and delay (at least 60 seconds when repeating).",
}
NO_PERMISSION = {"kind": "permission", "message": "Request notification permission before scheduling."}
BAD_CANCEL = {"kind": "value", "message": "identifier must be a nonempty string."}
UNKNOWN = {"kind": "value", "message": "Unknown notification operation."}
NO_SERVER_PREFIX = "No notification server answers on the session bus: "
YEAR = 31536000

needs_bus = pytest.mark.skipif(not bus_available(), reason="needs the private D-Bus bus of run-tests")


class TestOutsideABundle:
    def test_not_available(self):
        state = run("notification.available")
        assert state["done"] and state["error"] is None and state["result"] is False

    @pytest.mark.parametrize("operation", [
        "notification.permission", "notification.request_permission", "notification.schedule",
        "notification.pending", "notification.cancel", "notification.bogus", "notification.",
    ])
    def test_every_other_name_needs_a_bundle(self, operation):
        payload = {"identifier": "x", "title": "t", "body": "b", "delay": 1}
        state = run(operation, payload)
        assert state["done"] and state["result"] is None and state["error"] == UNAVAILABLE


# --- under a bundle, in a fresh interpreter ---

PRELUDE = """
import json, os, signal, subprocess, sys, threading, time
sys.path.insert(0, {testing!r})
import _quendal_testhost as host
from _quendal import _system

def ask(operation, payload=None):
    '''Starts an operation and polls it until it is done; returns its snapshot.'''
    handle = _system.start(operation, json.dumps(payload if payload is not None else {{}}))
    try:
        deadline = time.monotonic() + 20
        while True:
            state = json.loads(_system.poll(handle, 0.05))
            if state["done"] or time.monotonic() > deadline:
                return state
    finally:
        _system.close(handle)

def outcome(operation, payload=None):
    state = ask(operation, payload)
    return state["error"] if state["error"] is not None else {{"result": state["result"]}}

def turn(seconds):
    '''Keeps the main context turning, as a polling program or a host's loop would.'''
    host.run_main_loop(seconds)

out = None
"""


def make_bundle(root, name="Demo.app", info=None):
    bundle = root / name
    bundle.mkdir()
    if info is not None:
        text = info if isinstance(info, str) else json.dumps(info)
        (bundle / "Info.json").write_text(text)
    return bundle


@pytest.fixture
def bundle(tmp_path):
    return make_bundle(tmp_path, info={"CFBundleIdentifier": "org.example.demo", "CFBundleName": "Demo Bundle"})


def run_in_bundle(testing_dir, bundle, body, timeout=60):
    """Runs a script under a bundle in a new interpreter; the script leaves its
    findings in `out`, which comes back decoded."""
    script = PRELUDE.format(testing=str(testing_dir)) + body + "\nprint(json.dumps(out))\n"
    env = dict(os.environ, QUENDAL_BUNDLE=str(bundle))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture
def in_bundle(testing_dir):
    return lambda bundle, body: run_in_bundle(testing_dir, bundle, body)


def method_calls(method):
    """The arguments of every call of method that the mock daemon received."""
    script = """
import dbus, json, sys
def plain(value):
    if isinstance(value, dbus.Boolean): return bool(value)
    if isinstance(value, dict): return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)): return [plain(v) for v in value]
    if isinstance(value, str): return str(value)
    if isinstance(value, float): return float(value)
    return int(value)
mock = dbus.SessionBus().get_object("org.freedesktop.Notifications", "/org/freedesktop/Notifications")
calls = mock.GetMethodCalls(sys.argv[1], dbus_interface="org.freedesktop.DBus.Mock")
print(json.dumps([plain(args) for _, args in calls]))
"""
    done = subprocess.run(["/usr/bin/python3", "-c", script, method], capture_output=True, text=True, timeout=10)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.fixture
def server():
    services = []

    def start(**parameters):
        service = MockService("notification_daemon", "org.freedesktop.Notifications", parameters, bus="session")
        services.append(service)
        return service

    yield start
    for service in services:
        service.stop()


BUNDLE_SHAPES = [
    ("Demo.app", {"CFBundleIdentifier": "org.example.demo"}, True),
    ("Demo.APP", {"CFBundleIdentifier": "org.example.demo"}, True),
    ("Demo.app/", {"CFBundleIdentifier": "org.example.demo"}, True),
    ("Demo.bundle", {"CFBundleIdentifier": "org.example.demo"}, False),
    ("Demo", {"CFBundleIdentifier": "org.example.demo"}, False),
    ("Demo.app", {}, False),
    ("Demo.app", {"CFBundleIdentifier": ""}, False),
    ("Demo.app", {"CFBundleIdentifier": 7}, False),
    ("Demo.app", '{"CFBundleIdentifier": "org.example.demo"', False),
    ("Demo.app", None, False),
]


@pytest.mark.parametrize("name, info, available", BUNDLE_SHAPES)
def test_availability_follows_the_bundle(tmp_path, in_bundle, name, info, available):
    path = make_bundle(tmp_path, name.rstrip("/"), info)
    suffix = "/" if name.endswith("/") else ""
    body = 'out = [outcome("notification.available"), outcome("notification.bogus")]'
    assert in_bundle(str(path) + suffix, body) == [
        {"result": available}, UNKNOWN if available else UNAVAILABLE,
    ]


def test_the_bundle_is_read_once_per_process(bundle, in_bundle):
    body = """
first = outcome("notification.available")
os.remove(os.path.join(os.environ["QUENDAL_BUNDLE"], "Info.json"))
os.environ["QUENDAL_BUNDLE"] = "/nonexistent"
out = [first, outcome("notification.available"), outcome("notification.permission")]
"""
    assert in_bundle(bundle, body) == [{"result": True}, {"result": True}, {"result": "not_determined"}]


@needs_bus
class TestPermission:
    def test_no_server_fails_os_and_stays_undetermined(self, bundle, in_bundle):
        body = """
out = [outcome("notification.permission"), outcome("notification.request_permission"),
       outcome("notification.permission"),
       outcome("notification.schedule", {"identifier": "x", "title": "t", "body": "b", "delay": 1})]
"""
        before, asked, after, schedule = in_bundle(bundle, body)
        assert before == after == {"result": "not_determined"}
        assert asked["kind"] == "os" and asked["message"].startswith(NO_SERVER_PREFIX)
        assert "org.freedesktop.Notifications" in asked["message"]
        assert schedule == NO_PERMISSION

    def test_a_silent_server_fails_os_in_bounded_time(self, bundle, in_bundle, server):
        server().freeze()
        state = in_bundle(bundle, 'out = ask("notification.request_permission")')
        assert state["done"], "no answer while the server stays silent"
        assert state["error"]["kind"] == "os" and state["error"]["message"].startswith(NO_SERVER_PREFIX)

    def test_a_server_authorizes_and_scheduling_needs_the_question_first(self, bundle, in_bundle, server):
        server()
        body = """
payload = {"identifier": "x", "title": "t", "body": "b", "delay": 3600}
out = [outcome("notification.schedule", payload), outcome("notification.permission"),
       outcome("notification.request_permission"), outcome("notification.permission"),
       outcome("notification.schedule", payload)]
"""
        assert in_bundle(bundle, body) == [
            NO_PERMISSION, {"result": "not_determined"}, {"result": "authorized"}, {"result": "authorized"},
            {"result": "x"},
        ]
        assert method_calls("GetCapabilities") == [[]]
        assert method_calls("Notify") == []


AUTHORIZED = 'assert outcome("notification.request_permission") == {"result": "authorized"}\n'


@needs_bus
class TestDelivery:
    def test_sent_after_its_delay_with_title_body_and_app_name(self, bundle, in_bundle, server):
        server()
        body = AUTHORIZED + """
handle = _system.start("notification.schedule",
                       json.dumps({"identifier": "greeting", "title": "Hello", "body": "From the test", "delay": 0.2}))
# Answers come from the main context, never inside start.
first = json.loads(_system.poll(handle, 0))
while not json.loads(_system.poll(handle, 0.05, False))["done"]:
    pass
scheduled = json.loads(_system.poll(handle, 0))
now = time.time()
pending = outcome("notification.pending")
turn(0.6)
out = [first["done"], scheduled["result"], now, pending, outcome("notification.pending")]
"""
        first_done, result, now, pending, after = in_bundle(bundle, body)
        assert first_done is False
        assert result == "greeting"
        [entry] = pending["result"]
        assert entry["next_date"] > now
        del entry["next_date"]
        assert entry == {"identifier": "greeting", "title": "Hello", "body": "From the test", "repeat": False}
        assert after == {"result": []}
        assert method_calls("Notify") == [
            ["Demo Bundle", 0, "", "Hello", "From the test", [], {"suppress-sound": True}, -1],
        ]

    def test_sound_hint_and_the_directory_name_as_app_name(self, tmp_path, in_bundle, server):
        server()
        bundle = make_bundle(tmp_path, "Chime.app", {"CFBundleIdentifier": "org.example.chime"})
        body = AUTHORIZED + """
outcome("notification.schedule", {"identifier": "a", "title": "", "body": "", "delay": 0.1, "sound": True})
outcome("notification.schedule", {"identifier": "b", "title": "quiet", "body": "", "delay": 0.1, "sound": "no"})
turn(0.5)
"""
        in_bundle(bundle, body)
        calls = sorted(method_calls("Notify"), key=lambda args: args[3])
        assert [(args[0], args[3], args[6]) for args in calls] == [
            ("Chime", "", {"sound-name": "message-new-instant"}),
            ("Chime", "quiet", {"suppress-sound": True}),
        ]

    def test_texts_reach_the_server_as_valid_utf8_without_nul(self, tmp_path, in_bundle, server):
        server()
        # A folder name that is not UTF-8 (Latin-1 e acute) names the application.
        folder = os.fsencode(tmp_path) + b"/Caf\xe9.app"
        os.mkdir(folder)
        with open(folder + b"/Info.json", "w") as f:
            json.dump({"CFBundleIdentifier": "org.example.cafe"}, f)
        body = AUTHORIZED + """
outcome("notification.schedule", {"identifier": "n", "title": "a\\u0000b", "body": "c\\u0000", "delay": 0.1})
turn(0.4)
"""
        in_bundle(os.fsdecode(folder), body)
        [args] = method_calls("Notify")
        assert args[0] == "Caf\ufffd" and args[3] == "ab" and args[4] == "c"

    @pytest.mark.parametrize("capabilities, sent", [
        ("body body-markup", "1 &lt; 2 &amp;&amp; &lt;b&gt;"),
        ("body", "1 < 2 && <b>"),
    ])
    def test_plain_text_body_survives_a_markup_server(self, bundle, in_bundle, server, capabilities, sent):
        server(capabilities=capabilities)
        body = AUTHORIZED + """
outcome("notification.schedule", {"identifier": "m", "title": "<i>", "body": "1 < 2 && <b>", "delay": 0.1})
turn(0.4)
"""
        in_bundle(bundle, body)
        [args] = method_calls("Notify")
        assert args[3] == "<i>" and args[4] == sent

    def test_delivered_from_a_host_loop_to_a_worker_thread(self, bundle, in_bundle, server):
        server()
        body = """
results = []
def worker():
    while not host.application_is_running():
        time.sleep(0.001)
    results.append(outcome("notification.request_permission"))
    results.append(outcome("notification.schedule", {"identifier": "w", "title": "t", "body": "b", "delay": 0.1}))
    time.sleep(0.4)
    results.append(outcome("notification.pending"))
    host.quit_main_loop()
thread = threading.Thread(target=worker)
thread.start()
turn(20)
thread.join()
out = results
"""
        assert in_bundle(bundle, body) == [{"result": "authorized"}, {"result": "w"}, {"result": []}]
        assert len(method_calls("Notify")) == 1


@needs_bus
class TestPendingAndCancel:
    def test_pending_in_scheduling_order_with_future_dates(self, bundle, in_bundle, server):
        server()
        body = AUTHORIZED + """
now = time.time()
for identifier, delay, repeat in [("first", 3600, False), ("second", 60, True), ("third", 31536000, "yes")]:
    outcome("notification.schedule", {"identifier": identifier, "title": identifier.upper(), "body": "b",
                                       "delay": delay, "repeat": repeat})
listed = outcome("notification.pending")
# Scheduling an identifier again replaces it, and it counts as scheduled last.
outcome("notification.schedule", {"identifier": "first", "title": "again", "body": "b", "delay": 100})
out = [now, listed, outcome("notification.pending")]
"""
        now, listed, relisted = in_bundle(bundle, body)
        entries = listed["result"]
        assert [(e["identifier"], e["title"], e["repeat"]) for e in entries] == [
            ("first", "FIRST", False), ("second", "SECOND", True), ("third", "THIRD", True),
        ]
        for entry, delay in zip(entries, [3600, 60, YEAR]):
            assert now < entry["next_date"] <= now + delay + 60
        assert [(e["identifier"], e["title"]) for e in relisted["result"]] == [
            ("second", "SECOND"), ("third", "THIRD"), ("first", "again"),
        ]

    def test_cancel_removes_pending_closes_delivered_and_ignores_unknown(self, bundle, in_bundle, server):
        server()
        body = AUTHORIZED + """
outcome("notification.schedule", {"identifier": "soon", "title": "t", "body": "b", "delay": 0.1})
outcome("notification.schedule", {"identifier": "later", "title": "t", "body": "b", "delay": 3600})
turn(0.4)
delivered = outcome("notification.pending")
cancels = [outcome("notification.cancel", {"identifier": name}) for name in ("soon", "later", "never")]
turn(0.2)
out = [delivered, cancels, outcome("notification.pending")]
"""
        delivered, cancels, after = in_bundle(bundle, body)
        assert [e["identifier"] for e in delivered["result"]] == ["later"]
        assert cancels == [{"result": None}] * 3
        assert after == {"result": []}
        assert len(method_calls("Notify")) == 1
        # The mock daemon numbers notifications from 1.
        assert method_calls("CloseNotification") == [[1]]

    def test_one_the_server_has_closed_is_not_closed_again(self, bundle, in_bundle, server):
        server()
        body = AUTHORIZED + """
outcome("notification.schedule", {"identifier": "shown", "title": "t", "body": "b", "delay": 0.1})
turn(0.4)
# The user dismisses it: the server says so with NotificationClosed.
subprocess.run(["gdbus", "call", "--session", "-d", "org.freedesktop.Notifications",
                "-o", "/org/freedesktop/Notifications", "-m", "org.freedesktop.Notifications.CloseNotification", "1"],
               check=True, capture_output=True)
turn(0.3)
out = outcome("notification.cancel", {"identifier": "shown"})
turn(0.2)
"""
        assert in_bundle(bundle, body) == {"result": None}
        # Only the dismissal itself.
        assert method_calls("CloseNotification") == [[1]]

    def test_cancel_while_the_server_has_not_answered_closes_it_when_it_does(self, bundle, in_bundle, server):
        service = server()
        body = AUTHORIZED + f"""
os.kill({service.process.pid}, signal.SIGSTOP)
outcome("notification.schedule", {{"identifier": "slow", "title": "t", "body": "b", "delay": 0.1}})
turn(0.3)
out = outcome("notification.cancel", {{"identifier": "slow"}})
os.kill({service.process.pid}, signal.SIGCONT)
turn(1.0)
"""
        assert in_bundle(bundle, body) == {"result": None}
        assert len(method_calls("Notify")) == 1
        assert method_calls("CloseNotification") == [[1]]

    @pytest.mark.parametrize("payload", [{}, {"identifier": ""}, {"identifier": 5}, {"identifier": None}])
    def test_cancel_needs_an_identifier(self, bundle, in_bundle, payload):
        assert in_bundle(bundle, f'out = outcome("notification.cancel", {payload!r})') == BAD_CANCEL


@needs_bus
class TestClose:
    def test_closing_before_the_add_is_confirmed_takes_it_back(self, bundle, in_bundle, server):
        server()
        body = AUTHORIZED + """
handle = _system.start("notification.schedule",
                       json.dumps({"identifier": "gone", "title": "t", "body": "b", "delay": 0.1}))
_system.close(handle)
closed = json.loads(_system.poll(handle, 0))
pending = outcome("notification.pending")
turn(0.4)
out = [closed, pending, json.loads(_system.poll(handle, 0))]
"""
        closed, pending, later = in_bundle(bundle, body)
        assert closed["closed"] and not closed["done"]
        assert pending == {"result": []}
        assert later["closed"] and not later["done"] and later["result"] is None and later["error"] is None
        assert method_calls("Notify") == []

    def test_closing_after_it_is_confirmed_keeps_it(self, bundle, in_bundle, server):
        server()
        body = AUTHORIZED + """
handle = _system.start("notification.schedule",
                       json.dumps({"identifier": "kept", "title": "t", "body": "b", "delay": 3600}))
while not json.loads(_system.poll(handle, 0.05, False))["done"]:
    pass
_system.close(handle)
out = [json.loads(_system.poll(handle, 0)), outcome("notification.pending")]
"""
        state, pending = in_bundle(bundle, body)
        assert state["closed"] and state["result"] == "kept"
        assert [e["identifier"] for e in pending["result"]] == ["kept"]


# Each case: the schedule payload and whether it is accepted. One interpreter
# runs them all.
EMOJI = "\U0001F600"  # outside the basic plane: two UTF-16 code units
BASE = {"title": "t", "body": "b", "delay": 3600}
SCHEDULE_CASES = {
    "identifier of 128 units": ({**BASE, "identifier": "x" * 128}, True),
    "identifier of 129 units": ({**BASE, "identifier": "x" * 129}, False),
    "64 astral characters are 128 units": ({**BASE, "identifier": EMOJI * 64}, True),
    "an astral character counts two": ({**BASE, "identifier": "x" + EMOJI * 64}, False),
    "128 two-byte characters": ({**BASE, "identifier": "\u00e9" * 128}, True),
    "empty identifier": ({**BASE, "identifier": ""}, False),
    "identifier not a string": ({**BASE, "identifier": 12}, False),
    "no identifier": (BASE, False),
    "empty title and body": ({**BASE, "identifier": "empty", "title": "", "body": ""}, True),
    "title not a string": ({**BASE, "identifier": "i", "title": None}, False),
    "no body": ({"identifier": "i", "title": "t", "delay": 3600}, False),
    "repeat with 59.9": ({**BASE, "identifier": "i", "delay": 59.9, "repeat": True}, False),
    "repeat with 60": ({**BASE, "identifier": "r60", "delay": 60, "repeat": True}, True),
    "repeat read from a string": ({**BASE, "identifier": "i", "delay": 59.9, "repeat": "Yes"}, False),
    "0.09 without repeat": ({**BASE, "identifier": "i", "delay": 0.09}, False),
    "0.1 without repeat": ({**BASE, "identifier": "d01", "delay": 0.1, "repeat": 0}, True),
    "365 days": ({**BASE, "identifier": "year", "delay": YEAR}, True),
    "365 days and a second": ({**BASE, "identifier": "i", "delay": YEAR + 1}, False),
    "repeating 365 days": ({**BASE, "identifier": "ryear", "delay": YEAR, "repeat": True}, True),
    "delay as text": ({**BASE, "identifier": "i", "delay": "5"}, False),
    "no delay": ({"identifier": "i", "title": "t", "body": "b"}, False),
}


@pytest.fixture(scope="module")
def schedule_outcomes(tmp_path_factory, testing_dir):
    if not bus_available():
        pytest.skip("needs the private D-Bus bus of run-tests")
    bundle = make_bundle(tmp_path_factory.mktemp("validation"), info={"CFBundleIdentifier": "org.example.v"})
    service = MockService("notification_daemon", "org.freedesktop.Notifications", bus="session")
    try:
        body = AUTHORIZED + f"""
cases = json.loads({json.dumps({name: payload for name, (payload, _) in SCHEDULE_CASES.items()})!r})
out = {{name: outcome("notification.schedule", payload) for name, payload in cases.items()}}
out["<flags>"] = [outcome("notification.schedule", {{"identifier": "n", "title": "t", "body": "b", "delay": 1,
                                                    "repeat": None}}),
                  outcome("notification.schedule", {{"identifier": "n", "title": "t", "body": "b", "delay": 1,
                                                    "sound": []}}),
                  outcome("notification.bogus")]
"""
        return run_in_bundle(testing_dir, bundle, body)
    finally:
        service.stop()


@pytest.mark.parametrize("case", list(SCHEDULE_CASES))
def test_schedule_validation(schedule_outcomes, case):
    payload, accepted = SCHEDULE_CASES[case]
    expected = {"result": payload.get("identifier")} if accepted else INVALID
    assert schedule_outcomes[case] == expected


def test_truth_flags_without_a_reading_fail_runtime_and_unknown_names_fail_value(schedule_outcomes):
    repeat, sound, unknown = schedule_outcomes["<flags>"]
    assert repeat["kind"] == "runtime" and "repeat" in repeat["message"]
    assert sound["kind"] == "runtime" and "sound" in sound["message"]
    assert unknown == UNKNOWN

