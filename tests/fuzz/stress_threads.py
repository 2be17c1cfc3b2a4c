"""Thread stress: eight Python threads mix buffer, texture, pipeline, frame,
blit, compute and request calls while the main thread closes and reopens the
windows they use and starts the requests they poll and close.

    python tests/fuzz/stress_threads.py --seconds 60

A watchdog dumps every thread's stack and exits 3 when no thread has made
progress for --stall seconds. At the end every registry count of
resource_counts must be back to zero; the last line is a JSON summary."""

import argparse
import faulthandler
import json
import os
import random
import sys
import threading
import time

import _quendal._metal as m
import _quendal._system as s

SOURCE = """
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer V { vec4 v[]; };
void vs() { gl_Position = v[gl_VertexIndex]; }
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 1, binding = 0) uniform C { vec4 c; };
layout(location = 0) out vec4 o;
void fs() { o = c; }
#endif
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0) buffer B { uint b[]; };
void k() { b[gl_GlobalInvocationID.x] += 1u; }
#endif
"""
REGISTRY_KEYS = ["libraries", "pipelines", "compute_pipelines", "buffers", "buffer_bytes", "textures",
                 "texture_bytes", "windows", "window_texture_bytes", "active_frames", "active_compute_passes",
                 "active_blit_passes", "offscreen_command_buffers", "frame_autorelease_pools"]


