// quendal-py: runs a Python script, or the main.py of an application bundle, as
// a hosted application.
//
// The process's main thread runs GLib's default main loop for the whole life of
// the program, so windows stay responsive and system requests get their
// callbacks while Python computes; the interpreter and the program run on a
// second thread, which is the interpreter's main thread (signals, KeyboardInterrupt,
// threading.main_thread()). The two extension modules are registered as
// built-in modules before the interpreter starts.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <Python.h>
#include <glib.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/file_access_policy.hpp"
#include "launcher/interpreter.hpp"
#include "launcher/modules.hpp"

namespace fs = std::filesystem;
using namespace quendal::launcher;

namespace {

constexpr const char* kUsage =
    "usage: quendal-py [-h] (script.py | Name.app) [arg ...]\n"
    "\n"
    "Runs a Python script, or the main.py of an application bundle folder, as a\n"
    "hosted application: GLib's main loop on the main thread, the program on its\n"
    "own thread, _quendal._metal and _quendal._system built in. A bundle is made\n"
    "known to the program through QUENDAL_BUNDLE (its Info.json, default.spv).\n";

struct Launch {
    fs::path bundle;                 // absolute; empty for a plain script
    std::vector<std::string> argv;   // sys.argv
    std::string programName;
};

struct ScriptThread {
    pid_t launcherPid = 0;
    ProgramRun run;
    QuendalModules modules;
    GMainLoop* loop = nullptr;
    sigset_t hostSignals;
    pthread_t thread{};
    bool started = false;
    ProgramOutcome outcome;
};

// Returns 0 to go on, otherwise the exit status to end with.
int parseArguments(int argc, char** argv, Launch& launch)
{
    launch.programName = argc > 0 ? argv[0] : "quendal-py";
    int first = 1;
    if (first < argc && (std::strcmp(argv[first], "-h") == 0 || std::strcmp(argv[first], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        return -1;
    }
    if (first < argc && std::strcmp(argv[first], "--") == 0) {
        ++first;
    } else if (first < argc && argv[first][0] == '-' && argv[first][1] != '\0') {
        std::fprintf(stderr, "quendal-py: unknown option %s\n", argv[first]);
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (first >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string target = argv[first];
    struct stat info {};
    if (stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        // The bundle keeps the name it was given (its extension says it is an
        // application), made absolute so that a change of directory keeps it.
        std::error_code error;
        fs::path bundle = fs::absolute(fs::path(target), error).lexically_normal();
        if (!bundle.has_filename()) bundle = bundle.parent_path();
        launch.bundle = bundle;
        target = (fs::path(target) / "main.py").string();
    }
    launch.argv.push_back(target);
    for (int i = first + 1; i < argc; ++i) launch.argv.emplace_back(argv[i]);
    return 0;
}

fs::path launcherFolder()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self.parent_path();
}

// The interpreter of the environment the launcher is installed in (its bin/
// holds python3.X of the version it was built for), else the one the package
// was built with.
std::string pythonExecutable(const fs::path& launcherDir)
{
    const fs::path beside = launcherDir / ("python" Py_STRINGIFY(PY_MAJOR_VERSION) "." Py_STRINGIFY(PY_MINOR_VERSION));
    if (access(beside.c_str(), X_OK) == 0) return beside.string();
    if (access(QUENDAL_BUILD_PYTHON, X_OK) == 0) return QUENDAL_BUILD_PYTHON;
    return {};
}

// Asynchronous signals go to the program's thread, as they go to the main
// thread of a plain interpreter: the main thread and every thread GLib starts
// from it block them, the program's thread unblocks them.
sigset_t asynchronousSignals()
{
    sigset_t set;
    sigfillset(&set);
    for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&set, synchronous);
    return set;
}

[[noreturn]] void exitBySigint()
{
    // The shell then sees the program end by Ctrl-C, as it does for python.
    std::signal(SIGINT, SIG_DFL);
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
    kill(getpid(), SIGINT);
    std::exit(128 + SIGINT);
}

void* scriptThreadMain(void* data)
{
    auto* script = static_cast<ScriptThread*>(data);
    pthread_sigmask(SIG_UNBLOCK, &script->hostSignals, nullptr);
    if (script->modules.registerMetalModule() < 0 || script->modules.registerQuendalSystemModule() < 0) {
        std::fputs("quendal-py: cannot register the built-in modules\n", stderr);
        script->outcome.exitStatus = 1;
    } else {
        script->outcome = runPythonProgram(script->run);
    }
    if (getpid() != script->launcherPid) {
        // A child forked by the program, in which this is the only thread left:
        // it ends with its own status, as a forked plain interpreter does.
        if (script->outcome.keyboardInterrupt) exitBySigint();
        std::exit(script->outcome.exitStatus);
    }
    g_main_loop_quit(script->loop);
    return nullptr;
}

// Started from inside the loop, so the application counts as running from the
// program's first line on.
gboolean startScriptThread(gpointer data)
{
    auto* script = static_cast<ScriptThread*>(data);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    // The same stack a plain interpreter's main thread gets.
    rlimit stack{};
    if (getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY &&
        stack.rlim_cur >= static_cast<rlim_t>(PTHREAD_STACK_MIN)) {
        pthread_attr_setstacksize(&attributes, stack.rlim_cur);
    }
    const int error = pthread_create(&script->thread, &attributes, scriptThreadMain, script);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        std::fprintf(stderr, "quendal-py: cannot start the program's thread: %s\n", std::strerror(error));
        script->outcome.exitStatus = 1;
        g_main_loop_quit(script->loop);
    } else {
        script->started = true;
    }
    return G_SOURCE_REMOVE;
}

// Work the program queued for the main thread while it finished (closing
// requests whose handles were collected, for example).
void drainMainContext()
{
    GMainContext* context = g_main_context_default();
    for (int i = 0; i < 1024 && g_main_context_pending(context); ++i) g_main_context_iteration(context, FALSE);
}

}  // namespace

int main(int argc, char** argv)
{
    Launch launch;
    if (const int status = parseArguments(argc, argv, launch); status != 0) return status < 0 ? 0 : status;

    // Before anything is loaded or any thread runs: nothing else reads the
    // environment yet.
    if (!launch.bundle.empty()) setenv("QUENDAL_BUNDLE", launch.bundle.c_str(), 1);
    ScriptThread script;
    const fs::path launcherDir = launcherFolder();
    std::string error;
    if (!loadQuendalModules(launcherDir, script.modules, error)) {
        std::fprintf(stderr, "quendal-py: %s\n", error.c_str());
        return 1;
    }
    // A plain script still sees a bundle named by the environment.
    const char* inherited = std::getenv("QUENDAL_BUNDLE");
    const fs::path bundle = !launch.bundle.empty() ? launch.bundle : fs::path(inherited ? inherited : "");
    configureFileAccess(defaultAllowedRoots(bundle, launch.argv));

    script.launcherPid = getpid();
    script.run.programName = launch.programName;
    script.run.commandLine.assign(argv, argv + argc);
    script.run.pythonExecutable = pythonExecutable(launcherDir);
    script.run.argv = launch.argv;
    script.hostSignals = asynchronousSignals();
    pthread_sigmask(SIG_BLOCK, &script.hostSignals, nullptr);

    script.loop = g_main_loop_new(nullptr, FALSE);
    g_idle_add(startScriptThread, &script);
    g_main_loop_run(script.loop);
    if (script.started) pthread_join(script.thread, nullptr);
    drainMainContext();
    g_main_loop_unref(script.loop);

    reportUnendedFileAccess();
    if (script.outcome.keyboardInterrupt) exitBySigint();
    return script.outcome.exitStatus;
}
