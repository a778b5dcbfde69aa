// A helper program run by the benchmark (load generator, profilers), with
// its output in a file and every wait bounded.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace kivbench {

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
