"""Compute passes: kernels really run (buffers and textures read back), the
pass lifecycle, every error with its message and the order of the checks."""

import os
import struct

import pytest

from _quendal import _metal as m
from texture_support import write_png

NO_PASS = "No active compute pass."
INVALID_WINDOW = "Invalid window handle."
UNKNOWN = 987_654_321

# The accessibility bridge would start a bus service for the test process.
os.environ.setdefault("NO_AT_BRIDGE", "1")

KERNELS = """\
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0) buffer Out { uint values[]; };
layout(set = 0, binding = 1) buffer In { uint inputs[]; };
layout(set = 0, binding = 2) buffer Counter { uint count; };
layout(set = 1, binding = 0, rgba8) uniform writeonly image2D colour;
layout(set = 1, binding = 1, r32f) uniform writeonly image2D level;
layout(set = 1, binding = 2) uniform sampler2D picture;
layout(set = 1, binding = 3, rgba8) uniform readonly image2D source;

uint linearIndex() {
    uvec3 size = gl_NumWorkGroups * gl_WorkGroupSize;
    uvec3 id = gl_GlobalInvocationID;
    return id.x + size.x * (id.y + size.y * id.z);
}
uint threadCount() {
    uvec3 size = gl_NumWorkGroups * gl_WorkGroupSize;
    return size.x * size.y * size.z;
}
void write_index() { values[linearIndex()] = linearIndex(); }
void add_input() { values[linearIndex()] = inputs[linearIndex()] + 7u; }
void reverse_plus_one() {
    uint i = linearIndex();
    inputs[i] = values[threadCount() - 1u - i] + 1u;
}
void count_threads() { atomicAdd(count, 1u); }
void paint() {
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    imageStore(colour, p, vec4(float(p.x) / 255.0, float(p.y) / 255.0, 1.0, 1.0));
}
void paint_level() {
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    imageStore(level, p, vec4(float(p.x + 10 * p.y) + 0.5));
}
void fetch_picture() {
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    values[p.x + 3 * p.y] = packUnorm4x8(texelFetch(picture, p, 0));
}
void read_unset() {
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    values[0] = packUnorm4x8(imageLoad(source, p)) + packUnorm4x8(texelFetch(picture, p, 0)) + inputs[5] + 1u;
}
#endif
"""


@pytest.fixture(scope="module")
def kernels():
    library = m.create_library(source=KERNELS)
    names = ["write_index", "add_input", "reverse_plus_one", "count_threads", "paint", "paint_level",
             "fetch_picture", "read_unset"]
    pipelines = {name: m.create_compute_pipeline(library, name) for name in names}
    yield pipelines
    for handle in pipelines.values():
        m.destroy_compute_pipeline(handle)
    m.destroy_library(library)


@pytest.fixture
def window():
    handle = m.create_window()
    yield handle
    m.close_window(handle)


@pytest.fixture
def made():
    """Buffers and textures made by a test, destroyed after it."""
    handles = []

    class Made:
        @staticmethod
        def buffer(length, fill=b"\0"):
            handle = m.create_buffer(length)
            m.write_buffer(handle, fill * length)
            handles.append((m.destroy_buffer, handle))
            return handle

        @staticmethod
        def texture(width, height, format="rgba8"):
            handle = m.create_render_texture(width, height, format)["handle"]
            handles.append((m.destroy_texture, handle))
            return handle

        @staticmethod
        def image(path):
            handle = m.create_image_texture(path)["handle"]
            handles.append((m.destroy_texture, handle))
            return handle

    yield Made
    for destroy, handle in handles:
        destroy(handle)


def uints(buffer, count, offset=0):
    return list(struct.unpack(f"<{count}I", m.read_buffer(buffer, offset, 4 * count)))


def run(window, pipeline, buffers=(), textures=(), **dispatch):
    m.begin_compute(window)
    m.set_compute_pipeline(window, pipeline)
    for index, buffer in enumerate(buffers):
        if buffer is not None:
            m.set_compute_buffer(window, buffer, index)
    for index, texture in enumerate(textures):
        if texture is not None:
            m.set_compute_texture(window, texture, index)
    m.dispatch_compute(window, **dispatch)
    m.end_compute(window)


