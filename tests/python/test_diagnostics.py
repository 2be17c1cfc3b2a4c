"""resource_counts: the twenty keys in order, and how creating, destroying and
passes move them. Exact figures are taken in fresh interpreters, where nothing
else has been made."""

import pytest

from _quendal import _metal as m
from window_support import run_python

KEYS = [
    "libraries", "pipelines", "compute_pipelines", "depth_stencil_states", "buffers", "buffer_bytes", "textures",
    "texture_bytes", "windows", "window_texture_bytes", "active_frames", "active_compute_passes",
    "active_blit_passes", "offscreen_command_buffers", "frame_autorelease_pools", "submitted_frames",
    "completed_frames", "inflight_frames", "resident_bytes", "phys_footprint_bytes",
]
MEMORY = {"resident_bytes", "phys_footprint_bytes"}

# Prints one snapshot per step: what differs from a fresh process's zeros.
LIFECYCLE = """
import json
from _quendal import _metal as m
steps = []
def snap(name):
    counts = m.resource_counts()
    steps.append([name, list(counts), {k: v for k, v in counts.items()
                                       if v and k not in ("resident_bytes", "phys_footprint_bytes")},
                  counts["resident_bytes"], counts["phys_footprint_bytes"]])
snap("fresh")
a, b = m.create_buffer(1000), m.create_buffer(24)
snap("buffers")
m.destroy_buffer(a)
snap("one buffer")
t = m.create_render_texture(256, 256, "rgba16f")["handle"]
snap("texture")
lib = m.create_library(source="#ifdef QUENDAL_COMPUTE\\nvoid k() {}\\n#endif\\n")
k = m.create_compute_pipeline(lib, "k")
snap("pipeline")
w = m.create_window()
m.begin_blit(w)
snap("blit")
m.begin_compute(w)
snap("blit and compute")
m.end_blit(w)
snap("compute")
m.set_compute_pipeline(w, k)
m.dispatch_compute(w)
m.end_compute(w)
snap("ended")
m.begin_compute(w)
m.begin_blit(w)
m.close_window(w)
snap("closed with passes open")
for destroy, h in ((m.destroy_buffer, b), (m.destroy_texture, t), (m.destroy_compute_pipeline, k),
                   (m.destroy_library, lib)):
    destroy(h)
snap("destroyed")
print(json.dumps(steps))
"""


@pytest.fixture(scope="module")
def lifecycle():
    steps = run_python(LIFECYCLE)
    return {name: (keys, nonzero, resident, footprint) for name, keys, nonzero, resident, footprint in steps}


def test_fresh_process_reports_twenty_keys_in_order(lifecycle):
    keys, nonzero, resident, footprint = lifecycle["fresh"]
    assert keys == KEYS
    assert nonzero == {}
    assert resident > 0 and footprint > 0


@pytest.mark.parametrize("step, expected", [
    ("buffers", {"buffers": 2, "buffer_bytes": 1024}),
    ("one buffer", {"buffers": 1, "buffer_bytes": 24}),
    ("texture", {"buffers": 1, "buffer_bytes": 24, "textures": 1, "texture_bytes": 524288}),
    ("pipeline", {"buffers": 1, "buffer_bytes": 24, "textures": 1, "texture_bytes": 524288, "libraries": 1,
                  "compute_pipelines": 1}),
])
def test_resources_are_counted(lifecycle, step, expected):
    assert lifecycle[step][1] == expected


@pytest.mark.parametrize("step, blit, compute", [
    ("blit", 1, 0), ("blit and compute", 1, 1), ("compute", 0, 1), ("ended", 0, 0),
])
def test_passes_move_the_active_counts(lifecycle, step, blit, compute):
    nonzero = lifecycle[step][1]
    assert nonzero["windows"] == 1
    assert nonzero.get("active_blit_passes", 0) == blit
    assert nonzero.get("active_compute_passes", 0) == compute


def test_closing_a_window_ends_its_passes(lifecycle):
    nonzero = lifecycle["closed with passes open"][1]
    assert "windows" not in nonzero
    assert "active_blit_passes" not in nonzero and "active_compute_passes" not in nonzero


def test_everything_destroyed_counts_zero(lifecycle):
    assert lifecycle["destroyed"][1] == {}


def test_counts_follow_in_this_process():
    before = m.resource_counts()
    buffer = m.create_buffer(4096)
    during = m.resource_counts()
    m.destroy_buffer(buffer)
    after = m.resource_counts()
    assert during["buffers"] == before["buffers"] + 1
    assert during["buffer_bytes"] == before["buffer_bytes"] + 4096
    assert (after["buffers"], after["buffer_bytes"]) == (before["buffers"], before["buffer_bytes"])
    assert all(type(value) is int and value >= 0 for value in after.values())


def test_takes_no_arguments():
    with pytest.raises(TypeError):
        m.resource_counts(1)


@pytest.mark.skipif(not hasattr(m, "begin_frame"), reason="render frames are not built")
def test_frame_state_is_counted():
    counts = run_python("""
        import json, time
        from _quendal import _metal as m
        w = m.create_window()
        t = m.create_render_texture(64, 32, "bgra8")["handle"]
        m.begin_frame(w, target_texture=t, depth=True, sample_count=4)
        during = m.resource_counts()
        m.end_frame(w)
        pending = m.resource_counts()
        m.begin_blit(w)
        m.end_blit(w)
        m.begin_frame(w)
        m.end_frame(w)
        deadline = time.monotonic() + 10
        while m.resource_counts()["completed_frames"] < 1 and time.monotonic() < deadline:
            m.vsync(w)
        print(json.dumps([during, pending, m.resource_counts()]))
    """)
    during, pending, done = counts
    assert during["active_frames"] == 1
    assert during["window_texture_bytes"] == 4 * 64 * 32 * 4 * 2  # 4x multisample colour and depth
    assert pending["active_frames"] == 0 and pending["offscreen_command_buffers"] == 1
    assert done["offscreen_command_buffers"] == 0
    assert (done["submitted_frames"], done["completed_frames"], done["inflight_frames"]) == (1, 1, 0)