class Stress:
    def __init__(self, seconds, threads, seed):
        self.deadline = time.monotonic() + seconds
        self.threads = threads
        self.seed = seed
        self.windows = []
        self.requests = []
        self.lock = threading.Lock()
        self.progress = [0] * (threads + 1)
        self.calls = [0] * (threads + 1)
        self.errors = {}
        self.library = m.create_library(source=SOURCE)

    def pick(self, items, rng):
        with self.lock:
            return rng.choice(items) if items else None

    def worker(self, index):
        rng = random.Random(self.seed * 100 + index)
        mine = {"buffers": [], "textures": [], "pipelines": [], "compute": []}
        try:
            while time.monotonic() < self.deadline:
                try:
                    self.step(rng, mine)
                except (KeyError, ValueError, RuntimeError) as error:
                    key = f"{type(error).__name__}: {error}"
                    self.errors[key] = self.errors.get(key, 0) + 1
                self.calls[index] += 1
                self.progress[index] = time.monotonic()
        finally:
            for handle in mine["buffers"]:
                m.destroy_buffer(handle)
            for handle in mine["textures"]:
                m.destroy_texture(handle)
            for handle in mine["pipelines"]:
                m.destroy_render_pipeline(handle)
            for handle in mine["compute"]:
                m.destroy_compute_pipeline(handle)

    def step(self, rng, mine):
        action = rng.randrange(10)
        if action == 0:
            handle = m.create_buffer(rng.choice([16, 4096, 65536]))
            m.write_buffer(handle, bytes(16))
            m.read_buffer(handle, 0, 16)
            mine["buffers"].append(handle)
        elif action == 1:
            mine["textures"].append(m.create_render_texture(rng.choice([8, 64]), 8)["handle"])
        elif action == 2:
            if rng.random() < 0.5:
                mine["pipelines"].append(m.create_render_pipeline(self.library, "vs", "fs"))
            else:
                mine["compute"].append(m.create_compute_pipeline(self.library, "k"))
        elif action == 3:
            for kind, destroy in (("buffers", m.destroy_buffer), ("textures", m.destroy_texture),
                                  ("pipelines", m.destroy_render_pipeline),
                                  ("compute", m.destroy_compute_pipeline)):
                if mine[kind] and rng.random() < 0.5:
                    destroy(mine[kind].pop(rng.randrange(len(mine[kind]))))
        elif action in (4, 5):
            window = self.pick(self.windows, rng)
            if window is None:
                return
            offscreen = mine["textures"] and rng.random() < 0.5
            m.begin_frame(window, target_texture=rng.choice(mine["textures"]) if offscreen else 0)
            try:
                if mine["pipelines"] and mine["buffers"]:
                    m.set_pipeline(window, rng.choice(mine["pipelines"]))
                    m.set_vertex_buffer(window, rng.choice(mine["buffers"]), 0)
                    m.set_fragment_buffer(window, rng.choice(mine["buffers"]), 0)
                    m.draw(window, "triangle", 0, 3)
            finally:
                m.end_frame(window)
        elif action == 6:
            window = self.pick(self.windows, rng)
            if window is None or not mine["textures"]:
                return
            buffer = m.create_buffer(64 * 8 * 4)
            try:
                m.begin_blit(window)
                try:
                    m.copy_texture_to_buffer(window, rng.choice(mine["textures"]), buffer)
                finally:
                    m.end_blit(window)
            finally:
                m.destroy_buffer(buffer)
        elif action == 7:
            window = self.pick(self.windows, rng)
            if window is None or not mine["compute"] or not mine["buffers"]:
                return
            m.begin_compute(window)
            try:
                m.set_compute_pipeline(window, rng.choice(mine["compute"]))
                m.set_compute_buffer(window, rng.choice(mine["buffers"]), 0)
                m.dispatch_compute(window, 4, 1, 1, 4, 1, 1)
            finally:
                m.end_compute(window)
        else:
            request = self.pick(self.requests, rng)
            if request is None:
                return
            if rng.random() < 0.8:
                s.poll(request, 0.005, rng.random() < 0.5)
            else:
                s.close(request)

    def watchdog(self, stall, workers):
        # Progress is a worker finishing a call; the main thread's own loop
        # turning says nothing about them.
        while any(thread.is_alive() for thread in workers):
            time.sleep(1.0)
            if time.monotonic() - max(self.progress[1:]) > stall:
                sys.stderr.write(f"no progress for {stall} s\n")
                faulthandler.dump_traceback(all_threads=True)
                os._exit(3)

    def run(self, stall):
        workers = [threading.Thread(target=self.worker, args=(i + 1,)) for i in range(self.threads)]
        self.progress = [time.monotonic()] * (self.threads + 1)
        threading.Thread(target=self.watchdog, args=(stall, workers), daemon=True).start()
        for thread in workers:
            thread.start()
        rng = random.Random(self.seed)
        operations = ["device.info", "device.storage", "device.battery", "clipboard.read_text"]
        # The main thread keeps the main context turning (the workers' frames and
        # passes begin and end there), also while no window of theirs is open,
        # through a window of its own; it reopens windows and starts requests.
        pump = m.create_window(title="stress pump")
        while any(thread.is_alive() for thread in workers):
            if time.monotonic() < self.deadline:
                action = rng.randrange(4)
                if action == 0 and len(self.windows) < 3:
                    handle = m.create_window(title="stress")
                    with self.lock:
                        self.windows.append(handle)
                elif action == 1 and self.windows:
                    with self.lock:
                        handle = self.windows.pop(rng.randrange(len(self.windows)))
                    m.close_window(handle)
                elif action == 2:
                    payload = json.dumps({"path": "/tmp"}) if rng.random() < 0.5 else "{}"
                    request = s.start(rng.choice(operations), payload)
                    with self.lock:
                        self.requests.append(request)
                        if len(self.requests) > 32:
                            self.requests.pop(0)
            m.vsync(pump)
            self.calls[0] += 1
        for handle in self.windows + [pump]:
            m.close_window(handle)
        for request in self.requests:
            s.close(request)
        self.windows.clear()
        self.requests.clear()
        m.destroy_library(self.library)
        counts = m.resource_counts()
        return {
            "calls": sum(self.calls),
            "left": {key: counts[key] for key in REGISTRY_KEYS if counts[key]},
            "errors": len(self.errors),
        }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--stall", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=0)
    options = parser.parse_args()
    summary = Stress(options.seconds, options.threads, options.seed).run(options.stall)
    print(json.dumps(summary), flush=True)
    return 1 if summary["left"] else 0


if __name__ == "__main__":
    sys.exit(main())
