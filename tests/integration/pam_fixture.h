// A private /etc/pam.d for the PAM method tests: a directory on the sandbox's
// tmpfs, bind-mounted over /etc/pam.d of the test's own mount namespace.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "sandbox.h"

namespace pamtest {

inline constexpr const char *kPamDir = "/run/kivtest-pam.d";

// Services the tests use.  "common-auth"/"common-account" are Debian's
// defaults, so the shipped service file runs as it would on a host.
inline void writePamServices() {
    kivtest::writeFile(std::string(kPamDir) + "/common-auth",
                       "auth [success=1 default=ignore] pam_unix.so nullok\n"
                       "auth requisite pam_deny.so\n"
                       "auth required pam_permit.so\n");
    kivtest::writeFile(std::string(kPamDir) + "/common-account",
                       "account [success=1 new_authtok_reqd=done default=ignore] pam_unix.so\n"
                       "account requisite pam_deny.so\n"
                       "account required pam_permit.so\n");
    kivtest::writeFile(std::string(kPamDir) + "/kiv-services-daemon",
                       kivtest::readFile(std::string(KIV_SOURCE_DIR) + "/config/pam.d/kiv-services-daemon"));
    // pam_unix alone: an unknown user stays "unknown", and it asks for its
    // usual delay after a failure.
    kivtest::writeFile(std::string(kPamDir) + "/kiv-unix",
                       "auth required pam_unix.so\naccount required pam_unix.so\n");
    kivtest::writeFile(std::string(kPamDir) + "/kiv-deny", "auth required pam_deny.so\naccount required pam_deny.so\n");
    kivtest::writeFile(std::string(kPamDir) + "/kiv-permit",
                       "auth required pam_permit.so\naccount required pam_permit.so\n");
    kivtest::writeFile(std::string(kPamDir) + "/kiv-broken",
                       "auth required pam_kivtest_no_such_module.so\naccount required pam_permit.so\n");
    kivtest::writeFile(std::string(kPamDir) + "/other", "auth required pam_deny.so\naccount required pam_deny.so\n");
}

// Mounts the private directory once per test executable; false (and *error)
// when that fails.
inline bool mountPrivatePamDir(std::string *error) {
    static std::string result = [] {
        if (mkdir(kPamDir, 0755) != 0 && errno != EEXIST) return std::string("mkdir: ") + std::strerror(errno);
        writePamServices();
        if (mount(kPamDir, "/etc/pam.d", nullptr, MS_BIND, nullptr) != 0)
            return std::string("bind mount on /etc/pam.d: ") + std::strerror(errno);
        return std::string();
    }();
    *error = result;
    return result.empty();
}

} // namespace pamtest
