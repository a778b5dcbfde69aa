// Test harness: runs the real daemon binary inside the private mount
// namespace that CTest gives every integration test executable.
#pragma once
#include <sys/types.h>
#include <map>
#include <string>
#include <vector>

namespace kivtest {

inline constexpr const char *kSocketPath = "/var/run/kiv-services-daemon_socket";
inline constexpr const char *kPidPath = "/var/run/kiv-services-daemon.pid";

// Prepares the private mount namespace of an integration test executable;
// called by the shared main() before any thread exists.  Refuses (false and
// *error set) unless running as root in a mount namespace of its own.  Then:
// every mount below / becomes private, the process becomes a child subreaper
// (so a detaching daemon is re-parented to the test and can be reaped), a
// tmpfs (mode 1777) covers /run and /tmp (/tmp only when neither the build
// nor the test lives below it), and fixture account files holding only root
// and nobody are bind-mounted over /etc/passwd, /etc/shadow and /etc/group.
// With KIVTEST_KEEP_DIRS set in the environment /tmp is left as it is and
// daemon directories are kept, for post-mortem debugging.  Note that the
// host's name service may still synthesise root and nobody (nss "systemd")
// when the fixtures leave them out.
bool enterSandbox(std::string *error);

// Replaces the contents of the fixture files bind-mounted over /etc/passwd,
// /etc/shadow and /etc/group (written in place, so the mounts stay valid).
// Exactly the given text is written: include root's entries if the test
// needs them.  Outside the sandbox this records a test failure and touches
// nothing.
void writeAccountFiles(const std::string &passwd, const std::string &shadow,
                       const std::string &group);

// crypt(3) hash of `password` with a fresh salt of the given prefix
// ("$6$", "$5$", "$1$", "$y$", "" for DES).
std::string cryptHash(const std::string &password, const std::string &prefix = "$6$");

// Shell-free file helpers.
std::string readFile(const std::string &path);      // "" if missing
void writeFile(const std::string &path, const std::string &data, int mode = 0644);
bool fileExists(const std::string &path);
std::string makeTempDir(const std::string &tag);    // fresh dir under /tmp

struct DaemonOptions {
    // Contents of kiv-services-daemon.conf; written beside the binary.  The
    // text "@DIR@" is replaced by the daemon's directory (handy for log paths).
    std::string config{};
    // Modules to place beside the daemon: {source .so path, file name there}.
    std::vector<std::pair<std::string, std::string>> modules{};
    // Extra environment for the daemon (the daemon otherwise gets a minimal one).
    std::map<std::string, std::string> env{};
    // argv[0] to use; empty = "<dir>/kiv-services-daemon".
    std::string argv0{};
    // Run with this effective uid (real uid stays 0); -1 = stay root.
    // Under ASan, a process whose euid differs from its real uid is not
    // dumpable: LeakSanitizer cannot inspect it and ends its exit with status
    // 1, and it cannot even read ASAN_OPTIONS.  With ruid == euid (below) the
    // process stays dumpable and leak checking works.
    int euid = -1;
    // With euid set: also use this as the real and saved uid, so the daemon
    // cannot regain root (a setuid-root binary that lost its bit); -1 = 0.
    int ruid = -1;
    // Copy the binary (true) or symlink it (false).  With euid set the
    // daemon is always started from a copy every user can reach.
    bool copyBinary = false;
    // start() normally removes a leftover socket file and pid file first, so
    // neither can be mistaken for the new daemon's.  true leaves them in
    // place (tests of the daemon's own handling of stale files); a leftover
    // socket is never mistaken for a live daemon because start() only counts
    // a successful connect().
    bool keepRunFiles = false;
    // Command-line arguments after argv[0].
    std::vector<std::string> args{};
    // Start even though a daemon already answers on the socket (tests of the
    // daemon's own refusal to run twice).
    bool besideRunningDaemon = false;
};

// A copy of the executable at `path` that every user can run.  Tests start
// some programs as other users (the daemon with a dropped uid, the MapR
// tool stand-in), and the build tree may lie where those users cannot enter
// (a checkout under /root, mode 0700).  Copied once per path into a
// root-owned 0755 directory on the sandbox's /run; "" (and a test failure)
// outside the sandbox or if the copy fails.
std::string reachableCopy(const std::string &path);

// Path of a test module variant built by tests/modules: KIV_TESTMOD_DIR/<variant>/<file>.
std::string testModule(const std::string &variant, const std::string &file);
// Path of a built artefact in the bin directory (daemon, ldap module, client).
std::string binPath(const std::string &file);

// The daemon process gets SIGKILL if the thread that started it ends (so a
// crashed test leaves no daemon behind): start daemons from the test's own
// thread, not from a helper thread that finishes first.
class Daemon {
public:
    explicit Daemon(DaemonOptions opts);
    ~Daemon();   // kills (SIGKILL) and reaps whatever it started
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts the daemon and waits (up to timeoutMs) until the socket accepts
    // connections.  False if it exited first or never listened; then
    // exitStatus() and lastError() tell why.  Readiness is probed with one
    // connection that is closed without sending anything (the daemon sees a
    // short opening message).  In detached mode the started process exits 0
    // after writing the pid file; start() then follows the pid it wrote.
    bool start(int timeoutMs = 10000);
    // Starts and waits for the started process to exit (start-up failures):
    // returns its exit status, or -1 on timeout (the process is then killed).
    // Use a configuration with daemon=no: a detaching daemon's parent exits 0.
    int runToExit(int timeoutMs = 10000);

    // SIGTERM to the serving process and wait; returns its exit status (-1 on
    // timeout or signal death).  In detached mode the parent is reaped too.
    int terminate(int timeoutMs = 10000);
    // Waits for exit of the started process; -1 on timeout.
    int waitExit(int timeoutMs);
    // Waits for exit of the serving process (the detached child, or the
    // started process in the foreground); -1 on timeout or signal death.
    int waitServingExit(int timeoutMs);
    // Whether the serving process is alive.
    bool running();
    // Sends sig to the serving process.
    void signal(int sig);
    // SIGKILL to everything started, then reap it (the destructor does this
    // too, and so does the exit of a sandboxed test for daemons still alive).
    void killNow();

    pid_t pid() const { return pid_; }        // the process started (the parent when detaching)
    // The process that serves: the pid written to the pid file when the
    // daemon detached (once known), else pid().
    pid_t servingPid();
    // Signal number that ended the started process, 0 if it exited normally
    // or has not ended.
    int termSignal() const { return termSignal_; }
    // Why start()/runToExit() failed, with the tail of stderr.log; "" if not.
    const std::string &lastError() const { return error_; }
    const std::string &dir() const { return dir_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    // Everything the daemon wrote to stderr so far (sanitizer reports land here).
    std::string stderrText() const;
    int exitStatus() const { return status_; }

private:
    DaemonOptions opts_;
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    int termSignal_ = 0;
    pid_t daemonPid_ = -1;     // detached child, from the pid file
    int daemonStatus_ = -1;
    bool daemonReaped_ = false;
    std::string setupError_;   // the constructor could not prepare dir_
    std::string error_;

    bool spawn();
    void refreshDaemonPid();
    bool startedAlive();
    bool daemonAlive();
    bool daemonCollected();
    void fail(const std::string &why);
    void killAll();
};

// True when `text` contains a sanitizer report.
bool hasSanitizerReport(const std::string &text);

// Waits up to timeoutMs for pred() to become true, polling every 10 ms.
template <class Pred> bool waitFor(Pred pred, int timeoutMs = 5000);

} // namespace kivtest

#include "sandbox_inl.h"
