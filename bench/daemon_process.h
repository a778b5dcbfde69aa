// The real daemon binary, started in a directory of its own with a given
// configuration, in the foreground (the shared daemon runner, set up the
// benchmark's way).
#pragma once
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon_runner.h"

namespace kivbench {

using kivtest::kSocketPath;

struct DaemonSetup {
    std::string binDir;                    // where the built daemon and modules are
    std::string config;                    // "@DIR@" becomes the daemon's directory
    std::vector<std::string> modules;      // file names in binDir placed beside it
    std::vector<std::string> wrapper;      // argv prefix, e.g. a profiler; empty = none
};

class DaemonProcess {
public:
    explicit DaemonProcess(DaemonSetup setup);
    ~DaemonProcess();   // kills (SIGKILL) and reaps whatever is still running
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    // Starts it and waits up to timeoutMs until the socket answers a
    // handshake.  False and *error (with the tail of its stderr) otherwise.
    bool start(int timeoutMs, std::string *error);
    // SIGTERM, then waits up to timeoutMs; the exit status, or -1 (killed).
    int stop(int timeoutMs);
    pid_t pid() const;
    const std::string &dir() const;
    std::string stderrText() const;

private:
    DaemonSetup setup_;
    std::unique_ptr<kivtest::Daemon> daemon_;
    bool live_ = false;   // started and not yet stopped
};

// Whether something answers a handshake on the daemon's socket.
bool socketAccepts();

} // namespace kivbench
