// The real daemon binary, started in a directory of its own with a given
// configuration, in the foreground: the shared daemon runner, set up the
// benchmark's way.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <optional>

#include "daemon_runner.h"
#include "loadgen.h"

namespace kivbench {

using kivtest::kSocketPath;
using Daemon = std::unique_ptr<kivtest::Daemon>;   // killed (SIGKILL) and reaped when it goes

// Starts binDir/kiv-services-daemon with `config` ("@DIR@" becomes its
// directory) and the named modules of binDir beside it, under `wrapper` (a
// profiler's argv prefix) when given, and waits up to timeoutMs until the
// socket answers a handshake.  Null and *error (with the tail of its stderr)
// when it does not serve.
Daemon startDaemon(const std::string &binDir, const std::string &config, const std::vector<std::string> &modules,
                   std::string *error, const std::vector<std::string> &wrapper = {}, int timeoutMs = 30000);
// SIGTERM, then waits up to timeoutMs (SIGKILL after that); the exit status,
// or -1 when it had to be killed.
int stopDaemon(kivtest::Daemon &daemon, int timeoutMs);

// Whether something answers a handshake on the daemon's socket.
bool socketAccepts();

// One run of binDir/kiv-loadgen against the daemon (its report and output
// under `work`), bounded by `seconds` plus a minute; each exchange bounded
// by timeoutMs (0: the client's default).  Its result, or nullopt and *error
// with the tail of its output.
std::optional<LoadResult> loadgen(const std::string &binDir, const std::string &work, const std::string &accounts,
                                  int concurrency, double seconds, uint64_t requests, std::string *error,
                                  int timeoutMs = 0);

} // namespace kivbench
