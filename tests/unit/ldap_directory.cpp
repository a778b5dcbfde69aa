// The LDAP module against a private slapd: the three strategies, domains,
// ageing, groups, LDAPS, injection attempts, empty passwords, secrets in the
// logs and time limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "ldap_common.h"

using namespace ldaptest;

namespace {

std::string server() { return directory()->hostPort(); }

// A second server whose search base cannot be seen: searches there end with
// "no such object", and its service account is the same as the main one's.
kivtest::Slapd *hiddenBaseServer()
{
    static std::unique_ptr<kivtest::Slapd> s;
    if (!s) {
        kivtest::SlapdOptions opts;
        opts.tls = false;
        opts.ldif = "dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\no: Hidden\n"
                    "dc: example\n\n"
                    "dn: cn=reader,dc=example,dc=com\nobjectClass: person\ncn: reader\nsn: reader\n"
                    "userPassword: " + kivtest::slappasswdHash("{SSHA}", kReaderPassword) + "\n\n";
        opts.access = "access to attrs=userPassword by anonymous auth by * none\n"
                      "access to dn.subtree=\"dc=example,dc=com\" by * none\n";
        s = std::make_unique<kivtest::Slapd>(opts);
        if (!s->start()) ADD_FAILURE() << s->error();
    }
    return s.get();
}

std::string closedPort() { return "127.0.0.1:" + std::to_string(kivtest::freeLoopbackPort()); }

std::set<int> asSet(const std::vector<int> &v) { return {v.begin(), v.end()}; }

long long elapsedMs(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

TEST(LdapStrategies, EachAuthenticatesAndReadsTheEntry)
{
    ASSERT_DIRECTORY();
    for (const char *method : {"BIND", "QUERY", "MATCH"}) {
        Instance inst(rfc2307(server(), method));
        ASSERT_EQ(inst.status, 0) << logText();
        clearLog();
        const auto r = inst.authenticate("alice", "alice-pw");
        EXPECT_EQ(r.rc, AUTH_OK) << method << "\n" << logText();
        EXPECT_EQ(r.uid, 2001) << method;
        EXPECT_EQ(r.gid, 3001) << method;
        const auto g = inst.groups("alice", "alice-pw", r.gid);
        EXPECT_EQ(g.rc, 0) << method << "\n" << logText();
        ASSERT_FALSE(g.gids.empty());
        EXPECT_EQ(g.gids.front(), 3001);
        EXPECT_EQ(g.gids.size(), 2u) << method;
        EXPECT_EQ(asSet(g.gids), (std::set<int>{3001, 4001})) << method;
    }
}

TEST(LdapStrategies, WrongPasswordIsNoAuth)
{
    ASSERT_DIRECTORY();
    for (const auto &[method, goOn] : {std::pair{"BIND", 1}, {"QUERY", 1}, {"MATCH", 0}}) {
        Instance inst(rfc2307(server(), method));
        const auto r = inst.authenticate("alice", "not-alice-pw");
        EXPECT_EQ(r.rc, AUTH_NOAUTH) << method << "\n" << logText();
        EXPECT_EQ(module().continueOnNoAuth(inst.context, &inst.log), goOn) << method;
        if (std::string(method) != "MATCH") {
            EXPECT_EQ(r.message, "Could not bind as user.") << method;
        }
    }
}

TEST(LdapStrategies, UnknownUsers)
{
    ASSERT_DIRECTORY();
    Instance bind(rfc2307(server(), "BIND"));
    EXPECT_EQ(bind.authenticate("nosuch", "pw").rc, AUTH_NOAUTH);   // the bind itself fails
    Instance match(rfc2307(server(), "MATCH"));
    const auto m = match.authenticate("nosuch", "pw");
    EXPECT_EQ(m.rc, AUTH_UNKNOWN_USER);
    EXPECT_EQ(m.message, "Did not get user information from the LDAP server.");
    Instance query(rfc2307(server(), "QUERY"));
    const auto q = query.authenticate("nosuch", "pw");
    EXPECT_EQ(q.rc, AUTH_UNKNOWN_USER);
    EXPECT_EQ(q.message, "Did not get user DN from the LDAP server. (ldap_first_entry)");
}

TEST(LdapMatch, SaltedAndUnsaltedStoredValues)
{
    ASSERT_DIRECTORY();
    Instance inst(rfc2307(server(), "MATCH"));
    EXPECT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK);   // {SSHA}
    const auto bob = inst.authenticate("bob", "bob-pw");              // {SHA}
    EXPECT_EQ(bob.rc, AUTH_OK) << logText();
    EXPECT_EQ(bob.uid, 2002);
    EXPECT_EQ(inst.authenticate("bob", "bob-pw ").rc, AUTH_NOAUTH);
    EXPECT_EQ(inst.authenticate("bob", "").rc, AUTH_NOAUTH);
}

TEST(LdapMatch, AgeingRules)
{
    ASSERT_DIRECTORY();
    Instance inst(rfc2307(server(), "MATCH"));
    const auto carol = inst.authenticate("carol", "carol-pw");
    EXPECT_EQ(carol.rc, AUTH_EXPIRED);
    EXPECT_EQ(carol.message, "Password change required.");
    const auto dan = inst.authenticate("dan", "dan-pw");
    EXPECT_EQ(dan.rc, AUTH_EXPIRED);
    EXPECT_EQ(dan.message, "The user's password has expired");
    const auto erin = inst.authenticate("erin", "erin-pw");
    EXPECT_EQ(erin.rc, AUTH_EXPIRED);
    EXPECT_EQ(erin.message, "The user's password has expired");
    clearLog();
    EXPECT_EQ(inst.authenticate("fred", "fred-pw").rc, AUTH_OK);
    EXPECT_TRUE(logged("LDAP: user has lastChange setting."));
    EXPECT_TRUE(logged("LDAP: user has maxage setting."));
    EXPECT_TRUE(logged("LDAP: user has account expiration setting."));
    // A wrong password is refused before any ageing rule.
    EXPECT_EQ(inst.authenticate("carol", "wrong").rc, AUTH_NOAUTH);

    Instance skipChange(rfc2307(server(), "MATCH").add("SKIP_CHANGE_CHECK", "yes"));
    EXPECT_EQ(skipChange.authenticate("carol", "carol-pw").rc, AUTH_OK);
    EXPECT_EQ(skipChange.authenticate("dan", "dan-pw").rc, AUTH_EXPIRED);
    Instance skipAge(rfc2307(server(), "MATCH").add("SKIP_PW_EXP_CHECK", "true"));
    EXPECT_EQ(skipAge.authenticate("dan", "dan-pw").rc, AUTH_OK);
    EXPECT_EQ(skipAge.authenticate("erin", "erin-pw").rc, AUTH_EXPIRED);
    Instance skipAccount(rfc2307(server(), "MATCH").add("SKIP_ACC_EXP_CHECK", "true"));
    EXPECT_EQ(skipAccount.authenticate("erin", "erin-pw").rc, AUTH_OK);

    Instance skipAll(rfc2307(server(), "MATCH")
                         .add("SKIP_CHANGE_CHECK", "yes")
                         .add("SKIP_PW_EXP_CHECK", "yes")
                         .add("SKIP_ACC_EXP_CHECK", "yes"));
    clearLog();
    for (const char *u : {"carol", "dan", "erin"})
        EXPECT_EQ(skipAll.authenticate(u, std::string(u) + "-pw").rc, AUTH_OK) << u;
    EXPECT_EQ(logText().find("user has"), std::string::npos);
}

TEST(LdapMatch, UidMustBeANumberThatFits)
{
    ASSERT_DIRECTORY();
    Instance wrongSchema(rfc2307(server(), "MATCH").add("LDAP_RFC2307_UID", "cn"));
    const auto r = wrongSchema.authenticate("alice", "alice-pw");
    EXPECT_EQ(r.rc, AUTH_ERROR);
    EXPECT_EQ(r.message,
              "UID is not numeric (attribute cn). Check your schema configuration in kiv-services-daemon,.conf.");
    // 2^32 would wrap round to uid 0.
    Instance inst(rfc2307(server(), "MATCH"));
    const auto huge = inst.authenticate("huge", "huge-pw");
    EXPECT_EQ(huge.rc, AUTH_ERROR);
    EXPECT_EQ(huge.message,
              "UID is not numeric (attribute uidNumber). Check your schema configuration in kiv-services-daemon,.conf.");
}

TEST(LdapMatch, IdsAreWholeNumbersOrTheEntryIsBroken)
{
    ASSERT_DIRECTORY();
    struct Case {
        const char *key, *attr, *what;
    } cases[] = {
        {"LDAP_RFC2307_UID", "employeeNumber", "UID"},   // 12abc, once read as 12
        {"LDAP_RFC2307_GID", "departmentNumber", "GID"}, // 3301x
        {"LDAP_RFC2307_GID", "employeeType", "GID"},     // abc, once gid 0: the root group
    };
    for (const Case &c : cases) {
        Instance inst(rfc2307(server(), "MATCH").remove(c.key).add(c.key, c.attr));
        clearLog();
        const auto r = inst.authenticate("mallory", "mallory-pw");
        EXPECT_EQ(r.rc, AUTH_ERROR) << c.attr;
        EXPECT_EQ(r.message, std::string(c.what) + " is not numeric (attribute " + c.attr +
                                 "). Check your schema configuration in kiv-services-daemon,.conf.");
    }
    Instance plain(rfc2307(server(), "MATCH"));
    const auto r = plain.authenticate("mallory", "mallory-pw");
    EXPECT_EQ(r.rc, AUTH_OK);
    EXPECT_EQ(r.uid, 2301);
    EXPECT_EQ(r.gid, 3301);

    // A group whose gid is not a number is left out, not read as 43.
    Instance groups(rfc2307(server(), "BIND").remove("LDAP_RFC2307_GROUP_GID").add("LDAP_RFC2307_GROUP_GID",
                                                                                   "description"));
    ASSERT_EQ(groups.authenticate("mallory", "mallory-pw").rc, AUTH_OK);
    clearLog();
    const auto g = groups.groups("mallory", "mallory-pw", 3301);
    EXPECT_EQ(g.rc, 0) << logText();
    EXPECT_EQ(g.gids, (std::vector<int>{3301, 4301}));
    EXPECT_TRUE(logged("LDAP: Group gid '43x' is not a number. Group skipped.")) << logText();
}

TEST(LdapDomains, UserAtDomainUnderEachFormat)
{
    ASSERT_DIRECTORY();
    const std::vector<std::pair<std::string, int>> formats = {
        {"DOMAIN_WITH_SEARCHBASE", 2101}, {"DOMAIN_AFTER_USERBASE", 2102}, {"DOMAIN_BEFORE_USERBASE", 2103}};
    for (const auto &[format, uid] : formats) {
        Instance inst(rfc2307(server(), "BIND").add("LDAP_DOMAIN_FORMAT", format));
        const auto r = inst.authenticate("dave@eng", "dave-pw");
        EXPECT_EQ(r.rc, AUTH_OK) << format << "\n" << logText();
        EXPECT_EQ(r.uid, uid) << format;
    }
    Instance match(rfc2307(server(), "MATCH"));
    const auto sam = match.authenticate("sam@sales", "sam-pw");
    EXPECT_EQ(sam.rc, AUTH_OK);
    EXPECT_EQ(sam.uid, 2201);
    // Without the domain sam is not under ou=people.
    EXPECT_EQ(match.authenticate("sam", "sam-pw").rc, AUTH_UNKNOWN_USER);

    Instance byDefault(rfc2307(server(), "BIND").add("LDAP_DEFAULT_DOMAIN", "sales"));
    EXPECT_EQ(byDefault.authenticate("sam", "sam-pw").uid, 2201);
    Instance ignoring(rfc2307(server(), "BIND").add("LDAP_DEFAULT_DOMAIN", "sales").add("LDAP_IGNORE_USERDOMAIN", "1"));
    const auto ann = ignoring.authenticate("ann@corp", "ann-pw");
    EXPECT_EQ(ann.rc, AUTH_OK) << logText();
    EXPECT_EQ(ann.uid, 2202);
}

TEST(LdapQuery, SkipsUnreachableAndHiddenDomains)
{
    ASSERT_DIRECTORY();
    ASSERT_TRUE(hiddenBaseServer() && hiddenBaseServer()->running());
    const std::string closed = closedPort();
    const std::string hidden = hiddenBaseServer()->hostPort();
    Instance inst(rfc2307(server(), "QUERY")
                      .add("LDAP_DOMAIN", closed)
                      .add("LDAP_DOMAIN", hidden)
                      .add("LDAP_DOMAIN", server()));
    clearLog();
    const auto r = inst.authenticate("alice", "alice-pw");
    EXPECT_EQ(r.rc, AUTH_OK) << logText();
    EXPECT_EQ(r.uid, 2001);
    EXPECT_TRUE(logged("LDAP: Search for user in domain " + closed));
    EXPECT_TRUE(logged("LDAP: Can't bind to domain " + closed));
    EXPECT_TRUE(logged("LDAP: Search for user in domain " + hidden));
    EXPECT_TRUE(logged("LDAP: Search for user in domain " + server()));
    EXPECT_TRUE(logged("LDAP: Got user dn 'uid=alice,ou=people,dc=example,dc=com'"));
    EXPECT_EQ(r.message, "");

    int index = -1;
    char *msg = nullptr;
    EXPECT_EQ(module().queryEntryDN(inst.context, "alice", &index, &inst.log, &msg), AUTH_OK);
    EXPECT_EQ(index, 2);

    // Group lookup of the same request uses the DN found.
    const auto g = inst.groups("alice", "alice-pw", r.gid);
    EXPECT_EQ(asSet(g.gids), (std::set<int>{3001, 4001}));
}

TEST(LdapQuery, NoDomainAnswersAndEmptySearchesEndTheLoop)
{
    ASSERT_DIRECTORY();
    const std::string closed = closedPort();
    Instance none(rfc2307(server(), "QUERY").add("LDAP_DOMAIN", closed).add("LDAP_DOMAIN", hiddenBaseServer()->hostPort()));
    clearLog();
    const auto r = none.authenticate("alice", "alice-pw");
    EXPECT_EQ(r.rc, AUTH_UNKNOWN_USER);
    EXPECT_EQ(r.message, "");
    EXPECT_TRUE(logged("User not found in any domain."));

    // A domain whose search succeeds without an entry ends the search.
    Instance first(rfc2307(server(), "QUERY").add("LDAP_DOMAIN", server()).add("LDAP_DOMAIN", closed));
    clearLog();
    const auto n = first.authenticate("nosuch", "pw");
    EXPECT_EQ(n.rc, AUTH_UNKNOWN_USER);
    EXPECT_EQ(n.message, "Did not get user DN from the LDAP server. (ldap_first_entry)");
    EXPECT_FALSE(logged("LDAP: Search for user in domain " + closed));
}

TEST(LdapQuery, NonUniqueNameIsAnError)
{
    ASSERT_DIRECTORY();
    Instance inst(rfc2307(server(), "QUERY"));
    clearLog();
    const auto r = inst.authenticate("dup", "dup-pw");
    EXPECT_EQ(r.rc, AUTH_ERROR);
    EXPECT_NE(logText().find("E DN search for user 'dup' returned more than one entry. Username is not unique."),
              std::string::npos);
    // No DN is left behind for a group lookup.
    const auto g = inst.groups("dup", "dup-pw", 3008);
    EXPECT_NE(g.rc, 0);
}

TEST(LdapGroups, EveryBindIdentityAndMemberForm)
{
    ASSERT_DIRECTORY();
    struct Row {
        const char *groupMethod;
        const char *useDN;
        const char *member;
    };
    const Row rows[] = {{"USER", "true", "member"},
                        {"USER", "false", "memberUid"},
                        {"HOST", "true", "member"},
                        {"HOST", "false", "memberUid"}};
    for (const Row &row : rows) {
        Instance inst(rfc2307(server(), "BIND")
                          .add("LDAP_GROUP_METHOD", row.groupMethod)
                          .add("LDAP_GROUP_USE_DN", row.useDN)
                          .add("LDAP_RFC2307_GROUP_MEMBER", row.member));
        ASSERT_EQ(inst.status, 0) << logText();
        const std::string what = std::string(row.groupMethod) + "/" + row.useDN;
        // alice: the duplicate 4001, the group of her primary gid and the group
        // without a gid all collapse.
        ASSERT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK) << what;
        clearLog();
        const auto g = inst.groups("alice", "alice-pw", 3001);
        EXPECT_EQ(g.rc, 0) << what << "\n" << logText();
        EXPECT_EQ(g.gids, (std::vector<int>{3001, 4001})) << what;
        EXPECT_TRUE(logged("LDAP: Did not get groupid for a group entry.")) << what;
        if (std::string(row.useDN) == "true") {
            EXPECT_TRUE(logged("LDAP: Group filter: (member=uid=alice,ou=people,dc=example,dc=com)")) << what;
        } else {
            EXPECT_TRUE(logged("LDAP: Group filter: (memberUid=alice)")) << what;
        }
        if (std::string(row.groupMethod) == "HOST") {
            EXPECT_TRUE(logged(std::string("LDAP: binding to '") + kReaderDN + "','XXXX'")) << what;
        }

        // bob is in one group; the HOST identity does not need his password.
        ASSERT_EQ(inst.authenticate("bob", "bob-pw").rc, AUTH_OK);
        const auto b = inst.groups("bob", std::string(row.groupMethod) == "HOST" ? "wrong" : "bob-pw", 3002);
        EXPECT_EQ(b.gids, (std::vector<int>{3002, 4003})) << what;
    }
}

