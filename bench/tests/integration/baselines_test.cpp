// The baselines must do the work they stand for: a baseline that answered
// "yes" without checking, or looked at the wrong database, would make every
// ratio meaningless.
#include <sys/stat.h>

#include "bench_it.h"
#include "directory.h"
#include "peers.h"

using namespace kivbench;
using namespace benchit;

TEST(CryptBaseline, ChecksEveryPasswordAgainstItsHash) {
    auto accounts = makeSha512Accounts("c", 3, 7000);
    ASSERT_EQ(accounts.size(), 3u);
    LoadResult good = exactly(9, 2, cryptOperation(shared(accounts)));
    EXPECT_EQ(good.codes[AUTH_OK], 9u);
    LoadResult bad = exactly(9, 2, cryptOperation(shared(wrong(accounts))));
    EXPECT_EQ(bad.codes[AUTH_NOAUTH], 9u);
    EXPECT_EQ(bad.codes.count(AUTH_OK), 0u);
}

TEST(LookupBaseline, ReadsTheFixtureDatabases) {
    auto accounts = makeSshaAccounts("l", 4, 7100);
    install(accounts);
    EXPECT_EQ(exactly(8, 2, lookupOperation(shared(accounts))).codes[AUTH_OK], 8u);
    EXPECT_EQ(exactly(8, 2, lookupOperation(shared(wrong(accounts)))).codes[AUTH_NOAUTH], 8u);
    EXPECT_EQ(exactly(8, 2, lookupOperation(shared(unknown(accounts)))).codes[AUTH_UNKNOWN_USER], 8u);
}

TEST(PamPeer, AuthenticatesAgainstTheFixtureShadowOnly) {
    auto accounts = makeSha512Accounts("p", 2, 7200);
    install(accounts);
    const std::string dir = "/run/bench-it-pam";
    mkdir(dir.c_str(), 0755);
    std::string error;
    ASSERT_TRUE(writeFile(dir + "/kivbench-it", pamServiceText(), 0644, &error)) << error;
    LoadResult good = exactly(4, 2, pamOperation(shared(accounts), dir, "kivbench-it"));
    EXPECT_EQ(good.codes[AUTH_OK], 4u) << (good.errorSamples.empty() ? "" : good.errorSamples[0]);
    LoadResult bad = exactly(4, 2, pamOperation(shared(wrong(accounts)), dir, "kivbench-it"));
    EXPECT_EQ(bad.codes.count(AUTH_OK), 0u);
    EXPECT_EQ(bad.codes[AUTH_NOAUTH], 4u);
    LoadResult ghost = exactly(2, 1, pamOperation(shared(unknown(accounts)), dir, "kivbench-it"));
    EXPECT_EQ(ghost.codes.count(AUTH_OK), 0u);
}

TEST(LdapBaseline, BindAndMatchFlowsVerifyThePasswordAtTheDirectory) {
    if (!slapdInstalled()) GTEST_SKIP() << "slapd not installed";
    auto accounts = makeSshaAccounts("d", 3, 7300);
    Directory directory(accounts);
    std::string error;
    ASSERT_TRUE(directory.start(30000, &error)) << error;
    for (LdapFlow flow : {LdapFlow::Bind, LdapFlow::Match}) {
        SCOPED_TRACE(flow == LdapFlow::Bind ? "BIND" : "MATCH");
        LoadResult good = exactly(6, 3, ldapOperation(flow, directory.layout(), shared(accounts)));
        EXPECT_EQ(good.codes[AUTH_OK], 6u) << (good.errorSamples.empty() ? "" : good.errorSamples[0]);
        LoadResult bad = exactly(6, 3, ldapOperation(flow, directory.layout(), shared(wrong(accounts))));
        EXPECT_EQ(bad.codes[AUTH_NOAUTH], 6u) << (bad.errorSamples.empty() ? "" : bad.errorSamples[0]);
        LoadResult ghost = exactly(3, 1, ldapOperation(flow, directory.layout(), shared(unknown(accounts))));
        EXPECT_EQ(ghost.codes.count(AUTH_OK), 0u);
    }
    // One kept connection per worker, over ldaps://: a wrong password after a
    // right one on the same connection is still refused.
    LoadResult kept = exactly(6, 2, ldapOperation(LdapFlow::Bind, directory.layout(true), shared(accounts), true));
    EXPECT_EQ(kept.codes[AUTH_OK], 6u) << (kept.errorSamples.empty() ? "" : kept.errorSamples[0]);
    LoadResult keptBad =
        exactly(6, 2, ldapOperation(LdapFlow::Bind, directory.layout(true), shared(wrong(accounts)), true));
    EXPECT_EQ(keptBad.codes[AUTH_NOAUTH], 6u) << (keptBad.errorSamples.empty() ? "" : keptBad.errorSamples[0]);
    // The daemon's settings name the same server and flow.
    EXPECT_NE(directory.methodConfig(LdapFlow::Bind, true, true).find("LDAP_BIND_SECURITY=SSL"), std::string::npos);
    EXPECT_NE(directory.methodConfig(LdapFlow::Bind).find("LDAP_AUTH_METHOD=BIND"), std::string::npos);
    EXPECT_NE(directory.methodConfig(LdapFlow::Match).find(directory.layout().uri.substr(7)), std::string::npos);
}

