// The Kerberos realm of the GSS method's integration tests: one private KDC
// per test executable, a service keytab for the daemon, users with
// credential caches, and tokens made by kivtest-gss-token.
#pragma once
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kdc.h"
#include "slapd.h"
#include "sandbox.h"

namespace gsstest {

inline constexpr const char *kService = "host@server.kivtest.local";
inline constexpr const char *kRealm = "KIVTEST.LOCAL";

// The one realm of the executable; set up by RealmEnvironment.
struct Realm {
    std::unique_ptr<kivtest::Kdc> kdc;
    std::string serviceKeytab;   // host/server.kivtest.local
    std::string otherKeytab;     // HTTP/server.kivtest.local only
    std::string rcacheDir;       // the daemon's replay cache
    std::string ccache(const std::string &user) const { return kdc->dir() + "/cc." + user; }
};

inline Realm &realm() {
    static Realm r;
    return r;
}

// Starts the KDC, makes principals, keytabs and caches, and covers
// /etc/krb5.conf with the realm's configuration (the daemon reads it there).
class RealmEnvironment : public ::testing::Environment {
public:
    explicit RealmEnvironment(int clockSkewSeconds) : skew_(clockSkewSeconds) {}
    void SetUp() override {
        Realm &r = realm();
        kivtest::KdcOptions opts;
        opts.realm = kRealm;
        opts.clockSkewSeconds = skew_;
        r.kdc = std::make_unique<kivtest::Kdc>(opts);
        ASSERT_TRUE(r.kdc->start()) << r.kdc->error();
        ASSERT_TRUE(r.kdc->installSystemConfig()) << r.kdc->error();
        r.serviceKeytab = r.kdc->dir() + "/service.keytab";
        r.otherKeytab = r.kdc->dir() + "/other.keytab";
        r.rcacheDir = r.kdc->dir() + "/rcache";
        ASSERT_EQ(mkdir(r.rcacheDir.c_str(), 0700), 0);
        ASSERT_TRUE(r.kdc->addService("host/server.kivtest.local", r.serviceKeytab)) << r.kdc->error();
        ASSERT_TRUE(r.kdc->addService("HTTP/server.kivtest.local", r.otherKeytab)) << r.kdc->error();
        for (const char *user : {"alice", "bob", "carol"}) {
            ASSERT_TRUE(r.kdc->addUser(user)) << r.kdc->error();
            ASSERT_TRUE(r.kdc->kinit(user, r.ccache(user))) << r.kdc->error();
        }
    }
    void TearDown() override { realm().kdc.reset(); }

private:
    int skew_;
};

// alice and bob have local accounts; carol has a principal only.
inline void accounts(const std::string &aliceHome = "/nonexistent") {
    kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\n"
                               "alice:x:1001:1001::" + aliceHome + ":/bin/sh\n"
                               "bob:x:1002:1002::/nonexistent:/bin/sh\n",
                               "root:*:19000:0:99999:7:::\n",
                               "root:x:0:\nalice:x:1001:\nbob:x:1002:\n"
                               "staff:x:50:alice,bob\ndevs:x:60:alice\n");
}

// The tokens kivtest-gss-token makes from `user`'s cache (count > 1: that
// many distinct tokens).  Empty strings when it failed.
inline std::vector<std::string> tokens(const std::string &user, int count = 1,
                                       const std::vector<std::string> &extra = {},
                                       const std::string &target = kService) {
    const Realm &r = realm();
    std::string out = kivtest::makeTempDir("gss-token") + "/token";
    std::vector<std::string> argv{kivtest::binPath("kivtest-gss-token"), "--ccache", r.ccache(user),
                                  "--target", target, "--out", out};
    if (count > 1) argv.insert(argv.end(), {"--count", std::to_string(count)});
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string output;
    const int rc = kivtest::runProgramEnv(argv, r.kdc->environment(), 60000, &output);
    EXPECT_EQ(rc, 0) << output;
    std::vector<std::string> made;
    for (int k = 0; k < count; ++k) made.push_back(kivtest::readFile(count > 1 ? out + "." + std::to_string(k) : out));
    return made;
}

inline std::string token(const std::string &user, const std::vector<std::string> &extra = {},
                         const std::string &target = kService) {
    return tokens(user, 1, extra, target).front();
}

// A foreground daemon with the real GSS module and the pw method.
inline kivtest::DaemonOptions daemonOptions(const std::string &gssKeys) {
    kivtest::DaemonOptions opts;
    opts.modules = {{kivtest::binPath("kivmodgss.so"), "kivmodgss.so"}};
    opts.env["KRB5RCACHEDIR"] = realm().rcacheDir;
    opts.config = "daemon=no\n"
                  "methods=pw\n"
                  "debugLog=@DIR@/debug.log\n"
                  "accessLog=@DIR@/access.log\n"
                  "errorLog=@DIR@/error.log\n" +
                  gssKeys;
    return opts;
}

inline std::string serviceKeys() {
    return "GSS_KEYTAB=" + realm().serviceKeytab + "\nGSS_ACCEPTOR=" + std::string(kService) + "\n";
}

} // namespace gsstest
