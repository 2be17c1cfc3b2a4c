// Interpreter-lock helpers. Lock order everywhere: the interpreter lock before
// any module mutex, never the reverse; release the interpreter lock around waits.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quendal {

// Releases the interpreter lock for its scope. The caller must hold it.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Releases the interpreter lock for its scope only if this thread holds it
// (main-thread blocks and platform callbacks run without it).
class GilReleaseIfHeld {
public:
    GilReleaseIfHeld() : state_(PyGILState_Check() ? PyEval_SaveThread() : nullptr) {}
    ~GilReleaseIfHeld()
    {
        if (state_) PyEval_RestoreThread(state_);
    }
    GilReleaseIfHeld(const GilReleaseIfHeld&) = delete;
    GilReleaseIfHeld& operator=(const GilReleaseIfHeld&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace quendal
