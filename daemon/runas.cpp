// Running a program as another user, bounded in time (see runas.h).
#include "runas.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>

#include "log.h"

namespace {

constexpr size_t kChunkSize = 4095;
constexpr int kDefaultLimitSeconds = 60;
// How long a killed child gets to disappear before a background thread takes
// over reaping it (a child stuck in uninterruptible sleep ignores SIGKILL).
constexpr int kReapGraceMs = 5000;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

struct Reporter {
    kivLogFn debug;
    kivLogFn error;
    const char *label;
};

// ---------------------------------------------------------------------------
// Child side.  Between fork and execve only async-signal-safe calls are made:
// another worker may have held the allocator or a stdio lock at fork time.
// Everything the child needs is prepared by the parent in ChildPlan.

struct ChildPlan {
    const char *path;
    char *const *argv;
    char *const *envp;
    gid_t gid;
    const gid_t *groups;
    size_t groupCount;
    uid_t uid;
    const char *workdir;
    const char *const *notes;  // null-terminated
    int stdinRead;    // child's ends of the pipes
    int stdoutWrite;
    int debugFd;      // log descriptors, -1 when that log is closed
    int errorFd;
    long maxFd;       // fallback bound for closing descriptors
    char stamp[64];   // line prefix timestamp, empty when unavailable
};

// One log line assembled in a fixed buffer; overlong text is cut.
class ChildLine {
public:
    explicit ChildLine(const ChildPlan &plan) {
        if (plan.stamp[0] != '\0') {
            add(plan.stamp);
            add(" [");
            add(static_cast<long long>(getpid()));  // the child's only thread
            add("] ");
        }
    }
    void add(const char *text) {
        if (text == nullptr) text = "(null)";
        while (*text != '\0' && len_ < sizeof(buf_) - 1) buf_[len_++] = *text++;
    }
    void add(long long value) {
        char digits[24];
        size_t n = 0;
        unsigned long long magnitude =
            value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                      : static_cast<unsigned long long>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) digits[n++] = '-';
        while (n > 0 && len_ < sizeof(buf_) - 1) buf_[len_++] = digits[--n];
    }
    void add(int value) { add(static_cast<long long>(value)); }

    void writeTo(int fd) const {
        if (fd < 0) return;
        char line[sizeof(buf_) + 1];
        memcpy(line, buf_, len_);
        line[len_] = '\n';
        size_t done = 0;
        while (done < len_ + 1) {
            ssize_t n = write(fd, line + done, len_ + 1 - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

private:
    char buf_[1024];
    size_t len_ = 0;
};

template <class... Parts>
void childDebug(const ChildPlan &plan, Parts... parts) {
    ChildLine line(plan);
    (line.add(parts), ...);
    line.writeTo(plan.debugFd);
}

// Like errorMessage: the error log, then the debug log.  Without an error log
// the line goes to the debug log only (syslog is not safe here).
template <class... Parts>
void childError(const ChildPlan &plan, Parts... parts) {
    ChildLine line(plan);
    (line.add(parts), ...);
    line.writeTo(plan.errorFd);
    line.writeTo(plan.debugFd);
}

[[noreturn]] void childFail(const ChildPlan &plan, int status, const char *what, int err) {
    childError(plan, what, err, " - ", errnoText(err));
    _exit(status);
}

// A log descriptor that sits on 0, 1 or 2 would be overwritten by the
// redirections: move it out of the way.
int liftAboveStdio(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    return moved >= 0 ? moved : -1;
}

// Marks every descriptor from 3 up close-on-exec (the log descriptors stay
// usable until execve, for its failure message); older kernels without that
// flag get the descriptors closed one by one instead.
void closeInheritedDescriptors(const ChildPlan &plan) {
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    for (long fd = 3; fd < plan.maxFd; ++fd) {
        if (fd == plan.debugFd || fd == plan.errorFd)
            fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        else
            close(static_cast<int>(fd));
    }
}

// Signal handlers of the daemon must not run in the program, and the worker's
// signal mask must not be inherited by it.
void resetSignals() {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) != 0) continue;
        if (current.sa_handler == SIG_IGN && sig != SIGPIPE && sig != SIGCHLD) continue;
        if (current.sa_handler == SIG_DFL) continue;
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(sig, &dfl, nullptr);
    }
}