// The peer daemons must refuse a wrong password and accept the right one,
// each mechanism on the accounts the benchmark gives it; a peer answering
// "OK" to anything would flatter every ratio against it.
TEST(PeerDaemons, EveryMechanismChecksThePassword) {
    const std::string saslauthd = findPeer(kBin, "usr/sbin/saslauthd");
    if (saslauthd.empty()) GTEST_SKIP() << "saslauthd not unpacked (bench/run.sh does it)";
    auto local = makeSha512Accounts("s", 2, 7400);
    install(local);
    auto check = [](const std::string &what, const OperationFactory &good, const OperationFactory &bad) {
        SCOPED_TRACE(what);
        LoadResult ok = exactly(4, 2, good);
        EXPECT_EQ(ok.codes[AUTH_OK], 4u) << (ok.errorSamples.empty() ? "" : ok.errorSamples[0]);
        LoadResult no = exactly(4, 2, bad);
        EXPECT_EQ(no.codes.count(AUTH_OK), 0u);
        EXPECT_EQ(no.transportErrors, 0u) << (no.errorSamples.empty() ? "" : no.errorSamples[0]);
    };
    std::string error;
    for (const char *mech : {"shadow", "pam"}) {
        PeerDaemon peer;
        ASSERT_TRUE(peer.startSaslauthd({saslauthd, std::string("/run/bench-it-sasl-") + mech, mech, true, ""}, &error))
            << error;
        // With its cache on, a wrong password after a right one is refused.
        check(std::string("saslauthd ") + mech, saslauthdOperation(shared(local), peer.socketPath(), "kivbench"),
              saslauthdOperation(shared(wrong(local)), peer.socketPath(), "kivbench"));
    }
    if (!slapdInstalled()) GTEST_SKIP() << "slapd not installed";
    auto remote = makeSshaAccounts("n", 2, 7500);
    Directory directory(remote);
    ASSERT_TRUE(directory.start(30000, &error)) << error;
    for (bool tls : {false, true}) {
        PeerDaemon peer;
        const DirectoryLayout d = directory.layout(tls);
        ASSERT_TRUE(peer.startSaslauthd({saslauthd, "/run/bench-it-sasl-ldap", "ldap", false, saslauthdLdapConf(d)},
                                        &error))
            << error;
        check(d.uri, saslauthdOperation(shared(remote), peer.socketPath(), "kivbench"),
              saslauthdOperation(shared(wrong(remote)), peer.socketPath(), "kivbench"));
    }
    const std::string nslcd = findPeer(kBin, "usr/sbin/nslcd");
    const std::string module = findPeer(kBin, "lib/x86_64-linux-gnu/security/pam_ldap.so");
    if (nslcd.empty() || module.empty()) GTEST_SKIP() << "nslcd or pam_ldap not unpacked";
    PeerDaemon peer;
    ASSERT_TRUE(peer.startNslcd(nslcd, "/run/bench-it-nslcd", nslcdConf(directory.layout()), &error)) << error;
    const std::string dir = "/run/bench-it-pam-ldap";
    mkdir(dir.c_str(), 0755);
    ASSERT_TRUE(writeFile(dir + "/ldap", pamLdapServiceText(module), 0644, &error)) << error;
    check("nslcd + pam_ldap", pamOperation(shared(remote), dir, "ldap", module),
          pamOperation(shared(wrong(remote)), dir, "ldap", module));
}
