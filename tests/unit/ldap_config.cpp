// The LDAP module without a directory server: its exports, ldapInit's reading
// and checking of the configuration, DN building and the refusals that happen
// before any server is contacted.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>

#include "ldap_common.h"

using namespace ldaptest;

namespace {

// A port nobody listens on: the module may create a handle (that does not
// connect), but every bind fails.
std::string closedServer()
{
    static const std::string server = "127.0.0.1:" + std::to_string(kivtest::freeLoopbackPort());
    return server;
}

Instance::Outcome bindAs(Config cfg, const std::string &user, const std::string &password = "pw")
{
    Instance inst(std::move(cfg));
    EXPECT_EQ(inst.status, 0) << logText();
    return inst.authenticate(user, password);
}

// The bind DN the module logged (BIND logs it before contacting the server).
std::string loggedBindDN()
{
    const std::string text = logText();
    const std::string mark = "D LDAP: using bind DN '";
    const size_t at = text.find(mark);
    if (at == std::string::npos) return "<none>";
    const size_t start = at + mark.size();
    return text.substr(start, text.find("'\n", start) - start);
}

} // namespace

TEST(LdapModuleExports, DataSymbolsAndProgramName)
{
    ASSERT_MODULE();
    EXPECT_STREQ(*module().buildVersion, "buildVersion=v100k1a");
    EXPECT_STREQ(*module().expmsg, "The user's password has expired");
    Instance inst(rfc2307(closedServer(), "MATCH").program("kivauth-test"));
    EXPECT_EQ(inst.status, 0);
    ASSERT_NE(*module().programName, nullptr);
    EXPECT_STREQ(*module().programName, "kivauth-test");
    EXPECT_TRUE(logged("ldapInit PROGRAM_NAME: kivauth-test"));
}

// The built module, loaded as the daemon loads it, shows the entry points and
// data the daemon looks up and none of its helpers or its copy of verify/.
TEST(LdapModuleExports, ModuleShowsOnlyItsContract)
{
    const std::string path = std::string(KIV_BIN_DIR) + "/kivmodldapnss.so";
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);  // kept loaded, like the daemon
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const char *name : {"ldapInit", "ldapTerminate", "ldapAuthenticate", "ldapGetGroups",
                             "ldapContinueOnNoAuth", "ldapBuildVersion", "programName", "EXPMSG"})
        EXPECT_NE(dlsym(handle, name), nullptr) << name;
    for (const char *name : {"strclone", "parseSecurity", "freeLDAPConfig", "ldapBind",
                             "ldapConnectionInit", "queryEntryDN", "authenticatePassword",
                             "sha1Crypt", "shadowExpired", "setShadowTodayForTesting"})
        EXPECT_EQ(dlsym(handle, name), nullptr) << name;
    const auto *version = static_cast<const char **>(dlsym(handle, "ldapBuildVersion"));
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(*version, "buildVersion=v100k1a");
}

TEST(LdapStrclone, TrimsOneQuotePairAndTrailingBlanks)
{
    ASSERT_MODULE();
    auto clone = [](const char *in) {
        char *c = module().strclone(in);
        std::string s = c ? c : "<null>";
        free(c);
        return s;
    };
    EXPECT_EQ(clone(nullptr), "<null>");
    EXPECT_EQ(clone("\"dc=example,dc=com\"   "), "dc=example,dc=com");
    EXPECT_EQ(clone("  \"x\""), "  \"x");   // leading blanks stay, so the quote does too
    EXPECT_EQ(clone("\"\"x\"\""), "\"x\"");  // only one quote at each end
    EXPECT_EQ(clone("plain  "), "plain");
    EXPECT_EQ(clone("\""), "");
    EXPECT_EQ(clone(""), "");
    EXPECT_EQ(clone("a \" "), "a ");
}

TEST(LdapInitProgramCheck, PrefixesOfTheKnownHostsOnly)
{
    ASSERT_MODULE();
    for (const char *ok : {"kivauth", "kivauthd-extra", "kiv-services-daemon", "kiv-services-daemon.new"}) {
        Instance inst(rfc2307(closedServer(), "MATCH").program(ok));
        EXPECT_EQ(inst.status, 0) << ok;
        EXPECT_NE(inst.context, nullptr) << ok;
    }
    clearLog();
    Instance bad(rfc2307(closedServer(), "MATCH").program("kivaut"));
    EXPECT_EQ(bad.status, -1);
    EXPECT_EQ(bad.context, nullptr);
    ASSERT_NE(bad.message, nullptr);
    EXPECT_STREQ(bad.message,
                 "PROGRAM_NAME kivaut is not correct.  Mismatch detected between kivauth and kivmodldap.so");
    EXPECT_TRUE(logged(bad.message));

    Instance longName(rfc2307(closedServer(), "MATCH").program(std::string(300, 'x')));
    ASSERT_NE(longName.message, nullptr);
    EXPECT_EQ(std::strlen(longName.message), 127u);
}