def read_texture(window, texture, length):
    buffer = m.create_buffer(length)
    try:
        m.begin_blit(window)
        m.copy_texture_to_buffer(window, texture, buffer)
        m.end_blit(window)
        return m.read_buffer(buffer)
    finally:
        m.destroy_buffer(buffer)


class TestDispatch:
    @pytest.mark.parametrize(
        "grid, group",
        [((4, 1, 1), (64, 1, 1)), ((3, 2, 1), (4, 8, 1)), ((2, 3, 2), (2, 2, 4)), ((1, 1, 1), (1, 1, 1)),
         ((100, 1, 1), (1, 1, 1))],
    )
    def test_every_thread_writes_its_index(self, window, kernels, made, grid, group):
        total = grid[0] * grid[1] * grid[2] * group[0] * group[1] * group[2]
        out = made.buffer(4 * total + 16, b"\xff")
        run(window, kernels["write_index"], [out], grid_x=grid[0], grid_y=grid[1], grid_z=grid[2],
            tg_x=group[0], tg_y=group[1], tg_z=group[2])
        assert uints(out, total) == list(range(total))
        assert m.read_buffer(out, 4 * total) == b"\xff" * 16

    @pytest.mark.parametrize("dispatch, threads", [({}, 1), ({"grid_x": 4, "tg_x": 64}, 256),
                                                    ({"grid_z": 3, "tg_y": 5}, 15)])
    def test_thread_count(self, window, kernels, made, dispatch, threads):
        counter = made.buffer(4)
        run(window, kernels["count_threads"], [None, None, counter], **dispatch)
        assert uints(counter, 1) == [threads]

    def test_second_dispatch_sees_the_first(self, window, kernels, made):
        values, inputs = made.buffer(4 * 256), made.buffer(4 * 256)
        m.begin_compute(window)
        m.set_compute_buffer(window, values, 0)
        m.set_compute_buffer(window, inputs, 1)
        m.set_compute_pipeline(window, kernels["write_index"])
        m.dispatch_compute(window, grid_x=4, tg_x=64)
        m.set_compute_pipeline(window, kernels["reverse_plus_one"])
        m.dispatch_compute(window, grid_x=4, tg_x=64)
        m.end_compute(window)
        assert uints(inputs, 256) == [256 - i for i in range(256)]

    def test_buffer_offset(self, window, kernels, made):
        out = made.buffer(64, b"\xee")
        m.begin_compute(window)
        m.set_compute_pipeline(window, kernels["write_index"])
        m.set_compute_buffer(window, out, 0, offset=32)
        m.dispatch_compute(window, grid_x=2, tg_x=4)
        m.end_compute(window)
        assert m.read_buffer(out, 0, 32) == b"\xee" * 32
        assert uints(out, 8, 32) == list(range(8))

    def test_bindings_outlive_a_pipeline_change(self, window, kernels, made):
        values, inputs = made.buffer(16), made.buffer(16)
        m.write_buffer(inputs, struct.pack("<4I", 1, 2, 3, 4))
        m.begin_compute(window)
        m.set_compute_pipeline(window, kernels["write_index"])
        m.set_compute_buffer(window, values, 0)
        m.set_compute_buffer(window, inputs, 1)
        m.set_compute_pipeline(window, kernels["add_input"])
        m.dispatch_compute(window, tg_x=4)
        m.end_compute(window)
        assert uints(values, 4) == [8, 9, 10, 11]

    def test_unset_buffer_reads_zeros(self, window, kernels, made):
        values = made.buffer(32, b"\xff")
        run(window, kernels["add_input"], [values], tg_x=8)
        assert uints(values, 8) == [7] * 8

    def test_buffer_destroyed_inside_the_pass_stays_alive_for_it(self, window, kernels):
        out = m.create_buffer(16)
        keep = m.create_buffer(16)
        try:
            m.begin_compute(window)
            m.set_compute_pipeline(window, kernels["write_index"])
            m.set_compute_buffer(window, out, 0)
            m.destroy_buffer(out)
            m.dispatch_compute(window, tg_x=4)
            m.end_compute(window)
        finally:
            m.destroy_buffer(keep)

    def test_pipeline_destroyed_inside_the_pass_still_runs(self, window, made):
        library = m.create_library(source=KERNELS)
        pipeline = m.create_compute_pipeline(library, "write_index")
        out = made.buffer(16)
        m.begin_compute(window)
        m.set_compute_pipeline(window, pipeline)
        m.destroy_compute_pipeline(pipeline)
        m.destroy_library(library)
        m.set_compute_buffer(window, out, 0)
        m.dispatch_compute(window, tg_x=4)
        m.end_compute(window)
        assert uints(out, 4) == [0, 1, 2, 3]

    def test_closing_the_window_drops_the_pass(self, kernels, made):
        out = made.buffer(16, b"\xaa")
        window = m.create_window()
        m.begin_compute(window)
        m.set_compute_pipeline(window, kernels["write_index"])
        m.set_compute_buffer(window, out, 0)
        m.dispatch_compute(window, tg_x=4)
        m.close_window(window)
        other = m.create_window()
        try:
            run(other, kernels["count_threads"], [None, None, made.buffer(4)])
        finally:
            m.close_window(other)
        assert m.read_buffer(out) == b"\xaa" * 16


