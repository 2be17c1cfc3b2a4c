"""Buffers: creation, writes and reads against the real device memory."""

import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

from _quendal import _metal


@pytest.fixture
def buffer():
    handle = _metal.create_buffer(16)
    yield handle
    _metal.destroy_buffer(handle)


class TestCreate:
    @pytest.mark.parametrize("length", [0, -5])
    def test_length_must_be_positive(self, length):
        with pytest.raises(ValueError, match=r"^Buffer length must be positive\.$"):
            _metal.create_buffer(length)

    def test_allocation_failure_is_a_runtime_error(self):
        with pytest.raises(RuntimeError, match=r"^Failed to allocate Metal buffer\.$"):
            _metal.create_buffer(1 << 62)

    def test_keyword_and_type_errors(self):
        assert isinstance(_metal.create_buffer(length=3), int)
        with pytest.raises(TypeError):
            _metal.create_buffer("16")
        with pytest.raises(OverflowError):
            _metal.create_buffer(1 << 64)

    def test_new_buffer_is_readable_at_full_length(self, buffer):
        assert len(_metal.read_buffer(buffer)) == 16


class TestWrite:
    def test_round_trip_at_offset(self, buffer):
        _metal.write_buffer(buffer, b"\x00" * 16)
        _metal.write_buffer(buffer, b"abc", 5)
        assert _metal.read_buffer(buffer) == b"\x00" * 5 + b"abc" + b"\x00" * 8

    def test_accepts_any_contiguous_buffer_object(self, buffer):
        _metal.write_buffer(buffer, bytearray(b"xy"))
        _metal.write_buffer(buffer, memoryview(b"--zw")[2:], offset=2)
        import array
        _metal.write_buffer(handle=buffer, data=array.array("H", [0x4241]), offset=4)
        assert _metal.read_buffer(buffer, 0, 6) == b"xyzwAB"

    def test_zero_bytes_at_the_end_changes_nothing(self, buffer):
        _metal.write_buffer(buffer, bytes(range(16)))
        _metal.write_buffer(buffer, b"", 16)
        assert _metal.read_buffer(buffer) == bytes(range(16))

    @pytest.mark.parametrize("offset", [14, 17, -1, sys.maxsize, (1 << 63) - 1, (1 << 63) - 2])
    def test_out_of_range_leaves_buffer_unchanged(self, buffer, offset):
        _metal.write_buffer(buffer, bytes(range(16)))
        with pytest.raises(ValueError, match=r"^Buffer write exceeds Metal buffer length\.$"):
            _metal.write_buffer(buffer, b"abc", offset)
        assert _metal.read_buffer(buffer) == bytes(range(16))

    def test_unknown_handle(self):
        with pytest.raises(KeyError, match="_metal buffer handle not found."):
            _metal.write_buffer(987654321, b"x")

    def test_objects_without_the_buffer_protocol(self, buffer):
        for data in ("text", 5, None, [1, 2]):
            with pytest.raises(TypeError):
                _metal.write_buffer(buffer, data)

    def test_non_contiguous_views_are_refused(self, buffer):
        with pytest.raises(BufferError):
            _metal.write_buffer(buffer, memoryview(bytes(8))[::2])


class TestRead:
    def test_offset_and_length(self, buffer):
        _metal.write_buffer(buffer, bytes(range(16)))
        assert _metal.read_buffer(buffer, 4, 3) == bytes([4, 5, 6])
        assert _metal.read_buffer(handle=buffer, offset=10) == bytes(range(10, 16))
        assert _metal.read_buffer(buffer, offset=16) == b""

    def test_any_negative_length_reads_to_the_end(self, buffer):
        _metal.write_buffer(buffer, bytes(range(16)))
        assert _metal.read_buffer(buffer, 4, -7) == _metal.read_buffer(buffer, 4)

    @pytest.mark.parametrize("offset,length", [(17, -1), (-1, 1), (0, 17), (16, 1), (8, sys.maxsize)])
    def test_out_of_range(self, buffer, offset, length):
        with pytest.raises(ValueError, match=r"^read_buffer: offset/length out of range\.$"):
            _metal.read_buffer(buffer, offset, length)

    def test_unknown_handle(self):
        with pytest.raises(KeyError, match="Buffer handle not found."):
            _metal.read_buffer(987654321)


class TestDestroy:
    def test_destroyed_handle_is_gone_for_both_directions(self):
        handle = _metal.create_buffer(8)
        assert _metal.destroy_buffer(handle) is None
        with pytest.raises(KeyError, match="_metal buffer handle not found."):
            _metal.write_buffer(handle, b"x")
        with pytest.raises(KeyError, match="Buffer handle not found."):
            _metal.read_buffer(handle)
        assert _metal.destroy_buffer(handle) is None

    def test_positional_only(self):
        with pytest.raises(TypeError):
            _metal.destroy_buffer(handle=1)


@settings(max_examples=200, deadline=None)
@given(data=st.binary(max_size=64), offset=st.integers(-70, 70))
def test_writes_land_exactly_where_they_fit(data, offset):
    handle = _metal.create_buffer(64)
    try:
        _metal.write_buffer(handle, b"\xee" * 64)
        fits = 0 <= offset and offset + len(data) <= 64
        if fits:
            _metal.write_buffer(handle, data, offset)
            expected = b"\xee" * offset + data + b"\xee" * (64 - offset - len(data))
        else:
            with pytest.raises(ValueError):
                _metal.write_buffer(handle, data, offset)
            expected = b"\xee" * 64
        assert _metal.read_buffer(handle) == expected
    finally:
        _metal.destroy_buffer(handle)


def test_other_threads_use_buffers_while_the_main_thread_is_busy():
    handle = _metal.create_buffer(1024)
    results = []

    def worker(n):
        for i in range(200):
            _metal.write_buffer(handle, bytes([n]) * 4, n * 4)
            results.append(_metal.read_buffer(handle, n * 4, 4) == bytes([n]) * 4)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    _metal.destroy_buffer(handle)
    assert len(results) == 1600 and all(results)


def test_large_reads_are_exact_from_two_threads_at_odd_offsets():
    # Large reads copy without the interpreter lock, from odd offsets into
    # results that need not start on a page.
    length = (5 << 20) + 3
    data = bytes(range(251)) * (length // 251 + 1)
    handle = _metal.create_buffer(length)
    _metal.write_buffer(handle, data[:length])
    read = []
    reader = threading.Thread(target=lambda: read.append(_metal.read_buffer(handle, 7)))
    reader.start()
    assert _metal.read_buffer(handle, 1, (3 << 20) + 5) == data[1 : (3 << 20) + 6]
    reader.join()
    _metal.destroy_buffer(handle)
    assert read == [data[7:length]]


def test_new_buffers_read_as_zeros_even_where_old_ones_held_data():
    stale = []
    for _ in range(8):
        handle = _metal.create_buffer(4096)
        _metal.write_buffer(handle, b"\xa5" * 4096)
        stale.append(handle)
    for handle in stale:
        _metal.destroy_buffer(handle)
    fresh = [_metal.create_buffer(4096) for _ in range(8)]
    try:
        assert all(_metal.read_buffer(h) == bytes(4096) for h in fresh)
    finally:
        for handle in fresh:
            _metal.destroy_buffer(handle)
