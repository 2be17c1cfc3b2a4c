"""Presentation windows: creation, metrics, press counters, titles, the action
button, closing, and the answers for unknown handles."""

import subprocess

import pytest

import _quendal._metal as m
from window_support import drive, needs_display, pump, run_python, unique_title, window_id, xdotool

NOT_FOUND = "Metal window handle not found."
UNKNOWN = 987_654_321


@pytest.fixture
def window():
    handle = m.create_window()
    yield handle
    m.close_window(handle)


@pytest.fixture
def titled():
    title = unique_title()
    handle = m.create_window(title=title)
    yield handle, title
    m.close_window(handle)


class TestCreate:
    @pytest.mark.parametrize(
        "orientation, size", [(None, (960.0, 640.0)), ("auto", (960.0, 640.0)),
                              ("landscape", (960.0, 640.0)), ("portrait", (540.0, 800.0))]
    )
    def test_orientation_gives_point_size(self, orientation, size):
        handle = m.create_window() if orientation is None else m.create_window(orientation=orientation)
        try:
            metrics = m.window_metrics(handle)
            assert metrics["size"] == size
            assert metrics["pixel_size"] == (size[0] * metrics["scale"], size[1] * metrics["scale"])
            assert metrics["safe_area"] == (0.0, 0.0, 0.0, 0.0)
            assert metrics["revision"] >= 1
        finally:
            m.close_window(handle)

    def test_bad_orientation(self):
        with pytest.raises(ValueError) as error:
            m.create_window(orientation="sideways")
        assert error.value.args == ("orientation must be 'auto', 'portrait', or 'landscape'.",)

    def test_handles_are_consecutive_and_never_reused(self):
        first = m.create_window()
        m.close_window(first)
        second = m.create_window()
        third = m.create_window()
        try:
            assert second == first + 1
            assert third == second + 1
        finally:
            m.close_window(second)
            m.close_window(third)

    def test_argument_types_come_from_the_parser(self):
        with pytest.raises(TypeError):
            m.create_window(title=None)
        with pytest.raises(TypeError):
            m.create_window(colour="red")

    def test_no_gpu(self, tmp_path):
        result = run_python(
            """
            import json, _quendal._metal as m
            try:
                m.create_window()
            except RuntimeError as error:
                print(json.dumps({"error": str(error)}))
            """,
            env_update={"VK_DRIVER_FILES": "/nonexistent.json", "VK_ICD_FILENAMES": "/nonexistent.json",
                        # The loader's complaints about the missing driver are expected here.
                        "QUENDAL_VK_VALIDATION_LOG": str(tmp_path / "validation.log")},
        )
        assert result == {"error": "Metal is unavailable."}

    @needs_display
    def test_default_title_and_x11_window(self):
        handle = m.create_window()
        try:
            m.set_title(handle, title := unique_title())
            assert window_id(m, handle, title)
        finally:
            m.close_window(handle)

    @needs_display
    def test_backing_scale_two(self):
        result = run_python(
            """
            import json, _quendal._metal as m
            h = m.create_window(orientation="portrait")
            print(json.dumps(m.window_metrics(h)))
            """,
            env_update={"GDK_SCALE": "2"},
        )
        assert result["size"] == [540.0, 800.0]
        assert result["pixel_size"] == [1080.0, 1600.0]
        assert result["scale"] == 2.0
        assert result["safe_area"] == [0.0, 0.0, 0.0, 0.0]


class TestMetrics:
    def test_if_changed_is_none_for_the_current_revision(self, window):
        revision = m.window_metrics(window)["revision"]
        assert m.window_metrics_if_changed(window, revision) is None
        assert m.window_metrics_if_changed(window, revision - 1) == m.window_metrics(window)

    def test_relayout_raises_the_revision(self, window):
        revision = m.window_metrics(window)["revision"]
        m.set_action_label(window, "Relayout")
        pump(m, window, 0.2)
        changed = m.window_metrics_if_changed(window, revision)
        assert changed is not None and changed["revision"] > revision
        assert m.window_metrics_if_changed(window, changed["revision"]) is None

    @needs_display
    def test_resize(self, titled):
        handle, title = titled
        xid = window_id(m, handle, title)
        revision = m.window_metrics(handle)["revision"]
        xdotool(m, handle, "windowsize", xid, "700", "500")
        changed = m.window_metrics_if_changed(handle, revision)
        assert changed["revision"] > revision
        assert changed["size"] == (700.0, 500.0)
        assert changed["pixel_size"] == (700.0, 500.0)