[[noreturn]] void runChild(ChildPlan plan) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    // Own process group, so a stuck program is killed together with its helpers.
    setpgid(0, 0);
    plan.debugFd = liftAboveStdio(plan.debugFd);
    plan.errorFd = liftAboveStdio(plan.errorFd);

    // A gid of -1 would mean "leave unchanged" to setregid, i.e. keep root's.
    if (plan.gid == static_cast<gid_t>(-1)) {
        childError(plan, "[child] couldn't set rgid/egid to '", static_cast<int>(plan.gid),
                   "': ", EINVAL, " - ", errnoText(EINVAL));
        _exit(104);
    }
    if (setregid(plan.gid, plan.gid) != 0) {
        int err = errno;
        childError(plan, "[child] couldn't set rgid/egid to '", static_cast<int>(plan.gid),
                   "': ", err, " - ", errnoText(err));
        _exit(104);
    }
    if (setgroups(plan.groupCount, plan.groups) != 0)
        childFail(plan, 105, "[child] couldn't set aux groups: ", errno);
    if (setuid(plan.uid) != 0) {
        int err = errno;
        childError(plan, "[child] couldn't drop privs to UID ", static_cast<int>(plan.uid), ": ",
                   err, " - ", errnoText(err));
        _exit(106);
    }
    if (chdir(plan.workdir) != 0) {
        int err = errno;
        childError(plan, "[child] couldn't chdir to '", plan.workdir, "': ", err, " - ",
                   errnoText(err));
        _exit(107);
    }
    childDebug(plan, "[child] successfully dropped privileges");

    // Pipe ends below 3 (possible when the daemon closed stdin/stdout) would be
    // clobbered by the redirections, so work from copies above 2.
    int in = fcntl(plan.stdinRead, F_DUPFD_CLOEXEC, 3);
    if (in < 0) childFail(plan, 101, "[child] couldn't redirect stdin: ", errno);
    if (dup2(in, 0) < 0) childFail(plan, 101, "[child] couldn't redirect stdin: ", errno);
    close(in);
    int out = fcntl(plan.stdoutWrite, F_DUPFD_CLOEXEC, 3);
    if (out < 0) childFail(plan, 102, "[child] couldn't redirect stdout: ", errno);
    if (dup2(out, 1) < 0) childFail(plan, 102, "[child] couldn't redirect stdout: ", errno);
    if (dup2(out, 2) < 0) childFail(plan, 103, "[child] couldn't redirect stderr: ", errno);
    close(out);

    for (const char *const *note = plan.notes; *note != nullptr; ++note) childDebug(plan, *note);

    // The daemon runs with umask 0; files the program makes for the user must
    // not be world-writable.
    umask(022);
    closeInheritedDescriptors(plan);
    resetSignals();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(plan.path, plan.argv, plan.envp);
    childFail(plan, 104, "[child] execve failed: ", errno);
}

// ---------------------------------------------------------------------------
// Parent side.

using Clock = std::chrono::steady_clock;

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

