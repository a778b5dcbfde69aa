// MapR credential step: after a successful authentication the daemon runs
// maprlogin as the authenticated user (uid, groups, home directory), feeds it
// the password on stdin and copies its output into the debug log.  The outcome
// never changes the reply to the client.
#include "mapr.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "log.h"

extern "C" {
int generateMapRCreds = 0;
char *maprLogin = nullptr;
}

int maprTimeoutSeconds = 60;

namespace {

constexpr const char *kDefaultMaprLogin = "/opt/mapr/bin/maprlogin";
constexpr const char *kChildArgv0 = "kivauth-spawned maprlogin child";
constexpr size_t kChunkSize = 4095;
// How long a killed child gets to disappear before a background thread takes
// over reaping it (a child stuck in uninterruptible sleep ignores SIGKILL).
constexpr int kReapGraceMs = 5000;

// Locale-free and thread-safe; also usable in the forked child.
const char *errorText(int err) {
    const char *text = strerrordesc_np(err);
    return text != nullptr ? text : "Unknown error";
}

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
};

Reporter reporterFor(const AuthLog *log) {
    Reporter r{debugMessage, errorMessage};
    if (log != nullptr) {
        if (log->logDebug != nullptr) r.debug = log->logDebug;
        if (log->logError != nullptr) r.error = log->logError;
    }
    return r;
}

struct UserEntry {
    std::string name;
    std::string home;
    uid_t uid;
    gid_t gid;
};

// Thread-safe password-database lookup; nullopt when unknown or on error.
std::optional<UserEntry> lookupUser(const char *name) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size = hint > 0 ? static_cast<size_t>(hint) : 4096;
    for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
        std::vector<char> buf(size);
        passwd entry{};
        passwd *found = nullptr;
        int rc = getpwnam_r(name, &entry, buf.data(), buf.size(), &found);
        if (rc == ERANGE) continue;
        if (rc != 0 || found == nullptr) return std::nullopt;
        return UserEntry{found->pw_name, found->pw_dir ? found->pw_dir : "", found->pw_uid,
                         found->pw_gid};
    }
    return std::nullopt;
}

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
    const char *home;
    bool kerberos;
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
    void add(unsigned value) { add(static_cast<long long>(value)); }

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
    childError(plan, what, err, " - ", errorText(err));
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

