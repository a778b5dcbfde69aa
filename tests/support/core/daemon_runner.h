// The real daemon binary, run in a directory of its own with a given
// configuration, and the paths of what the build made.
#pragma once
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "private_namespace.h"

namespace kivtest {

// Path of a test module variant built by tests/modules: KIV_TESTMOD_DIR/<variant>/<file>.
std::string testModule(const std::string &variant, const std::string &file);
// Path of a built artefact in the bin directory (daemon, ldap module, client).
std::string binPath(const std::string &file);

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
    // The daemon binary; empty = binPath("kiv-services-daemon").
    std::string binary{};
    // Run the daemon under this program (a profiler, say): argv prefix.
    std::vector<std::string> wrapper{};
    // How start() knows the daemon serves; null = a connect() to the socket
    // succeeds.  It is also asked before starting, to refuse a second daemon.
    std::function<bool()> ready{};
    // The daemon's directory is /tmp/<dirPrefix>-daemon-XXXXXX.
    std::string dirPrefix = "kivtest";
};

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
    bool serving() const;
};

// True when `text` contains a sanitizer report.
bool hasSanitizerReport(const std::string &text);

} // namespace kivtest
