// Starting, watching and stopping the real daemon.
#include "daemon_runner.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "files.h"
#include "process.h"
#include "wait_for.h"

namespace kivtest {

namespace {

// Live Daemon objects, so that an exit that skips their destructors (a
// leaked fixture, exit() from a test) still takes the daemons down with it.
std::mutex &liveLock() {
    static auto *m = new std::mutex;
    return *m;
}
std::set<Daemon *> &liveDaemons() {
    static auto *s = new std::set<Daemon *>;
    return *s;
}

// Parent pid and state letter from /proc/<pid>/stat; false if it is gone.
bool procStat(pid_t pid, pid_t *ppid, char *state) {
    std::string s = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = s.rfind(')');
    if (close == std::string::npos || close + 4 > s.size()) return false;
    std::istringstream in(s.substr(close + 2));
    char st = 0;
    long pp = 0;
    if (!(in >> st >> pp)) return false;
    if (ppid) *ppid = static_cast<pid_t>(pp);
    if (state) *state = st;
    return true;
}

// Exited: collected here, the wait status is in *status.  Zombie: dead but
// another process's child (a detached daemon whose parent still sleeps; it is
// re-parented to this subreaper when that parent exits).  Gone: no such
// process any more, status unknown.
enum class Life { Alive, Exited, Zombie, Gone };

Life checkPid(pid_t pid, int *status) {
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
        *status = st;
        return Life::Exited;
    }
    if (r == 0) return Life::Alive;
    char state = 0;
    if (!procStat(pid, nullptr, &state)) return Life::Gone;
    return state == 'Z' || state == 'X' ? Life::Zombie : Life::Alive;
}

// Waits up to timeoutMs until pid is collected or gone; the last state seen.
Life awaitPid(pid_t pid, int *status, int timeoutMs) {
    Life l = Life::Alive;
    waitFor([&] {
        l = checkPid(pid, status);
        return l == Life::Exited || l == Life::Gone;
    }, timeoutMs);
    return l;
}

// Exit code of a wait status, or -1 for death by a signal.
int exitCodeOf(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : -1; }

bool connectable(const char *path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

std::string tail(const std::string &s, size_t n) {
    return s.size() <= n ? s : "..." + s.substr(s.size() - n);
}

} // namespace

std::string testModule(const std::string &variant, const std::string &file) {
    return std::string(KIV_TESTMOD_DIR) + "/" + variant + "/" + file;
}

std::string binPath(const std::string &file) { return std::string(KIV_BIN_DIR) + "/" + file; }

bool hasSanitizerReport(const std::string &text) {
    for (const char *marker : {"ERROR: AddressSanitizer", "runtime error:",
                               "WARNING: ThreadSanitizer", "ERROR: LeakSanitizer"})
        if (text.find(marker) != std::string::npos) return true;
    return false;
}

// ---------------------------------------------------------------- Daemon

Daemon::Daemon(DaemonOptions opts) : opts_(std::move(opts)) {
    {
        std::lock_guard<std::mutex> lock(liveLock());
        liveDaemons().insert(this);
        // Only the process that made the first daemon: a forked child (a
        // death test, say) that exits must not take the parent's daemons down.
        static const bool registered = [] {
            static const pid_t owner = getpid();
            std::atexit([] {
                if (getpid() != owner) return;
                std::lock_guard<std::mutex> guard(liveLock());
                for (Daemon *d : liveDaemons()) d->killNow();
            });
            return true;
        }();
        (void)registered;
    }
    std::string tmpError;
    dir_ = makeTempDir("daemon", &tmpError, opts_.dirPrefix);
    if (dir_.empty()) {
        setupError_ = "could not create the daemon directory: " + tmpError;
        return;
    }
    // The daemon loads modules only from a directory that root alone can
    // write, whatever the umask; a daemon with another euid gets its files
    // made for it below instead.
    if (chmod(dir_.c_str(), 0755) != 0) {
        setupError_ = errnoText("chmod " + dir_);
        return;
    }
    std::error_code ec;
    std::string bin = opts_.binary.empty() ? binPath("kiv-services-daemon") : opts_.binary;
    std::string target = path("kiv-services-daemon");
    // An unprivileged daemon must reach its binary without entering the
    // build tree, which may be closed to it.
    if (opts_.copyBinary || opts_.euid >= 0)
        std::filesystem::copy_file(bin, target, ec);
    else
        std::filesystem::create_symlink(bin, target, ec);
    if (ec) {
        setupError_ = "placing " + bin + ": " + ec.message();
        return;
    }
    std::string conf = opts_.config;
    for (size_t at = conf.find("@DIR@"); at != std::string::npos; at = conf.find("@DIR@", at + dir_.size()))
        conf.replace(at, 5, dir_);
    if (!writeFile(path("kiv-services-daemon.conf"), conf, 0644, &setupError_)) return;
    if (opts_.euid >= 0) {
        // Every file the configuration names in the directory (the logs),
        // owned by the daemon's euid so it can write them.
        const std::string prefix = dir_ + "/";
        for (size_t at = conf.find(prefix); at != std::string::npos; at = conf.find(prefix, at + 1)) {
            const size_t end = conf.find_first_of(" \t\r\n", at);
            const std::string file = conf.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (file.size() <= prefix.size() || file.find('/', prefix.size()) != std::string::npos) continue;
            if (!fileExists(file) && !writeFile(file, "", 0644, &setupError_)) return;
            if (chown(file.c_str(), static_cast<uid_t>(opts_.euid), static_cast<gid_t>(-1)) != 0) {
                setupError_ = errnoText("chown " + file);
                return;
            }
        }
    }
    for (const auto &[src, name] : opts_.modules) {
        std::filesystem::copy_file(src, path(name), std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) {
            setupError_ = "copying module " + src + ": " + ec.message();
            return;
        }
        // copy_file keeps the source's mode, which the build's umask chose.
        chmod(path(name).c_str(), 0755);
    }
}

Daemon::~Daemon() {
    {
        std::lock_guard<std::mutex> lock(liveLock());
        liveDaemons().erase(this);
    }
    killAll();
    if (!keepDirs() && !dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void Daemon::fail(const std::string &why) {
    error_ = why;
    std::string err = stderrText();
    if (!err.empty()) error_ += "\n--- stderr.log ---\n" + tail(err, 4000);
}

bool Daemon::spawn() {
    error_.clear();
    if (!setupError_.empty()) {
        error_ = setupError_;
        return false;
    }
    if (pid_ > 0 && !reaped_) {
        error_ = "already started";
        return false;
    }
    if (!opts_.besideRunningDaemon && serving()) {
        error_ = std::string("another daemon already listens on ") + kSocketPath;
        return false;
    }
    if (!opts_.keepRunFiles && !opts_.besideRunningDaemon) {
        unlink(kSocketPath);
        unlink(kPidPath);
    }
    pid_ = -1;
    status_ = -1;
    reaped_ = false;
    termSignal_ = 0;
    daemonPid_ = -1;
    daemonStatus_ = -1;
    daemonReaped_ = false;

    std::map<std::string, std::string> envMap;
    const char *pathEnv = getenv("PATH");
    envMap["PATH"] = pathEnv ? pathEnv : "/usr/sbin:/usr/bin:/sbin:/bin";
    for (const char *k : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = getenv(k)) envMap[k] = v;
    for (const auto &[k, v] : opts_.env) envMap[k] = v;
    std::vector<std::string> env;
    for (const auto &[k, v] : envMap) env.push_back(k + "=" + v);
    const std::string exe = path("kiv-services-daemon");
    std::vector<std::string> argv = opts_.wrapper;
    argv.push_back(opts_.argv0.empty() || !opts_.wrapper.empty() ? exe : opts_.argv0);
    argv.insert(argv.end(), opts_.args.begin(), opts_.args.end());
    SpawnOptions options;
    options.program = opts_.wrapper.empty() ? exe : opts_.wrapper.front();
    options.environment = &env;
    options.workDir = dir_;
    options.ownProcessGroup = true;
    options.euid = opts_.euid;
    options.ruid = opts_.ruid >= 0 ? opts_.ruid : 0;
    std::string error;
    const pid_t pid = spawnProcess(argv, path("stderr.log"), options, &error);
    if (pid < 0) {
        fail(error);
        return false;
    }
    pid_ = pid;
    return true;
}

bool Daemon::serving() const { return opts_.ready ? opts_.ready() : connectable(kSocketPath); }

bool Daemon::startedAlive() {
    if (pid_ <= 0 || reaped_) return false;
    int st = 0;
    Life l = checkPid(pid_, &st);
    if (l == Life::Alive || l == Life::Zombie) return l == Life::Alive;
    reaped_ = true;
    if (l == Life::Exited) {
        status_ = exitCodeOf(st);
        termSignal_ = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    }
    return false;
}

void Daemon::refreshDaemonPid() {
    if (daemonPid_ > 0 || pid_ <= 0) return;
    std::string text = readFile(kPidPath);
    if (text.empty()) return;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (v <= 1 || v == pid_) return;
    // Only follow a pid that descends from the process started here: the
    // detaching parent (until it exits) or this test (as subreaper).
    pid_t ppid = -1;
    if (!procStat(static_cast<pid_t>(v), &ppid, nullptr)) return;
    if (ppid != pid_ && ppid != getpid()) return;
    daemonPid_ = static_cast<pid_t>(v);
}

bool Daemon::daemonAlive() {
    if (daemonPid_ <= 0 || daemonReaped_) return false;
    int st = 0;
    Life l = checkPid(daemonPid_, &st);
    if (l == Life::Alive || l == Life::Zombie) return l == Life::Alive;
    daemonReaped_ = true;
    if (l == Life::Exited) daemonStatus_ = exitCodeOf(st);
    return false;
}

// The detached daemon's exit status arrives once it has been re-parented here.
bool Daemon::daemonCollected() {
    daemonAlive();
    return daemonPid_ <= 0 || daemonReaped_;
}

pid_t Daemon::servingPid() {
    refreshDaemonPid();
    return daemonPid_ > 0 ? daemonPid_ : pid_;
}

bool Daemon::start(int timeoutMs) {
    if (!spawn()) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (serving()) break;
        bool parentAlive = startedAlive();
        if (!parentAlive) {
            if (status_ != 0) {
                fail("daemon exited with status " + std::to_string(status_) +
                     (termSignal_ ? " (signal " + std::to_string(termSignal_) + ")" : "") +
                     " before listening");
                return false;
            }
            // Exit 0 without a socket is only normal for a detaching parent.
            refreshDaemonPid();
            if (daemonPid_ > 0 && !daemonAlive()) {
                fail("detached daemon exited with status " + std::to_string(daemonStatus_) +
                     " before listening");
                return false;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            fail("daemon did not listen within " + std::to_string(timeoutMs) + " ms");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Listening.  A started process that is alive without children is a
    // foreground daemon; otherwise it detached and the pid file names the
    // process that serves (the parent may write it after the child listens).
    std::string kids = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
    if (startedAlive() && readFile(kids).empty()) return true;
    for (;;) {
        refreshDaemonPid();
        if (daemonPid_ > 0) return true;
        if (!startedAlive() && status_ != 0) {
            fail("detaching parent exited with status " + std::to_string(status_));
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            fail("daemon listens but no usable pid in " + std::string(kPidPath));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Daemon::runToExit(int timeoutMs) {
    if (!spawn()) return -1;
    int r = waitExit(timeoutMs);
    if (r == -1 && !reaped_) {
        fail("daemon still running after " + std::to_string(timeoutMs) + " ms");
        killAll();
        return -1;
    }
    return r;
}

int Daemon::waitExit(int timeoutMs) {
    if (pid_ <= 0) return -1;
    waitFor([&] { return !startedAlive(); }, timeoutMs);
    return reaped_ ? status_ : -1;
}

int Daemon::waitServingExit(int timeoutMs) {
    refreshDaemonPid();
    if (daemonPid_ <= 0) return waitExit(timeoutMs);
    waitFor([&] { return daemonCollected(); }, timeoutMs);
    return daemonReaped_ ? daemonStatus_ : -1;
}

bool Daemon::running() {
    refreshDaemonPid();
    return daemonPid_ > 0 ? daemonAlive() : startedAlive();
}

void Daemon::signal(int sig) {
    pid_t p = servingPid();
    if (p <= 0) return;
    if (p == pid_ ? !reaped_ : !daemonReaped_) kill(p, sig);
}

int Daemon::terminate(int timeoutMs) {
    if (pid_ <= 0) return -1;
    signal(SIGTERM);
    int r = waitServingExit(timeoutMs);
    if (daemonPid_ > 0) waitExit(timeoutMs);   // the detaching parent ends by itself
    return r;
}

void Daemon::killAll() {
    refreshDaemonPid();
    bool daemonPending = daemonPid_ > 0 && !daemonReaped_;
    if (daemonPending) {
        // setsid() gave it a process group of its own: take its children too.
        kill(-daemonPid_, SIGKILL);
        kill(daemonPid_, SIGKILL);
    }
    // The parent first: once it is collected, the daemon's zombie is ours.
    if (pid_ > 0 && !reaped_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        int st = 0;
        Life l = awaitPid(pid_, &st, 5000);
        if (l == Life::Exited || l == Life::Gone) {
            reaped_ = true;
            if (l == Life::Exited) {
                status_ = exitCodeOf(st);
                termSignal_ = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
            }
        }
    }
    if (daemonPending) {
        int st = 0;
        Life l = awaitPid(daemonPid_, &st, 5000);
        if (l == Life::Exited || l == Life::Gone) {
            daemonReaped_ = true;
            if (l == Life::Exited) daemonStatus_ = exitCodeOf(st);
        }
    }
}

void Daemon::killNow() { killAll(); }

std::string Daemon::stderrText() const { return readFile(dir_ + "/stderr.log"); }

} // namespace kivtest