TEST(LdapGroups, DNWithAnEscapedComma)
{
    ASSERT_DIRECTORY();
    for (const char *method : {"MATCH", "QUERY"}) {
        Instance inst(rfc2307(server(), method).add("LDAP_RFC2307_USERNAME", "uid"));
        const auto r = inst.authenticate("jsmith", "jsmith-pw");
        ASSERT_EQ(r.rc, AUTH_OK) << method << "\n" << logText();
        EXPECT_EQ(r.uid, 2007);
        clearLog();
        const auto g = inst.groups("jsmith", "jsmith-pw", r.gid);
        EXPECT_EQ(g.rc, 0) << logText();
        ASSERT_FALSE(g.gids.empty());
        EXPECT_EQ(g.gids.front(), 3007);
        EXPECT_EQ(asSet(g.gids), (std::set<int>{3007, 4001, 4002})) << method << "\n" << logText();
        // The server hands the DN out as cn=Smith\2C John,...; in the filter its
        // backslash is itself escaped.
        EXPECT_NE(logText().find("LDAP: Group filter: (member=cn=Smith\\5c"), std::string::npos) << logText();
    }
}

TEST(LdapGroups, EmptyResultBaseAndFailures)
{
    ASSERT_DIRECTORY();
    Instance inst(rfc2307(server(), "BIND"));
    ASSERT_EQ(inst.authenticate("sam@sales", "sam-pw").rc, AUTH_OK);
    clearLog();
    const auto sam = inst.groups("sam@sales", "sam-pw", 3201);
    EXPECT_EQ(sam.rc, 0);
    EXPECT_EQ(sam.gids, (std::vector<int>{3201}));
    EXPECT_TRUE(logged("LDAP: Using groups attribute 'groups'"));
    EXPECT_TRUE(logged("LDAP: Group entryDn: OU=groups,dc=example,dc=com"));
    EXPECT_TRUE(logged("LDAP: Server returned 0 group records."));

    Instance based(rfc2307(server(), "BIND").add("LDAP_GROUPBASE", "ou=groups,dc=example,dc=com"));
    ASSERT_EQ(based.authenticate("alice", "alice-pw").rc, AUTH_OK);
    clearLog();
    EXPECT_EQ(based.groups("alice", "alice-pw", 3001).gids, (std::vector<int>{3001, 4001}));
    EXPECT_TRUE(logged("LDAP: Using group base 'ou=groups,dc=example,dc=com'"));

    // USER identity with a wrong password: the bind fails, nothing is returned.
    clearLog();
    const auto bad = based.groups("alice", "wrong", 3001);
    EXPECT_EQ(bad.rc, -1);
    EXPECT_EQ(bad.message, "Could not bind as user.");
    EXPECT_TRUE(logged("LDAP: bind failed."));
    // A search base that does not exist.
    Instance missing(rfc2307(server(), "BIND").add("LDAP_GROUPBASE", "ou=nowhere,dc=example,dc=com"));
    ASSERT_EQ(missing.authenticate("alice", "alice-pw").rc, AUTH_OK);
    clearLog();
    EXPECT_EQ(missing.groups("alice", "alice-pw", 3001).rc, -1);
    EXPECT_TRUE(logged("LDAP: Groups query failed."));
}

