// Peer daemons that sites run for the same job, started inside the
// benchmark's namespace on the same accounts: saslauthd (Debian's sasl2-bin;
// shadow, pam and ldap mechanisms, with or without its cache) and nslcd with
// pam_ldap (nslcd, libpam-ldapd).  bench/run.sh unpacks them beside the build
// rather than installing them: their packages would change the host's
// services, PAM and name-service configuration.
#pragma once
#include <sys/types.h>

#include <string>

#include "baselines.h"

namespace kivbench {

// A peer program: $KIVBENCH_PEERS/<rel>, then <binDir>/../peers/<rel>, then
// /<rel> (e.g. rel "usr/sbin/saslauthd").  Empty when there is none.
std::string findPeer(const std::string &binDir, const std::string &rel);

// How to start one saslauthd: its mechanism ("shadow", "pam", "ldap"),
// Debian's default of 5 worker processes, its credential cache (-c) when
// asked, and for ldap the text of its saslauthd.conf.
struct SaslauthdSetup {
    std::string program, dir, mechanism;
    bool cache = false;
    std::string conf;
};

// saslauthd.conf for the ldap mechanism with fastbind: the user's DN is made
// from the name and bound directly, with no search first, as the LDAP
// method's BIND flow does.
std::string saslauthdLdapConf(const DirectoryLayout &d);

// nslcd.conf for a private directory; nslcd serves pam_ldap on
// /run/nslcd/socket (under the namespace's private /run).
std::string nslcdConf(const DirectoryLayout &d);
// The PAM service text that sends authentication to pam_ldap at `module`.
std::string pamLdapServiceText(const std::string &module);

// A detached peer daemon: started from its own directory, stopped by the
// pid it records, never by name.
class PeerDaemon {
public:
    PeerDaemon() = default;
    ~PeerDaemon() { stop(); }
    PeerDaemon(const PeerDaemon &) = delete;
    PeerDaemon &operator=(const PeerDaemon &) = delete;

    bool startSaslauthd(const SaslauthdSetup &s, std::string *error);
    // nslcd sees `conf` as /etc/nslcd.conf through an overlay of /etc in a
    // mount namespace of its own (the host has no such file to bind over).
    bool startNslcd(const std::string &program, const std::string &dir, const std::string &conf, std::string *error);
    void stop();
    pid_t pid() const { return pid_; }
    const std::string &socketPath() const { return socket_; }

private:
    bool awaitSocket(const std::string &pidFile, const std::string &log, std::string *error);
    std::string socket_;
    pid_t pid_ = -1;
};

// One saslauthd exchange per request (connect, name, password, service,
// realm, read the verdict, close): "OK" counts as AUTH_OK, "NO" as
// AUTH_NOAUTH.  `service` is the PAM service for the pam mechanism.
OperationFactory saslauthdOperation(Accounts accounts, std::string socketPath, std::string service);

} // namespace kivbench
