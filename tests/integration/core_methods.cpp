// The method framework through the real daemon: order, fall-through,
// ContinueOnNoAuth, result codes, name mapping, GSS, module variants.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core_common.h"

using namespace coretest;

namespace {

kiv::Reply ask(const std::string &user, const std::string &password = "pw") {
    kiv::Result r = kiv::authenticatePassword(user, password);
    EXPECT_TRUE(r.reply.has_value()) << r.error;
    return r.reply.value_or(kiv::Reply{});
}

std::vector<int> sorted(std::vector<int> v) {
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST(Methods, OrderFallThroughAndCodes) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam_continue", "kivmodpam.so"), module("custom", "kivmodlib.so")};
    opts.config = baseConfig(
        // pam knows some users; custom others; ContinueOnNoAuth says go on.
        "methods=pam custom\n"
        "pam_continue=1\n"
        "pam_users=first:ok:11:1001;wrongpw:noauth;both:noauth;odd:0x1234;err:error;old:expired;"
        "msgold:expired;msgno:noauth\n"
        "custom_users=second:ok:22:1002;both:unknown;wrongpw:ok:33:1001\n"
        "custom_groups=second:7,8;wrongpw:9\n");
    Daemon d(opts);
    START_DAEMON(d);

    kiv::Reply r = ask("first");
    EXPECT_EQ(r.code, AUTH_OK);
    EXPECT_EQ(r.uid, 11);
    r = ask("second");  // unknown to pam, known to custom
    EXPECT_EQ(r.code, AUTH_OK);
    EXPECT_EQ(r.uid, 22);
    EXPECT_EQ(r.groups, (std::vector<int>{1002, 7, 8})) << "custom's own GetGroups";
    r = ask("wrongpw");  // NOAUTH from pam, continue, custom says ok
    EXPECT_EQ(r.code, AUTH_OK);
    EXPECT_EQ(r.uid, 33);
    EXPECT_EQ(ask("both").code, AUTH_UNKNOWN_USER) << "NOAUTH then UNKNOWN ends as unknown";
    EXPECT_EQ(ask("odd").code, 0x1234) << "an arbitrary code reaches the client";
    EXPECT_EQ(ask("err").code, AUTH_ERROR);
    EXPECT_EQ(ask("old").code, AUTH_EXPIRED);
    EXPECT_EQ(ask("msgold").code, AUTH_EXPIRED);
    EXPECT_EQ(ask("nobody").code, AUTH_UNKNOWN_USER);
    EXPECT_EQ(d.terminate(), 0);

    std::string access = dumpFile(d, "access.log");
    EXPECT_NE(access.find("Authenticated user first (pam)."), std::string::npos);
    EXPECT_NE(access.find("Authenticated user second (custom)."), std::string::npos);
    EXPECT_NE(access.find("Authenticated user wrongpw (custom)."), std::string::npos);
    EXPECT_NE(access.find("User old password or account expired. '' (pam)"), std::string::npos) << access;
    EXPECT_NE(access.find("User msgold password or account expired. 'scripted expired' (pam)"), std::string::npos);
    EXPECT_NE(access.find("Unknown user nobody."), std::string::npos);
    EXPECT_EQ(access.find("User err"), std::string::npos) << "no access line for other codes";
    std::string debug = dumpFile(d, "debug.log");
    EXPECT_NE(debug.find("Method pam returned NOAUTH, but specified continueOnNoAuth. Continuing to next "
                         "authentication method."),
              std::string::npos);
    EXPECT_NE(debug.find("Request failed: 'User account or password expired.'"), std::string::npos);
    EXPECT_NE(debug.find("Auth method pam has noAuthContinue routine."), std::string::npos);
    // Terminated in order, each once.
    EXPECT_LT(debug.find("testmod pam Terminate"), debug.find("testmod custom Terminate"));
    EXPECT_CLEAN(d);
}

TEST(Methods, NoAuthWithoutContinueEndsTheSearch) {
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so"), module("custom", "kivmodlib.so")};
    opts.config = baseConfig("methods=pam custom\npam_users=carol:noauth;msgdave:noauth\n"
                             "custom_users=carol:ok:5:5;msgdave:ok:5:5\ncustom_groups=carol:1\n");
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_EQ(ask("carol").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("msgdave").code, AUTH_NOAUTH);
    EXPECT_EQ(d.terminate(), 0);
    std::string access = dumpFile(d, "access.log");
    EXPECT_NE(access.find("User carol did not authenticate. Reason: 'Unspecified reason.' (pam)"),
              std::string::npos);
    EXPECT_NE(access.find("User msgdave did not authenticate. Reason: 'scripted noauth' (pam)"),
              std::string::npos);
    EXPECT_NE(dumpFile(d, "debug.log").find("Request failed: 'User did not authenticate.'"), std::string::npos);
}

TEST(Methods, MappedUnixNameForGroupsButRequestNameInReply) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.config = baseConfig("methods=pam\npam_users=alias:ok:1003:1003:realuser\n");
    Daemon d(opts);
    START_DAEMON(d);
    kiv::Reply r = ask("alias");
    EXPECT_EQ(r.code, AUTH_OK);
    EXPECT_EQ(r.name, "alias");
    EXPECT_EQ(sorted(r.groups), (std::vector<int>{10, 1003})) << "realuser's groups, from /etc/group";
    EXPECT_EQ(r.groups.front(), 1003);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_NE(dumpFile(d, "debug.log").find("Getting user's group memberships using UNIX username 'realuser'"),
              std::string::npos);
    EXPECT_NE(dumpFile(d, "access.log").find("Authenticated user alias (pam)."), std::string::npos);
}

