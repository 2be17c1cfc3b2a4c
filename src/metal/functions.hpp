// The Python entry points of _metal, one per method-table row, each implemented
// in the file of its concern. Called with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace quendal::metal {

// library.cpp
PyObject* metal_create_library(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* metal_destroy_library(PyObject* self, PyObject* args);
// Sets a Python exception whose message is UTF-8 text that may hold stray bytes.
void QuendalPySetError(PyObject* type, const std::string& message);

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

}  // namespace quendal::metal
