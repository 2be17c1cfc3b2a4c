"""Spinner: what running as a hosted application adds.

A window whose spinner keeps turning at the display's pace while the program
computes on its own, and a notification scheduled a second ahead once the
computation is done. The main loop runs on the process's main thread the whole
time, so a drawing thread is paced by real display refreshes, the window
answers the window system, and system requests get their answers, whatever the
program's main thread is busy with.

    quendal-py examples/Spinner.app [--compute 3] [--linger 2]
"""

import argparse
import json
import math
import struct
import sys
import threading
import time

from _quendal import _metal, _system

SHADERS = """
#version 450
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0, std430) readonly buffer Params { vec4 params; };  // time, aspect, dots
layout(location = 0) out vec2 vLocal;
layout(location = 1) out float vGlow;
void vs_main() {
    const vec2 corners[6] = vec2[](vec2(-1, -1), vec2(1, -1), vec2(1, 1), vec2(-1, -1), vec2(1, 1), vec2(-1, 1));
    float dots = params.z;
    float phase = float(gl_InstanceIndex) / dots;
    float angle = 6.2831853 * phase;
    vec2 centre = 0.55 * vec2(sin(angle), cos(angle));
    vec2 local = corners[gl_VertexIndex];
    gl_Position = vec4((centre + 0.09 * local) * vec2(1.0 / params.y, 1.0), 0.0, 1.0);
    vLocal = local;
    vGlow = fract(phase + params.x * 0.8);
}
#endif
#ifdef QUENDAL_FRAGMENT
layout(location = 0) in vec2 vLocal;
layout(location = 1) in float vGlow;
layout(location = 0) out vec4 color;
void fs_main() {
    if (dot(vLocal, vLocal) > 1.0) discard;
    vec3 background = vec3(0.07, 0.08, 0.11);
    color = vec4(mix(background, vec3(0.35, 0.75, 1.0), 0.15 + 0.85 * pow(vGlow, 3.0)), 1.0);
}
#endif
"""
DOTS = 12
NOTIFICATION = "spinner-done"


def ask(operation: str, payload: dict, timeout: float = 10.0):
    """Runs one system request to its end: (result, error)."""
    request = _system.start(operation, json.dumps(payload))
    try:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            snapshot = json.loads(_system.poll(request, 0.1))
            if snapshot["done"]:
                return snapshot["result"], snapshot["error"]
        return None, {"kind": "timeout", "message": f"no answer within {timeout:.0f} s"}
    finally:
        _system.close(request)


class Spinner:
    """Draws the window from a thread of its own, paced by the display link."""

    def __init__(self) -> None:
        self.window = _metal.create_window(title="Spinner")
        library = _metal.create_library(source=SHADERS)
        self.pipeline = _metal.create_render_pipeline(library, "vs_main", "fs_main", blending=False)
        self.params = _metal.create_buffer(16)
        self.frames = 0
        self.closed = False
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="spinner")

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()
        _metal.close_window(self.window)

    def _run(self) -> None:
        start = time.monotonic()
        while not self._stop.is_set():
            metrics = _metal.window_metrics(self.window)
            width, height = metrics["size"]
            _metal.write_buffer(self.params, struct.pack("4f", time.monotonic() - start, width / height, DOTS, 0))
            _metal.begin_frame(self.window, clear_color=(0.07, 0.08, 0.11, 1.0))
            _metal.set_pipeline(self.window, self.pipeline)
            _metal.set_vertex_buffer(self.window, self.params, 0)
            _metal.draw_instanced(self.window, "triangle", 0, 6, DOTS)
            _metal.end_frame(self.window)
            self.frames += 1
            if _metal.consume_actions(self.window)["close"]:
                self.closed = True
                break
            _metal.vsync(self.window)


def count_primes(seconds: float, spinner: Spinner) -> int:
    """Plain Python work that never yields on purpose: trial division."""
    found, candidate = 0, 2
    deadline = time.monotonic() + seconds
    next_title = 0.0
    while time.monotonic() < deadline and not spinner.closed:
        limit = math.isqrt(candidate)
        if all(candidate % d for d in range(2, limit + 1)):
            found += 1
        candidate += 1
        if time.monotonic() >= next_title:
            _metal.set_title(spinner.window, f"Spinner - {found} primes so far")
            next_title = time.monotonic() + 0.25
    return found


def notify(text: str) -> bool:
    """Schedules a notification a second ahead; False when that cannot be done here."""
    available, error = ask("notification.available", {})
    if error:
        print(f"notifications: {error['kind']}: {error['message']}")
        return False
    if not available:
        print("notifications: not available outside an application bundle")
        return False
    permission, error = ask("notification.request_permission", {})
    if error:
        print(f"notifications: permission: {error['kind']}: {error['message']}")
        return False
    print(f"notifications: permission {permission}")
    identifier, error = ask("notification.schedule",
                            {"identifier": NOTIFICATION, "title": "Spinner", "body": text, "delay": 1.0})
    if error:
        print(f"notifications: schedule: {error['kind']}: {error['message']}")
        return False
    print(f"notifications: '{identifier}' scheduled a second ahead")
    return True


def still_pending() -> bool:
    pending, error = ask("notification.pending", {})
    return not error and any(entry["identifier"] == NOTIFICATION for entry in pending)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--compute", type=float, default=3.0, help="seconds of computing")
    parser.add_argument("--linger", type=float, default=2.0, help="seconds to keep spinning afterwards, at least")
    args = parser.parse_args()

    if "_quendal._metal" not in sys.builtin_module_names:
        print("Spinner is an application bundle: run it with  quendal-py examples/Spinner.app", file=sys.stderr)
        return 2

    spinner = Spinner()
    spinner.start()
    began = time.monotonic()
    primes = count_primes(args.compute, spinner)
    busy = time.monotonic() - began
    frames = spinner.frames
    print(f"computed {primes} primes in {busy:.1f} s; meanwhile the spinner drew {frames} frames "
          f"({frames / busy:.0f} per second)")

    waiting = notify(f"Found {primes} primes.")
    # The host's main loop sends the notification when it is due, while this
    # thread only sleeps; keep spinning at least --linger seconds, and until then.
    linger_end = time.monotonic() + args.linger
    give_up = linger_end + 10
    while not spinner.closed and time.monotonic() < give_up:
        if waiting and not still_pending():
            print(f"notifications: '{NOTIFICATION}' sent")
            waiting = False
        if not waiting and time.monotonic() >= linger_end:
            break
        time.sleep(0.1)
    spinner.stop()
    print(f"{spinner.frames} frames in all" + (", window closed by the user" if spinner.closed else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