TEST(LdapGroups, TheDNServesOnlyTheUserItWasFoundFor)
{
    ASSERT_DIRECTORY();
    Instance inst(rfc2307(server(), "MATCH").add("LDAP_GROUP_METHOD", "HOST"));
    ASSERT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK);
    clearLog();
    const auto other = inst.groups("bob", "bob-pw", 3002);
    EXPECT_EQ(other.gids, (std::vector<int>{3002}));
    EXPECT_TRUE(logged("LDAP: Group filter: (member=)"));
    // A later failed authentication of this thread drops the DN too.
    EXPECT_EQ(inst.authenticate("alice", "wrong").rc, AUTH_NOAUTH);
    EXPECT_EQ(inst.authenticate("nosuch", "x").rc, AUTH_UNKNOWN_USER);
    clearLog();
    EXPECT_EQ(inst.groups("alice", "alice-pw", 3001).gids, (std::vector<int>{3001}));
}

TEST(LdapTls, LdapsWithTheGeneratedCa)
{
    ASSERT_DIRECTORY();
    auto tls = [](const std::string &method, const std::string &ca) {
        return rfc2307(directory()->sslHostPort(), method)
            .add("LDAP_BIND_SECURITY", "SSL")
            .add("LDAP_SSL_CA_CERTIFICATE_NAME", ca);
    };
    {
        Instance inst(tls("BIND", directory()->caFile()));
        clearLog();
        const auto r = inst.authenticate("alice", "alice-pw");
        EXPECT_EQ(r.rc, AUTH_OK) << logText();
        EXPECT_EQ(r.uid, 2001);
        EXPECT_TRUE(logged("LDAP: Connecting to " + directory()->sslHostPort()));
        EXPECT_EQ(asSet(inst.groups("alice", "alice-pw", 3001).gids), (std::set<int>{3001, 4001}));
    }
    {
        // A certificate that does not verify is a failure, never a success.
        Instance bind(tls("BIND", directory()->foreignCaFile()));
        const auto b = bind.authenticate("alice", "alice-pw");
        EXPECT_EQ(b.rc, AUTH_NOAUTH) << logText();
        EXPECT_EQ(b.message, "Could not bind as user via SSL.");
        Instance match(tls("MATCH", directory()->foreignCaFile()));
        EXPECT_EQ(match.authenticate("alice", "alice-pw").rc, AUTH_REQUEST_FAILED);
        Instance query(tls("QUERY", directory()->foreignCaFile()));
        EXPECT_NE(query.authenticate("alice", "alice-pw").rc, AUTH_OK);
        EXPECT_EQ(match.groups("alice", "alice-pw", 3001).rc, -1);
    }
    {
        // Switching back to the right CA takes effect again.
        Instance inst(tls("MATCH", directory()->caFile()));
        EXPECT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK) << logText();
    }
    {
        // Plain LDAP on the TLS port fails as well.
        Instance plain(rfc2307(directory()->sslHostPort(), "BIND"));
        EXPECT_EQ(plain.authenticate("alice", "alice-pw").rc, AUTH_NOAUTH);
    }
}

