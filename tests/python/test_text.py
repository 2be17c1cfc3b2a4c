"""Text textures and glyph atlases: sizes and padding, packing, keys, real
pixels read back through blit passes, and the signed distance field checked
against scipy's exact Euclidean distance transform."""

import inspect
import math
import os
import threading

import numpy as np
import pytest
from scipy import ndimage

from _quendal import _metal as m
from frame_support import read_texture

os.environ.setdefault("NO_AT_BRIDGE", "1")

SANS = "DejaVu Sans"
PRINTABLE = "".join(chr(c) for c in range(32, 127))
TEXT_FAILED = "Failed to rasterize text into a Metal texture."
ATLAS_FAILED = "Failed to create glyph atlas texture"


def spend_handle() -> int:
    handle = m.create_buffer(1)
    m.destroy_buffer(handle)
    return handle


@pytest.fixture(scope="module")
def window():
    handle = m.create_window()
    yield handle
    m.close_window(handle)


@pytest.fixture
def made():
    """Textures made by a test, destroyed after it."""
    handles = []

    class Made:
        @staticmethod
        def text(*args, **kwargs):
            result = m.create_text_texture(*args, **kwargs)
            handles.append(result["handle"])
            return result

        @staticmethod
        def atlas(*args, **kwargs):
            result = m.create_glyph_atlas(*args, **kwargs)
            handles.append(result["handle"])
            return result

    yield Made
    for handle in handles:
        m.destroy_texture(handle)


def pixels(window, result) -> np.ndarray:
    """The texture's B, G, R, A bytes as an array of rows."""
    width, height = result["size"]
    data = read_texture(m, window, result["handle"], width, height)
    return np.frombuffer(data, np.uint8).reshape(height, width, 4)


def glyph_widths(size, chars, font=SANS):
    """Widths of the characters' rectangles, from an atlas without padding."""
    result = m.create_glyph_atlas(font, size, chars, padding=0)
    m.destroy_texture(result["handle"])
    return {chr(key): int(rect[2]) for key, rect in result["glyphs"].items()}


class TestTextTexture:
    def test_result_and_signature(self, made):
        before = spend_handle()
        result = made.text("Hello", 20)
        assert list(result) == ["handle", "size"]
        assert result["handle"] == before + 1
        assert type(result["size"]) is tuple
        assert str(inspect.signature(m.create_text_texture)) == "(text, font_size, font_name=None)"
        assert m.create_text_texture.__doc__ == "Rasterize text into a Metal texture."
        assert made.text(text="Hi", font_size=12.0, font_name=None)["size"] == made.text("Hi", 12)["size"]

    @pytest.mark.parametrize("size, side", [(12, 8), (22.2, 8), (22.3, 10), (40, 16), (100, 36)])
    def test_empty_text_is_the_padding_alone(self, made, size, side):
        # Padding 4, or ceil(0.18 x size) from 22.3 on: 40 gives 8 on each side.
        assert made.text("", size)["size"] == (side, side)

    def test_size_follows_the_text(self, made):
        short, longer = made.text("Hello", 40)["size"], made.text("Hello, world", 40)["size"]
        assert longer[0] > short[0] + 100
        assert longer[1] == short[1]
        two_lines = made.text("Hello\nHello", 40)["size"]
        assert two_lines[0] == short[0]
        assert two_lines[1] > 2 * short[1] - 2 * 8 - 2
        assert made.text("Hello", 80)["size"][0] > 2 * short[0] - 20

    def test_white_premultiplied_glyphs_on_zeros(self, window, made):
        result = made.text("Hi!", 40)
        image = pixels(window, result)
        assert (image[..., 0] == image[..., 3]).all()
        assert (image[..., 1] == image[..., 3]).all()
        assert (image[..., 2] == image[..., 3]).all()
        alpha = image[..., 3]
        assert (alpha == 255).sum() > 200
        # Nothing drawn into the outer half of the padding of 8.
        assert not alpha[:4].any() and not alpha[-4:].any()
        assert not alpha[:, :4].any() and not alpha[:, -4:].any()

    def test_unknown_or_empty_font_names_fall_back(self, made):
        system = made.text("Hamburgefonts", 30)["size"]
        assert made.text("Hamburgefonts", 30, "No Such Font 4711")["size"] == system
        assert made.text("Hamburgefonts", 30, "")["size"] == system
        assert made.text("Hamburgefonts", 30, SANS)["size"] == system
        assert made.text("Hamburgefonts", 30, "DejaVu Sans Mono")["size"] != system

    def test_sizes_that_are_no_sizes_still_draw(self, made):
        for size in (0.0, -5.0, math.nan):
            width, height = made.text("Hi", size)["size"]
            assert width > 8 and height > 8

    def test_too_large_for_any_texture(self, window, made):
        before = spend_handle()
        for size in (1e6, math.inf, 16385):
            with pytest.raises(RuntimeError) as raised:
                m.create_text_texture("W", size)
            assert str(raised.value) == TEXT_FAILED
        assert spend_handle() == before + 1
        # Refused sizes leave the font usable.
        assert pixels(window, made.text("W", 40, SANS))[..., 3].any()

    def test_arguments_are_checked_by_the_parser(self):
        with pytest.raises(TypeError):
            m.create_text_texture(None, 12)
        with pytest.raises(TypeError):
            m.create_text_texture("a", "12")
        with pytest.raises(ValueError):
            m.create_text_texture("a\0b", 12)


