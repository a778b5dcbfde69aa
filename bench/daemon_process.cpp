// The benchmark's daemon: the shared runner with its directory, environment
// and readiness check.
#include "daemon_process.h"

#include "kivclient.hpp"

namespace kivbench {

bool socketAccepts() {
    // A full handshake, so the daemon sees an orderly client rather than a
    // broken opening message (which it reports to the system log).
    kiv::Options opts;
    opts.timeoutMs = 2000;
    kiv::Connection c(opts);
    return c.connect() && c.handshake().has_value();
}

DaemonProcess::DaemonProcess(DaemonSetup setup) : setup_(std::move(setup)) {}

DaemonProcess::~DaemonProcess() = default;

pid_t DaemonProcess::pid() const { return live_ ? daemon_->pid() : -1; }

const std::string &DaemonProcess::dir() const {
    static const std::string none;
    return daemon_ ? daemon_->dir() : none;
}

std::string DaemonProcess::stderrText() const { return daemon_ ? daemon_->stderrText() : ""; }

bool DaemonProcess::start(int timeoutMs, std::string *error) {
    if (live_) {
        *error = "already started";
        return false;
    }
    kivtest::DaemonOptions o;
    o.binary = setup_.binDir + "/kiv-services-daemon";
    o.config = setup_.config;
    for (const std::string &m : setup_.modules) o.modules.emplace_back(setup_.binDir + "/" + m, m);
    o.wrapper = setup_.wrapper;
    o.env = {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}};
    o.ready = socketAccepts;
    o.dirPrefix = "kivbench";
    daemon_ = std::make_unique<kivtest::Daemon>(std::move(o));
    live_ = daemon_->start(timeoutMs);
    if (live_) return true;
    *error = daemon_->lastError();
    daemon_->killNow();
    return false;
}

int DaemonProcess::stop(int timeoutMs) {
    if (!live_) return -1;
    live_ = false;
    const int status = daemon_->terminate(timeoutMs);
    if (status == -1) daemon_->killNow();
    return status;
}

} // namespace kivbench
