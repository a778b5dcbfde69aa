// In-process baselines: the same work as a daemon scenario without the
// daemon, run through the same load engine.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "accounts.h"
#include "loadgen.h"

namespace kivbench {

using Accounts = std::shared_ptr<const std::vector<Account>>;

// crypt_r of each account's password against its stored hash: the physical
// limit of the SHA-512 scenario.
OperationFactory cryptOperation(Accounts accounts);

// What the pw method does per request, in process: passwd and shadow lookups,
// the stored-value check and the group list.  The floor of the {SSHA}
// scenario, whose cost is the daemon's own.
OperationFactory lookupOperation(Accounts accounts);

// pam_start / pam_authenticate / pam_end through the service file `service`
// in `confDir`: pam_unix (pamServiceText() is what that file holds) is the
// peer a user would pick for local accounts; pam_ldap (by its path) talks to
// nslcd.  `module` is kept loaded across transactions.
std::string pamServiceText();
OperationFactory pamOperation(Accounts accounts, std::string confDir, std::string service,
                              std::string module = "pam_unix.so");

// The directory operations of one LDAP authentication plus its group lookup,
// each on a connection of its own, exactly as the LDAP method performs them.
struct DirectoryLayout {
    std::string uri;            // ldap://127.0.0.1:<port> or ldaps://
    std::string caFile;         // CA of the server certificate (ldaps://)
    std::string peopleBase;     // entry base of the users
    std::string groupBase;      // base of the group search
    std::string readerDN, readerPassword;   // service account (MATCH)
};
enum class LdapFlow { Bind, Match };
// With `keep` (BIND only), each load worker keeps one connection: the user
// bind, the entry search and the group search all run on it, as the method
// does with LDAP_CONNECTION_REUSE.
OperationFactory ldapOperation(LdapFlow flow, DirectoryLayout layout, Accounts accounts, bool keep = false);

} // namespace kivbench
