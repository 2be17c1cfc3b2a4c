// The _quendal._system module: definition, method table and registration.
#include "system/functions.hpp"

namespace quendal::system {
namespace {

// Each doc string starts with the function's text signature, which CPython strips
// from __doc__ and hands to inspect.signature.
PyMethodDef methods[] = {
    {"start", system_start, METH_VARARGS,
     "start($module, operation, payload, /)\n--\n\nStart a native system request."},
    {"poll", system_poll, METH_VARARGS,
     "poll($module, handle, interval, consume=True, /)\n--\n\nRead a bounded request snapshot."},
    {"close", system_close, METH_O,
     "close($module, handle, /)\n--\n\nCancel and release a request's native resources."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_quendal._system",
    "Native Apple system services.",
    -1,  // all state is process-global; the module cannot be re-initialised per interpreter
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quendal::system

PyMODINIT_FUNC PyInit__system()
{
    return PyModule_Create2(&quendal::system::module, 1013);
}

extern "C" __attribute__((visibility("default"))) int registerQuendalSystemModule()
{
    return PyImport_AppendInittab("_quendal._system", PyInit__system);
}