class TestActions:
    def test_counters_start_at_zero(self, window):
        assert m.consume_actions(window) == {"action": 0, "close": 0}

    @needs_display
    def test_close_requests_are_counted_and_the_window_stays(self, titled, testing_dir):
        handle, title = titled
        xid = window_id(m, handle, title)
        drive(m, handle, [str(testing_dir / "x11_close_request"), xid, "2"])
        assert m.consume_actions(handle) == {"action": 0, "close": 2}
        assert m.consume_actions(handle) == {"action": 0, "close": 0}
        assert m.window_metrics(handle)["size"] == (960.0, 640.0)
        assert window_id(m, handle, title) == xid

    @needs_display
    def test_escape_counts_as_close(self, titled):
        handle, title = titled
        xid = window_id(m, handle, title)
        xdotool(m, handle, "windowfocus", "--sync", xid, "key", "Escape")
        assert m.consume_actions(handle) == {"action": 0, "close": 1}
        xdotool(m, handle, "windowfocus", "--sync", xid, "key", "a", "Return")
        assert m.consume_actions(handle) == {"action": 0, "close": 0}

    @needs_display
    def test_action_button_counts_only_while_shown(self, titled):
        handle, title = titled
        xid = window_id(m, handle, title)
        # The button sits 12 points from the right edge, 8 from the top.
        click = ("mousemove", "--window", xid, "940", "22", "click", "1")
        xdotool(m, handle, *click)
        assert m.consume_actions(handle) == {"action": 0, "close": 0}
        assert [e["phase"] for e in m.consume_touches(handle)] == [0, 2]

        m.set_action_label(handle, "Go")
        pump(m, handle, 0.2)
        xdotool(m, handle, *click)
        xdotool(m, handle, *click)
        assert m.consume_actions(handle) == {"action": 2, "close": 0}
        assert m.consume_touches(handle) == []

        m.set_action_label(handle, None)
        pump(m, handle, 0.2)
        xdotool(m, handle, *click)
        assert m.consume_actions(handle) == {"action": 0, "close": 0}
        assert [e["phase"] for e in m.consume_touches(handle)] == [0, 2]

    @needs_display
    def test_narrow_window_keeps_the_button_at_the_left_margin(self, titled):
        handle, title = titled
        xid = window_id(m, handle, title)
        m.set_action_label(handle, "Go")
        xdotool(m, handle, "windowsize", xid, "40", "300")
        assert m.window_metrics(handle)["size"] == (40.0, 300.0)
        # 40 points leave no room 12 points from the right: the button starts at x = 8.
        xdotool(m, handle, "mousemove", "--window", xid, "36", "20", "click", "1")
        assert m.consume_actions(handle) == {"action": 1, "close": 0}
        assert m.consume_touches(handle) == []


class TestTitlesAndLabels:
    @needs_display
    def test_set_title_renames_the_x11_window(self, titled):
        handle, title = titled
        xid = window_id(m, handle, title)
        assert m.set_title(handle=handle, title=(renamed := unique_title("renamed"))) is None
        assert window_id(m, handle, renamed) == xid

    def test_set_title_accepts_any_text(self, window):
        assert m.set_title(window, "Überschrift ✓") is None
        assert m.set_title(window, "") is None

    def test_action_label_accepts_str_and_none(self, window):
        assert m.set_action_label(window, "") is None
        assert m.set_action_label(handle=window, label="Next") is None
        assert m.set_action_label(window, None) is None

    def test_action_label_of_other_types(self, window):
        with pytest.raises(TypeError):
            m.set_action_label(window, 5)


class TestClose:
    def test_close_accepts_unknown_handles(self):
        assert m.close_window(UNKNOWN) is None
        handle = m.create_window()
        assert m.close_window(handle) is None
        assert m.close_window(handle) is None

    @pytest.mark.parametrize(
        "call",
        [
            lambda h: m.window_metrics(h),
            lambda h: m.window_metrics_if_changed(h, 1),
            lambda h: m.consume_actions(h),
            lambda h: m.set_title(h, "x"),
            lambda h: m.set_action_label(h, "x"),
        ],
        ids=["window_metrics", "window_metrics_if_changed", "consume_actions", "set_title", "set_action_label"],
    )
    def test_unknown_and_closed_handles(self, call):
        closed = m.create_window()
        m.close_window(closed)
        for handle in (UNKNOWN, closed):
            with pytest.raises(KeyError) as error:
                call(handle)
            assert error.value.args == (NOT_FOUND,)

    @needs_display
    def test_close_removes_the_x11_window(self):
        title = unique_title()
        handle = m.create_window(title=title)
        window_id(m, handle, title)
        m.close_window(handle)
        found = subprocess.run(["xdotool", "search", "--name", f"^{title}$"], capture_output=True, text=True)
        assert found.stdout.split() == []


def test_headless_choice_is_reported_by_scale():
    # Under QUENDAL_HEADLESS=1 GDK_SCALE has no say: headless windows are at scale 1.0.
    result = run_python(
        """
        import json, _quendal._metal as m
        h = m.create_window()
        print(json.dumps(m.window_metrics(h)))
        """,
        env_update={"QUENDAL_HEADLESS": "1", "GDK_SCALE": "2"},
    )
    assert result["size"] == [960.0, 640.0]
    assert result["scale"] == 1.0
    assert result["pixel_size"] == [960.0, 640.0]
