"""Runs every benchmark of the project against its peers and prints one table;
see bench/run-all --help. Each benchmark module runs in a process of its own
(GPU contexts and peers' drivers never share one) and reports its rows as JSON
lines; the goals live here."""

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# key -> (module, what the goal bounds: "ratio" or "ours", comparison, bound)
GOALS = {
    "buffers.write_64m": ("bench_buffers", "ratio", ">=", 1.0),
    "buffers.read_64m": ("bench_buffers", "ratio", ">=", 1.0),
    "render.encode_per_draw": ("bench_render", "ratio", "<=", 0.25),
    "render.clear_finish": ("bench_render", "ratio", ">=", 2.0),
    "render.readback_1024": ("bench_render", "ratio", ">=", 1.0),
    "compute.round_trip": ("bench_compute", "ratio", "<=", 0.5),
    "compute.transform": ("bench_compute", "ratio", "<=", 1.0),
    "frames.per_draw": ("bench_frames", "ratio", ">=", 1.0),
    "frames.one_draw": ("bench_frames", "ratio", ">=", 1.0),
    "system.poll_wake_main": ("bench_system", "ratio", "<=", 0.5),
    "system.poll_wake_worker": ("bench_system", "ratio", "<=", 0.5),
    "system.storage": ("bench_system", "ours", "<=", 5.0),
    "image.png_2048": ("bench_image", "ratio", "<=", 0.75),
    "text.sdf_1024": ("bench_text", "ratio", "<=", 0.2),
    "text.atlas_95": ("bench_text", "ratio", "<=", 1.0),
    "text.line": ("bench_text", "ratio", "<=", 1.0),
}
MODULES = list(dict.fromkeys(module for module, *_ in GOALS.values()))
CURVE_MODULES = ["bench_render", "bench_buffers", "bench_system", "bench_text"]


def environment(threads):
    env = dict(os.environ)
    env["LP_NUM_THREADS"] = str(threads)
    env.pop("QUENDAL_VK_VALIDATION", None)
    env["QUENDAL_HEADLESS"] = "1"
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.setdefault("NO_AT_BRIDGE", "1")
    # NumPy's BLAS threads spin after start-up on cores the contenders need; no row uses BLAS.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    if not os.path.isdir(env.get("XDG_RUNTIME_DIR", "")):
        env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="quendal-bench-")
    # The package under test is the one the interpreter imports, never this checkout's build.
    return env


def run_module(module, args, env, tag):
    """Yields (kind, object) for each ROW or CURVE line of one module's run."""
    command = [sys.executable, os.path.join(HERE, module + ".py"), *args]
    result = subprocess.run(command, env=env, capture_output=True, text=True)
    found = []
    for line in result.stdout.splitlines():
        if line.startswith(tag + " "):
            found.append(json.loads(line[len(tag) + 1:]))
    if result.returncode != 0:
        print(f"{module}: failed ({result.returncode})\n{result.stderr[-2000:]}", file=sys.stderr)
    else:
        for note in result.stderr.splitlines():
            if note.strip() and "XDG_RUNTIME_DIR" not in note:
                print(f"  {module}: {note}", file=sys.stderr)
    return found


def judge(r):
    module, bounds, op, bound = GOALS.get(r["key"], (None, "ratio", None, None))
    ratio = r["ours"] / r["peer"] if r.get("peer") else None
    r["ratio"] = ratio
    value = r["ours"] if bounds == "ours" else ratio
    r["goal"] = f"{'ours ' if bounds == 'ours' else ''}{op} {bound:g}{' ' + r['unit'] if bounds == 'ours' else ''}" \
        if op else ""
    r["met"] = None if value is None or op is None else (value >= bound if op == ">=" else value <= bound)
    return r


