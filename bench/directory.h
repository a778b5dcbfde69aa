// The benchmark's private directory server: a slapd on a loopback port
// holding the LDAP accounts and two groups that list them all.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "accounts.h"
#include "baselines.h"

namespace kivtest {
class Slapd;
}

namespace kivbench {

// LDAP_IDLE_TIMEOUT of the daemons with kept connections: short, so the
// descriptor counts after their runs show the connections closed again.
inline constexpr int kLdapIdleTimeoutSeconds = 2;

class Directory {
public:
    explicit Directory(const std::vector<Account> &accounts);
    ~Directory();
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;

    // Loads the entries and starts the server (bounded by timeoutMs).
    bool start(int timeoutMs, std::string *error);
    pid_t pid() const;
    // ldaps:// (tls) or ldap://.
    DirectoryLayout layout(bool tls = false) const;
    // The daemon configuration lines of the LDAP method for `flow`, with
    // LDAP_CONNECTION_REUSE when `reuse`, over ldaps:// when `tls`.
    std::string methodConfig(LdapFlow flow, bool reuse = false, bool tls = false) const;

private:
    std::string ldif_;
    std::unique_ptr<kivtest::Slapd> server_;
};

// Whether slapd and slapadd are installed where the fixture expects them.
bool slapdInstalled();

} // namespace kivbench
