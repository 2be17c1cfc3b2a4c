// The _quendal._metal module: definition, method table and registration.
#include "metal/functions.hpp"

namespace quendal::metal {
namespace {

#define METAL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS
#define METAL_POS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS

// Table order is the module's public order; each file adds the rows of its functions.
PyMethodDef metalMethods[] = {
    {"create_library", METAL_KW(metal_create_library), "Compile a Metal library from complete source."},
    {"destroy_library", METAL_POS(metal_destroy_library), "Destroy a compiled Metal library."},
    {"create_render_pipeline", METAL_KW(metal_create_render_pipeline), "Create a Metal render pipeline."},
    {"destroy_render_pipeline", METAL_POS(metal_destroy_render_pipeline), "Destroy a Metal render pipeline."},
    {"create_buffer", METAL_KW(metal_create_buffer), "Create a shared Metal buffer."},
    {"destroy_buffer", METAL_POS(metal_destroy_buffer), "Destroy a Metal buffer."},
    {"write_buffer", METAL_KW(metal_write_buffer), "Write bytes into a Metal buffer."},
    {"read_buffer", METAL_KW(metal_read_buffer), "Read bytes from a Metal buffer."},
    {"create_compute_pipeline", METAL_KW(metal_create_compute_pipeline), "Create a compute pipeline."},
    {"destroy_compute_pipeline", METAL_POS(metal_destroy_compute_pipeline), "Destroy a compute pipeline."},
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
