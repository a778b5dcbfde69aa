// Benchmark accounts and fixture account files.
#include "accounts.h"

#include <ctime>
#include <random>

#include "files.h"
#include "verify.h"

namespace kivbench {

namespace {

std::string randomText(std::mt19937_64 &rng, size_t n) {
    static const char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
    std::string s;
    for (size_t i = 0; i < n; ++i) s += alphabet[pick(rng)];
    return s;
}

std::mt19937_64 seededRng() {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
}

std::string base64(const unsigned char *data, size_t n) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        unsigned v = static_cast<unsigned>(data[i]) << 16;
        if (i + 1 < n) v |= static_cast<unsigned>(data[i + 1]) << 8;
        if (i + 2 < n) v |= data[i + 2];
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < n ? table[(v >> 6) & 63] : '=';
        out += i + 2 < n ? table[v & 63] : '=';
    }
    return out;
}

std::vector<Account> baseAccounts(const std::string &prefix, int count, int firstUid, std::mt19937_64 &rng) {
    std::vector<Account> out;
    for (int i = 0; i < count; ++i) {
        Account a;
        a.name = prefix + std::to_string(i);
        a.password = randomText(rng, 12);
        a.uid = firstUid + i;
        a.gid = firstUid + i;
        out.push_back(std::move(a));
    }
    return out;
}

} // namespace

std::vector<Account> makeSha512Accounts(const std::string &prefix, int count, int firstUid) {
    auto rng = seededRng();
    std::vector<Account> out = baseAccounts(prefix, count, firstUid, rng);
    std::string error;
    for (Account &a : out)
        if ((a.stored = kivtest::cryptHash(a.password, "$6$", &error)).empty()) return {};
    return out;
}

std::string sshaValue(const std::string &password, const std::string &salt) {
    std::string message = password + salt;
    unsigned char digest[21];
    if (!sha1Crypt(reinterpret_cast<const unsigned char *>(message.data()), static_cast<int>(message.size()),
                   digest))
        return "";
    std::string raw(reinterpret_cast<const char *>(digest), 20);
    raw += salt;
    return "{SSHA}" + base64(reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
}

std::vector<Account> makeSshaAccounts(const std::string &prefix, int count, int firstUid) {
    auto rng = seededRng();
    std::vector<Account> out = baseAccounts(prefix, count, firstUid, rng);
    for (Account &a : out) {
        a.stored = sshaValue(a.password, randomText(rng, 8));
        if (a.stored.empty()) return {};
    }
    return out;
}

AccountFiles accountFiles(const std::vector<Account> &accounts) {
    AccountFiles f;
    const std::string today = std::to_string(std::time(nullptr) / 86400);
    f.passwd = "root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n";
    f.shadow = "root:*:" + today + ":0:99999:7:::\nnobody:*:" + today + ":0:99999:7:::\n";
    f.group = "root:x:0:\nnogroup:x:65534:\n";
    std::string members;
    for (const Account &a : accounts) {
        const std::string uid = std::to_string(a.uid), gid = std::to_string(a.gid);
        f.passwd += a.name + ":x:" + uid + ":" + gid + "::/nonexistent:/usr/sbin/nologin\n";
        f.shadow += a.name + ":" + a.stored + ":" + today + ":0:99999:7:::\n";
        f.group += a.name + ":x:" + gid + ":\n";
        members += (members.empty() ? "" : ",") + a.name;
    }
    f.group += "benchstaff:x:5000:" + members + "\nbenchdev:x:5001:" + members + "\n";
    return f;
}

std::string accountList(const std::vector<Account> &accounts, bool wrongPasswords) {
    std::string out;
    for (const Account &a : accounts) out += a.name + ":" + (wrongPasswords ? "not-" + a.password : a.password) + "\n";
    return out;
}

bool parseAccountList(const std::string &text, std::vector<Account> *out, std::string *error) {
    out->clear();
    size_t start = 0;
    int line = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string l = text.substr(start, end - start);
        start = end + 1;
        ++line;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (l.empty()) continue;
        size_t colon = l.find(':');
        if (colon == std::string::npos || colon == 0) {
            *error = "line " + std::to_string(line) + ": expected name:password";
            return false;
        }
        Account a;
        a.name = l.substr(0, colon);
        a.password = l.substr(colon + 1);
        out->push_back(std::move(a));
    }
    if (out->empty()) {
        *error = "no accounts";
        return false;
    }
    return true;
}

} // namespace kivbench