class TestTextures:
    def test_storage_texture_rgba8(self, window, kernels, made):
        texture = made.texture(4, 3, "rgba8")
        run(window, kernels["paint"], textures=[texture], grid_x=2, grid_y=3, tg_x=2)
        expected = b"".join(bytes([x, y, 255, 255]) for y in range(3) for x in range(4))
        assert read_texture(window, texture, 4 * 12) == expected

    def test_storage_texture_r32f(self, window, kernels, made):
        texture = made.texture(5, 2, "r32f")
        run(window, kernels["paint_level"], textures=[None, texture], grid_x=5, grid_y=2)
        data = read_texture(window, texture, 4 * 10)
        assert struct.unpack("<10f", data) == tuple(x + 10 * y + 0.5 for y in range(2) for x in range(5))

    def test_texture_written_twice_in_one_pass(self, window, kernels, made):
        colour, level = made.texture(2, 2, "rgba8"), made.texture(2, 2, "r32f")
        m.begin_compute(window)
        m.set_compute_texture(window, colour, 0)
        m.set_compute_texture(window, level, 1)
        for name in ("paint", "paint_level", "paint"):
            m.set_compute_pipeline(window, kernels[name])
            m.dispatch_compute(window, tg_x=2, tg_y=2)
        m.end_compute(window)
        assert read_texture(window, colour, 16) == bytes([0, 0, 255, 255, 1, 0, 255, 255,
                                                          0, 1, 255, 255, 1, 1, 255, 255])
        assert struct.unpack("<4f", read_texture(window, level, 16)) == (0.5, 1.5, 10.5, 11.5)

    def test_sampled_image_texture(self, window, kernels, made, tmp_path):
        rows = [[(255, 0, 0, 255), (0, 255, 0, 255), (0, 0, 255, 255)], [(255, 255, 255, 255)] * 3]
        picture = made.image(write_png(tmp_path / "p.png", rows))
        values = made.buffer(24)
        run(window, kernels["fetch_picture"], [values], textures=[None, None, picture], tg_x=3, tg_y=2)
        data = m.read_buffer(values)
        expected = [(255, 0, 0, 255), (0, 255, 0, 255), (0, 0, 255, 255)] + [(255, 255, 255, 255)] * 3
        assert [tuple(data[i:i + 4]) for i in range(0, 24, 4)] == expected

    def test_unset_textures_read_zeros(self, window, kernels, made):
        values = made.buffer(4, b"\xff")
        run(window, kernels["read_unset"], [values])
        assert uints(values, 1) == [1]

    def test_new_texture_in_a_dropped_pass_then_copied(self, kernels, made):
        texture = made.texture(4, 4, "rgba8")
        dropped = m.create_window()
        m.begin_compute(dropped)
        m.set_compute_pipeline(dropped, kernels["paint"])
        m.set_compute_texture(dropped, texture, 0)
        m.dispatch_compute(dropped, tg_x=4, tg_y=4)
        m.close_window(dropped)
        window = m.create_window()
        try:
            read_texture(window, texture, 64)
        finally:
            m.close_window(window)

    def test_passes_recorded_side_by_side_commit_in_any_order(self, window, kernels, made):
        texture = made.texture(4, 1, "rgba8")
        buffer = made.buffer(16, b"\xaa")
        other = m.create_window()
        try:
            m.begin_blit(window)
            m.copy_texture_to_buffer(window, texture, buffer)
            m.begin_compute(other)
            m.set_compute_pipeline(other, kernels["paint"])
            m.set_compute_texture(other, texture, 0)
            m.dispatch_compute(other, tg_x=4)
            m.end_compute(other)
            m.end_blit(window)
        finally:
            m.close_window(other)
        assert read_texture(window, texture, 16) == b"".join(bytes([x, 0, 255, 255]) for x in range(4))

    def test_image_texture_cannot_be_written(self, window, kernels, made, tmp_path):
        picture = made.image(write_png(tmp_path / "p.png", [[(1, 2, 3, 255)]]))
        m.begin_compute(window)
        m.set_compute_pipeline(window, kernels["paint"])
        m.set_compute_texture(window, picture, 0)
        with pytest.raises(ValueError) as raised:
            m.dispatch_compute(window)
        assert raised.value.args == (
            "The texture at index 0 cannot be written by a kernel: the device has no storage support for its format.",)
        m.end_compute(window)


