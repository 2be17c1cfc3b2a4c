// Running one Python program the way `python script.py args...` does, on the
// calling thread, which becomes the interpreter's main thread.
#pragma once

#include <string>
#include <vector>

namespace quendal::launcher {

struct ProgramRun {
    std::string programName;            // for "can't open file" messages, as python prints argv[0]
    std::string pythonExecutable;       // sys.executable; empty: let the interpreter find itself
    std::vector<std::string> argv;      // sys.argv: the script as given, then its arguments
    std::vector<std::string> commandLine;  // sys.orig_argv: the launcher's own command line
};

struct ProgramOutcome {
    int exitStatus = 0;
    // The program died of an unhandled KeyboardInterrupt: like python, the
    // process then ends by SIGINT once everything is shut down.
    bool keyboardInterrupt = false;
};

// Initialises the interpreter (the built-in modules must be registered
// already), runs the script as __main__ and finalises the interpreter.
ProgramOutcome runPythonProgram(const ProgramRun& run);

}  // namespace quendal::launcher
