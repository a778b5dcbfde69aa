// Which keytab the acceptor reads, and whether only root controls it.  Anyone
// who can read the service key can forge tickets for every principal, and
// anyone who can write the file can plant such a key, so both would let a
// stranger obtain a "yes" for any user.
#include <krb5/krb5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "gssmod.h"

namespace {

bool ownedByUs(const struct stat &st) { return st.st_uid == 0 || st.st_uid == geteuid(); }

std::string defaultKeytabName() {
    krb5_context ctx = nullptr;
    if (krb5_init_context(&ctx) != 0) return {};
    char name[PATH_MAX + 16] = {};
    krb5_error_code rc = krb5_kt_default_name(ctx, name, sizeof name);
    krb5_free_context(ctx);
    return rc == 0 ? std::string(name) : std::string();
}

} // namespace

bool resolveKeytab(const std::string &configured, std::string *resolved, std::string *why) {
    std::string name = configured.empty() ? defaultKeytabName() : configured;
    if (name.empty()) {
        *why = "The Kerberos library names no default keytab.";
        return false;
    }
    // Only file keytabs can be checked; other types are refused.
    std::string path = name;
    for (const char *prefix : {"FILE:", "WRFILE:"}) {
        if (path.rfind(prefix, 0) == 0) {
            path = path.substr(std::char_traits<char>::length(prefix));
            break;
        }
    }
    if (path.empty() || path[0] != '/') {
        *why = "Keytab '" + name + "' is not an absolute file path.";
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        *why = "Keytab " + path + " cannot be read.";
        return false;
    }
    if (S_ISLNK(st.st_mode) && !ownedByUs(st)) {
        *why = "Keytab " + path + " is a link that root does not own.";
        return false;
    }
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (!real || stat(real.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "Keytab " + path + " is not a readable regular file.";
        return false;
    }
    if (!ownedByUs(st) || (st.st_mode & (S_IWGRP | S_IWOTH | S_IROTH)) != 0) {
        *why = "Keytab " + path + " must be owned by root and neither writable by others nor readable by everyone.";
        return false;
    }
    std::string dir(real.get());
    dir = dir.substr(0, dir.rfind('/'));
    if (dir.empty()) dir = "/";
    struct stat dst {};
    if (stat(dir.c_str(), &dst) != 0 || !ownedByUs(dst) ||
        ((dst.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (dst.st_mode & S_ISVTX) == 0)) {
        *why = "Keytab directory " + dir + " may be changed by others.";
        return false;
    }
    *resolved = "FILE:" + std::string(real.get());
    return true;
}
