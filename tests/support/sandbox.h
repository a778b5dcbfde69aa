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

// Replaces the contents of the fixture files bind-mounted over /etc/passwd,
// /etc/shadow and /etc/group (written in place, so the mounts stay valid).
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
    std::string config;
    // Modules to place beside the daemon: {source .so path, file name there}.
    std::vector<std::pair<std::string, std::string>> modules;
    // Extra environment for the daemon (the daemon otherwise gets a minimal one).
    std::map<std::string, std::string> env;
    // argv[0] to use; empty = "<dir>/kiv-services-daemon".
    std::string argv0;
    // Run with this effective uid (real uid stays 0); -1 = stay root.
    int euid = -1;
    // Copy the binary (true) or symlink it (false).
    bool copyBinary = false;
};

// Path of a test module variant built by tests/modules: KIV_TESTMOD_DIR/<variant>/<file>.
std::string testModule(const std::string &variant, const std::string &file);
// Path of a built artefact in the bin directory (daemon, ldap module, client).
std::string binPath(const std::string &file);

class Daemon {
public:
    explicit Daemon(DaemonOptions opts);
    ~Daemon();   // kills (SIGKILL) and reaps whatever it started
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts the daemon and waits (up to timeoutMs) until the socket accepts
    // connections.  False if it exited first or never listened; then
    // exitStatus() tells why.
    bool start(int timeoutMs = 10000);
    // Starts and waits for it to exit (start-up failures): returns the exit
    // status, or -1 on timeout (the process is then killed).
    int runToExit(int timeoutMs = 10000);

    // SIGTERM and wait; returns the exit status (-1 on timeout or signal death).
    int terminate(int timeoutMs = 10000);
    // Waits for exit of the started process; -1 on timeout.
    int waitExit(int timeoutMs);
    bool running();
    void signal(int sig);

    pid_t pid() const { return pid_; }        // the process started (the parent when detaching)
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
};

// True when `text` contains a sanitizer report.
bool hasSanitizerReport(const std::string &text);

// Waits up to timeoutMs for pred() to become true, polling every 10 ms.
template <class Pred> bool waitFor(Pred pred, int timeoutMs = 5000);

} // namespace kivtest

#include "sandbox_inl.h"
