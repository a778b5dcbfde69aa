// Child processes with bounded waits.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char **environ;

namespace kivtest {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (std::string &s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// The child's side after fork: only async-signal-safe calls from here on.
void resetSignals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);
}

void closeFrom3() {
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
        for (int fd = 3; fd < 4096; ++fd) close(fd);
}

// Forks argv with stdin/stdout/stderr on the given descriptors.
pid_t spawnOnFds(std::vector<std::string> argv, int in, int out, int err, const SpawnOptions &options,
                 bool searchPath, std::string *error) {
    if (argv.empty()) {
        *error = "bad spawn: no program";
        return -1;
    }
    std::vector<char *> args = pointers(argv);
    std::vector<std::string> envCopy;
    std::vector<char *> envp;
    if (options.environment != nullptr) {
        envCopy = *options.environment;
        envp = pointers(envCopy);
    }
    const std::string workDir = options.workDir;
    const std::string program = options.program.empty() ? argv[0] : options.program;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid > 0) {
        // Also here, so a kill of the group right after spawn cannot miss it.
        if (options.ownProcessGroup) setpgid(pid, pid);
        return pid;
    }
    if (options.ownProcessGroup) setpgid(0, 0);
    resetSignals();
    if (in < 0 || out < 0 || err < 0) _exit(120);
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(120);
    closeFrom3();
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(121);
    if (options.euid >= 0 &&
        setresuid(static_cast<uid_t>(options.ruid), static_cast<uid_t>(options.euid),
                  static_cast<uid_t>(options.ruid)) != 0)
        _exit(122);
    // Dies with its parent (set after a uid change, which clears it).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(123);
    char **env = options.environment != nullptr ? envp.data() : environ;
    if (searchPath)
        execvpe(program.c_str(), args.data(), env);
    else
        execve(program.c_str(), args.data(), env);
    _exit(127);
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

} // namespace

pid_t spawnProcess(const std::vector<std::string> &argv, const std::string &outputPath,
                   const SpawnOptions &options, std::string *error) {
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) {
        *error = (in < 0 ? std::string("/dev/null") : outputPath) + ": " + std::strerror(errno);
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        return -1;
    }
    pid_t pid = spawnOnFds(argv, in, out, out, options, false, error);
    close(in);
    close(out);
    return pid;
}

int waitPid(pid_t pid, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void stopProcess(pid_t pid, int timeoutMs) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (waitPid(pid, timeoutMs) == -1) {
        kill(pid, SIGKILL);
        waitPid(pid, 5000);
    }
}

Startup awaitStartup(pid_t pid, int timeoutMs, const std::function<bool()> &ready) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return Startup::Exited;
        if (ready()) return Startup::Ready;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Startup::TimedOut;
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait(5000);
    }
}

bool Child::spawn(const std::vector<std::string> &argv, const std::string &outputPath, std::string *error) {
    if (pid_ > 0) {
        *error = "bad spawn: already running";
        return false;
    }
    pid_t pid = spawnProcess(argv, outputPath, {}, error);
    if (pid < 0) return false;
    pid_ = pid;
    return true;
}

int Child::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return -2;
        }
        if (Clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Child::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

int runToEnd(const std::vector<std::string> &argv, const std::string &outputPath, int timeoutMs,
             std::string *error) {
    Child c;
    if (!c.spawn(argv, outputPath, error)) return -3;
    const int rc = c.wait(timeoutMs);
    if (rc == -1) *error = argv[0] + " did not finish within " + std::to_string(timeoutMs) + " ms";
    return rc;
}

int runProgram(const std::vector<std::string> &argv, int timeoutMs, std::string *output,
               const std::vector<std::string> *env) {
    char outTempl[] = "/tmp/kivtest-run-XXXXXX";
    const int outFd = mkostemp(outTempl, O_CLOEXEC);
    if (outFd < 0) return -1;
    unlink(outTempl);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    SpawnOptions options;
    options.environment = env;
    std::string error;
    const pid_t pid = spawnOnFds(argv, in, outFd, outFd, options, false, &error);
    if (in >= 0) close(in);
    if (pid < 0) {
        close(outFd);
        return -1;
    }
    int status = waitPid(pid, timeoutMs);
    if (status == -1) {
        kill(pid, SIGKILL);
        waitPid(pid, 5000);
    }
    if (output != nullptr) {
        output->clear();
        char buf[4096];
        lseek(outFd, 0, SEEK_SET);
        ssize_t n;
        while ((n = read(outFd, buf, sizeof buf)) > 0) output->append(buf, static_cast<size_t>(n));
    }
    close(outFd);
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

Captured runCaptured(const std::vector<std::string> &argv, const std::string &input,
                     const std::map<std::string, std::string> &env, int timeoutMs) {
    Captured r;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
        r.error = std::string("pipe: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            if (fd >= 0) close(fd);
        return r;
    }
    std::vector<std::string> envStrings;
    std::map<std::string, std::string> merged;
    for (char **e = environ; *e != nullptr; ++e) {
        const char *eq = std::strchr(*e, '=');
        if (eq != nullptr) merged.emplace(std::string(*e, static_cast<size_t>(eq - *e)), eq + 1);
    }
    for (const auto &[k, v] : env) merged[k] = v;
    for (const auto &[k, v] : merged) envStrings.push_back(k + "=" + v);
    SpawnOptions options;
    options.environment = &envStrings;
    const pid_t pid = spawnOnFds(argv, in[0], out[1], err[1], options, true, &r.error);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return r;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The input is written as the child takes it, so a child that reads
    // nothing cannot stall the wait for its output.
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && Clock::now() < deadline) {
        if (poll(fds, 3, std::max(msLeft(deadline), 1)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const ssize_t w = (fds[2].revents & POLLOUT) ? write(fds[2].fd, input.data() + written,
                                                                 input.size() - written)
                                                         : -1;
            if (w > 0) written += static_cast<size_t>(w);
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) close(f.fd);
    const int st = waitPid(pid, msLeft(deadline));
    if (st == -1) {
        kill(pid, SIGKILL);
        waitPid(pid, 5000);
        r.timedOut = true;
        r.error = argv[0] + " did not finish within " + std::to_string(timeoutMs) + " ms";
        return r;
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

} // namespace kivtest