def fmt(value):
    if value is None:
        return "-"
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def print_table(rows):
    header = ("Measure", "ours", "peer", "ratio", "goal", "met")
    lines = []
    for r in rows:
        lines.append((r["measure"], f"{fmt(r['ours'])} {r['unit']}",
                      f"{fmt(r['peer'])} {r['unit']} ({r['peer_name']})" if r["peer"] is not None else "-",
                      f"{r['ratio']:.3f}" if r["ratio"] is not None else "-", r["goal"],
                      {True: "yes", False: "NO", None: "-"}[r["met"]]))
    widths = [max(len(x[i]) for x in [header, *lines]) for i in range(len(header))]
    print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for line in lines:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(line, widths)) + " |")


def merge_runs(runs):
    """Median of each row's figures over whole runs."""
    merged = {}
    for run in runs:
        for r in run:
            merged.setdefault(r["key"], []).append(r)
    out = []
    for key, found in merged.items():
        r = dict(found[0])
        r["ours"] = statistics.median(x["ours"] for x in found)
        peers = [x["peer"] for x in found if x["peer"] is not None]
        r["peer"] = statistics.median(peers) if peers else None
        r["runs"] = [{"ours": x["ours"], "peer": x["peer"]} for x in found]
        out.append(judge(r))
    order = list(GOALS)
    return sorted(out, key=lambda r: order.index(r["key"]) if r["key"] in order else len(order))


def load(path):
    with open(path) as f:
        return {r["key"]: r for r in map(json.loads, filter(str.strip, f))}


def compare(old_path, new_rows):
    old = load(old_path)
    print(f"\nratio change against {old_path} (ratio is ours / peer; 'better' follows each row's goal):")
    for r in new_rows:
        before = old.get(r["key"])
        if not before or before.get("ratio") is None or r["ratio"] is None:
            print(f"  {r['measure']:60s} no earlier figure")
            continue
        change = r["ratio"] / before["ratio"] - 1
        better = change > 0 if r["higher"] else change < 0
        ours_change = r["ours"] / before["ours"] - 1
        print(f"  {r['measure']:60s} ratio {before['ratio']:6.2f} -> {r['ratio']:6.2f} ({change:+6.1%}, "
              f"{'better' if better else 'worse' if change else 'same'}); ours {ours_change:+6.1%}; "
              f"met {before.get('met')} -> {r['met']}")


def curves(path, quick, env):
    found = []
    for module in CURVE_MODULES:
        print(f"curves: {module}", file=sys.stderr, flush=True)
        found += run_module(module, ["--curve"] + (["--quick"] if quick else []), env, "CURVE")
    with open(os.path.splitext(path)[0] + ".json", "w") as f:
        json.dump(found, f, indent=1)
    plot(found, path, env["LP_NUM_THREADS"])


def plot(found, path, threads):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = 3
    count = max(1, len(found))
    fig, axes = plt.subplots((count + columns - 1) // columns, columns, figsize=(15, 4.5 * ((count + 2) // 3)),
                             squeeze=False)
    for ax, c in zip(axes.flat, found):
        for label, ys in c["series"].items():
            ax.plot(c["x"][:len(ys)], ys, marker="o", label=label)
        ax.set_title(c["name"])
        ax.set_xlabel(c["xlabel"])
        ax.set_ylabel(c["ylabel"])
        if c.get("logx"):
            ax.set_xscale("log", base=2 if c["logx"] == 2 else 10)
        if c.get("logy"):
            ax.set_yscale("log")
        else:
            ax.set_ylim(bottom=0)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    for ax in list(axes.flat)[len(found):]:
        ax.axis("off")
    fig.suptitle(f"quendal scaling, LP_NUM_THREADS={threads}, {platform.node()}")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print(f"curves written to {path} (data in {os.path.splitext(path)[0]}.json)")
    for c in found:
        for note in bends(c):
            print("  " + note)