TEST(Methods, GroupLookupFailureIsAnError) {
    DaemonOptions opts;
    opts.modules = {module("custom", "kivmodlib.so")};
    opts.config = baseConfig("methods=custom\ncustom_users=nogroups:ok:5:5\n");
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_EQ(ask("nogroups").code, AUTH_ERROR);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_NE(dumpFile(d, "error.log").find("Could not get groups for user 'nogroups'."), std::string::npos);
}

TEST(Methods, CaseInsensitiveGroupScan) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    // "Alice" is listed as "alice" in staff and as "ALICE" in Mixed.
    opts.config = baseConfig("methods=pam\ngroup_nocase=yes\npam_users=Alice:ok:1001:1001\n");
    Daemon d(opts);
    START_DAEMON(d);
    kiv::Reply r = ask("Alice");
    EXPECT_EQ(r.code, AUTH_OK);
    EXPECT_EQ(sorted(r.groups), (std::vector<int>{50, 60, 1001}));
    EXPECT_EQ(r.groups.front(), 1001);
    EXPECT_EQ(d.terminate(), 0);

    // Without the switch the database's own (case-sensitive) match decides.
    opts.config = baseConfig("methods=pam\npam_users=Alice:ok:1001:1001\n");
    Daemon plain(opts);
    START_DAEMON(plain);
    EXPECT_EQ(ask("Alice").groups, (std::vector<int>{1001}));
    EXPECT_EQ(plain.terminate(), 0);
}

TEST(Methods, RepeatedUnknownAndUppercaseNames) {
    DaemonOptions opts;
    opts.modules = {module("pam_upper", "kivmodPAM.so")};
    opts.config = baseConfig("methods=PAM PAM bogus gss\nPAM_users=eve:ok:9:9\n");
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_EQ(ask("eve").code, AUTH_OK);
    EXPECT_EQ(d.terminate(), 0);
    std::string errors = dumpFile(d, "error.log");
    EXPECT_EQ(countOf(errors, "Authentication method PAM is repeated. Only initial specification will be used."), 1);
    EXPECT_NE(errors.find("Unknown authentication method bogus. Ignored."), std::string::npos);
    EXPECT_NE(errors.find("Unknown authentication method gss. Ignored."), std::string::npos);
    EXPECT_NE(dumpFile(d, "access.log").find("Authenticated user eve (PAM)."), std::string::npos);
}