TEST(LdapInjection, NamesCannotSelectOtherEntries)
{
    ASSERT_DIRECTORY();
    Instance match(rfc2307(server(), "MATCH"));
    clearLog();
    const auto star = match.authenticate("*", "alice-pw");
    EXPECT_EQ(star.rc, AUTH_UNKNOWN_USER);
    EXPECT_TRUE(logged("LDAP: filter is '(uid=\\2a)'"));
    for (const char *name : {"alice)(uid=*", "al*", "*)(|(uid=*", "alice\\29", "alice)"}) {
        const auto r = match.authenticate(name, "alice-pw");
        EXPECT_NE(r.rc, AUTH_OK) << name;
        EXPECT_EQ(r.rc, AUTH_UNKNOWN_USER) << name;
    }
    Instance filtered(rfc2307(server(), "MATCH").add("LDAP_USERFILTER", "(objectClass=posixAccount)"));
    EXPECT_EQ(filtered.authenticate("alice", "alice-pw").rc, AUTH_OK);
    clearLog();
    EXPECT_EQ(filtered.authenticate("x)(|(uid=alice", "alice-pw").rc, AUTH_UNKNOWN_USER);
    EXPECT_TRUE(logged("LDAP: filter is '(&(uid=x\\29\\28|\\28uid=alice)(objectClass=posixAccount))'"));

    Instance query(rfc2307(server(), "QUERY"));
    EXPECT_EQ(query.authenticate("*", "alice-pw").rc, AUTH_UNKNOWN_USER);
    EXPECT_EQ(query.authenticate("alice)(uid=*", "alice-pw").rc, AUTH_UNKNOWN_USER);
}