// Signal handlers of the daemon must not run in the tool, and the worker's
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
    // Own process group, so a stuck tool is killed together with its helpers.
    setpgid(0, 0);
    plan.debugFd = liftAboveStdio(plan.debugFd);
    plan.errorFd = liftAboveStdio(plan.errorFd);

    // A gid of -1 would mean "leave unchanged" to setregid, i.e. keep root's.
    if (plan.gid == static_cast<gid_t>(-1)) {
        childError(plan, "[child] couldn't set rgid/egid to '", static_cast<int>(plan.gid),
                   "': ", EINVAL, " - ", errorText(EINVAL));
        _exit(104);
    }
    if (setregid(plan.gid, plan.gid) != 0) {
        int err = errno;
        childError(plan, "[child] couldn't set rgid/egid to '", static_cast<int>(plan.gid),
                   "': ", err, " - ", errorText(err));
        _exit(104);
    }
    if (setgroups(plan.groupCount, plan.groups) != 0)
        childFail(plan, 105, "[child] couldn't set aux groups: ", errno);
    if (setuid(plan.uid) != 0) {
        int err = errno;
        childError(plan, "[child] couldn't drop privs to UID ", static_cast<int>(plan.uid), ": ",
                   err, " - ", errorText(err));
        _exit(106);
    }
    if (chdir(plan.home) != 0) {
        int err = errno;
        childError(plan, "[child] couldn't chdir to '", plan.home, "': ", err, " - ",
                   errorText(err));
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

    childDebug(plan, "[child] building maprlogin arglist");
    if (!plan.kerberos) {
        childDebug(plan, "[child] building args for password auth");
        childDebug(plan, "[child] done building args for password auth");
        childDebug(plan, "[child] building env for password auth");
        childDebug(plan, "[child] done building env for password auth");
    } else {
        childDebug(plan, "[child] building args for kerberized auth");
        childDebug(plan, "[child] building env for kerberized auth");
        childDebug(plan, "[child] done building env for kerberized auth");
    }

    // The daemon runs with umask 0; files the tool makes for the user must not
    // be world-writable.
    umask(022);
    closeInheritedDescriptors(plan);
    childDebug(plan, "[child] execve-ing maprLogin at '", plan.path, "'");
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
// the status logged is that of this run's own child (waitpid by pid).
class ChildProcess {
public:
    ChildProcess(pid_t pid, const Reporter &report) : pid_(pid), report_(report) {}
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
                report_.debug("maprlogin child exited with rc %d", status);
                return true;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                int err = errno;
                done_ = true;
                report_.error("Couldn't wait for maprlogin child %d: %d - %s", static_cast<int>(pid_),
                              err, errorText(err));
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
        report_.error("maprlogin child %d did not go away after SIGKILL; reaping it in the background",
                      static_cast<int>(pid_));
        pid_t pid = pid_;
        try {
            std::thread([pid] {
                int status = 0;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        } catch (...) {
            report_.error("Couldn't start a reaper for maprlogin child %d", static_cast<int>(pid));
        }
    }

private:
    pid_t pid_;
    Reporter report_;
    bool done_ = false;
};

// One chunk of the tool's output as a start/end block.  The log layer
// escapes control characters, so the output cannot forge log lines.
void logChunk(const Reporter &report, char *chunk, size_t length) {
    chunk[length] = '\0';
    report.debug("----------[start maprlogin output len=%d]----------", static_cast<int>(length));
    report.debug("%s", chunk);
    report.debug("----------[end maprlogin output]----------");
}

// Feeds stdin and copies stdout until the tool closes its output, then waits
// for it; everything bounded by the deadline.  The stdin write end is
// non-blocking so a tool that writes before it reads cannot deadlock us.
void superviseChild(ChildProcess &child, int stdinWrite, int stdoutRead, const std::string &input,
                    Clock::time_point deadline, int limitSeconds, const Reporter &report) {
    size_t written = 0;
    bool feeding = !input.empty();

    // A tool that exits without reading would make the write raise SIGPIPE,
    // which must not end the daemon: block it on this thread and discard it.
    sigset_t pipeSet, oldMask;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool pipeAlreadyPending = sigismember(&pending, SIGPIPE) == 1;
    bool raisedPipe = false;

    char chunk[kChunkSize + 1];
    bool eof = false;
    while (!eof) {
        pollfd fds[2];
        nfds_t n = 0;
        fds[n++] = {stdoutRead, POLLIN, 0};
        if (feeding) fds[n++] = {stdinWrite, POLLOUT, 0};
        int left = msUntil(deadline);
        int ready = poll(fds, n, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            int err = errno;
            report.error("Couldn't read stdout from child: %d - %s", err, errorText(err));
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
                if (errno == EPIPE) raisedPipe = true;
                feeding = false;  // the tool is gone or not reading; its output tells the rest
            }
        }
        if (fds[0].revents != 0) {
            ssize_t r = read(stdoutRead, chunk, kChunkSize);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (r < 0) {
                int err = errno;
                report.error("Couldn't read stdout from child: %d - %s", err, errorText(err));
                break;
            }
            if (r == 0) {
                eof = true;
                break;
            }
            if (r == 1 && chunk[0] == '\n') continue;
            logChunk(report, chunk, static_cast<size_t>(r));
        }
    }

    if (raisedPipe && !pipeAlreadyPending) {
        timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);

    if (eof && child.waitUntil(deadline)) return;
    if (msUntil(deadline) == 0)
        report.error("maprlogin child did not finish within %d seconds; killing it", limitSeconds);
    child.killAndReap();
}

void runCredentialStep(const char *maprLoginPath, const char *user, const int *groups, int count,
                       const char *password, const AuthLog *log) {
    const Reporter report = reporterFor(log);
    const char *path = maprLoginPath != nullptr ? maprLoginPath : kDefaultMaprLogin;

    if (user == nullptr) {
        report.error("POSIX username was not set");
        return;
    }
    std::optional<UserEntry> entry = lookupUser(user);
    if (!entry) {
        report.error("POSIX user '%s' was not found", user);
        return;
    }
    report.debug("POSIX user '%s' is UID %d", user, static_cast<int>(entry->uid));

    const char *ccache = getenv("KRB5CCNAME");
    const bool kerberos = password == nullptr;
    if (kerberos && ccache == nullptr) {
        report.error("Password not provided and we don't have a krb5 ccache - cannot set "
                     "maprlogin credentials.");
        return;
    }

    // Everything the child uses is built before the fork.
    std::string argv0 = kChildArgv0;
    std::string modePassword = "password", optUser = "-user", modeKerberos = "kerberos";
    std::string krbEnv = kerberos ? std::string("KRB5CCNAME=") + ccache : std::string();
    std::vector<char *> argv{argv0.data()};
    std::vector<char *> envp;
    if (!kerberos) {
        argv.insert(argv.end(), {modePassword.data(), optUser.data(), entry->name.data()});
    } else {
        argv.push_back(modeKerberos.data());
        envp.push_back(krbEnv.data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    // A module may hand back an empty list; then the password database's
    // primary gid stands in rather than reading past the list.
    std::vector<gid_t> groupList;
    if (groups != nullptr && count > 0)
        groupList.assign(groups, groups + count);
    else
        groupList.push_back(entry->gid);

    const std::string input = kerberos ? std::string("\n") : std::string(password);
    const int limitSeconds = maprTimeoutSeconds > 0 ? maprTimeoutSeconds : 60;

    int stdinPipe[2];
    if (pipe2(stdinPipe, O_CLOEXEC) != 0) {
        int err = errno;
        report.error("Couldn't create stdin pipe for child: %d - %s", err, errorText(err));
        return;
    }
    Fd stdinRead(stdinPipe[0]), stdinWrite(stdinPipe[1]);
    int stdoutPipe[2];
    if (pipe2(stdoutPipe, O_CLOEXEC) != 0) {
        int err = errno;
        report.error("Couldn't create stdout pipe for child: %d - %s", err, errorText(err));
        return;
    }
    Fd stdoutRead(stdoutPipe[0]), stdoutWrite(stdoutPipe[1]);

    ChildPlan plan{};
    plan.path = path;
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.gid = groupList.front();
    plan.groups = groupList.data();
    plan.groupCount = groupList.size();
    plan.uid = entry->uid;
    plan.home = entry->home.c_str();
    plan.kerberos = kerberos;
    plan.stdinRead = stdinRead.get();
    plan.stdoutWrite = stdoutWrite.get();
    plan.debugFd = debugLog != nullptr ? fileno(debugLog) : -1;
    plan.errorFd = errorLog != nullptr ? fileno(errorLog) : -1;
    long openMax = sysconf(_SC_OPEN_MAX);
    plan.maxFd = openMax > 0 ? openMax : 1024;
    time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local) == nullptr ||
        strftime(plan.stamp, sizeof plan.stamp, "%Y%m%d-%T", &local) == 0)
        plan.stamp[0] = '\0';

    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        report.error("generateMapRCredentials : couldn't fork: %d - %s", err, errorText(err));
        return;
    }
    if (pid == 0) runChild(plan);

    ChildProcess child(pid, report);
    setpgid(pid, pid);  // also done by the child; whichever runs first wins
    stdinRead.reset();
    stdoutWrite.reset();
    fcntl(stdinWrite.get(), F_SETFL, fcntl(stdinWrite.get(), F_GETFL) | O_NONBLOCK);

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limitSeconds);
    superviseChild(child, stdinWrite.get(), stdoutRead.get(), input, deadline, limitSeconds, report);
}