// Tracks the child so that every path out of a run reaps it: no zombie, and
// the status reported is that of this run's own child (waitpid by pid).
class ChildProcess {
public:
    ChildProcess(pid_t pid, const Reporter &report, RunAsResult &result)
        : pid_(pid), report_(report), result_(result) {}
    ~ChildProcess() {
        if (!done_) killAndReap();
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Waits until the deadline; true when the child was collected (or cannot
    // be waited for at all), false when it is still running.
    bool waitUntil(Clock::time_point deadline) {
        int pauseMs = 1;
        for (;;) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                done_ = true;
                result_.reaped = true;
                result_.waitStatus = status;
                report_.debug("%s child exited with rc %d", report_.label, status);
                return true;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                int err = errno;
                done_ = true;
                report_.error("Couldn't wait for %s child %d: %d - %s", report_.label,
                              static_cast<int>(pid_), err, errnoText(err));
                return true;
            }
            int left = msUntil(deadline);
            if (left == 0) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(pauseMs, left)));
            pauseMs = std::min(pauseMs * 2, 50);
        }
    }

    void killAndReap() {
        if (done_) return;
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        if (waitUntil(Clock::now() + std::chrono::milliseconds(kReapGraceMs))) return;
        done_ = true;
        report_.error("%s child %d did not go away after SIGKILL; reaping it in the background",
                      report_.label, static_cast<int>(pid_));
        pid_t pid = pid_;
        try {
            std::thread([pid] {
                int status = 0;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        } catch (...) {
            report_.error("Couldn't start a reaper for %s child %d", report_.label,
                          static_cast<int>(pid));
        }
    }

private:
    pid_t pid_;
    Reporter report_;
    RunAsResult &result_;
    bool done_ = false;
};

// Hands one block of output on, within the output limit.
void takeOutput(const RunAsSpec &spec, RunAsResult &result, size_t &taken, const char *block,
                size_t length) {
    const size_t room = spec.outputLimit - taken;
    if (length > room) {
        length = room;
        result.outputTruncated = true;
    }
    if (length == 0) return;
    taken += length;
    if (spec.onOutput)
        spec.onOutput(std::string_view(block, length));
    else
        result.output.append(block, length);
}

// A program that exits without reading makes our write raise SIGPIPE, which
// must not end the daemon: while this lives SIGPIPE is blocked on the thread,
// and one that our write raised is discarded when it ends.
class PipeSignalBlock {
public:
    PipeSignalBlock() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeSignalBlock() {
        if (raised_ && !alreadyPending_) {
            timespec zero{0, 0};
            while (sigtimedwait(&pipeSet_, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    PipeSignalBlock(const PipeSignalBlock &) = delete;
    PipeSignalBlock &operator=(const PipeSignalBlock &) = delete;
    void raised() { raised_ = true; }

private:
    sigset_t pipeSet_;
    sigset_t oldMask_;
    bool alreadyPending_ = false;
    bool raised_ = false;
};

// Feeds stdin and takes the output until the child closes it, then waits for
// the child; everything bounded by the deadline.  The stdin write end is
// non-blocking so a program that writes before it reads cannot deadlock us.
void superviseChild(ChildProcess &child, int stdinWrite, int stdoutRead, const RunAsSpec &spec,
                    Clock::time_point deadline, int limitSeconds, const Reporter &report,
                    RunAsResult &result) {
    const std::string &input = spec.input;
    size_t written = 0;
    size_t taken = 0;
    bool feeding = !input.empty();

    PipeSignalBlock pipeBlock;

    char chunk[kChunkSize];
    bool eof = false;
    while (!eof) {
        pollfd fds[2];
        nfds_t n = 0;
        fds[n++] = {stdoutRead, POLLIN, 0};
        if (feeding) fds[n++] = {stdinWrite, POLLOUT, 0};
        // Checked before polling: a child that never stops writing keeps the
        // pipe readable, so poll alone would never report the deadline.
        int left = msUntil(deadline);
        if (left == 0) break;
        int ready = poll(fds, n, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            int err = errno;
            report.error("Couldn't read stdout from child: %d - %s", err, errnoText(err));
            break;
        }
        if (ready == 0) {
            if (msUntil(deadline) > 0) continue;
            break;
        }
        if (feeding && fds[1].revents != 0) {
            ssize_t w = write(stdinWrite, input.data() + written, input.size() - written);
            if (w > 0) {
                written += static_cast<size_t>(w);
                if (written == input.size()) feeding = false;
            } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
                if (errno == EPIPE) pipeBlock.raised();
                feeding = false;  // the program is gone or not reading; its output tells the rest
            }
        }
        if (fds[0].revents != 0) {
            ssize_t r = read(stdoutRead, chunk, kChunkSize);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (r < 0) {
                int err = errno;
                report.error("Couldn't read stdout from child: %d - %s", err, errnoText(err));
                break;
            }
            if (r == 0) {
                eof = true;
                break;
            }
            takeOutput(spec, result, taken, chunk, static_cast<size_t>(r));
        }
    }

    if (eof && child.waitUntil(deadline)) return;
    if (msUntil(deadline) == 0) {
        result.timedOut = true;
        report.error("%s child did not finish within %d seconds; killing it", report.label,
                     limitSeconds);
    }
    child.killAndReap();
}

// execve takes non-const strings but never writes them.
std::vector<char *> pointersTo(const std::vector<std::string> &strings) {
    std::vector<char *> list;
    list.reserve(strings.size() + 1);
    for (const std::string &s : strings) list.push_back(const_cast<char *>(s.c_str()));
    list.push_back(nullptr);
    return list;
}

} // namespace

const char *errnoText(int err) {
    const char *text = strerrordesc_np(err);
    return text != nullptr ? text : "Unknown error";
}

bool RunAsResult::exited() const { return reaped && WIFEXITED(waitStatus); }
int RunAsResult::exitCode() const { return exited() ? WEXITSTATUS(waitStatus) : -1; }
int RunAsResult::signal() const { return reaped && WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0; }

RunAsResult runAs(const RunAsSpec &spec) {
    RunAsResult result;
    const Reporter report{spec.debug != nullptr ? spec.debug : debugMessage,
                          spec.error != nullptr ? spec.error : errorMessage, spec.label.c_str()};
    const int limitSeconds = spec.timeLimitSeconds > 0 ? spec.timeLimitSeconds : kDefaultLimitSeconds;

    // Everything the child uses is built before the fork.
    std::vector<char *> argv = pointersTo(spec.argv);
    std::vector<char *> envp = pointersTo(spec.env);
    std::vector<char *> notes = pointersTo(spec.childNotes);

    int stdinPipe[2];
    if (pipe2(stdinPipe, O_CLOEXEC) != 0) {
        result.failure = RunAsFailure::StdinPipe;
        result.error = errno;
        return result;
    }
    Fd stdinRead(stdinPipe[0]), stdinWrite(stdinPipe[1]);
    int stdoutPipe[2];
    if (pipe2(stdoutPipe, O_CLOEXEC) != 0) {
        result.failure = RunAsFailure::StdoutPipe;
        result.error = errno;
        return result;
    }
    Fd stdoutRead(stdoutPipe[0]), stdoutWrite(stdoutPipe[1]);

    ChildPlan plan{};
    plan.path = spec.path.c_str();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.gid = spec.gid;
    plan.groups = spec.groups.data();
    plan.groupCount = spec.groups.size();
    plan.uid = spec.uid;
    plan.workdir = spec.workdir.c_str();
    plan.notes = notes.data();
    plan.stdinRead = stdinRead.get();
    plan.stdoutWrite = stdoutWrite.get();
    plan.debugFd = spec.debugFd;
    plan.errorFd = spec.errorFd;
    long openMax = sysconf(_SC_OPEN_MAX);
    plan.maxFd = openMax > 0 ? openMax : 1024;
    time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local) == nullptr ||
        strftime(plan.stamp, sizeof plan.stamp, "%Y%m%d-%T", &local) == 0)
        plan.stamp[0] = '\0';

    pid_t pid = fork();
    if (pid < 0) {
        result.failure = RunAsFailure::Fork;
        result.error = errno;
        return result;
    }
    if (pid == 0) runChild(plan);

    ChildProcess child(pid, report, result);
    setpgid(pid, pid);  // also done by the child; whichever runs first wins
    stdinRead.reset();
    stdoutWrite.reset();
    fcntl(stdinWrite.get(), F_SETFL, fcntl(stdinWrite.get(), F_GETFL) | O_NONBLOCK);

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limitSeconds);
    superviseChild(child, stdinWrite.get(), stdoutRead.get(), spec, deadline, limitSeconds, report,
                   result);
    return result;
}