TEST(LdapInjection, DnTextCannotReachAnotherEntry)
{
    ASSERT_DIRECTORY();
    // root under ou=admins exists and its password works when its DN is
    // written out in full...
    std::string out;
    ASSERT_EQ(kivtest::runProgram({"/usr/bin/ldapwhoami", "-x", "-H", "ldap://" + server(), "-D",
                                   "uid=root,ou=admins,ou=people,dc=example,dc=com", "-w", "admin-pw"},
                                  10000, &out),
              0)
        << out;
    // ...but a user name cannot build that DN.
    Instance bind(rfc2307(server(), "BIND"));
    const auto r = bind.authenticate("root,ou=admins", "admin-pw");
    EXPECT_EQ(r.rc, AUTH_NOAUTH);
    EXPECT_NE(r.uid, 0);
    const auto d = bind.authenticate("root@admins,ou=people", "admin-pw");
    EXPECT_EQ(d.rc, AUTH_NOAUTH);
    Instance match(rfc2307(server(), "MATCH"));
    EXPECT_NE(match.authenticate("root@admins,ou=people", "admin-pw").rc, AUTH_OK);
    // Group lookup by name escapes the name part as well.
    Instance byName(rfc2307(server(), "BIND").add("LDAP_GROUP_USE_DN", "no").add("LDAP_GROUP_METHOD", "HOST")
                        .add("LDAP_RFC2307_GROUP_MEMBER", "memberUid"));
    clearLog();
    const auto g = byName.groups("*", "x", 1);
    EXPECT_EQ(g.gids, (std::vector<int>{1}));
    EXPECT_TRUE(logged("LDAP: Group filter: (memberUid=\\2a)"));
}

