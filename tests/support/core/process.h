// Child processes for tests and the benchmark: spawning with a clean state,
// output capture, and waits that always end.
#pragma once
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kivtest {

// How a program starts besides its arguments and output.
struct SpawnOptions {
    const std::vector<std::string> *environment = nullptr;   // null: inherit ours
    std::string workDir;                                     // empty: stay here
    bool ownProcessGroup = false;   // setpgid(0, 0), so the group can be killed at once
    int euid = -1;                  // >= 0: setresuid(ruid, euid, ruid) before exec
    int ruid = 0;                   // real and saved uid with euid set
    std::string program;            // the file to execute; empty = argv[0]
};

// Forks and executes argv[0] (a path) with stdin on /dev/null, stdout and
// stderr appended to outputPath, default signal dispositions and an empty
// mask, no inherited descriptors, and death (SIGKILL) when the caller dies.
// Everything is prepared before fork, so callers may have threads.  The pid,
// or -1 and *error.  A child that cannot set itself up exits 120-123; one
// that cannot exec, 127.
pid_t spawnProcess(const std::vector<std::string> &argv, const std::string &outputPath,
                   const SpawnOptions &options, std::string *error);

// Waits for the child `pid` up to timeoutMs; its raw wait status, or -1 when
// it is still running (or is not a child of ours).
int waitPid(pid_t pid, int timeoutMs);

// SIGTERM to the child `pid`, SIGKILL if it has not ended within timeoutMs;
// reaps it either way.
void stopProcess(pid_t pid, int timeoutMs);

// Waits up to timeoutMs until ready() holds for the server just started as
// child `pid`, polling every 20 ms.  Exited: it ended first (and is reaped).
enum class Startup { Ready, Exited, TimedOut };
Startup awaitStartup(pid_t pid, int timeoutMs, const std::function<bool()> &ready);

// One child process that is killed (SIGKILL) and reaped when it goes away.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Starts argv[0] (a path) with stdout and stderr appended to outputPath.
    bool spawn(const std::vector<std::string> &argv, const std::string &outputPath, std::string *error);
    // Waits up to timeoutMs; the exit status, -1 on timeout, -2 if it died of
    // a signal.
    int wait(int timeoutMs);
    void signal(int sig);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Runs a program to completion (killed after timeoutMs); its exit status as
// Child::wait gives it, or -3 when it could not start.
int runToEnd(const std::vector<std::string> &argv, const std::string &outputPath, int timeoutMs,
             std::string *error);

// Runs argv[0] (a path) with the arguments, standard output and error going to
// `output` when given, and exactly the environment `env` when given; kills it
// after timeoutMs.  Returns the exit status, or -1 when it could not run, died
// of a signal or timed out.
int runProgram(const std::vector<std::string> &argv, int timeoutMs, std::string *output = nullptr,
               const std::vector<std::string> *env = nullptr);
inline int runProgramEnv(const std::vector<std::string> &argv, const std::vector<std::string> &env, int timeoutMs,
                         std::string *output = nullptr) {
    return runProgram(argv, timeoutMs, output, &env);
}

// What a captured run gave back.
struct Captured {
    int status = -1;         // exit status; -1 if it died of a signal, timed out or never ran
    bool timedOut = false;   // killed after the time limit
    std::string out, err;
    std::string error;       // why it could not run; "" otherwise
};

// Runs argv[0] (searched in PATH unless it holds a '/') with `input` on its
// standard input and our environment plus `env`; stdout and stderr are
// collected apart.  Killed by pid after timeoutMs.
Captured runCaptured(const std::vector<std::string> &argv, const std::string &input = "",
                     const std::map<std::string, std::string> &env = {}, int timeoutMs = 30000);

} // namespace kivtest
