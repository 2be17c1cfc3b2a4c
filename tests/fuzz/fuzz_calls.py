"""Seeded random calls over every function of _quendal._metal and _quendal._system.

    python tests/fuzz/fuzz_calls.py --seeds 0-24 --calls 40000

Each seed runs in an interpreter of its own, so a crash ends only that seed.
Arguments are valid, destroyed and made-up handles, extreme integers, NaN and
infinities, wrong types and sizes; frames, blit and compute passes are begun,
used and ended in random order while windows close and resources are destroyed
under them; system requests are started, polled from a second thread and
closed at random. A seed fails when its interpreter dies, when no call returns
within --hang seconds (every thread's stack is dumped), or when the Vulkan
validation layer reports anything. The seed replays the same calls."""

import argparse
import faulthandler
import inspect
import json
import math
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

EXTREME_INTS = [0, -1, 1, 2**31 - 1, 2**31, 2**32, 2**32 + 1, 2**63 - 1, -(2**63), 2**64, -(2**64), 255, 256, 4096]
FLOATS = [0.0, -0.0, 1.0, 12.0, 40.0, -1.0, 1e-300, 1e300, math.inf, -math.inf, math.nan, 0.25, 1000.0]
WRONG = [None, "x", b"x", 1.5, [], {}, (1, 2), object(), True, 2**70]

PRIMITIVES = ["point", "line", "line_strip", "triangle", "triangle_strip", "quad", ""]
FORMATS = ["bgra8", "rgba8", "rgba16f", "r8", "r16f", "r32f", "rg16f", "rg32f", "depth32f", "stencil8", "x"]
COMPARES = ["never", "less", "equal", "less_equal", "greater", "not_equal", "greater_equal", "always", "?"]
STENCIL_OPS = ["keep", "zero", "replace", "increment_clamp", "decrement_clamp", "invert", "increment_wrap",
               "decrement_wrap", "?"]
TEXTS = ["", "Hello", "é́", "😀", "a" * 300, "\u0301x", "日本語", "A\nB", "\t", "\x7f"]

SOURCE = """
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer V { vec4 v[]; };
void vs() { gl_Position = v[gl_VertexIndex]; gl_PointSize = 1.0; }
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 1, binding = 0) uniform C { vec4 c; };
layout(set = 2, binding = 0) uniform sampler2D t;
layout(location = 0) out vec4 o;
void fs() { o = c + texture(t, vec2(0.5)); }
#endif
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0) buffer B { uint b[]; };
layout(set = 1, binding = 0, rgba8) uniform image2D img;
void k() { b[gl_GlobalInvocationID.x] += 1u; imageStore(img, ivec2(gl_GlobalInvocationID.xy), vec4(1.0)); }
void k2() { b[gl_GlobalInvocationID.x] = gl_GlobalInvocationID.x; }
#endif
"""
SOURCES = [SOURCE, "", "void main() {}", "#error nope", "#ifdef QUENDAL_COMPUTE\nvoid k(){}\n#endif", "\x00"]
ENTRIES = ["vs", "fs", "k", "k2", "main", "", "nope", "vs\x00"]

OPERATIONS = [
    "device.info", "device.battery", "device.storage", "clipboard.read", "clipboard.write", "clipboard.types",
    "location.status", "location.request_permission", "location.current", "location.watch", "location.geocode",
    "location.reverse_geocode", "notification.available", "notification.permission_status",
    "notification.request_permission", "notification.schedule", "notification.pending", "notification.cancel",
    "share.items", "share.text", "unknown.op", "device.", "", "device.info\x00",
]
PAYLOAD_KEYS = ["path", "text", "type", "data", "accuracy", "distance_filter", "max_age", "capacity", "timeout",
                "address", "latitude", "longitude", "identifier", "title", "body", "delay", "repeats", "sound",
                "files", "urls", "consume"]
JSON_VALUES = [None, True, False, 0, -1, 1.5, 1e308, -1e308, 2**63, "", "x", "/", "/nonexistent", "/tmp",
               "https://example.org", "mailto:a@b.c", [], ["/tmp"], {}, {"a": 1}, 60, 0.1, 90, -180, 3600]