TEST(LdapInitKeys, ValuesAreReadTrimmedAndTheLastOneWins)
{
    ASSERT_MODULE();
    clearLog();
    Config cfg = rfc2307(closedServer(), "MATCH");
    cfg.add("LDAP_HOST_PORT", "1389x")
        .add("ldap_ssl_host_port", "junk")
        .add("LDAP_SEARCHBASE", "\"dc=example,dc=com\"   ")
        .add("LDAP_AUTH_METHOD", "query")
        .add("LDAP_GROUP_METHOD", "host")
        .add("LDAP_PROTOCOL_VERSION", "3")
        .add("LDAP_DOMAIN_FORMAT", "domain_before_userbase")
        .add("LDAP_DOMAIN", "one.example")
        .add("LDAP_DOMAIN", "two.example")
        .add("LDAP_SSL_CA_CERTIFICATE_NAME", "/etc/ca.pem")
        .add("LDAP_TIMEOUT", " 3 ")
        .add("LDAP_DEFAULT_DOMAIN", "eng");
    Instance inst(std::move(cfg));
    ASSERT_NE(inst.context, nullptr) << logText();
    const LDAPConfig &c = *inst.context;
    EXPECT_EQ(c.port, 1389);
    EXPECT_EQ(c.sslPort, 0);
    EXPECT_STREQ(c.searchBase, "dc=example,dc=com");
    EXPECT_EQ(c.authMethod, QUERY);
    EXPECT_EQ(c.groupMethod, HOST);
    EXPECT_EQ(c.protocolVersion, 3);
    EXPECT_EQ(c.domainFormat, DOMAIN_BEFORE_USERBASE);
    ASSERT_EQ(c.domainCount, 2);
    EXPECT_STREQ(c.domains[0], "one.example");
    EXPECT_STREQ(c.domains[1], "two.example");
    EXPECT_STREQ(c.sslCACertificateName, "/etc/ca.pem");
    EXPECT_EQ(c.timeout, 3);
    EXPECT_TRUE(logged("LDAP: Using port 1389 from config file."));
    EXPECT_TRUE(logged("LDAP: Using SSL port 0 from config file."));
    EXPECT_TRUE(logged("LDAP_AUTH_METHOD is 'query'"));
    EXPECT_TRUE(logged("LDAP: Using authentication method QUERY."));
    EXPECT_TRUE(logged("LDAP: Using default user domain eng"));
    EXPECT_TRUE(logged("domain[0]: one.example"));
    EXPECT_TRUE(logged("domain[1]: two.example"));
}

TEST(LdapInitKeys, FlagFamiliesAcceptDifferentWords)
{
    ASSERT_MODULE();
    Config cfg = rfc2307(closedServer(), "MATCH");
    cfg.add("LDAP_GROUP_USE_DN", "0")
        .add("LDAP_GROUP_USE_DN", "1")
        .add("LDAP_IGNORE_USERDOMAIN", "Yes")
        .add("SKIP_CHANGE_CHECK", "1")
        .add("SKIP_PW_EXP_CHECK", "TRUE")
        .add("SKIP_ACC_EXP_CHECK", "on")
        .add("DENY_EMPTY_PASSWORDS", "yes");
    Instance inst(std::move(cfg));
    ASSERT_NE(inst.context, nullptr);
    EXPECT_EQ(inst.context->groupUseDN, 1);
    EXPECT_EQ(inst.context->ignoreUserDomain, 1);
    EXPECT_EQ(inst.context->skipChangeCheck, 0);
    EXPECT_EQ(inst.context->skipPwExpCheck, 1);
    EXPECT_EQ(inst.context->skipAccExpCheck, 0);
    EXPECT_EQ(inst.context->denyEmptyPasswords, 1);

    Instance off(rfc2307(closedServer(), "MATCH").add("LDAP_GROUP_USE_DN", "no"));
    ASSERT_NE(off.context, nullptr);
    EXPECT_EQ(off.context->groupUseDN, 0);
}

