// The _quendal._metal module: definition, method table and registration.
#include "metal/functions.hpp"

namespace quendal::metal {
namespace {

#define METAL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS
#define METAL_POS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS

// Table order is the module's public order; each file adds the rows of its functions.
PyMethodDef metalMethods[] = {
    {"create_window", METAL_KW(metal_create_window), "Create a Metal-backed presentation window."},
    {"close_window", METAL_POS(metal_close_window), "Close a Metal presentation window."},
    {"window_metrics", METAL_POS(metal_window_metrics), "Return logical and pixel metrics for a window."},
    {"window_metrics_if_changed", METAL_POS(metal_window_metrics_if_changed),
     "Return updated window metrics when layout revision changed."},
    {"consume_actions", METAL_POS(metal_consume_actions), "Consume action button presses for a window."},
    {"consume_touches", METAL_POS(metal_consume_touches), "Consume touch events for a window."},
    {"set_title", METAL_KW(metal_set_title), "Set the presentation window title."},
    {"set_action_label", METAL_KW(metal_set_action_label), "Set or hide the auxiliary action button label."},
    {"create_library", METAL_KW(metal_create_library), "Compile a Metal library from complete source."},
    {"destroy_library", METAL_POS(metal_destroy_library), "Destroy a compiled Metal library."},
    {"create_render_pipeline", METAL_KW(metal_create_render_pipeline), "Create a Metal render pipeline."},
    {"destroy_render_pipeline", METAL_POS(metal_destroy_render_pipeline), "Destroy a Metal render pipeline."},
    {"create_buffer", METAL_KW(metal_create_buffer), "Create a shared Metal buffer."},
    {"destroy_buffer", METAL_POS(metal_destroy_buffer), "Destroy a Metal buffer."},
    {"write_buffer", METAL_KW(metal_write_buffer), "Write bytes into a Metal buffer."},
    {"read_buffer", METAL_KW(metal_read_buffer), "Read bytes from a Metal buffer."},
    {"create_text_texture", METAL_KW(metal_create_text_texture),
     "create_text_texture($module, /, text, font_size, font_name=None)\n--\n\n"
     "Rasterize text into a Metal texture."},
    {"create_glyph_atlas", METAL_KW(metal_create_glyph_atlas),
     "create_glyph_atlas($module, /, font_name, font_size, chars, padding=-1.0, sdf=False, sdf_spread=8.0)\n--\n\n"
     "Build a glyph atlas texture for a font."},
    {"create_render_texture", METAL_KW(metal_create_render_texture), "Allocate a renderable Metal texture."},
    {"create_image_texture", METAL_KW(metal_create_image_texture), "Load an image file into a Metal texture."},
    {"destroy_texture", METAL_POS(metal_destroy_texture), "Destroy a Metal texture."},
    {"begin_frame", METAL_KW(metal_begin_frame), "Begin encoding a frame for a window."},
    {"set_pipeline", METAL_KW(metal_set_pipeline), "Bind a render pipeline for the active frame."},
    {"set_vertex_buffer", METAL_KW(metal_set_vertex_buffer), "Bind a vertex buffer for the active frame."},
    {"set_fragment_buffer", METAL_KW(metal_set_fragment_buffer), "Bind a fragment buffer for the active frame."},
    {"set_fragment_texture", METAL_KW(metal_set_fragment_texture), "Bind a fragment texture for the active frame."},
    {"draw", METAL_KW(metal_draw), "Issue a draw call for the active frame."},
    {"draw_indexed", METAL_KW(metal_draw_indexed), "Issue an indexed draw call."},
    {"draw_instanced", METAL_KW(metal_draw_instanced), "Issue an instanced draw call."},
    {"draw_indexed_instanced", METAL_KW(metal_draw_indexed_instanced), "Issue an indexed instanced draw call."},
    {"draw_indirect", METAL_KW(metal_draw_indirect), "Issue an indirect draw call."},
    {"draw_indexed_indirect", METAL_KW(metal_draw_indexed_indirect), "Issue an indexed indirect draw call."},
    {"set_depth_stencil", METAL_KW(metal_set_depth_stencil), "Set depth/stencil state."},
    {"end_frame", METAL_POS(metal_end_frame), "End encoding and present the active frame."},
    {"begin_blit", METAL_POS(metal_begin_blit), "Begin a blit pass."},
    {"copy_texture_to_buffer", METAL_KW(metal_copy_texture_to_buffer), "Copy texture to buffer."},
    {"generate_mipmaps", METAL_KW(metal_generate_mipmaps), "Generate mipmaps for a texture."},
    {"end_blit", METAL_POS(metal_end_blit), "End blit pass and wait."},
    {"create_compute_pipeline", METAL_KW(metal_create_compute_pipeline), "Create a compute pipeline."},
    {"destroy_compute_pipeline", METAL_POS(metal_destroy_compute_pipeline), "Destroy a compute pipeline."},
    {"begin_compute", METAL_POS(metal_begin_compute), "Begin a compute pass."},
    {"set_compute_pipeline", METAL_KW(metal_set_compute_pipeline), "Set compute pipeline."},
    {"set_compute_buffer", METAL_KW(metal_set_compute_buffer), "Set compute buffer."},
    {"set_compute_texture", METAL_KW(metal_set_compute_texture), "Set compute texture."},
    {"dispatch_compute", METAL_KW(metal_dispatch_compute), "Dispatch compute threads."},
    {"end_compute", METAL_POS(metal_end_compute), "End compute pass and wait."},
    {"set_target_fps", METAL_POS(metal_set_target_fps), "Set display link frame rate."},
    {"acquire_frame_slot", METAL_POS(metal_acquire_frame_slot), "Wait for an available onscreen frame slot."},
    {"release_frame_slot", METAL_POS(metal_release_frame_slot), "Release a previously acquired onscreen frame slot."},
    {"vsync", METAL_POS(metal_vsync), "Wait for next display refresh."},
    {"resource_counts", metal_resource_counts, METH_NOARGS,
     "Return internal Metal resource counts for diagnostics."},
    {nullptr, nullptr, 0, nullptr},
};

#undef METAL_KW
#undef METAL_POS

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