TEST(Methods, LdapFallsBackToOpenSslModuleAndGetsPasswordInGroupLookup) {
    DaemonOptions opts;
    opts.modules = {module("ldap_openssl", "kivmodldap.so")};
    opts.config = baseConfig("methods=ldap\nenableldap=TRUE\nldap_users=lu:ok:40:40\nldap_groups=lu:41\n");
    Daemon d(opts);
    START_DAEMON(d);
    kiv::Reply r = ask("lu", "secret7");
    EXPECT_EQ(r.code, AUTH_OK);
    EXPECT_EQ(r.groups, (std::vector<int>{40, 41}));
    EXPECT_EQ(d.terminate(), 0);
    std::string debug = dumpFile(d, "debug.log");
    EXPECT_NE(debug.find("Could not load kivmodldap for Mozilla NSS. Retry with OpenSSL."), std::string::npos);
    EXPECT_NE(debug.find("Using OpenSSL for SSL."), std::string::npos);
    EXPECT_NE(debug.find("GetGroups(ldap form) lu passwordLength=7"), std::string::npos) << debug;
    std::string errors = dumpFile(d, "error.log");
    EXPECT_NE(errors.find("Authentication method ldap is enabled, but currently not supported."), std::string::npos);
    EXPECT_NE(errors.find("kivmodldapnss.so"), std::string::npos) << "the failed NSS load is an error";
}

TEST(Methods, LdapWithoutEnableIsSkipped) {
    DaemonOptions opts;
    opts.modules = {module("ldap_openssl", "kivmodldap.so")};
    opts.config = baseConfig("methods=ldap ldap\nenableldap=yes\n");
    Daemon d(opts);
    EXPECT_EQ(d.runToExit(), 18);
    std::string errors = dumpFile(d, "error.log");
    EXPECT_EQ(countOf(errors, "Authentication method ldap is currently not supported."), 2);
    EXPECT_NE(errors.find("No authentication methods could be initialized."), std::string::npos);
}

TEST(Methods, GssEnabledDisabledAndForced) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so"), module("gss", "kivmodgss.so"),
                    module("custom", "kivmodlib.so")};
    const std::string users = "pam_users=alice:ok:1001:1001\ngss_users=alice:ok:1001:1001::tok\n";

    // "true" is not one of the words that disable GSS.
    opts.config = baseConfig("methods=pam\ndisableGSS=true\n" + users);
    {
        Daemon d(opts);
        START_DAEMON(d);
        auto r = kiv::authenticateToken("alice", "tok");
        ASSERT_TRUE(r.reply) << r.error;
        EXPECT_EQ(r.reply->code, AUTH_OK);
        EXPECT_EQ(d.terminate(), 0);
        EXPECT_NE(dumpFile(d, "debug.log").find("Method gss termination complete."), std::string::npos);
    }
    opts.config = baseConfig("methods=pam\ndisableGSS=Y\n" + users);
    {
        Daemon d(opts);
        START_DAEMON(d);
        auto r = kiv::authenticateToken("alice", "tok");
        ASSERT_TRUE(r.reply) << r.error;
        EXPECT_EQ(r.reply->code, AUTH_ERROR);
        EXPECT_EQ(d.terminate(), 0);
        EXPECT_NE(dumpFile(d, "debug.log").find("GSSAPI disabled in kiv-services-daemon per user configuration."),
                  std::string::npos);
        EXPECT_NE(dumpFile(d, "error.log").find("GSS is not available to process authenticate request."),
                  std::string::npos);
    }
    // KIVSD_USE_GSS forces "pam pw": the custom module is never loaded.
    opts.config = baseConfig("methods=custom\n" + users);
    opts.env["KIVSD_USE_GSS"] = "";
    {
        Daemon d(opts);
        START_DAEMON(d);
        EXPECT_EQ(ask("alice").code, AUTH_OK);
        EXPECT_EQ(d.terminate(), 0);
        std::string debug = dumpFile(d, "debug.log");
        EXPECT_NE(debug.find("KIVSD_USE_GSS: Overriding methods and forcing PAM."), std::string::npos);
        EXPECT_EQ(debug.find("testmod custom Init"), std::string::npos);
        EXPECT_NE(debug.find("Adding auth method pw"), std::string::npos);
    }
    opts.config = baseConfig(users);
    {
        Daemon d(opts);
        EXPECT_EQ(d.runToExit(), 18);
        EXPECT_NE(dumpFile(d, "error.log").find("No 'methods' configuration parameter specified."),
                  std::string::npos);
    }
}

