"""Side-by-side timings for _quendal._system (not a test).

    scripts/run-tests is not needed: run under an X display, e.g.
    xvfb-run -a .venv/bin/python bench/bench_system.py

Poll wake-up uses the test-only probe module of a QUENDAL_TESTS build
(build/<tag>/testing), which records samples from a thread of its own.
Peers: threading.Event, shutil.disk_usage, pyperclip (with xclip)."""

import glob
import json
import os
import shutil
import statistics
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for build in sorted(glob.glob(os.path.join(ROOT, "build", "cp3*"))):
    sys.path.insert(0, os.path.join(build, "testing"))
    sys.path.insert(0, build)

from _quendal import _system  # noqa: E402


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
    import _quendal_systemprobe as probe

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


def row(name, ours, peer, peer_name):
    print(f"{name:<34} {ours:>10.1f} us   {peer_name:<22} {peer:>10.1f} us   ratio {ours / peer:6.3f}")


def main():
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} CPUs, DISPLAY={os.environ.get('DISPLAY')}")
    row("poll wake (main thread)", *wake_latencies(on_main=True), "threading.Event")
    row("poll wake (worker thread)", *wake_latencies(on_main=False), "threading.Event")
    row("device.storage start/poll/close", timed(storage_request, 2000), timed(lambda: shutil.disk_usage("/"), 2000),
        "shutil.disk_usage")
    if os.environ.get("DISPLAY") and shutil.which("xclip"):
        import pyperclip

        pyperclip.set_clipboard("xclip")
        clipboard_round_trip()
        ours = timed(clipboard_round_trip, 300)
        # pyperclip's xclip writer must keep serving while paste reads: it forks.
        peer = timed(pyperclip_round_trip, 30)
        row("clipboard 1 KiB write+read", ours, peer, "pyperclip (xclip)")
        handle = _system.start("clipboard.clear", "{}")
        _system.poll(handle, 0)
    else:
        print("clipboard: skipped (no DISPLAY or no xclip)")


if __name__ == "__main__":
    main()