class TestLifecycle:
    def test_begin_twice(self, window):
        m.begin_compute(window)
        with pytest.raises(RuntimeError) as raised:
            m.begin_compute(window)
        assert raised.value.args == ("Compute pass already active.",)
        m.end_compute(window)

    @pytest.mark.parametrize("function", [m.begin_compute, m.end_compute])
    def test_unknown_window(self, function):
        with pytest.raises(RuntimeError) as raised:
            function(UNKNOWN)
        assert raised.value.args == (INVALID_WINDOW,)

    def test_end_without_begin(self, window):
        with pytest.raises(RuntimeError) as raised:
            m.end_compute(window)
        assert raised.value.args == (NO_PASS,)

    def test_empty_pass(self, window):
        m.begin_compute(window)
        m.end_compute(window)
        m.begin_compute(window)
        m.end_compute(window)

    def test_compute_and_blit_passes_are_independent(self, window, kernels, made):
        counter = made.buffer(4)
        m.begin_blit(window)
        run(window, kernels["count_threads"], [None, None, counter], grid_x=2)
        m.end_blit(window)
        assert uints(counter, 1) == [2]

    @pytest.mark.skipif(not hasattr(m, "begin_frame"), reason="render frames are not built")
    def test_pass_inside_a_render_frame(self, window, kernels, made):
        counter = made.buffer(4)
        m.begin_frame(window)
        try:
            run(window, kernels["count_threads"], [None, None, counter], grid_x=3)
        finally:
            m.end_frame(window)
        assert uints(counter, 1) == [3]