TEST(Methods, ModulesFromUntrustedPlacesAreRefused) {
    struct Case {
        const char *what;
        void (*spoil)(const Daemon &);
        const char *reason;
    } cases[] = {
        {"module writable by its group", [](const Daemon &d) { chmod(d.path("kivmodpam.so").c_str(), 0775); },
         "kivmodpam.so: it is writable by group or others."},
        {"module of another owner",
         [](const Daemon &d) { EXPECT_EQ(chown(d.path("kivmodpam.so").c_str(), 65534, 65534), 0); },
         "kivmodpam.so: it is not owned by root."},
        {"directory writable by others", [](const Daemon &d) { chmod(d.dir().c_str(), 0777); },
         "kivmodpam.so: directory "},
    };
    for (const Case &c : cases) {
        DaemonOptions opts;
        opts.modules = {module("pam", "kivmodpam.so")};
        opts.config = baseConfig("methods=pam\npam_users=alice:ok:1001:1001\n");
        Daemon d(opts);
        c.spoil(d);
        EXPECT_EQ(d.runToExit(5000), 18) << c.what;
        const std::string errors = dumpFile(d, "error.log");
        EXPECT_NE(errors.find("Refusing to load authentication method " + d.path(c.reason)), std::string::npos)
            << c.what << "\n" << errors;
    }

    // A GSS module planted by someone else: no GSS, as if it were missing.
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so"), module("gss", "kivmodgss.so")};
    opts.config = baseConfig("methods=pam\npam_users=alice:ok:1001:1001\ngss_users=alice:ok:1001:1001::tok\n");
    Daemon d(opts);
    ASSERT_EQ(chown(d.path("kivmodgss.so").c_str(), 65534, 65534), 0);
    START_DAEMON(d);
    auto r = kiv::authenticateToken("alice", "tok");
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_EQ(r.reply->code, AUTH_ERROR);
    EXPECT_EQ(ask("alice").code, AUTH_OK);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_NE(dumpFile(d, "error.log").find("kivmodgss.so: it is not owned by root."), std::string::npos);
    EXPECT_CLEAN(d);
}

TEST(Methods, FailuresOfAMethodAreNotWrongGuesses) {
    // A local user behind a directory that is down: its answers (7, then 2)
    // are no guesses, so once it is back the right password works.  Wrong
    // passwords still count.
    kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\nalice:x:1001:1001::/home/alice:/bin/sh\n",
                               "root:*:19000:0:99999:7:::\nalice:" + kivtest::cryptHash("local-pw") +
                                   ":19000:0:99999:7:::\n",
                               "root:x:0:\nalice:x:1001:\n");
    DaemonOptions opts;
    opts.modules = {module("ldap_openssl", "kivmodldap.so")};
    opts.config = baseConfig("methods=ldap pw\nenableldap=true\nmaxtries=2\nmaxtriesPeriod=60\nmaxtriesWait=300\n"
                             "ldap_users=alice:@@DIR@/ldap-state\n");
    Daemon d(opts);
    kivtest::writeFile(d.path("ldap-state"), "7");
    START_DAEMON(d);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ask("alice", "local-pw").code, AUTH_REQUEST_FAILED) << i;
    kivtest::writeFile(d.path("ldap-state"), "error");
    EXPECT_EQ(ask("alice", "local-pw").code, AUTH_ERROR);
    kivtest::writeFile(d.path("ldap-state"), "unknown");
    EXPECT_EQ(ask("alice", "local-pw").code, AUTH_OK);
    EXPECT_EQ(ask("alice", "wrong").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "wrong").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "local-pw").code, AUTH_NOAUTH) << "two wrong guesses lock the name";
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_NE(dumpFile(d, "access.log").find("User alice exceeded maxtries (#/max):3/2"), std::string::npos);
    EXPECT_CLEAN(d);
}