def bends(c):
    """Curves that grow where they should stay flat: per-unit cost (ns per draw,
    time per byte, time per row) that rises by more than 30 % from its lowest
    point to the largest size."""
    notes = []
    xs = c["x"]
    for label, ys in c["series"].items():
        if len(ys) < 3:
            continue
        if c["ylabel"] == "GB/s":
            per_unit = [1 / y for y in ys]  # time per byte
        elif c["name"].startswith(("read-back", "SDF")):
            per_unit = [y / x for x, y in zip(xs, ys)]
        else:
            per_unit = list(ys)
        low = min(per_unit[len(per_unit) // 2:])
        if per_unit[-1] > 1.3 * low:
            notes.append(f"{c['name']} / {label}: cost per unit rises to {per_unit[-1] / low:.1f}x its lowest at "
                         f"x = {xs[len(ys) - 1]}")
    return notes


def main():
    parser = argparse.ArgumentParser(prog="bench/run-all", description=__doc__.split(";")[0])
    parser.add_argument("-o", "--output", help="JSON lines file (default out/bench-<date>.jsonl)")
    parser.add_argument("-k", dest="pattern", help="only rows whose key contains this text (keys: %s)" % ", ".join(GOALS))
    parser.add_argument("--quick", action="store_true", help="fewer blocks and rounds: a rough table in about a minute")
    parser.add_argument("--runs", type=int, default=1, help="whole runs to take the median of (default 1)")
    parser.add_argument("--threads", type=int, default=int(os.environ.get("LP_NUM_THREADS", 2)),
                        help="LP_NUM_THREADS for every contender (default: the environment's, else 2)")
    parser.add_argument("--compare", metavar="OLD.jsonl", help="print the ratio change of each row against OLD")
    parser.add_argument("--against", metavar="NEW.jsonl",
                        help="with --compare: compare this earlier output instead of running")
    parser.add_argument("--merge", nargs="+", metavar="RUN.jsonl",
                        help="print (and with -o write) the median table of earlier runs instead of running")
    parser.add_argument("--curves", metavar="PNG", help="also draw the scaling curves into this PNG")
    parser.add_argument("--curves-only", action="store_true", help="with --curves: skip the table")
    parser.add_argument("--replot", metavar="JSON", help="with --curves: draw the curves of an earlier run's data")
    args = parser.parse_args()
    env = environment(args.threads)

    if args.curves and args.replot:
        with open(args.replot) as f:
            plot(json.load(f), args.curves, env["LP_NUM_THREADS"])
        return 0

    if args.merge:
        rows = merge_runs([list(load(path).values()) for path in args.merge])
        print_table(rows)
        if args.output:
            with open(args.output, "w") as f:
                for r in rows:
                    f.write(json.dumps({**r, "merged_from": args.merge}) + "\n")
        if args.compare:
            compare(args.compare, rows)
        return 0

    if args.compare and args.against:
        rows = list(load(args.against).values())
        print_table(rows)
        compare(args.compare, rows)
        return 0

    if not args.curves_only:
        import _quendal

        print(f"_quendal from {os.path.dirname(_quendal.__file__)}; LP_NUM_THREADS={env['LP_NUM_THREADS']}, "
              f"validation off, headless", file=sys.stderr)
        runs = []
        for number in range(args.runs):
            run = []
            for module in MODULES:
                keys = [k for k, goal in GOALS.items() if goal[0] == module]
                if args.pattern and not any(args.pattern.lower() in k for k in keys):
                    continue
                print(f"run {number + 1}/{args.runs}: {module}", file=sys.stderr, flush=True)
                extra = (["--quick"] if args.quick else []) + (["-k", args.pattern] if args.pattern else [])
                run += run_module(module, ["--json", *extra], env, "ROW")
            runs.append(run)
        rows = merge_runs(runs)
        print_table(rows)
        output = args.output or os.path.join("out", f"bench-{datetime.datetime.now():%Y%m%d-%H%M%S}.jsonl")
        os.makedirs(os.path.dirname(output) or ".", exist_ok=True)
        stamp = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        with open(output, "w") as f:
            for r in rows:
                f.write(json.dumps({**r, "date": stamp, "lp_num_threads": args.threads, "quick": args.quick,
                                    "package": os.path.dirname(_quendal.__file__)}) + "\n")
        print(f"rows written to {output}")
        if args.compare:
            compare(args.compare, rows)
    if args.curves:
        curves(args.curves, args.quick, env)
    return 0


if __name__ == "__main__":
    sys.exit(main())
