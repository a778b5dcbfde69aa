// Peer daemon: saslauthd, the password daemon of Debian's sasl2-bin, which
// sites run for the same job.  Started inside the benchmark's namespace on
// the same accounts and driven over its own socket by the load engine.
#pragma once
#include <sys/types.h>

#include <string>

#include "baselines.h"

namespace kivbench {

// The saslauthd to run: $KIVBENCH_SASLAUTHD, then the copy bench/run.sh
// unpacks beside the build (<binDir>/../peers/usr/sbin/saslauthd), then
// /usr/sbin/saslauthd.  Empty when there is none.
std::string findSaslauthd(const std::string &binDir);

// One saslauthd with the shadow mechanism and Debian's default number of
// worker processes (5), optionally with its credential cache (-c, as
// Debian's default options have it).  It detaches as it would in service;
// stop() ends it by the pid it records.
class Saslauthd {
public:
    Saslauthd() = default;
    ~Saslauthd() { stop(); }
    Saslauthd(const Saslauthd &) = delete;
    Saslauthd &operator=(const Saslauthd &) = delete;

    bool start(const std::string &program, const std::string &dir, bool cache, std::string *error);
    void stop();
    pid_t pid() const { return pid_; }
    std::string socketPath() const { return dir_ + "/mux"; }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// One saslauthd exchange per request (connect, name, password, service,
// realm, read the verdict, close): "OK" counts as AUTH_OK, "NO" as
// AUTH_NOAUTH.
OperationFactory saslauthdOperation(Accounts accounts, std::string socketPath);

} // namespace kivbench
