"""Pointer and key input: real mouse input on the surface becomes pointer
events with ids, previous positions and time stamps."""

import pytest

import _quendal._metal as m
from window_support import needs_display, unique_title, window_id, xdotool

pytestmark = needs_display


@pytest.fixture
def surface():
    title = unique_title()
    handle = m.create_window(title=title)
    xid = window_id(m, handle, title)
    m.consume_touches(handle)
    yield handle, xid
    m.close_window(handle)


def phases(events):
    return [(e["phase"], e["id"]) for e in events]


class TestPointer:
    def test_click(self, surface):
        handle, xid = surface
        xdotool(m, handle, "mousemove", "--window", xid, "100", "120", "click", "1")
        down, up = m.consume_touches(handle)
        assert down["phase"] == 0 and up["phase"] == 2
        assert down["id"] == up["id"]
        assert (down["x"], down["y"], down["prev_x"], down["prev_y"]) == (100.0, 120.0, 100.0, 120.0)
        assert (up["x"], up["y"], up["prev_x"], up["prev_y"]) == (100.0, 120.0, 100.0, 120.0)
        assert 0 < down["timestamp"] <= up["timestamp"]
        assert m.consume_touches(handle) == []

    def test_drag_then_next_press(self, surface):
        handle, xid = surface
        at = lambda x, y: ("mousemove", "--window", xid, str(x), str(y))
        xdotool(m, handle, *at(10, 10), "mousedown", "1", *at(20, 15), *at(30, 25), *at(40, 35), "mouseup", "1")
        events = m.consume_touches(handle)
        first = events[0]["id"]
        assert phases(events) == [(0, first), (1, first), (1, first), (1, first), (2, first)]
        assert [(e["x"], e["y"]) for e in events] == [(10, 10), (20, 15), (30, 25), (40, 35), (40, 35)]
        assert [(e["prev_x"], e["prev_y"]) for e in events] == [(10, 10), (10, 10), (20, 15), (30, 25), (40, 35)]
        stamps = [e["timestamp"] for e in events]
        assert stamps == sorted(stamps)

        xdotool(m, handle, "click", "3")
        assert phases(m.consume_touches(handle)) == [(0, first + 1), (2, first + 1)]

    def test_left_held_then_right_gives_two_pointers(self, surface):
        handle, xid = surface
        xdotool(m, handle, "mousemove", "--window", xid, "50", "60", "mousedown", "1",
                "mousedown", "3", "mouseup", "3", "mouseup", "1")
        events = m.consume_touches(handle)
        left, right = events[0]["id"], events[1]["id"]
        assert left != right
        assert phases(events) == [(0, left), (0, right), (2, right), (2, left)]

    def test_moves_without_a_button_are_not_events(self, surface):
        handle, xid = surface
        xdotool(m, handle, "mousemove", "--window", xid, "10", "10", "mousemove", "--window", xid, "200", "200")
        assert m.consume_touches(handle) == []

    def test_queue_keeps_the_last_4096(self, surface, tmp_path):
        handle, xid = surface
        script = tmp_path / "moves.xdo"
        lines = [f"mousemove --window {xid} 1 1", "mousedown 1"]
        lines += [f"mousemove --window {xid} {2 + i % 500} {1 + i // 500}" for i in range(5000)]
        lines.append("mouseup 1")
        script.write_text("\n".join(lines) + "\n")
        xdotool(m, handle, str(script), settle=1.0)
        events = m.consume_touches(handle)
        assert len(events) == 4096
        assert events[-1]["phase"] == 2
        moves = events[:-1]
        assert all(e["phase"] == 1 for e in moves)
        # The oldest went first: what is left are the last 4095 moves, in order.
        expected = [(2 + i % 500, 1 + i // 500) for i in range(5000 - 4095, 5000)]
        assert [(e["x"], e["y"]) for e in moves] == expected
        assert len({e["id"] for e in events}) == 1


class TestKeys:
    def test_escape_is_a_close_press_other_keys_nothing(self, surface):
        handle, xid = surface
        xdotool(m, handle, "windowfocus", "--sync", xid, "key", "Escape", "key", "Escape", "key", "x")
        assert m.consume_actions(handle) == {"action": 0, "close": 2}
        assert m.consume_touches(handle) == []


def test_unknown_and_closed_handles():
    closed = m.create_window()
    m.close_window(closed)
    for handle in (987_654_321, closed):
        with pytest.raises(ValueError) as error:
            m.consume_touches(handle)
        assert error.value.args == ("Invalid window handle.",)
