"""Shared by the benchmarks: timing in alternating blocks, and the rows that
bench/run-all collects.

A row is a dict: key (stable, for comparing runs), measure, unit, ours, peer,
peer_name and higher (True where a larger figure is better: rates). Each
benchmark module exposes rows(quick) -> list of rows; run alone it prints them,
and with --json it writes them as JSON lines for the driver.
"""

import json
import os
import statistics
import sys
import time

os.environ.setdefault("NO_AT_BRIDGE", "1")


def alternate(contenders, rounds, blocks, warm=True):
    """Median seconds per call of each contender (name -> callable), timed in
    alternating blocks (a block of rounds calls of the first, then of the next,
    and so on), each block reduced to its median, then the median of those:
    load from other processes falls on every contender alike."""
    if warm:
        for fn in contenders.values():
            fn()
    samples = {name: [] for name in contenders}
    for _ in range(blocks):
        for name, fn in contenders.items():
            times = []
            for _ in range(rounds):
                t0 = time.perf_counter()
                fn()
                times.append(time.perf_counter() - t0)
            samples[name].append(statistics.median(times))
    return {name: statistics.median(values) for name, values in samples.items()}


def alternate_values(contenders, blocks):
    """Like alternate, for contenders that measure themselves: each callable
    returns its own figure for one block."""
    samples = {name: [] for name in contenders}
    for _ in range(blocks):
        for name, fn in contenders.items():
            samples[name].append(fn())
    return {name: statistics.median(values) for name, values in samples.items()}


def row(key, measure, unit, ours, peers, higher=False):
    """peers: name -> figure; the best one (largest where higher, else the
    smallest) is the row's peer. None figures are peers that are missing."""
    present = {name: value for name, value in peers.items() if value is not None}
    if present:
        peer_name = (max if higher else min)(present, key=present.get)
        peer = present[peer_name]
    else:
        peer_name, peer = "unavailable", None
    return {"key": key, "measure": measure, "unit": unit, "ours": ours, "peer": peer, "peer_name": peer_name,
            "higher": higher, "all_peers": present}


def optional_peer(make, notes, name):
    """make() builds a peer; a peer that cannot start is noted and skipped."""
    try:
        return make()
    except Exception as exc:  # noqa: BLE001 - a peer is optional; say why it is missing
        notes.append(f"{name} unavailable: {exc}")
        return None


def print_rows(rows):
    for r in rows:
        ours, peer = r["ours"], r["peer"]
        ratio = f"{ours / peer:6.3f}" if peer else "     -"
        peer_text = f"{peer:10.3f}" if peer is not None else "         -"
        print(f"{r['measure']:58s} {ours:10.3f} {peer_text} {r['unit']:9s} {r['peer_name']:22s} ratio {ratio}")


def run_module(rows_fn):
    """The __main__ of a benchmark module: --json writes JSON lines for the
    driver, --quick shortens it, -k PATTERN keeps the rows whose key or measure
    contains PATTERN (decided before measuring where the module can)."""
    args = sys.argv[1:]
    quick = "--quick" in args
    pattern = args[args.index("-k") + 1] if "-k" in args else None
    rows = rows_fn(quick=quick, select=pattern)
    if pattern:
        rows = [r for r in rows if selected(r["key"], r["measure"], pattern)]
    if "--json" in args:
        for r in rows:
            print("ROW " + json.dumps(r), flush=True)
    else:
        print_rows(rows)


def selected(key, measure, pattern):
    if pattern is None:
        return True
    pattern = pattern.lower()
    return pattern in key.lower() or pattern in measure.lower()
