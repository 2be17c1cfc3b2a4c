// The Python entry points of _metal, one per method-table row, each implemented
// in the file of its concern. Called with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace quendal::metal {

// window.cpp
PyObject* metal_create_window(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_close_window(PyObject* self, PyObject* args);
PyObject* metal_window_metrics(PyObject* self, PyObject* args);
PyObject* metal_window_metrics_if_changed(PyObject* self, PyObject* args);
PyObject* metal_consume_actions(PyObject* self, PyObject* args);
PyObject* metal_set_title(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_set_action_label(PyObject* self, PyObject* args, PyObject* kwargs);

// input.cpp
PyObject* metal_consume_touches(PyObject* self, PyObject* args);

// pacing.cpp
PyObject* metal_set_target_fps(PyObject* self, PyObject* args);
PyObject* metal_acquire_frame_slot(PyObject* self, PyObject* args);
PyObject* metal_release_frame_slot(PyObject* self, PyObject* args);
PyObject* metal_vsync(PyObject* self, PyObject* args);
// library.cpp
PyObject* metal_create_library(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_destroy_library(PyObject* self, PyObject* args);

// pipeline.cpp
PyObject* metal_create_render_pipeline(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_destroy_render_pipeline(PyObject* self, PyObject* args);
PyObject* metal_create_compute_pipeline(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_destroy_compute_pipeline(PyObject* self, PyObject* args);

// buffer.cpp
PyObject* metal_create_buffer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_destroy_buffer(PyObject* self, PyObject* args);
PyObject* metal_write_buffer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_read_buffer(PyObject* self, PyObject* args, PyObject* kwargs);

// texture.cpp
PyObject* metal_create_render_texture(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_create_image_texture(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_destroy_texture(PyObject* self, PyObject* args);

// text.cpp
PyObject* metal_create_text_texture(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_create_glyph_atlas(PyObject* self, PyObject* args, PyObject* kwargs);

// frame.cpp
PyObject* metal_begin_frame(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_end_frame(PyObject* self, PyObject* args);

// render_commands.cpp
PyObject* metal_set_pipeline(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_set_vertex_buffer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_set_fragment_buffer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_set_fragment_texture(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_draw(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_draw_indexed(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_draw_instanced(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_draw_indexed_instanced(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_draw_indirect(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_draw_indexed_indirect(PyObject* self, PyObject* args, PyObject* kwargs);

// depth_stencil.cpp
PyObject* metal_set_depth_stencil(PyObject* self, PyObject* args, PyObject* kwargs);

// blit.cpp
PyObject* metal_begin_blit(PyObject* self, PyObject* args);
PyObject* metal_copy_texture_to_buffer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_generate_mipmaps(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_end_blit(PyObject* self, PyObject* args);

// compute.cpp
PyObject* metal_begin_compute(PyObject* self, PyObject* args);
PyObject* metal_set_compute_pipeline(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_set_compute_buffer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_set_compute_texture(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_dispatch_compute(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_end_compute(PyObject* self, PyObject* args);

// diagnostics.cpp
PyObject* metal_resource_counts(PyObject* self, PyObject* args);

}  // namespace quendal::metal
