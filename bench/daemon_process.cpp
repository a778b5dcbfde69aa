// The benchmark's daemon: the shared runner with its directory, environment
// and readiness check.
#include "daemon_process.h"

#include <unistd.h>

#include "client_op.h"
#include "files.h"
#include "kivclient.hpp"
#include "process.h"

namespace kivbench {

bool socketAccepts() {
    // A full handshake, so the daemon sees an orderly client rather than a
    // broken opening message (which it reports to the system log).
    kiv::Options opts;
    opts.timeoutMs = 2000;
    kiv::Connection c(opts);
    return c.connect() && c.handshake().has_value();
}

Daemon startDaemon(const std::string &binDir, const std::string &config, const std::vector<std::string> &modules,
                   std::string *error, const std::vector<std::string> &wrapper, int timeoutMs) {
    kivtest::DaemonOptions o;
    o.binary = binDir + "/kiv-services-daemon";
    o.config = config;
    for (const std::string &m : modules) o.modules.emplace_back(binDir + "/" + m, m);
    o.wrapper = wrapper;
    o.env = {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}};
    o.ready = socketAccepts;
    o.dirPrefix = "kivbench";
    auto d = std::make_unique<kivtest::Daemon>(std::move(o));
    if (d->start(timeoutMs)) return d;
    *error = d->lastError();
    d->killNow();
    return nullptr;
}

int stopDaemon(kivtest::Daemon &daemon, int timeoutMs) {
    const int status = daemon.terminate(timeoutMs);
    if (status == -1) daemon.killNow();
    return status;
}

std::optional<LoadResult> loadgen(const std::string &binDir, const std::string &work, const std::string &accounts,
                                  int concurrency, double seconds, uint64_t requests, std::string *error,
                                  int timeoutMs) {
    const std::string json = work + "/loadgen.json", log = work + "/loadgen.log";
    std::vector<std::string> argv = {binDir + "/kiv-loadgen", "--accounts", accounts, "--concurrency",
                                     std::to_string(concurrency), "--seconds", std::to_string(seconds), "--json", json};
    if (requests > 0) argv.insert(argv.end(), {"--requests", std::to_string(requests)});
    if (timeoutMs > 0) argv.insert(argv.end(), {"--timeout-ms", std::to_string(timeoutMs)});
    unlink(log.c_str());
    unlink(json.c_str());
    if (int rc = kivtest::runToEnd(argv, log, static_cast<int>(seconds * 1000) + 60000, error); rc != 0) {
        const std::string out = kivtest::readFile(log);
        *error = "kiv-loadgen status " + std::to_string(rc) + " " + *error + ": " +
                 (out.size() <= 2000 ? out : "..." + out.substr(out.size() - 2000));
        return std::nullopt;
    }
    std::string perr;
    auto j = parseJson(kivtest::readFile(json), &perr);
    LoadResult r;
    if (!j || !fromJson(*j, &r, codeFromName)) {
        *error = "unreadable load report: " + perr;
        return std::nullopt;
    }
    return r;
}

} // namespace kivbench
