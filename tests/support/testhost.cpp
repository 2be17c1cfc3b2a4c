// Test-only host: runs GLib's default main loop on the main thread the way a
// host launcher or a GTK application does, and exposes the main-thread runtime
// and the file-access holder to the tests.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <glib.h>

#include "python_runtime/gil.hpp"
#include "python_runtime/main_thread.hpp"
#include "runtime/file_access.hpp"

namespace {

std::mutex gLoopMutex;
GMainLoop* gLoop = nullptr;  // guarded by gLoopMutex

// run_main_loop(seconds): iterates the default context on this thread until
// quit_main_loop() or the time is up. Releases the interpreter lock meanwhile.
PyObject* run_main_loop(PyObject*, PyObject* args)
{
    double seconds = 0;
    if (!PyArg_ParseTuple(args, "d", &seconds)) return nullptr;
    {
        quendal::GilRelease release;
        GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
        {
            std::lock_guard lock(gLoopMutex);
            gLoop = loop;
        }
        GSource* timer = g_timeout_source_new(static_cast<guint>(seconds * 1000));
        g_source_set_callback(timer, [](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        }, loop, nullptr);
        g_source_attach(timer, nullptr);
        g_main_loop_run(loop);
        g_source_destroy(timer);
        g_source_unref(timer);
        {
            // quit_main_loop may be called from any thread at any time.
            std::lock_guard lock(gLoopMutex);
            gLoop = nullptr;
        }
        g_main_loop_unref(loop);
    }
    Py_RETURN_NONE;
}

PyObject* quit_main_loop(PyObject*, PyObject*)
{
    std::lock_guard lock(gLoopMutex);
    if (gLoop) g_main_loop_quit(gLoop);
    Py_RETURN_NONE;
}

// run_on_main_sync(sleep_seconds) -> (ran_on_main_thread, ran_inline): runs a
// block through runOnMainSync that sleeps, and reports where it ran.
PyObject* run_on_main_sync(PyObject*, PyObject* args)
{
    double sleepSeconds = 0;
    if (!PyArg_ParseTuple(args, "d", &sleepSeconds)) return nullptr;
    bool onMain = false;
    std::thread::id ranOn;
    const auto caller = std::this_thread::get_id();
    quendal::runOnMainSync([&] {
        onMain = quendal::isMainThread();
        ranOn = std::this_thread::get_id();
        std::this_thread::sleep_for(std::chrono::duration<double>(sleepSeconds));
    });
    return Py_BuildValue("(OO)", onMain ? Py_True : Py_False, ranOn == caller ? Py_True : Py_False);
}

PyObject* application_is_running(PyObject*, PyObject*)
{
    return PyBool_FromLong(quendal::applicationIsRunning());
}

PyObject* is_main_thread(PyObject*, PyObject*)
{
    return PyBool_FromLong(quendal::isMainThread());
}

// hold_file_access(path): constructs and destroys one holder.
PyObject* hold_file_access(PyObject*, PyObject* args)
{
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s", &path)) return nullptr;
    {
        quendal::QuendalPyFileAccess access(path);
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"run_main_loop", run_main_loop, METH_VARARGS, nullptr},
    {"quit_main_loop", quit_main_loop, METH_NOARGS, nullptr},
    {"run_on_main_sync", run_on_main_sync, METH_VARARGS, nullptr},
    {"application_is_running", application_is_running, METH_NOARGS, nullptr},
    {"is_main_thread", is_main_thread, METH_NOARGS, nullptr},
    {"hold_file_access", hold_file_access, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_quendal_testhost", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__quendal_testhost()
{
    return PyModule_Create(&module);
}