TEST(LdapEmptyPassword, NeverAuthenticatesThroughABind)
{
    ASSERT_DIRECTORY();
    // This server accepts a DN with an empty password as an (anonymous) bind.
    std::string out;
    ASSERT_EQ(kivtest::runProgram({"/usr/bin/ldapwhoami", "-x", "-H", "ldap://" + server(), "-D",
                                   std::string(kAliceDN), "-w", ""},
                                  10000, &out),
              0)
        << out;
    for (const char *method : {"BIND", "QUERY"}) {
        for (const char *deny : {"no", "yes"}) {
            Instance inst(rfc2307(server(), method).add("DENY_EMPTY_PASSWORDS", deny));
            clearLog();
            const auto r = inst.authenticate("alice", "");
            EXPECT_EQ(r.rc, AUTH_NOAUTH) << method << " " << deny;
            EXPECT_EQ(r.message, "Empty password rejected.");
            EXPECT_TRUE(logged("LDAP: Empty password rejected."));
            EXPECT_EQ(logText().find("LDAP: Connecting to"), std::string::npos);
        }
    }
    // MATCH compares with the stored value; DENY_EMPTY_PASSWORDS stops it early.
    Instance match(rfc2307(server(), "MATCH"));
    EXPECT_EQ(match.authenticate("alice", "").rc, AUTH_NOAUTH);
    Instance deny(rfc2307(server(), "MATCH").add("DENY_EMPTY_PASSWORDS", "YES"));
    clearLog();
    EXPECT_EQ(deny.authenticate("alice", "").message, "Empty password rejected.");
    EXPECT_EQ(logText().find("LDAP: Connecting to"), std::string::npos);
    // The group lookup does not bind without a password either.
    Instance inst(rfc2307(server(), "MATCH"));
    ASSERT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK);
    EXPECT_EQ(inst.groups("alice", "", 3001).rc, -1);
}