class Fuzzer:
    def __init__(self, seed, calls, image):
        import _quendal._metal as metal
        import _quendal._system as system

        self.metal, self.system = metal, system
        self.rng = random.Random(seed)
        self.calls = calls
        self.image = image
        self.live = {kind: [] for kind in ("window", "library", "pipeline", "compute", "buffer", "texture")}
        self.dead = {kind: [] for kind in self.live}
        self.requests = []
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.counts = {"calls": 0, "raised": 0, "returned": 0, "polls": 0}
        functions = [(system, n) for n in ("start", "poll", "close")]
        functions += [(metal, n) for n in dir(metal) if not n.startswith("_") and callable(getattr(metal, n))]
        self.functions = [(getattr(module, name), name, inspect.signature(getattr(module, name)))
                          for module, name in functions]
        # Frame, pass and resource calls come up more often than window management.
        self.weights = [0.3 if name in ("create_window", "close_window", "vsync", "create_library") else
                        3.0 if name in ("start", "poll", "close") else 1.0 for _, name, _ in self.functions]

    # -- values -------------------------------------------------------------
    def handle(self, kind):
        r = self.rng.random()
        if r < 0.72 and self.live[kind]:
            return self.rng.choice(self.live[kind])
        if r < 0.82 and self.dead[kind]:
            return self.rng.choice(self.dead[kind])
        if r < 0.9:
            other = self.rng.choice(list(self.live))
            if self.live[other]:
                return self.rng.choice(self.live[other])
        return self.rng.choice(EXTREME_INTS)

    def integer(self, small=64):
        r = self.rng.random()
        if r < 0.7:
            return self.rng.randrange(0, small)
        if r < 0.95:
            return self.rng.choice(EXTREME_INTS)
        return self.rng.randrange(-(2**66), 2**66)

    def kind_of(self, function, parameter):
        name = parameter.name
        if name in ("window", "handle") and ("window" in function or function in (
                "consume_actions", "consume_touches", "set_title", "set_action_label", "set_target_fps",
                "acquire_frame_slot", "release_frame_slot", "vsync", "end_frame", "begin_blit", "end_blit",
                "begin_compute", "end_compute")):
            return "window"
        if name == "window":
            return "window"
        if name == "handle":
            for key, kind in (("buffer", "buffer"), ("texture", "texture"), ("library", "library"),
                              ("compute_pipeline", "compute"), ("render_pipeline", "pipeline")):
                if key in function:
                    return kind
            return "window"
        if name == "library":
            return "library"
        if name == "pipeline":
            return "compute" if "compute" in function else "pipeline"
        if name in ("buffer", "index_buffer", "indirect_buffer"):
            return "buffer"
        if name in ("texture", "target_texture"):
            return "texture" if name == "texture" or self.rng.random() < 0.7 else None
        return None

    def value(self, function, parameter):
        rng = self.rng
        if rng.random() < 0.04:
            return rng.choice(WRONG)
        kind = self.kind_of(function, parameter)
        if kind:
            return self.handle(kind)
        name = parameter.name
        if name == "primitive":
            return rng.choice(PRIMITIVES)
        if name in ("format", "depth_format", "stencil_format"):
            return rng.choice(FORMATS + [None])
        if name in ("compare", "stencil_compare"):
            return rng.choice(COMPARES)
        if name in ("stencil_pass", "stencil_fail", "stencil_back_pass"):
            return rng.choice(STENCIL_OPS + [None])
        if name == "index_type":
            return rng.choice(["uint16", "uint32", "uint8", ""])
        if name in ("vertex", "fragment", "function"):
            return rng.choice(ENTRIES)
        if name == "source":
            return rng.choice(SOURCES)
        if name == "path":
            return rng.choice([self.image, "/nonexistent.png", "/tmp", "/dev/null", "", "/etc/hostname"])
        if name in ("title", "label", "text", "chars", "font_name"):
            return rng.choice(TEXTS + [None, "DejaVu Sans", "No Such Font"])
        if name == "orientation":
            return rng.choice(["auto", "portrait", "landscape", "upside"])
        if name == "data":
            size = rng.choice([0, 1, 3, 4, 16, 64, 4096, 1 << 20])
            return rng.choice([bytes(size), bytearray(size), memoryview(bytes(size))[::2] if size else b""])
        if name == "clear_color":
            return rng.choice([None, (0, 0, 0, 1), (1, 0, 0), (math.nan, 0, 0, 1), ("a", 0, 0, 1), [1] * 4, 7])
        if name in ("blending", "premultiplied", "color_write", "depth", "stencil", "write_enabled", "sdf", "consume"):
            return rng.choice([True, False, 0, 1, None, "", "x"])
        if name in ("font_size", "padding", "sdf_spread", "interval"):
            return rng.choice(FLOATS + [0.001, 0.01])
        if name == "sample_count":
            return rng.choice([0, 1, 2, 4, 8, 16, 2**32 - 1, -1])
        if name == "operation":
            return rng.choice(OPERATIONS)
        if name == "payload":
            return self.payload()
        if name in ("width", "height"):
            return rng.choice([1, 2, 8, 64, 256]) if rng.random() < 0.8 else self.integer()
        if name == "length":
            return rng.choice([4, 16, 256, 4096, 1 << 20]) if rng.random() < 0.8 else self.integer()
        if name.startswith("tg_"):
            return rng.choice([1, 2, 8, 64, 1024, 0, -1, 2**31])
        if name.startswith("grid_"):
            return rng.choice([1, 2, 16, 256, 0, -1, 2**31 - 1])
        return self.integer()

    def payload(self):
        rng = self.rng
        if rng.random() < 0.05:
            return rng.choice(["", "[]", "null", "{", "{\"a\":}", "\x00", "{}" * 3])
        body = {key: rng.choice(JSON_VALUES) for key in rng.sample(PAYLOAD_KEYS, rng.randrange(0, 6))}
        text = json.dumps(body)
        return text.encode() if rng.random() < 0.2 else text

    # -- calls --------------------------------------------------------------
    def call_system(self, name):
        rng, system = self.rng, self.system
        if name == "start":
            args = [self.value("start", p) for p in self.functions[0][2].parameters.values()]
            if rng.random() < 0.5:
                args[1] = self.payload()
            result = system.start(*args)
            with self.lock:
                self.requests.append(result)
                if len(self.requests) > 64:
                    self.requests.pop(0)  # dropping the last reference closes it
            return
        with self.lock:
            request = rng.choice(self.requests) if self.requests and rng.random() < 0.9 else rng.choice(WRONG)
        if name == "poll":
            system.poll(request, rng.choice([0.0, 0.001, 0.01, -1.0, math.nan, 0.3]), rng.choice([True, False]))
        else:
            system.close(request)
            if rng.random() < 0.5:
                with self.lock:
                    if request in self.requests:
                        self.requests.remove(request)

    def call_metal(self, function, name, signature):
        metal = self.metal
        if name == "create_window" and len(self.live["window"]) >= 3:
            function, name = metal.close_window, "close_window"
            signature = inspect.signature(function)
        params = list(signature.parameters.values())
        args = [self.value(name, p) for p in params]
        # Leave out optional arguments now and then, or pass them by keyword.
        keywords = {}
        if params and params[0].kind is not inspect.Parameter.POSITIONAL_ONLY and self.rng.random() < 0.5:
            keep = self.rng.randrange(0, len(params) + 1)
            keywords = {p.name: a for p, a in zip(params[keep:], args[keep:]) if self.rng.random() < 0.7}
            args = args[:keep]
        result = function(*args, **keywords)
        self.record(name, args, keywords, params, result)

    def record(self, name, args, keywords, params, result):
        kinds = {"create_window": "window", "create_library": "library", "create_render_pipeline": "pipeline",
                 "create_compute_pipeline": "compute", "create_buffer": "buffer"}
        if name in kinds and isinstance(result, int):
            self.live[kinds[name]].append(result)
        elif isinstance(result, dict) and "handle" in result:
            self.live["texture"].append(result["handle"])
        destroys = {"close_window": "window", "destroy_library": "library", "destroy_render_pipeline": "pipeline",
                    "destroy_compute_pipeline": "compute", "destroy_buffer": "buffer", "destroy_texture": "texture"}
        if name in destroys and args:
            kind = destroys[name]
            if args[0] in self.live[kind]:
                self.live[kind].remove(args[0])
                self.dead[kind].append(args[0])

    def poller(self):
        rng = random.Random(self.rng.random())
        while not self.stop.is_set():
            with self.lock:
                request = rng.choice(self.requests) if self.requests else None
            if request is None:
                time.sleep(0.001)
                continue
            try:
                self.system.poll(request, 0.002, rng.random() < 0.5)
                self.counts["polls"] += 1
            except Exception:
                pass
            # A finished request answers at once; without a pause this thread
            # would take a whole core from the calls it is meant to race.
            self.stop.wait(0.0005)

    def run(self, hang):
        thread = threading.Thread(target=self.poller, daemon=True)
        thread.start()
        try:
            for _ in range(self.calls):
                faulthandler.dump_traceback_later(hang, exit=True)
                function, name, signature = self.rng.choices(self.functions, self.weights)[0]
                self.counts["calls"] += 1
                try:
                    if name in ("start", "poll", "close"):
                        self.call_system(name)
                    else:
                        self.call_metal(function, name, signature)
                    self.counts["returned"] += 1
                except (Exception, SystemError) as error:
                    if isinstance(error, SystemError):
                        raise  # a function that failed without an exception, or the reverse
                    self.counts["raised"] += 1
        finally:
            faulthandler.cancel_dump_traceback_later()
            self.stop.set()
            thread.join()
        for handle in list(self.live["window"]):
            self.metal.close_window(handle)
        with self.lock:
            for request in self.requests:
                self.system.close(request)
        return self.counts


