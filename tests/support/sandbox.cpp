// Test harness: private mount namespace set-up, fixture files and a runner
// for the real daemon binary.
#include "sandbox.h"

#include <crypt.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

extern char **environ;

namespace kivtest {

namespace {

std::string g_fixtureDir;   // set once the sandbox is ready
bool g_keepDirs = false;

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

std::string errnoText(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

std::string nsOf(const std::string &procDir) {
    char buf[128];
    ssize_t n = readlink((procDir + "/ns/mnt").c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

// Writes the whole of data to path, truncating in place (never replacing the
// inode, so bind mounts of the file stay attached).
bool writeInPlace(const std::string &path, const std::string &data, int mode,
                  std::string *error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = errnoText("open " + path);
        return false;
    }
    // The process umask must not decide the mode the test asked for.
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        *error = errnoText("chmod " + path);
        close(fd);
        return false;
    }
    size_t off = 0;
    while (off < data.size()) {
        ssize_t w = write(fd, data.data() + off, data.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            *error = errnoText("write " + path);
            close(fd);
            return false;
        }
        off += static_cast<size_t>(w);
    }
    if (close(fd) != 0) {
        *error = errnoText("close " + path);
        return false;
    }
    return true;
}

bool mountTmpfs(const char *where, std::string *error) {
    if (mount("tmpfs", where, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        *error = errnoText(std::string("mount tmpfs on ") + where);
        return false;
    }
    return true;
}

const char *const kDefaultPasswd =
    "root:x:0:0:root:/root:/bin/sh\n"
    "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n";
const char *const kDefaultShadow =
    "root:*:19000:0:99999:7:::\n"
    "nobody:*:19000:0:99999:7:::\n";
const char *const kDefaultGroup =
    "root:x:0:\n"
    "nogroup:x:65534:\n";

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

bool enterSandbox(std::string *error) {
    if (geteuid() != 0) {
        *error = "integration tests must run as root";
        return false;
    }
    // Refuse to touch the host: the mounts below are only harmless in a mount
    // namespace that this process does not share with the rest of the system.
    // The nearest ancestor that is not unshare(1) itself (which, with --fork,
    // shares the new namespace) must be in another namespace; so must pid 1
    // where it can be read.
    std::string self = nsOf("/proc/self");
    std::string init = nsOf("/proc/1");
    pid_t anc = getppid();
    while (anc > 1 && readFile("/proc/" + std::to_string(anc) + "/comm") == "unshare\n") {
        pid_t up = -1;
        if (!procStat(anc, &up, nullptr)) break;
        anc = up;
    }
    std::string outer = nsOf("/proc/" + std::to_string(anc));
    if (self.empty() || outer.empty() || self == outer || self == init) {
        *error = "not in a private mount namespace; run as "
                 "`unshare --mount --propagation private <test>`";
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = errnoText("making mounts private");
        return false;
    }
    // A detaching daemon's real process is orphaned when its parent exits;
    // as subreaper the test gets it back and can reap it and see its status.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        *error = errnoText("PR_SET_CHILD_SUBREAPER");
        return false;
    }
    if (!mountTmpfs("/run", error)) return false;
    std::error_code ec;
    auto varRun = std::filesystem::canonical("/var/run", ec);
    if (!ec && varRun != "/run" && !mountTmpfs("/var/run", error)) return false;
    g_keepDirs = getenv("KIVTEST_KEEP_DIRS") != nullptr;
    // A private /tmp takes every test's leftovers with it, unless the build
    // or the test itself lives there and would be hidden.
    bool buildInTmp = false;
    char cwd[4096];
    std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    for (const std::string &p : {std::string(KIV_BIN_DIR), std::string(KIV_TESTMOD_DIR),
                                 std::string(KIV_SOURCE_DIR), exe,
                                 std::string(getcwd(cwd, sizeof cwd) ? cwd : "/tmp")})
        if (p == "/tmp" || p.rfind("/tmp/", 0) == 0) buildInTmp = true;
    if (!g_keepDirs && !buildInTmp && !mountTmpfs("/tmp", error)) return false;

    std::string dir = "/run/kivtest-fixtures";
    if (mkdir(dir.c_str(), 0755) != 0) {
        *error = errnoText("mkdir " + dir);
        return false;
    }
    const struct {
        const char *name;
        const char *content;
        int mode;
    } files[] = {{"passwd", kDefaultPasswd, 0644},
                 {"shadow", kDefaultShadow, 0640},
                 {"group", kDefaultGroup, 0644}};
    for (const auto &f : files) {
        std::string src = dir + "/" + f.name;
        std::string dst = std::string("/etc/") + f.name;
        if (!writeInPlace(src, f.content, f.mode, error)) return false;
        if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            *error = errnoText("bind mount " + src + " on " + dst);
            return false;
        }
    }
    g_fixtureDir = dir;
    // Only the test process itself: a forked child (a death test, say) that
    // exits must not take the parent's daemons down.
    static pid_t sandboxPid = getpid();
    std::atexit([] {
        if (getpid() != sandboxPid) return;
        std::lock_guard<std::mutex> lock(liveLock());
        for (Daemon *d : liveDaemons()) d->killNow();
    });
    return true;
}

void writeAccountFiles(const std::string &passwd, const std::string &shadow,
                       const std::string &group) {
    if (g_fixtureDir.empty()) {
        ADD_FAILURE() << "writeAccountFiles outside the sandbox: refusing to touch /etc";
        return;
    }
    std::string err;
    if (!writeInPlace(g_fixtureDir + "/passwd", passwd, 0644, &err) ||
        !writeInPlace(g_fixtureDir + "/shadow", shadow, 0640, &err) ||
        !writeInPlace(g_fixtureDir + "/group", group, 0644, &err))
        ADD_FAILURE() << "writeAccountFiles: " << err;
}

std::string cryptHash(const std::string &password, const std::string &prefix) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    // A null random source lets libcrypt draw the salt from the OS.
    if (!crypt_gensalt_rn(prefix.c_str(), 0, nullptr, 0, salt, sizeof salt)) {
        ADD_FAILURE() << errnoText("crypt_gensalt_rn(\"" + prefix + "\")");
        return "";
    }
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof *data);
    const char *h = crypt_r(password.c_str(), salt, data.get());
    if (!h || h[0] == '*') {
        ADD_FAILURE() << "crypt_r failed for salt " << salt;
        return "";
    }
    return h;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &data, int mode) {
    std::string err;
    if (!writeInPlace(path, data, mode, &err)) ADD_FAILURE() << "writeFile: " << err;
}

