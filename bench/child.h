// A helper program run by the benchmark (load generator, profilers), with
// its output in a file and every wait bounded.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace kivbench {

// How a helper program starts besides its arguments and output file.
struct SpawnOptions {
    const std::vector<std::string> *environment = nullptr;   // null: inherit ours
    std::string workDir;                                     // empty: stay here
};

// Forks and executes argv[0] (a path) with stdin on /dev/null, stdout and
// stderr appended to outputPath, a clean signal state, no inherited
// descriptors, and death when the benchmark dies.  The pid, or -1 and *error.
pid_t spawnProcess(const std::vector<std::string> &argv, const std::string &outputPath,
                   const SpawnOptions &options, std::string *error);

class Child {
public:
    Child() = default;
    ~Child();   // kills (SIGKILL) and reaps a child still running
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
int runToEnd(const std::vector<std::string> &argv, const std::string &outputPath, int timeoutMs, std::string *error);

} // namespace kivbench