bool enablesMapR(const char *value) {
    if (value == nullptr) return false;
    for (const char *word : {"yes", "y", "1", "true"})
        if (strcasecmp(value, word) == 0) return true;
    return false;
}

} // namespace

extern "C" char *concatenateFilename(const char *directory, const char *file) {
    if (directory == nullptr || directory[0] == '\0') return file != nullptr ? strdup(file) : nullptr;
    size_t dirLength = strlen(directory);
    size_t fileLength = file != nullptr ? strlen(file) : 0;
    char *joined = static_cast<char *>(malloc(dirLength + fileLength + 2));
    if (joined == nullptr) return nullptr;
    memcpy(joined, directory, dirLength);
    size_t length = dirLength;
    if (file != nullptr) {
        if (directory[dirLength - 1] != '/' && file[0] != '/') joined[length++] = '/';
        memcpy(joined + length, file, fileLength);
        length += fileLength;
    }
    while (length > 0 && joined[length - 1] == '/') --length;
    joined[length] = '\0';
    if (length == 0) {
        free(joined);
        return nullptr;
    }
    return joined;
}

extern "C" int generateMapRCredentials(const char *maprLoginPath, const char *user, int *groups,
                                       int count, const char *password, AuthLog *log) {
    try {
        runCredentialStep(maprLoginPath, user, groups, count, password, log);
    } catch (...) {
        // Only allocations before the fork can throw; no child exists then.
        reporterFor(log).error("generateMapRCredentials: out of memory");
    }
    return 0;
}

void initMapR(ConfigEntry *list, int count) {
    for (int i = 0; list != nullptr && i < count; ++i) {
        const char *key = list[i].key;
        const char *value = list[i].value;
        if (key == nullptr) continue;
        if (strcasecmp(key, "mapr_generate_credentials") == 0) {
            if (enablesMapR(value)) {
                generateMapRCreds = 1;
                debugMessage("MapR credentials generation enabled");
            }
        } else if (strcasecmp(key, "mapr_home") == 0) {
            if (value == nullptr) value = "";
            debugMessage("mapr_home is set to '%s'", value);
            char *resolved = realpath(value, nullptr);
            if (resolved == nullptr) {
                int err = errno;
                errorMessage("Could not canonicalize mapr_home: %d - %s", err, errorText(err));
                continue;
            }
            debugMessage("mapr_home was canonicalized to '%s'", resolved);
            free(maprLogin);
            maprLogin = concatenateFilename(resolved, "/bin/maprlogin");
            if (maprLogin == nullptr)
                errorMessage("Couldn't append maprlogin path to canonicalized path");
            else if (access(maprLogin, F_OK) != 0)
                errorMessage("maprlogin was not found at '%s'", maprLogin);
            free(resolved);
        }
    }
}