def worker(seed, calls, hang):
    image = os.path.join(tempfile.mkdtemp(prefix="quendal-fuzz-"), "image.png")
    import struct, zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + b"\xff\x00\x00\xff" * 4 for _ in range(4))
    with open(image, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
    counts = Fuzzer(seed, calls, image).run(hang)
    print(json.dumps(counts), flush=True)


def parse_seeds(text):
    seeds = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        seeds += range(int(first), int(last or first) + 1)
    return seeds


def run_seed(seed, calls, hang, env_update=None):
    """Runs one seed in a fresh interpreter; returns (ok, summary)."""
    log = os.path.join(tempfile.mkdtemp(prefix="quendal-fuzz-"), "validation.log")
    env = dict(os.environ, QUENDAL_VK_VALIDATION="1", QUENDAL_VK_VALIDATION_LOG=log, **(env_update or {}))
    # Random geocoding must never reach the public Nominatim service: a closed port answers at once.
    env.setdefault("QUENDAL_GEOCODER_URL", "http://127.0.0.1:9/")
    result = subprocess.run([sys.executable, __file__, "--worker", str(seed), "--calls", str(calls),
                             "--hang", str(hang)], env=env, capture_output=True, text=True)
    messages = open(log, errors="replace").read() if os.path.exists(log) else ""
    if result.returncode != 0:
        return False, f"seed {seed}: exit {result.returncode}\n{result.stderr[-6000:]}"
    if messages.strip():
        return False, f"seed {seed}: validation messages\n{messages[:6000]}"
    counts = json.loads(result.stdout.strip().splitlines()[-1])
    return True, f"seed {seed}: {counts}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", default="0-3")
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--hang", type=float, default=120.0, help="seconds one call may take")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker is not None:
        worker(options.worker, options.calls, options.hang)
        return 0
    failed = 0
    started = time.monotonic()
    for seed in parse_seeds(options.seeds):
        ok, summary = run_seed(seed, options.calls, options.hang)
        failed += not ok
        print(summary, flush=True)
    print(f"{len(parse_seeds(options.seeds)) - failed} passed, {failed} failed "
          f"({time.monotonic() - started:.0f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