TEST(LdapUserName, OneKilobyteIsProcessed)
{
    ASSERT_DIRECTORY();
    Instance inst(rfc2307(server(), "MATCH"));
    const std::string name(1024, 'n');
    clearLog();
    const auto r = inst.authenticate(name, "pw");
    EXPECT_EQ(r.rc, AUTH_UNKNOWN_USER);
    EXPECT_TRUE(logged("LDAP: filter is '(uid=" + name + ")'"));
    clearLog();
    const auto tooLong = inst.authenticate(name + "n", "pw");
    EXPECT_EQ(tooLong.rc, AUTH_NOAUTH);
    EXPECT_EQ(tooLong.message, "User name is too long.");
    EXPECT_EQ(logText().find("LDAP: Authenticating user"), std::string::npos);
    EXPECT_EQ(logText().find("LDAP: Connecting to"), std::string::npos);
}

TEST(LdapSecrets, ServiceAndUserPasswordsStayOutOfTheLogs)
{
    ASSERT_DIRECTORY();
    for (const char *method : {"MATCH", "QUERY"}) {
        Instance inst(rfc2307(server(), method).add("LDAP_GROUP_METHOD", "HOST"), 0);
        clearLog();
        ASSERT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK);
        inst.groups("alice", "alice-pw", 3001);
        inst.authenticate("bob", "wrong-bob-pw");
        const std::string text = logText();
        EXPECT_EQ(text.find(kReaderPassword), std::string::npos) << method;
        EXPECT_EQ(text.find("alice-pw"), std::string::npos) << method;
        EXPECT_EQ(text.find("wrong-bob-pw"), std::string::npos) << method;
        EXPECT_NE(text.find("','XXXX'"), std::string::npos) << method;
    }
    Instance shown(rfc2307(server(), "MATCH"), 1);
    clearLog();
    ASSERT_EQ(shown.authenticate("alice", "alice-pw").rc, AUTH_OK);
    EXPECT_TRUE(logged(std::string("LDAP: binding to '") + kReaderDN + "','" + kReaderPassword + "'"));
}

TEST(LdapProtocol, VersionTwoIsNotRetriedAndTheDefaultIs)
{
    ASSERT_DIRECTORY();
    Instance two(rfc2307(server(), "MATCH").add("LDAP_PROTOCOL_VERSION", "2"));
    clearLog();
    const auto r = two.authenticate("alice", "alice-pw");
    EXPECT_EQ(r.rc, AUTH_REQUEST_FAILED);
    EXPECT_EQ(r.message, "Could not bind as user.");
    EXPECT_TRUE(logged("Set LDAP to version 2."));
    EXPECT_FALSE(logged("Got LDAP protocol error on bind. Switch to LDAPv3 and retry."));

    // The library default is now version 2: an unconfigured version retries.
    Instance unset(rfc2307(server(), "MATCH"));
    clearLog();
    EXPECT_EQ(unset.authenticate("alice", "alice-pw").rc, AUTH_OK) << logText();
    EXPECT_TRUE(logged("Got LDAP protocol error on bind. Switch to LDAPv3 and retry."));

    Instance three(rfc2307(server(), "MATCH").add("LDAP_PROTOCOL_VERSION", "3"));
    EXPECT_EQ(three.authenticate("alice", "alice-pw").rc, AUTH_OK);
}

