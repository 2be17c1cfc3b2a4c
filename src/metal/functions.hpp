// The Python entry points of _metal, one per method-table row, each implemented
// in the file of its concern. Called with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quendal::metal {

// buffer.cpp
PyObject* metal_create_buffer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_destroy_buffer(PyObject* self, PyObject* args);
PyObject* metal_write_buffer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_read_buffer(PyObject* self, PyObject* args, PyObject* kwargs);

// texture.cpp
PyObject* metal_create_render_texture(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_create_image_texture(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_destroy_texture(PyObject* self, PyObject* args);

}  // namespace quendal::metal