TEST(LdapInitSchema, HostSchemaKeySetsBothFields)
{
    ASSERT_MODULE();
    Config cfg;
    cfg.add("LDAP_HOST", closedServer()).add("LDAP_AUTH_METHOD", "BIND").add("LDAP_SEARCHBASE", kSuffix).add("LDAP_SCHEMA", "HOST");
    for (const char *s : {"USERNAME", "UID", "GID", "PASSWD", "LASTCHANGE", "MAXAGE", "ACCTEXPIRE", "GROUPS",
                          "GROUP_GID", "GROUP_MEMBER"})
        cfg.add(std::string("LDAP_HOST_") + s, std::string("attr-") + s);
    Instance inst(std::move(cfg));
    ASSERT_NE(inst.context, nullptr) << logText();
    EXPECT_STREQ(inst.context->hostUsername, "attr-USERNAME");
    EXPECT_STREQ(inst.context->usernameAttr, "attr-USERNAME");
}

TEST(LdapInitValidation, MissingSchemaFailsEvenWhenAllElseIsThere)
{
    ASSERT_MODULE();
    clearLog();
    Instance inst(rfc2307(closedServer(), "MATCH").remove("LDAP_SCHEMA"));
    EXPECT_EQ(inst.status, -1);
    EXPECT_EQ(inst.context, nullptr);
    EXPECT_EQ(inst.message, nullptr);
    EXPECT_TRUE(logged("LDAP_SCHEMA not specified."));
    EXPECT_NE(logText().find("E LDAP_SCHEMA not specified."), std::string::npos);
}

TEST(LdapInitValidation, EveryMissingSettingIsReportedBeforeFailing)
{
    ASSERT_MODULE();
    clearLog();
    Config cfg;
    cfg.add("LDAP_HOST_LIST", "a b").add("LDAP_AUTH_METHOD", "QUERY").add("LDAP_SCHEMA", "Ad");
    for (const char *s : {"USERNAME", "UID", "GID", "PASSWD", "LASTCHANGE", "MAXAGE", "ACCTEXPIRE", "GROUPS"})
        cfg.add(std::string("LDAP_AD_") + s, "x");
    Instance inst(std::move(cfg));
    EXPECT_EQ(inst.status, -1);
    EXPECT_EQ(inst.context, nullptr);
    EXPECT_EQ(inst.message, nullptr);
    const std::vector<std::string> expected = {
        "Required setting LDAP_HOST_DN not found in configuration.",
        "Required setting LDAP_HOST_PW not found in configuration.",
        "Required setting LDAP_DN_SEARCH_ATTR not found in configuration.",
        "Required setting LDAP_SEARCHBASE not found in configuration.",
        "Required setting LDAP_Ad_GROUP_GID not found in configuration.",
        "Required setting LDAP_Ad_GROUP_MEMBER not found in configuration.",
    };
    const std::string errors = logText();
    size_t pos = 0;
    for (const std::string &e : expected) {
        const size_t at = errors.find("E " + e, pos);
        ASSERT_NE(at, std::string::npos) << e << "\n" << errors;
        pos = at;
    }
    EXPECT_EQ(errors.find("Either LDAP_HOST"), std::string::npos);
}

TEST(LdapInitValidation, ServiceAccountNeededOnlyWhenTheModuleBindsAsIt)
{
    ASSERT_MODULE();
    auto without = [](const std::string &method, const std::string &groups) {
        Config cfg;
        cfg.add("LDAP_HOST", closedServer()).add("LDAP_AUTH_METHOD", method).add("LDAP_GROUP_METHOD", groups)
            .add("LDAP_SEARCHBASE", kSuffix).add("LDAP_SCHEMA", "oTheR");
        for (const char *k : {"LDAP_USERNAME_ATTRIBUTE", "LDAP_UID_ATTRIBUTE", "LDAP_GID_ATTRIBUTE",
                              "LDAP_PASSWD_ATTRIBUTE", "LDAP_LASTCHANGE_ATTRIBUTE", "LDAP_MAXAGE_ATTRIBUTE",
                              "LDAP_ACCTEXPIRE_ATTRIBUTE", "LDAP_GROUPS_ATTRIBUTE", "LDAP_GROUP_GID_ATTRIBUTE",
                              "LDAP_GROUP_MEMBER_ATTRIBUTE"})
            cfg.add(k, "a");
        clearLog();
        Instance inst(std::move(cfg));
        return inst.status;
    };
    EXPECT_EQ(without("BIND", "USER"), 0);
    EXPECT_EQ(without("BIND", "HOST"), -1);
    EXPECT_TRUE(logged("Required setting LDAP_HOST_DN not found in configuration."));
    EXPECT_TRUE(logged("Required setting LDAP_HOST_PW not found in configuration."));
    EXPECT_EQ(without("MATCH", "USER"), -1);
    EXPECT_FALSE(logged("Required setting LDAP_DN_SEARCH_ATTR not found in configuration."));
}