class TestErrors:
    """Without a pass every binding function says so, whatever the handles."""

    @pytest.mark.parametrize("call", [
        lambda w: m.set_compute_pipeline(w, UNKNOWN),
        lambda w: m.set_compute_buffer(w, UNKNOWN, 0),
        lambda w: m.set_compute_texture(w, UNKNOWN, 0),
        lambda w: m.dispatch_compute(w),
        lambda w: m.set_compute_buffer(w, UNKNOWN, -1, offset=-1),
    ])
    @pytest.mark.parametrize("known_window", [True, False])
    def test_no_pass(self, window, call, known_window):
        with pytest.raises(RuntimeError) as raised:
            call(window if known_window else UNKNOWN)
        assert raised.value.args == (NO_PASS,)

    @pytest.mark.parametrize("call, message", [
        (lambda w: m.set_compute_pipeline(w, UNKNOWN), "Compute pipeline not found."),
        (lambda w: m.set_compute_buffer(w, UNKNOWN, 0), "Buffer not found."),
        (lambda w: m.set_compute_texture(w, UNKNOWN, 0), "Texture not found."),
        (lambda w: m.set_compute_buffer(w, UNKNOWN, -1), "Buffer not found."),
    ])
    def test_unknown_resource(self, window, call, message):
        m.begin_compute(window)
        try:
            with pytest.raises(KeyError) as raised:
                call(window)
            assert raised.value.args == (message,)
        finally:
            m.end_compute(window)

    def test_dispatch_without_pipeline(self, window):
        m.begin_compute(window)
        with pytest.raises(RuntimeError) as raised:
            m.dispatch_compute(window)
        assert raised.value.args == ("set_compute_pipeline() must be called before dispatch_compute().",)
        m.end_compute(window)

    @pytest.mark.parametrize("dispatch, message", [
        ({"grid_x": 0}, "Threadgroup counts and sizes must be at least 1."),
        ({"grid_z": -1}, "Threadgroup counts and sizes must be at least 1."),
        ({"tg_y": 0}, "Threadgroup counts and sizes must be at least 1."),
        ({"tg_x": -64}, "Threadgroup counts and sizes must be at least 1."),
        ({"tg_x": 2048}, "Threadgroup size 2048x1x1 exceeds the device's limits."),
        ({"tg_x": 64, "tg_y": 64}, "Threadgroup size 64x64x1 exceeds the device's limits."),
        ({"grid_x": 2**31 - 1}, "Threadgroup count 2147483647x1x1 exceeds the device's limits."),
    ])
    def test_bad_sizes(self, window, kernels, made, dispatch, message):
        counter = made.buffer(4)
        m.begin_compute(window)
        m.set_compute_pipeline(window, kernels["count_threads"])
        m.set_compute_buffer(window, counter, 2)
        with pytest.raises(ValueError) as raised:
            m.dispatch_compute(window, **dispatch)
        assert raised.value.args == (message,)
        m.dispatch_compute(window)
        m.end_compute(window)
        assert uints(counter, 1) == [1]

    @pytest.mark.parametrize("index", [-1, 256, 2**31 - 1])
    def test_buffer_index_out_of_range(self, window, made, index):
        m.begin_compute(window)
        try:
            with pytest.raises(ValueError) as raised:
                m.set_compute_buffer(window, made.buffer(16), index)
            assert raised.value.args == ("Compute buffer index must be between 0 and 255.",)
        finally:
            m.end_compute(window)

    @pytest.mark.parametrize("index", [-1, 256])
    def test_texture_index_out_of_range(self, window, made, index):
        m.begin_compute(window)
        try:
            with pytest.raises(ValueError) as raised:
                m.set_compute_texture(window, made.texture(2, 2), index)
            assert raised.value.args == ("Compute texture index must be between 0 and 255.",)
        finally:
            m.end_compute(window)

    @pytest.mark.parametrize("offset", [-16, 64, 2**62])
    def test_offset_outside_the_buffer(self, window, made, offset):
        m.begin_compute(window)
        try:
            with pytest.raises(ValueError) as raised:
                m.set_compute_buffer(window, made.buffer(64), 0, offset)
            assert raised.value.args == ("Compute buffer offset must lie inside the buffer.",)
        finally:
            m.end_compute(window)

    def test_misaligned_offset(self, window, kernels, made):
        out = made.buffer(64)
        m.begin_compute(window)
        m.set_compute_pipeline(window, kernels["write_index"])
        m.set_compute_buffer(window, out, 0, offset=4)
        with pytest.raises(ValueError, match=r"^The offset 4 of the buffer at index 0 is not a multiple of \d+, "
                                             r"the device's alignment for storage buffers\.$"):
            m.dispatch_compute(window)
        m.end_compute(window)
