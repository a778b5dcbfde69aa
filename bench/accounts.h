// Benchmark accounts: user names with their clear passwords, the stored
// values that go with them, and the fixture account files built from them.
#pragma once
#include <string>
#include <vector>

namespace kivbench {

struct Account {
    std::string name;
    std::string password;   // what the client sends
    std::string stored;     // what the account database holds
    int uid = 0;
    int gid = 0;
};

// `count` accounts named <prefix>0, <prefix>1, ... with uids from firstUid,
// random passwords and SHA-512 crypt() hashes (default cost).  Empty on a
// libcrypt failure.
std::vector<Account> makeSha512Accounts(const std::string &prefix, int count, int firstUid);
// The same with salted SHA-1 directory values ("{SSHA}" + base64 of digest
// and an 8-byte salt).
std::vector<Account> makeSshaAccounts(const std::string &prefix, int count, int firstUid);

// The salted SHA-1 directory value of `password` with the given salt.
std::string sshaValue(const std::string &password, const std::string &salt);

// passwd, shadow and group text holding root, nobody and the accounts; the
// group file gives every account its own group plus membership of two shared
// groups, so group lookups return real lists.
struct AccountFiles {
    std::string passwd, shadow, group;
};
AccountFiles accountFiles(const std::vector<Account> &accounts);

// The load generator's account list: "name:password" per line.
std::string accountList(const std::vector<Account> &accounts, bool wrongPasswords = false);
// Parses that format; false and *error on a malformed line.
bool parseAccountList(const std::string &text, std::vector<Account> *out, std::string *error);

} // namespace kivbench
