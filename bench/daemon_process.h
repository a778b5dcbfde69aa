// The real daemon binary, started in a directory of its own with a given
// configuration, in the foreground.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace kivbench {

inline constexpr const char *kSocketPath = "/var/run/kiv-services-daemon_socket";

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

    // Starts it and waits up to timeoutMs until the socket accepts a
    // connection.  False and *error (with the tail of its stderr) otherwise.
    bool start(int timeoutMs, std::string *error);
    // SIGTERM, then waits up to timeoutMs; the exit status, or -1 (killed).
    int stop(int timeoutMs);
    pid_t pid() const { return pid_; }
    const std::string &dir() const { return dir_; }
    std::string stderrText() const;

private:
    void kill9();
    DaemonSetup setup_;
    std::string dir_;
    pid_t pid_ = -1;
};

// Whether something accepts connections on the daemon's socket.
bool socketAccepts();

} // namespace kivbench
