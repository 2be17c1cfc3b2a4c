"""Side-by-side timings for _quendal._system (not a test), against the
installed package.

    .venv/bin/python bench/bench_system.py [--quick] [--json] [-k PATTERN] [--curve]
    (the clipboard row, run alone only, needs an X display and xclip)

Poll wake-up needs a request completed from a thread at a known moment, which
no public operation offers: it uses the test-only probe module, built from the
same request sources by the QUENDAL_TESTS build that set-up installs from
(<checkout>/build/<wheel tag>/testing, found from the virtual environment), or
the testing folder beside an imported build (PYTHONPATH=build/dev), or
QUENDAL_PROBE_DIR. _quendal itself always comes from the normal import path.
Peers: threading.Event, shutil.disk_usage, pyperclip (with xclip).
--curve: poll wake-up against the number of open requests."""

import glob
import json
import os
import shutil
import statistics
import sys
import threading
import time

from _harness import alternate, row, run_module, selected

from _quendal import _system


def import_probe():
    import _quendal

    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(_quendal.__file__)))
    candidates = [os.environ.get("QUENDAL_PROBE_DIR"), os.path.join(package_parent, "testing")]
    checkout = os.path.dirname(os.path.abspath(sys.prefix))
    candidates += sorted(glob.glob(os.path.join(checkout, "build", "cp3*", "testing")))
    for folder in candidates:
        if folder and glob.glob(os.path.join(folder, "_quendal_systemprobe*.so")):
            sys.path.insert(0, folder)
            import _quendal_systemprobe
            return _quendal_systemprobe
    raise RuntimeError("no _quendal_systemprobe (a QUENDAL_TESTS build) found")


def median_us(samples_ns):
    return statistics.median(samples_ns) / 1000


def poll_wake_once(probe):
    handle = probe.make_request()
    probe.push_stamped_later(handle, 0.002)
    while True:
        text = probe.poll(handle, 0.25)
        returned = time.monotonic_ns()
        sample = json.loads(text)["sample"]
        if sample is not None:
            return returned - sample


def event_wake_once():
    event = threading.Event()
    stamp = []

    def producer():
        time.sleep(0.002)
        stamp.append(time.monotonic_ns())
        event.set()

    thread = threading.Thread(target=producer)
    thread.start()
    event.wait(0.25)
    returned = time.monotonic_ns()
    thread.join()
    return returned - stamp[0]


def wake_latencies(blocks=8, rounds=50, on_main=True):
    """Median wake-ups of poll and of threading.Event, measured in alternating
    blocks so that both see the same machine load (alternating single rounds
    slows both: each disturbs the other's thread wake-up)."""
    probe = import_probe()
    ours, events = [], []

    def measure():
        for _ in range(blocks):
            ours.extend(poll_wake_once(probe) for _ in range(rounds))
            events.extend(event_wake_once() for _ in range(rounds))

    if on_main:
        measure()
    else:
        thread = threading.Thread(target=measure)
        thread.start()
        thread.join()
    return median_us(ours), median_us(events)


def timed(fn, rounds):
    samples = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        fn()
        samples.append(time.perf_counter_ns() - start)
    return median_us(samples)


def storage_request():
    # The row is start/poll/close, what the module does; parsing the JSON text
    # (json.loads, about 2 us more) is the caller's, as the peer's namedtuple is.
    handle = _system.start("device.storage", '{"path": "/"}')
    _system.poll(handle, 0)
    _system.close(handle)


def storage_request_parsed():
    handle = _system.start("device.storage", '{"path": "/"}')
    json.loads(_system.poll(handle, 0))
    _system.close(handle)


TEXT = "x" * 1023 + "y"


def clipboard_round_trip():
    handle = _system.start("clipboard.write_text", json.dumps({"text": TEXT}))
    _system.poll(handle, 0)
    handle = _system.start("clipboard.read_text", "{}")
    assert json.loads(_system.poll(handle, 0))["result"] == TEXT


def pyperclip_round_trip():
    import pyperclip

    pyperclip.copy(TEXT)
    assert pyperclip.paste() == TEXT


def rows(quick=False, select=None):
    out = []
    blocks = 4 if quick else 8
    for key, measure, on_main in (("system.poll_wake_main", "poll wake-up, main thread", True),
                                  ("system.poll_wake_worker", "poll wake-up, worker thread", False)):
        if selected(key, measure, select):
            ours, event = wake_latencies(blocks=blocks, on_main=on_main)
            out.append(row(key, measure, "us", ours, {"threading.Event": event}))
    if selected("system.storage", "device.storage", select):
        times = alternate({"quendal": storage_request, "parsed": storage_request_parsed,
                           "shutil": lambda: shutil.disk_usage("/")}, 300, 5 if quick else 9)
        out.append(row("system.storage", "device.storage start/poll/close", "us",
                       times["quendal"] * 1e6, {"shutil.disk_usage": times["shutil"] * 1e6}))
        print(f"device.storage with json.loads of the snapshot: {times['parsed'] * 1e6:.2f} us", file=sys.stderr)
    return out


def curve(quick=False):
    """Poll wake-up with N other requests open (pending, never completed)."""
    probe = import_probe()
    counts = [1, 10, 100, 1000]
    ours = []
    for count in counts:
        idle = [probe.make_request() for _ in range(count - 1)]
        ours.append(median_us([poll_wake_once(probe) for _ in range(100 if quick else 300)]))
        for handle in idle:
            probe.close(handle)
    return [{"name": "poll wake-up (main thread)", "x": counts, "xlabel": "open requests", "ylabel": "us",
             "logx": True, "series": {"poll": ours}}]


def main():
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} CPUs, DISPLAY={os.environ.get('DISPLAY')}")
    run_module(rows)
    if os.environ.get("DISPLAY") and shutil.which("xclip"):
        import pyperclip

        pyperclip.set_clipboard("xclip")
        clipboard_round_trip()
        ours = timed(clipboard_round_trip, 300)
        # pyperclip's xclip writer must keep serving while paste reads: it forks.
        peer = timed(pyperclip_round_trip, 30)
        print(f"clipboard 1 KiB write+read {ours:10.1f} us, pyperclip (xclip) {peer:10.1f} us, ratio {ours / peer:.3f}")
        handle = _system.start("clipboard.clear", "{}")
        _system.poll(handle, 0)
    else:
        print("clipboard: skipped (no DISPLAY or no xclip)")


if __name__ == "__main__":
    if "--curve" in sys.argv:
        for c in curve("--quick" in sys.argv):
            print("CURVE " + json.dumps(c), flush=True)
    elif "--json" in sys.argv:
        run_module(rows)
    else:
        main()
