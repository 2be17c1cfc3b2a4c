#include "launcher/interpreter.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace quendal::launcher {
namespace {

// sys.stderr and sys.stdout flushed, any pending exception kept.
void flushStandardStreams()
{
    PyObject* pending = PyErr_GetRaisedException();
    for (const char* name : {"stderr", "stdout"}) {
        PyObject* stream = PySys_GetObject(name);
        if (!stream || stream == Py_None) continue;
        PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
        if (result) {
            Py_DECREF(result);
        } else {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(pending);
}

// The exit status of an uncaught SystemExit: its code when that is None or an
// int, otherwise the code printed to stderr and 1 (as the interpreter does).
int systemExitStatus()
{
    PyObject* value = PyErr_GetRaisedException();
    if (PyObject* code = PyObject_GetAttrString(value, "code")) {
        Py_SETREF(value, code);
    } else {
        PyErr_Clear();
    }
    int status = 0;
    if (value == Py_None) {
        status = 0;
    } else if (PyLong_Check(value)) {
        status = static_cast<int>(PyLong_AsLong(value));
        PyErr_Clear();
    } else {
        PyObject* stderrStream = PySys_GetObject("stderr");
        if (stderrStream && stderrStream != Py_None) {
            if (PyFile_WriteObject(value, stderrStream, Py_PRINT_RAW) < 0) PyErr_Clear();
        } else {
            PyObject_Print(value, stderr, Py_PRINT_RAW);
            std::fflush(stderr);
        }
        PySys_WriteStderr("\n");
        status = 1;
    }
    Py_DECREF(value);
    return status;
}

// Reports the pending exception like the interpreter's own top level and
// returns the exit status it implies.
int uncaughtExceptionStatus(bool& keyboardInterrupt)
{
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) return systemExitStatus();
    keyboardInterrupt = PyErr_Occurred() == PyExc_KeyboardInterrupt;
    PyErr_Print();
    return 1;
}

bool safePathFlag()
{
    PyObject* flags = PySys_GetObject("flags");
    PyObject* safePath = flags ? PyObject_GetAttrString(flags, "safe_path") : nullptr;
    const bool set = safePath && PyObject_IsTrue(safePath) == 1;
    Py_XDECREF(safePath);
    PyErr_Clear();
    return set;
}

// sys.path[0] is the script's folder with symbolic links resolved.
bool insertScriptFolder(const std::string& script)
{
    char real[PATH_MAX];
    std::string folder = realpath(script.c_str(), real) ? real : script;
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string() : slash == 0 ? std::string("/") : folder.substr(0, slash);
    PyObject* entry = PyUnicode_DecodeFSDefault(folder.c_str());
    PyObject* path = PySys_GetObject("path");
    const bool ok = entry && path && PyList_Check(path) && PyList_Insert(path, 0, entry) == 0;
    Py_XDECREF(entry);
    return ok;
}

bool setMainLoader(PyObject* globals, PyObject* filename)
{
    PyObject* external = PyImport_ImportModule("_frozen_importlib_external");
    if (!external) return false;
    PyObject* loader = PyObject_CallMethod(external, "SourceFileLoader", "sO", "__main__", filename);
    Py_DECREF(external);
    if (!loader) return false;
    const int result = PyDict_SetItemString(globals, "__loader__", loader);
    Py_DECREF(loader);
    return result == 0;
}

std::string absoluteLikePython(const std::string& path)
{
    if (!path.empty() && path.front() == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

int runMainScript(const ProgramRun& run, bool& keyboardInterrupt)
{
    const std::string& script = run.argv.front();
    if (!safePathFlag() && !insertScriptFolder(script)) return uncaughtExceptionStatus(keyboardInterrupt);

    const std::string filename = absoluteLikePython(script);
    PyObject* filenameObject = PyUnicode_DecodeFSDefault(filename.c_str());
    if (!filenameObject) return uncaughtExceptionStatus(keyboardInterrupt);
    if (PySys_Audit("cpython.run_file", "O", filenameObject) < 0) {
        Py_DECREF(filenameObject);
        return uncaughtExceptionStatus(keyboardInterrupt);
    }
    FILE* file = std::fopen(filename.c_str(), "rb");
    if (!file) {
        const int error = errno;
        PySys_FormatStderr("%s: can't open file %R: [Errno %d] %s\n", run.programName.c_str(), filenameObject, error,
                           std::strerror(error));
        Py_DECREF(filenameObject);
        return 2;
    }
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        PySys_FormatStderr("%s: %R is a directory, cannot continue\n", run.programName.c_str(), filenameObject);
        std::fclose(file);
        Py_DECREF(filenameObject);
        return 1;
    }
    // A Ctrl-C during start-up is delivered before the first line runs.
    if (Py_MakePendingCalls() < 0) {
        std::fclose(file);
        Py_DECREF(filenameObject);
        return uncaughtExceptionStatus(keyboardInterrupt);
    }

    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    const bool setFile = !PyDict_GetItemString(globals, "__file__");
    if ((setFile && (PyDict_SetItemString(globals, "__file__", filenameObject) < 0 ||
                     PyDict_SetItemString(globals, "__cached__", Py_None) < 0)) ||
        !setMainLoader(globals, filenameObject)) {
        std::fclose(file);
        Py_DECREF(filenameObject);
        return uncaughtExceptionStatus(keyboardInterrupt);
    }
    Py_DECREF(filenameObject);

    PyCompilerFlags flags{.cf_flags = 0, .cf_feature_version = PY_MINOR_VERSION};
    PyObject* result = PyRun_FileExFlags(file, filename.c_str(), Py_file_input, globals, globals, 1, &flags);
    flushStandardStreams();
    int status = 0;
    if (result) {
        Py_DECREF(result);
    } else {
        status = uncaughtExceptionStatus(keyboardInterrupt);
    }
    if (setFile) {
        if (PyDict_DelItemString(globals, "__file__") < 0) PyErr_Clear();
        if (PyDict_DelItemString(globals, "__cached__") < 0) PyErr_Clear();
    }
    return status;
}

}  // namespace

ProgramOutcome runPythonProgram(const ProgramRun& run)
{
    ProgramOutcome outcome;
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // The arguments belong to the script, not to the interpreter.
    config.parse_argv = 0;
    std::vector<char*> argv;
    for (const auto& argument : run.argv) argv.push_back(const_cast<char*>(argument.c_str()));
    PyStatus status = PyConfig_SetBytesArgv(&config, static_cast<Py_ssize_t>(argv.size()), argv.data());
    for (size_t i = 0; i < run.commandLine.size() && !PyStatus_Exception(status); ++i) {
        // Setting the arguments pre-initialised the interpreter, so decoding follows its locale.
        wchar_t* decoded = Py_DecodeLocale(run.commandLine[i].c_str(), nullptr);
        status = decoded ? PyWideStringList_Append(&config.orig_argv, decoded) : PyStatus_NoMemory();
        PyMem_RawFree(decoded);
    }
    // The interpreter finds its prefix, a virtual environment's pyvenv.cfg and
    // so its site-packages from the executable it believes it is.
    if (!PyStatus_Exception(status) && !run.pythonExecutable.empty()) {
        status = PyConfig_SetBytesString(&config, &config.executable, run.pythonExecutable.c_str());
        if (!PyStatus_Exception(status)) {
            status = PyConfig_SetBytesString(&config, &config.program_name, run.pythonExecutable.c_str());
        }
    }
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        if (PyStatus_IsExit(status)) {
            outcome.exitStatus = status.exitcode;
        } else {
            std::fprintf(stderr, "Fatal Python error: %s%s%s\n", status.func ? status.func : "",
                         status.func ? ": " : "", status.err_msg ? status.err_msg : "");
            outcome.exitStatus = 1;
        }
        return outcome;
    }

    outcome.exitStatus = runMainScript(run, outcome.keyboardInterrupt);
    // Waits for the program's non-daemon threads and runs its atexit handlers,
    // while the main loop still serves their windows and requests.
    if (Py_FinalizeEx() < 0) outcome.exitStatus = 120;
    return outcome;
}

}  // namespace quendal::launcher
