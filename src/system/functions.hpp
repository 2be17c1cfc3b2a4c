// The Python entry points of _quendal._system and the request handle.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "system/request.hpp"

namespace quendal::system {

inline constexpr const char* kRequestCapsuleName = "quendal-py.request";

PyObject* system_start(PyObject* self, PyObject* args);
PyObject* system_poll(PyObject* self, PyObject* args);
PyObject* system_close(PyObject* self, PyObject* handle);

// A new capsule owning one reference to request; null with the interpreter's
// error if it cannot be made.
PyObject* QuendalPyWrapRequest(RequestRef request);
// The request behind a capsule; null with the interpreter's capsule error.
RequestRef QuendalPyUnwrapRequest(PyObject* handle);

}  // namespace quendal::system
