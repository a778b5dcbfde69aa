// Shared by the PAM and password-file module tests: a private /etc/pam.d (a
// directory on the sandbox's tmpfs bind-mounted over /etc/pam.d of the test's
// own mount namespace) and small request helpers.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kivclient.hpp"
#include "sandbox.h"

namespace modtest {

// "common-auth"/"common-account" are Debian's defaults, so the shipped
// service runs as on a host.  "kiv-unix" is pam_unix alone: an unknown user
// stays unknown, and it asks for its usual delay after a failure.
inline bool mountPrivatePamDir(std::string *error) {
    static const std::string result = [] {
        std::string dir, error;
        if (!kivtest::privatePamDir(&dir, &error)) return error;
        const std::pair<const char *, std::string> files[] = {
            {"common-auth", "auth [success=1 default=ignore] pam_unix.so nullok\nauth requisite pam_deny.so\n"
                            "auth required pam_permit.so\n"},
            {"common-account", "account [success=1 new_authtok_reqd=done default=ignore] pam_unix.so\n"
                               "account requisite pam_deny.so\naccount required pam_permit.so\n"},
            {"kiv-services-daemon", kivtest::readFile(std::string(KIV_SOURCE_DIR) + "/config/pam.d/kiv-services-daemon")},
            {"kiv-unix", "auth required pam_unix.so\naccount required pam_unix.so\n"},
            {"kiv-deny", "auth required pam_deny.so\naccount required pam_deny.so\n"},
            {"kiv-permit", "auth required pam_permit.so\naccount required pam_permit.so\n"},
            {"kiv-broken", "auth required pam_kivtest_no_such_module.so\naccount required pam_permit.so\n"},
            {"other", "auth required pam_deny.so\naccount required pam_deny.so\n"}};
        for (const auto &[name, text] : files) kivtest::writeFile(dir + "/" + name, text);
        return std::string();
    }();
    *error = result;
    return result.empty();
}

// A foreground daemon with logs in its directory, `module` (a file of the
// bin directory) beside it, and the given methods and extra keys.
inline kivtest::DaemonOptions options(const std::string &module, const std::string &methods,
                                      const std::string &extra) {
    kivtest::DaemonOptions opts;
    opts.modules = {{kivtest::binPath(module), module}};
    opts.config = "daemon=no\ndebugLog=@DIR@/debug.log\naccessLog=@DIR@/access.log\nerrorLog=@DIR@/error.log\n"
                  "methods=" + methods + "\n" + extra;
    return opts;
}

inline kiv::Reply ask(const std::string &user, const std::string &password) {
    kiv::Result r = kiv::authenticatePassword(user, password);
    EXPECT_TRUE(r.reply.has_value()) << r.error;
    return r.reply.value_or(kiv::Reply{});
}

inline bool has(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

inline std::string allLogs(const kivtest::Daemon &d) {
    return kivtest::readFile(d.path("debug.log")) + kivtest::readFile(d.path("access.log")) +
           kivtest::readFile(d.path("error.log")) + d.stderrText();
}

} // namespace modtest
