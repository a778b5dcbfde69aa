// A private MIT Kerberos KDC for tests: a generated realm (database, stash,
// keytabs, credential caches) in a temporary directory, krb5kdc on a free
// loopback port.  The Kerberos tools it runs get the generated configuration
// through KRB5_CONFIG and KRB5_KDC_PROFILE; nothing of the host's is read or
// changed.  Usable without GoogleTest.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "process.h"

namespace kivtest {

struct KdcOptions {
    std::string realm = "KIVTEST.LOCAL";
    // Allowed clock difference (libdefaults clockskew), seconds.  Tests of
    // expired tickets want it short.
    int clockSkewSeconds = 300;
};

class Kdc {
public:
    explicit Kdc(KdcOptions opts = {});
    ~Kdc();   // stops the KDC and removes its directory
    Kdc(const Kdc &) = delete;
    Kdc &operator=(const Kdc &) = delete;

    // Creates the realm and starts krb5kdc; waits up to timeoutMs until it
    // accepts connections.  False (and error()) on failure.
    bool start(int timeoutMs = 20000);
    void stop(int timeoutMs = 5000);

    // Runs one kadmin.local query; its output in *output.
    bool kadmin(const std::string &query, std::string *output = nullptr);
    // A user principal with a random key, kept in the realm's user keytab so
    // kinit() can get tickets for it.
    bool addUser(const std::string &principal);
    // A service principal with a random key, written to `keytab` (mode 0600).
    bool addService(const std::string &principal, const std::string &keytab);
    // kinit for a user added with addUser into the file credential cache
    // `ccache`; `lifetime` as kinit -l takes it ("" = the realm's default).
    bool kinit(const std::string &principal, const std::string &ccache, const std::string &lifetime = "");

    // Bind-mounts the generated krb5.conf over /etc/krb5.conf, so programs
    // started without KRB5_CONFIG (the daemon) use this realm.  Refuses
    // unless the process has a mount namespace of its own.
    bool installSystemConfig();

    const std::string &realm() const { return opts_.realm; }
    const std::string &dir() const { return dir_; }
    std::string krb5Conf() const { return dir_ + "/krb5.conf"; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &error() const { return error_; }
    // KRB5_CONFIG and KRB5_KDC_PROFILE for Kerberos programs run by a test.
    std::vector<std::string> environment() const;
    std::string logText() const;

private:
    bool createRealm();
    bool launch(int timeoutMs);
    bool run(const std::vector<std::string> &argv, std::string *output);

    KdcOptions opts_;
    std::string dir_;
    std::string error_;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace kivtest