bool fileExists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string makeTempDir(const std::string &tag) {
    std::string clean;
    for (char c : tag) clean += (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    std::string tmpl = "/tmp/kivtest-" + clean + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        ADD_FAILURE() << errnoText("mkdtemp " + tmpl);
        return "";
    }
    return buf.data();
}

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
    }
    dir_ = makeTempDir("daemon");
    if (dir_.empty()) {
        setupError_ = "could not create the daemon directory";
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
    std::string bin = binPath("kiv-services-daemon");
    std::string target = path("kiv-services-daemon");
    if (opts_.copyBinary)
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
    if (!writeInPlace(path("kiv-services-daemon.conf"), conf, 0644, &setupError_)) return;
    if (opts_.euid >= 0) {
        // Every file the configuration names in the directory (the logs),
        // owned by the daemon's euid so it can write them.
        const std::string prefix = dir_ + "/";
        for (size_t at = conf.find(prefix); at != std::string::npos; at = conf.find(prefix, at + 1)) {
            const size_t end = conf.find_first_of(" \t\r\n", at);
            const std::string file = conf.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (file.size() <= prefix.size() || file.find('/', prefix.size()) != std::string::npos) continue;
            if (!fileExists(file) && !writeInPlace(file, "", 0644, &setupError_)) return;
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
    if (!g_keepDirs && !dir_.empty()) {
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
    if (connectable(kSocketPath)) {
        error_ = std::string("another daemon already listens on ") + kSocketPath;
        return false;
    }
    if (!opts_.keepRunFiles) {
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

    // Everything the child needs is built before fork: after it only
    // async-signal-safe calls are allowed (the test may have threads).
    std::string exe = path("kiv-services-daemon");
    std::string argv0 = opts_.argv0.empty() ? exe : opts_.argv0;
    std::string log = path("stderr.log");
    std::map<std::string, std::string> envMap;
    const char *pathEnv = getenv("PATH");
    envMap["PATH"] = pathEnv ? pathEnv : "/usr/sbin:/usr/bin:/sbin:/bin";
    for (const char *k : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = getenv(k)) envMap[k] = v;
    for (const auto &[k, v] : opts_.env) envMap[k] = v;
    std::vector<std::string> envStrings;
    for (const auto &[k, v] : envMap) envStrings.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char *> argv{argv0.data(), nullptr};
    int euid = opts_.euid;
    uid_t ruid = opts_.ruid >= 0 ? static_cast<uid_t>(opts_.ruid) : 0;
    pid_t testPid = getpid();

    pid_t pid = fork();
    if (pid < 0) {
        fail(errnoText("fork"));
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        struct sigaction dfl{};
        dfl.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0) _exit(120);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
            for (int fd = 3; fd < 4096; ++fd) close(fd);
        if (chdir(dir_.c_str()) != 0) _exit(121);
        if (euid >= 0 && setresuid(ruid, static_cast<uid_t>(euid), ruid) != 0) _exit(122);
        // Dies with the test (set after the uid change, which clears it).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != testPid) _exit(123);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid, pid);   // also here, so killAll() can never miss the group
    pid_ = pid;
    return true;
}

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
        if (connectable(kSocketPath)) break;
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
