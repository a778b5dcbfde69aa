// Helper programs with bounded waits.
#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace kivbench {

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait(5000);
    }
}

pid_t spawnProcess(const std::vector<std::string> &argv, const std::string &outputPath,
                   const SpawnOptions &options, std::string *error) {
    if (argv.empty()) {
        *error = "bad spawn";
        return -1;
    }
    // Everything the child needs exists before the fork.
    std::vector<std::string> argCopy = argv;
    std::vector<char *> args;
    for (auto &a : argCopy) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> envCopy;
    std::vector<char *> envp;
    if (options.environment != nullptr) {
        envCopy = *options.environment;
        for (auto &e : envCopy) envp.push_back(e.data());
        envp.push_back(nullptr);
    }
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
        int in = open("/dev/null", O_RDONLY);
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0) _exit(120);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        syscall(SYS_close_range, 3U, ~0U, 0U);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(121);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(123);
        if (options.environment != nullptr)
            execve(args[0], args.data(), envp.data());
        else
            execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

bool Child::spawn(const std::vector<std::string> &argv, const std::string &outputPath, std::string *error) {
    if (pid_ > 0) {
        *error = "bad spawn";
        return false;
    }
    pid_t pid = spawnProcess(argv, outputPath, {}, error);
    if (pid < 0) return false;
    pid_ = pid;
    return true;
}

int Child::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return -2;
        }
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Child::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

int runToEnd(const std::vector<std::string> &argv, const std::string &outputPath, int timeoutMs, std::string *error) {
    Child c;
    if (!c.spawn(argv, outputPath, error)) return -3;
    int rc = c.wait(timeoutMs);
    if (rc == -1) *error = argv[0] + " did not finish within " + std::to_string(timeoutMs) + " ms";
    return rc;
}

} // namespace kivbench