TEST(LdapInitValidation, HostOrHostList)
{
    ASSERT_MODULE();
    const Config noHost = rfc2307(closedServer(), "MATCH").remove("LDAP_HOST");
    clearLog();
    Instance none{Config(noHost)};
    EXPECT_EQ(none.status, -1);
    EXPECT_EQ(none.context, nullptr);
    EXPECT_TRUE(logged("Either LDAP_HOST or LDAP_HOST_LIST must be specified for LDAP."));

    clearLog();
    Instance list{Config(noHost).add("LDAP_HOST_LIST", "ldap1 ldap2")};
    EXPECT_EQ(list.status, 0) << logText();
    EXPECT_TRUE(logged("LDAP: Server list is ldap1 ldap2"));

    clearLog();
    Instance ssl{Config(noHost).add("LDAP_HOST_LIST", "ldap1 ldap2").add("LDAP_BIND_SECURITY", "SSL")};
    EXPECT_EQ(ssl.status, -1);
    EXPECT_EQ(ssl.context, nullptr);
    EXPECT_TRUE(logged("LDAP_HOST must be set to use SSL on Linux."));
}

TEST(LdapInitValidation, BadEnumeratedValuesStopTheReading)
{
    ASSERT_MODULE();
    const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> cases = {
        {{"LDAP_AUTH_METHOD", "PASSWORD"}, "Unknown value for LDAP_AUTH_METHOD."},
        {{"LDAP_TIMEOUT", "0"}, "Unknown value for LDAP_TIMEOUT."},
        {{"LDAP_TIMEOUT", "3601"}, "Unknown value for LDAP_TIMEOUT."},
    };
    for (const auto &[kv, text] : cases) {
        clearLog();
        // The bad key comes first; a later LDAP_HOST_PORT must not be read.
        Config cfg;
        cfg.add(kv.first, kv.second);
        Config full = rfc2307(closedServer(), "MATCH");
        ConfigEntry *e = full.entries();
        for (int i = 1; i < full.count(); ++i) cfg.add(e[i].key, e[i].value);
        cfg.add("LDAP_HOST_PORT", "777");
        Instance inst(std::move(cfg));
        EXPECT_EQ(inst.status, -1) << kv.first;
        EXPECT_EQ(inst.context, nullptr);
        EXPECT_TRUE(logged(text)) << kv.first << "\n" << logText();
        EXPECT_FALSE(logged("LDAP: Using port 777 from config file.")) << kv.first;
    }
}

TEST(LdapInitValidation, AtMostOneHundredDomains)
{
    ASSERT_MODULE();
    Config hundred = rfc2307(closedServer(), "MATCH");
    for (int i = 0; i < 100; ++i) hundred.add("LDAP_DOMAIN", "host" + std::to_string(i));
    Config more = hundred;
    clearLog();
    Instance ok(std::move(hundred));
    ASSERT_NE(ok.context, nullptr);
    EXPECT_EQ(ok.context->domainCount, 100);
    EXPECT_TRUE(logged("domain[0]: host0"));
    EXPECT_TRUE(logged("domain[99]: host99"));

    more.add("LDAP_DOMAIN", "host100");
    clearLog();
    Instance tooMany(std::move(more));
    EXPECT_EQ(tooMany.status, -1);
    EXPECT_EQ(tooMany.context, nullptr);
    EXPECT_TRUE(logged("Too many LDAP_DOMAINs specified. Max is 100."));
}

TEST(LdapInitValidation, AVeryLongSchemaNameIsHandled)
{
    ASSERT_MODULE();
    const std::string schema(400, 'S');
    Config cfg;
    cfg.add("LDAP_HOST", closedServer()).add("LDAP_AUTH_METHOD", "BIND").add("LDAP_SEARCHBASE", kSuffix).add("LDAP_SCHEMA", schema);
    cfg.add("LDAP_" + schema + "_USERNAME", "uid");
    clearLog();
    Instance inst(std::move(cfg));
    EXPECT_EQ(inst.status, -1);
    EXPECT_TRUE(logged("Required setting LDAP_" + schema + "_UID not found in configuration."));
    EXPECT_FALSE(logged("Required setting LDAP_" + schema + "_USERNAME not found in configuration."));
}