class TestGlyphAtlasLayout:
    def test_result_and_signature(self, made):
        result = made.atlas(SANS, 20, "ab")
        assert list(result) == ["handle", "size", "glyphs"]
        assert str(inspect.signature(m.create_glyph_atlas)) == (
            "(font_name, font_size, chars, padding=-1.0, sdf=False, sdf_spread=8.0)")
        assert m.create_glyph_atlas.__doc__ == "Build a glyph atlas texture for a font."
        rect = result["glyphs"][ord("a")]
        assert type(rect) is tuple and len(rect) == 7 and all(type(v) is float for v in rect)
        x, y, w, h, fifth, sixth, seventh = rect
        assert (fifth, sixth, seventh) == (w, 0.0, 0.0)
        assert w == int(w) >= 1 and h == int(h) >= 1

    def test_empty_chars(self, made):
        result = made.atlas(None, 12, "")
        assert result["size"] == (1024, 64)
        assert result["glyphs"] == {}

    @pytest.mark.parametrize("size, padding, expected", [(10, -1.0, 2), (19, -1.0, 2), (32, -1.0, 4), (41, -1.0, 5),
                                                         (32, 0.0, 0), (32, 1.5, 1.5), (32, math.nan, 4)])
    def test_padding(self, made, size, padding, expected):
        glyphs = made.atlas(SANS, size, "AB", padding=padding)["glyphs"]
        ax, ay, aw = glyphs[ord("A")][:3]
        assert (ax, ay) == (expected, expected)
        assert glyphs[ord("B")][:2] == (ax + aw + 2 * expected, expected)

    @pytest.mark.parametrize("total", [1024, 1025])
    def test_row_breaks_only_when_a_cell_passes_the_edge(self, made, total):
        widths = glyph_widths(32, PRINTABLE)
        for first in PRINTABLE[1:]:
            for second in PRINTABLE[1:]:
                a, b = widths[first], widths[second]
                counts = [(i, (total - i * a) // b) for i in range(total // a + 1) if (total - i * a) % b == 0]
                if a != b and counts and counts[0][1] > 0:
                    break
            else:
                continue
            break
        i, j = counts[0]
        chars = first * i + second * j + "|"
        glyphs = m.create_glyph_atlas(SANS, 32, chars, padding=0)
        m.destroy_texture(glyphs["handle"])
        last, bar = glyphs["glyphs"][ord(second)], glyphs["glyphs"][ord("|")]
        row = last[3]
        if total == 1024:  # the last cell ends at the edge: the row holds it
            assert last[:2] == (1024 - last[2], 0.0)
            assert bar[:2] == (0.0, row)
        else:  # it would pass the edge by one pixel: a second row
            assert last[:2] == (0.0, row)
            assert bar[:2] == (last[2], row)

    def test_glyph_wider_than_the_atlas(self, made):
        result = made.atlas(SANS, 1100, "W.", padding=3)
        wide, dot = result["glyphs"][ord("W")], result["glyphs"][ord(".")]
        assert wide[2] > 1024
        # The row test runs for the first glyph too: it starts a (second) row at x = P.
        assert wide[:2] == (3.0, 6.0)
        assert dot[:2] == (3.0, 6.0 + 3 + wide[3] + 6)
        assert result["size"] == (1024, 4096 if 6 + wide[3] + 6 + 3 + dot[3] + 6 + 3 > 2048 else 2048)

    def test_height_is_a_power_of_two_from_64(self, made):
        seen = set()
        cases = [(size, "A") for size in (10, 51, 51.5, 52, 52.5, 53, 60)] + [(150, "AB"), (32, PRINTABLE * 3)]
        for size, chars in cases:
            result = made.atlas(SANS, size, chars, padding=1)
            rects = result["glyphs"].values()
            needed = math.ceil(1 + max(y + h + 2 for x, y, w, h, *_ in rects))
            height = result["size"][1]
            assert height == max(64, 2 ** math.ceil(math.log2(needed)))
            seen.add(height)
        assert {64, 128, 256} <= seen

    def test_keys_of_composed_sequences(self, made):
        glyphs = made.atlas(SANS, 16, "a\U0001F600e\u0301b")["glyphs"]
        assert list(glyphs) == [ord("a"), 0x1F600, ord("e"), ord("b")]
        # The combining mark is drawn with its letter: one cell, no key of its own.
        plain = made.atlas(SANS, 16, "e")["glyphs"][ord("e")]
        assert glyphs[ord("e")][2] == plain[2]

    def test_later_duplicates_win(self, made):
        glyphs = made.atlas(SANS, 16, "abca", padding=0)["glyphs"]
        assert list(glyphs) == [ord("a"), ord("b"), ord("c")]
        b, c = glyphs[ord("b")], glyphs[ord("c")]
        assert glyphs[ord("a")][0] == c[0] + c[2]
        assert made.atlas(SANS, 16, "e\u0301xe", padding=0)["glyphs"][ord("e")][0] > 0
        assert b[0] > 0

    def test_unknown_font_falls_back(self, made):
        system = made.atlas(None, 24, PRINTABLE)["glyphs"]
        assert made.atlas("No Such Font 4711", 24, PRINTABLE)["glyphs"] == system
        assert made.atlas("", 24, PRINTABLE)["glyphs"] == system
        assert made.atlas("DejaVu Serif", 24, PRINTABLE)["glyphs"] != system


class TestGlyphAtlasPixels:
    def test_cells_hold_their_glyphs(self, window, made):
        result = made.atlas(SANS, 32, "AxQ", padding=4)
        atlas = pixels(window, result)
        assert (atlas[..., 0] == atlas[..., 3]).all()
        covered = np.zeros(atlas.shape[:2], bool)
        for key, (x, y, w, h, *_) in result["glyphs"].items():
            x, y, w, h = int(x), int(y), int(w), int(h)
            covered[y - 4:y + h + 4, x - 4:x + w + 4] = True
            # The same character as a text texture (padding 6 at 32) has the same pixels.
            alone = pixels(window, made.text(chr(key), 32, SANS))
            assert np.array_equal(atlas[y:y + h, x:x + w], alone[6:6 + h, 6:6 + w])
            assert atlas[y:y + h, x:x + w, 3].any()
        assert not atlas[~covered].any()

    def test_distance_field_matches_scipy(self, window, made):
        chars = PRINTABLE * 2 + "\u00e9\u00df\u03a9"
        plain = made.atlas(SANS, 40, chars, sdf_spread=6.0)
        field = made.atlas(SANS, 40, chars, sdf=True, sdf_spread=6.0)
        assert field["glyphs"] == plain["glyphs"] and field["size"] == plain["size"]
        assert len({y for _, y, *_ in field["glyphs"].values()}) >= 4  # several rows
        inside = pixels(window, plain)[..., 3] >= 128
        to_inside = ndimage.distance_transform_edt(~inside).astype(np.float32)
        to_outside = ndimage.distance_transform_edt(inside).astype(np.float32)
        s = np.clip((to_outside - to_inside) / np.float32(12.0) + np.float32(0.5), 0, 1)
        expected = (s * np.float32(255) + np.float32(0.5)).astype(np.int16)
        image = pixels(window, field)
        assert (image[..., 3] == 255).all()
        assert (image[..., 0] == image[..., 1]).all() and (image[..., 1] == image[..., 2]).all()
        assert np.abs(image[..., 0].astype(np.int16) - expected).max() <= 1
        assert ((image[..., 0] >= 128) == inside).all()
        assert image[-1, -1, 0] == 0 and image[-1, 0, 0] == 0  # far below the last row

    def test_distance_field_deep_inside_and_far_outside(self, window, made):
        result = made.atlas(SANS, 200, "I", sdf=True)  # a stem about 30 pixels wide
        x, y, w, h, *_ = result["glyphs"][ord("I")]
        image = pixels(window, result)[..., 0]
        assert image[int(y + h / 2), int(x + w / 2)] == 255
        assert image[int(y + h / 2), int(x + w + 40)] == 0

    def test_distance_field_spread(self, window, made):
        # Zero spread is a hard edge; a wide one stays near the middle close to the glyph.
        hard = pixels(window, made.atlas(SANS, 40, "O", sdf=True, sdf_spread=0.0))[..., 0]
        assert set(np.unique(hard)) <= {0, 255}
        soft = pixels(window, made.atlas(SANS, 40, "O", sdf=True, sdf_spread=1000.0))[..., 0]
        near = soft[:, :80]
        assert 115 < near.min() and near.max() < 135


class TestGlyphAtlasFailures:
    def test_too_large_consumes_no_handle(self):
        before = spend_handle()
        for kwargs in ({"font_size": 1e6}, {"font_size": 12, "padding": 1e9}, {"font_size": 12, "padding": math.inf}):
            with pytest.raises(RuntimeError) as raised:
                m.create_glyph_atlas(SANS, chars="AB", **kwargs)
            assert str(raised.value) == ATLAS_FAILED
        assert spend_handle() == before + 1

    def test_arguments_are_checked_by_the_parser(self):
        with pytest.raises(TypeError):
            m.create_glyph_atlas(None, 12, None)
        with pytest.raises(TypeError):
            m.create_glyph_atlas(3, 12, "a")
        with pytest.raises(ValueError):
            m.create_glyph_atlas(None, 12, "a\0b")


def test_from_a_worker_while_the_main_loop_runs(testing_dir):
    import _quendal_testhost
    outcome = {}

    def worker():
        try:
            outcome["text"] = m.create_text_texture("Hi", 20)
            outcome["atlas"] = m.create_glyph_atlas(None, 20, "Hi", sdf=True)
        except BaseException as error:  # reported below
            outcome["error"] = error
        finally:
            _quendal_testhost.quit_main_loop()

    thread = threading.Thread(target=worker)
    thread.start()
    _quendal_testhost.run_main_loop(30.0)
    thread.join()
    assert "error" not in outcome
    assert outcome["atlas"]["size"] == (1024, 64) and set(outcome["atlas"]["glyphs"]) == {ord("H"), ord("i")}
    for key in ("text", "atlas"):
        m.destroy_texture(outcome[key]["handle"])