TEST(LdapUserFilter, NoSuchBaseWithAFilterIsNoAuth)
{
    ASSERT_DIRECTORY();
    Instance filtered(rfc2307(server(), "MATCH").add("LDAP_USERFILTER", "(objectClass=posixAccount)"));
    clearLog();
    EXPECT_EQ(filtered.authenticate("alice@nowhere", "alice-pw").rc, AUTH_NOAUTH);
    EXPECT_TRUE(logged("User not in filter query. Access denied."));
    Instance plain(rfc2307(server(), "MATCH"));
    EXPECT_EQ(plain.authenticate("alice@nowhere", "alice-pw").rc, AUTH_UNKNOWN_USER);
    Instance excluding(rfc2307(server(), "MATCH").add("LDAP_USERFILTER", "(uidNumber=9)"));
    EXPECT_EQ(excluding.authenticate("alice", "alice-pw").rc, AUTH_UNKNOWN_USER);
}

TEST(LdapTimeouts, AHungServerCostsABoundedTime)
{
    ASSERT_DIRECTORY();
    kivtest::SilentServer silent;
    ASSERT_GT(silent.port(), 0);
    auto start = std::chrono::steady_clock::now();
    Instance bind(rfc2307(silent.hostPort(), "BIND").add("LDAP_TIMEOUT", "1"));
    EXPECT_EQ(bind.authenticate("alice", "alice-pw").rc, AUTH_NOAUTH);
    EXPECT_LT(elapsedMs(start), 8000);

    start = std::chrono::steady_clock::now();
    Instance match(rfc2307(silent.hostPort(), "MATCH").add("LDAP_TIMEOUT", "1").add("LDAP_PROTOCOL_VERSION", "3"));
    EXPECT_EQ(match.authenticate("alice", "alice-pw").rc, AUTH_REQUEST_FAILED);
    EXPECT_EQ(match.groups("alice", "alice-pw", 1).rc, -1);
    EXPECT_LT(elapsedMs(start), 8000);

    start = std::chrono::steady_clock::now();
    Instance tls(rfc2307(silent.hostPort(), "BIND")
                     .add("LDAP_TIMEOUT", "1")
                     .add("LDAP_BIND_SECURITY", "SSL")
                     .add("LDAP_SSL_CA_CERTIFICATE_NAME", directory()->caFile()));
    EXPECT_EQ(tls.authenticate("alice", "alice-pw").rc, AUTH_NOAUTH);
    EXPECT_LT(elapsedMs(start), 8000);

    // A hung domain is skipped in bounded time.
    start = std::chrono::steady_clock::now();
    Instance query(rfc2307(server(), "QUERY")
                       .add("LDAP_TIMEOUT", "1")
                       .add("LDAP_DOMAIN", silent.hostPort())
                       .add("LDAP_DOMAIN", server()));
    EXPECT_EQ(query.authenticate("alice", "alice-pw").rc, AUTH_OK) << logText();
    EXPECT_LT(elapsedMs(start), 8000);
}

TEST(LdapTimeouts, AShortLimitHoldsWhileALongerCallWaits)
{
    // One call waits on a hung server under a long limit; a second call with
    // a short limit must still be cut off on time, not when the first ends.
    ASSERT_DIRECTORY();
    auto silent = std::make_unique<kivtest::SilentServer>();
    ASSERT_GT(silent->port(), 0);
    Instance slow(rfc2307(silent->hostPort(), "BIND").add("LDAP_TIMEOUT", "30"));
    std::thread waiting([&] { slow.authenticate("alice", "alice-pw"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    auto start = std::chrono::steady_clock::now();
    // Over TLS only the watchdog can end the handshake.
    Instance fast(rfc2307(silent->hostPort(), "BIND")
                      .add("LDAP_TIMEOUT", "1")
                      .add("LDAP_BIND_SECURITY", "SSL")
                      .add("LDAP_SSL_CA_CERTIFICATE_NAME", directory()->caFile()));
    EXPECT_EQ(fast.authenticate("alice", "alice-pw").rc, AUTH_NOAUTH);
    EXPECT_LT(elapsedMs(start), 8000);

    // Closing the listener resets the waiting connection.
    silent.reset();
    waiting.join();
}
