// The _quendal._metal module: definition, method table and registration.
#include "metal/functions.hpp"

namespace quendal::metal {
namespace {

// A row of the method table. The doc string starts with the function's text
// signature, which CPython strips from __doc__ and hands to inspect.signature.
#define METAL_ROW(name, kind, args, doc) {#name, METAL_##kind(metal_##name), #name "(" args ")\n--\n\n" doc}
#define METAL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS
#define METAL_POS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS
#define METAL_NOARGS(fn) fn, METH_NOARGS

// Table order is the module's public order; each file adds the rows of its functions.
PyMethodDef metalMethods[] = {
    METAL_ROW(create_window, KW,
              "$module, /, title='Metal', orientation='auto'",
              "Create a Metal-backed presentation window."),
    METAL_ROW(close_window, POS,
              "$module, handle, /",
              "Close a Metal presentation window."),
    METAL_ROW(window_metrics, POS,
              "$module, handle, /",
              "Return logical and pixel metrics for a window."),
    METAL_ROW(window_metrics_if_changed, POS,
              "$module, handle, revision, /",
              "Return updated window metrics when layout revision changed."),
    METAL_ROW(consume_actions, POS,
              "$module, handle, /",
              "Consume action button presses for a window."),
    METAL_ROW(consume_touches, POS,
              "$module, handle, /",
              "Consume touch events for a window."),
    METAL_ROW(set_title, KW,
              "$module, /, handle, title",
              "Set the presentation window title."),
    METAL_ROW(set_action_label, KW,
              "$module, /, handle, label",
              "Set or hide the auxiliary action button label."),
    METAL_ROW(create_library, KW,
              "$module, /, source=..., path=...",
              "Compile a Metal library from complete source."),
    METAL_ROW(destroy_library, POS,
              "$module, handle, /",
              "Destroy a compiled Metal library."),
    METAL_ROW(create_render_pipeline, KW,
              "$module, /, library, vertex, fragment, blending=True, premultiplied=False, format='bgra8', depth_format=None, sample_count=1, stencil_format=None, color_write=True",
              "Create a Metal render pipeline."),
    METAL_ROW(destroy_render_pipeline, POS,
              "$module, handle, /",
              "Destroy a Metal render pipeline."),
    METAL_ROW(create_buffer, KW,
              "$module, /, length",
              "Create a shared Metal buffer."),
    METAL_ROW(destroy_buffer, POS,
              "$module, handle, /",
              "Destroy a Metal buffer."),
    METAL_ROW(write_buffer, KW,
              "$module, /, handle, data, offset=0",
              "Write bytes into a Metal buffer."),
    METAL_ROW(read_buffer, KW,
              "$module, /, handle, offset=0, length=-1",
              "Read bytes from a Metal buffer."),
    METAL_ROW(create_render_texture, KW,
              "$module, /, width, height, format='bgra8'",
              "Allocate a renderable Metal texture."),
    METAL_ROW(create_image_texture, KW,
              "$module, /, path",
              "Load an image file into a Metal texture."),
    METAL_ROW(destroy_texture, POS,
              "$module, handle, /",
              "Destroy a Metal texture."),
    METAL_ROW(begin_frame, KW,
              "$module, /, window, clear_color=None, target_texture=0, depth=False, sample_count=1, stencil=False",
              "Begin encoding a frame for a window."),
    METAL_ROW(set_pipeline, KW,
              "$module, /, window, pipeline",
              "Bind a render pipeline for the active frame."),
    METAL_ROW(set_vertex_buffer, KW,
              "$module, /, window, buffer, index, offset=0",
              "Bind a vertex buffer for the active frame."),
    METAL_ROW(set_fragment_buffer, KW,
              "$module, /, window, buffer, index, offset=0",
              "Bind a fragment buffer for the active frame."),
    METAL_ROW(set_fragment_texture, KW,
              "$module, /, window, texture, index",
              "Bind a fragment texture for the active frame."),
    METAL_ROW(draw, KW,
              "$module, /, window, primitive, vertex_start, vertex_count",
              "Issue a draw call for the active frame."),
    METAL_ROW(draw_indexed, KW,
              "$module, /, window, primitive, index_buffer, index_count, index_type='uint16', offset=0",
              "Issue an indexed draw call."),
    METAL_ROW(draw_instanced, KW,
              "$module, /, window, primitive, vertex_start, vertex_count, instance_count",
              "Issue an instanced draw call."),
    METAL_ROW(draw_indexed_instanced, KW,
              "$module, /, window, primitive, index_buffer, index_count, index_type='uint16', offset=0, instance_count=1",
              "Issue an indexed instanced draw call."),
    METAL_ROW(draw_indirect, KW,
              "$module, /, window, primitive, indirect_buffer, offset=0",
              "Issue an indirect draw call."),
    METAL_ROW(draw_indexed_indirect, KW,
              "$module, /, window, primitive, index_buffer, index_type, indirect_buffer, indirect_offset=0",
              "Issue an indexed indirect draw call."),
    METAL_ROW(set_depth_stencil, KW,
              "$module, /, window, compare='always', write_enabled=False, stencil_compare='always', stencil_pass='keep', stencil_fail='keep', stencil_ref=0, stencil_back_pass=None",
              "Set depth/stencil state."),
    METAL_ROW(end_frame, POS,
              "$module, window, /",
              "End encoding and present the active frame."),
    METAL_ROW(begin_blit, POS,
              "$module, window, /",
              "Begin a blit pass."),
    METAL_ROW(copy_texture_to_buffer, KW,
              "$module, /, window, texture, buffer, bytes_per_row=0",
              "Copy texture to buffer."),
    METAL_ROW(generate_mipmaps, KW,
              "$module, /, window, texture",
              "Generate mipmaps for a texture."),
    METAL_ROW(end_blit, POS,
              "$module, window, /",
              "End blit pass and wait."),
    METAL_ROW(create_compute_pipeline, KW,
              "$module, /, library, function",
              "Create a compute pipeline."),
    METAL_ROW(destroy_compute_pipeline, POS,
              "$module, handle, /",
              "Destroy a compute pipeline."),
    METAL_ROW(begin_compute, POS,
              "$module, window, /",
              "Begin a compute pass."),
    METAL_ROW(set_compute_pipeline, KW,
              "$module, /, window, pipeline",
              "Set compute pipeline."),
    METAL_ROW(set_compute_buffer, KW,
              "$module, /, window, buffer, index, offset=0",
              "Set compute buffer."),
    METAL_ROW(set_compute_texture, KW,
              "$module, /, window, texture, index",
              "Set compute texture."),
    METAL_ROW(dispatch_compute, KW,
              "$module, /, window, grid_x=1, grid_y=1, grid_z=1, tg_x=1, tg_y=1, tg_z=1",
              "Dispatch compute threads."),
    METAL_ROW(end_compute, POS,
              "$module, window, /",
              "End compute pass and wait."),
    METAL_ROW(set_target_fps, POS,
              "$module, handle, fps, /",
              "Set display link frame rate."),
    METAL_ROW(acquire_frame_slot, POS,
              "$module, handle, /",
              "Wait for an available onscreen frame slot."),
    METAL_ROW(release_frame_slot, POS,
              "$module, handle, /",
              "Release a previously acquired onscreen frame slot."),
    METAL_ROW(vsync, POS,
              "$module, handle, /",
              "Wait for next display refresh."),
    METAL_ROW(resource_counts, NOARGS,
              "$module, /",
              "Return internal Metal resource counts for diagnostics."),
    {nullptr, nullptr, 0, nullptr},
};

#undef METAL_ROW
#undef METAL_KW
#undef METAL_POS
#undef METAL_NOARGS

PyModuleDef metalModule = {
    PyModuleDef_HEAD_INIT,
    "_quendal._metal",
    "quendal-py Metal runtime bridge.",
    -1,  // all state is process-global; the module cannot be re-initialised per interpreter
    metalMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quendal::metal

PyMODINIT_FUNC PyInit__metal()
{
    return PyModule_Create2(&quendal::metal::metalModule, 1013);
}

extern "C" __attribute__((visibility("default"))) int registerMetalModule()
{
    return PyImport_AppendInittab("_quendal._metal", PyInit__metal);
}