TEST(LdapWithoutConfiguration, EntryPointsRefuseCleanly)
{
    ASSERT_MODULE();
    AuthLog log = makeLog();
    clearLog();
    int uid = -1, gid = -1;
    char *unixName = nullptr;
    char *msg = nullptr;
    EXPECT_EQ(module().authenticate(nullptr, "alice", "pw", &uid, &gid, &unixName, &log, &msg), AUTH_ERROR);
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(msg, "The LDAP config file could not be read or has errors.");
    EXPECT_TRUE(logged("LDAP: No configuration."));

    int *groups = reinterpret_cast<int *>(1);
    int count = -1;
    msg = nullptr;
    EXPECT_EQ(module().getGroups(nullptr, "alice", "pw", 5, &groups, &count, &log, 0, &msg), -1);
    EXPECT_EQ(groups, nullptr);
    EXPECT_EQ(count, 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(msg, "The LDAP config file could not be read or has errors.");
    // Terminate tolerates a null context.
    module().terminate(nullptr, &log);
}

TEST(LdapConnection, OnlyAListOfUnreachableServersFailsCleanly)
{
    ASSERT_MODULE();
    const std::string first = closedServer();
    const std::string second = "127.0.0.1:" + std::to_string(kivtest::freeLoopbackPort());
    Instance inst(rfc2307(first, "BIND").remove("LDAP_HOST").add("LDAP_HOST_LIST", first + ", " + second));
    ASSERT_NE(inst.context, nullptr) << logText();
    ASSERT_EQ(inst.context->host, nullptr);

    clearLog();
    const auto r = inst.authenticate("alice", "pw");
    EXPECT_EQ(r.rc, AUTH_REQUEST_FAILED);
    EXPECT_EQ(r.message, "ldapConnectionInit() failed.");
    EXPECT_TRUE(logged("LDAP: Connecting to " + first)) << logText();
    EXPECT_TRUE(logged("LDAP: Connecting to " + second)) << logText();

    const auto g = inst.groups("alice", "pw", 5);
    EXPECT_EQ(g.rc, -1);
    EXPECT_EQ(g.message, "Could not connect to LDAP server.");

    char *msg = nullptr;
    EXPECT_EQ(module().connectionInit(inst.context, nullptr, &inst.log, &msg), nullptr);
    EXPECT_STREQ(msg, "Could not connect to LDAP server.");
    msg = nullptr;
    EXPECT_EQ(module().sslConnectionInit(inst.context, nullptr, &inst.log, &msg), nullptr);
    EXPECT_STREQ(msg, "Could not connect to LDAP server.");
}

TEST(LdapConnection, HostWithPortIsUsedVerbatim)
{
    ASSERT_MODULE();
    Instance inst(rfc2307("127.0.0.1:1", "BIND").add("LDAP_HOST_PORT", "2222").add("LDAP_PROTOCOL_VERSION", "3"));
    clearLog();
    char *msg = nullptr;
    LDAP *ld = module().connectionInit(inst.context, nullptr, &inst.log, &msg);
    ASSERT_NE(ld, nullptr);
    char *uri = nullptr;
    ASSERT_EQ(module().ldapGetOption(ld, LDAP_OPT_URI, &uri), LDAP_OPT_SUCCESS);
    EXPECT_STREQ(uri, "ldap://127.0.0.1:1");
    module().ldapMemfree(uri);
    int version = 0;
    module().ldapGetOption(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    EXPECT_EQ(version, 3);
    module().ldapUnbind(ld, nullptr, nullptr);
    EXPECT_TRUE(logged("Set LDAP to version 3."));
    EXPECT_TRUE(logged("LDAP: Connecting to 127.0.0.1:1"));

    ld = module().connectionInit(inst.context, "otherhost", &inst.log, &msg);
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(module().ldapGetOption(ld, LDAP_OPT_URI, &uri), LDAP_OPT_SUCCESS);
    EXPECT_STREQ(uri, "ldap://otherhost:2222");
    module().ldapMemfree(uri);
    module().ldapUnbind(ld, nullptr, nullptr);

    ld = module().sslConnectionInit(inst.context, "otherhost", &inst.log, &msg);
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(module().ldapGetOption(ld, LDAP_OPT_URI, &uri), LDAP_OPT_SUCCESS);
    EXPECT_STREQ(uri, "ldaps://otherhost:636");
    module().ldapMemfree(uri);
    // Every handle is bounded by the configured time limit.
    timeval *limit = nullptr;
    ASSERT_EQ(module().ldapGetOption(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit), LDAP_OPT_SUCCESS);
    ASSERT_NE(limit, nullptr);
    EXPECT_EQ(limit->tv_sec, 10);
    module().ldapMemfree(limit);
    module().ldapUnbind(ld, nullptr, nullptr);
    EXPECT_TRUE(logged("Certificate directory: (null)"));
    EXPECT_TRUE(logged("Set LDAP to version 3 (bind type not 'simple')."));
}

TEST(LdapEntryDN, DomainFormats)
{
    ASSERT_MODULE();
    struct Case {
        std::string format, userBase, attr, user, expected;
    };
    const std::vector<Case> cases = {
        {"", "ou=people", "", "alice", "uid=alice,ou=people,dc=example,dc=com"},
        {"", "", "", "alice", "uid=alice,dc=example,dc=com"},
        {"DOMAIN_WITH_SEARCHBASE", "ou=people", "", "dave@eng", "uid=dave,OU=eng,dc=example,dc=com"},
        {"DOMAIN_WITH_SEARCHBASE", "ou=people", "", "dave@eng@x", "uid=dave,OU=eng@x,dc=example,dc=com"},
        {"DOMAIN_AFTER_USERBASE", "ou=people", "", "dave@eng", "uid=dave,ou=people,OU=eng,dc=example,dc=com"},
        {"DOMAIN_AFTER_USERBASE", "", "", "dave@eng", "uid=dave,OU=eng,dc=example,dc=com"},
        {"DOMAIN_BEFORE_USERBASE", "ou=people", "", "dave@eng", "uid=dave,OU=eng,ou=people,dc=example,dc=com"},
        {"DOMAIN_BEFORE_USERBASE", "", "dc", "dave@eng", "uid=dave,dc=eng,dc=example,dc=com"},
    };
    for (const Case &c : cases) {
        Config built = rfc2307(closedServer(), "BIND").remove("LDAP_USERBASE");
        if (!c.userBase.empty()) built.add("LDAP_USERBASE", c.userBase);
        if (!c.format.empty()) built.add("LDAP_DOMAIN_FORMAT", c.format);
        if (!c.attr.empty()) built.add("LDAP_DOMAIN_ATTRIBUTE", c.attr);
        clearLog();
        bindAs(std::move(built), c.user);
        EXPECT_EQ(loggedBindDN(), c.expected) << c.format << " " << c.user;
    }
    clearLog();
    bindAs(rfc2307(closedServer(), "BIND").add("LDAP_DOMAIN_FORMAT", "DOMAIN_AFTER_USERBASE").add("LDAP_USERBASE", ""), "d@eng");
    EXPECT_TRUE(logged("DOMAIN_AFTER_USERBASE specified but no LDAP_USERBASE specified. Omitting userbase."));
}

TEST(LdapEntryDN, UserTextStaysOneRdnValue)
{
    ASSERT_MODULE();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"alice,ou=admins", "uid=alice\\,ou\\=admins,ou=people,dc=example,dc=com"},
        {"a+cn=b", "uid=a\\+cn\\=b,ou=people,dc=example,dc=com"},
        {" lead#", "uid=\\ lead#,ou=people,dc=example,dc=com"},
        {"#x ", "uid=\\#x\\ ,ou=people,dc=example,dc=com"},
        {"q\"<>;\\", "uid=q\\\"\\<\\>\\;\\\\,ou=people,dc=example,dc=com"},
        {"dave@eng,dc=evil", "uid=dave,OU=eng\\,dc\\=evil,dc=example,dc=com"},
        {"alice(*)", "uid=alice(*),ou=people,dc=example,dc=com"},
    };
    for (const auto &[user, dn] : cases) {
        clearLog();
        const auto r = bindAs(rfc2307(closedServer(), "BIND"), user);
        EXPECT_EQ(loggedBindDN(), dn) << user;
        EXPECT_NE(r.rc, AUTH_OK);
    }
}

TEST(LdapLogs, ControlCharactersInNamesCannotForgeLogLines)
{
    ASSERT_MODULE();
    Instance inst(rfc2307(closedServer(), "BIND"));
    clearLog();
    inst.authenticate("eve\nE forged line", "pw");
    EXPECT_FALSE(logged("E forged line"));
    EXPECT_FALSE(logged("forged line"));
    EXPECT_TRUE(logged("LDAP: Authenticating user eve\\x0aE forged line"));
}
