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

class Directory {
public:
    explicit Directory(const std::vector<Account> &accounts);
    ~Directory();
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;

    // Loads the entries and starts the server (bounded by timeoutMs).
    bool start(int timeoutMs, std::string *error);
    pid_t pid() const;
    DirectoryLayout layout() const;
    // The daemon configuration lines of the LDAP method for `flow`.
    std::string methodConfig(LdapFlow flow) const;

private:
    std::string ldif_;
    std::unique_ptr<kivtest::Slapd> server_;
};

// Whether slapd and slapadd are installed where the fixture expects them.
bool slapdInstalled();

} // namespace kivbench
