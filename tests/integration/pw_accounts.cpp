// The pw method against fixture passwd/shadow files, called in-process: where
// the stored password comes from, fall-through, ageing at day-exact
// boundaries (with a pinned "today"), skip flags, long entries, log lines.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "../unit/log_files.h"
#include "../unit/verify_logcapture.h"
#include "groups.h"
#include "pw.h"
#include "sandbox.h"
#include "verify.h"

namespace {

constexpr long long kToday = 20000;

using Config = kivtest::ConfigList;

// A pw instance for one test; "today" is pinned while it lives.
class Pw {
public:
    explicit Pw(std::initializer_list<std::pair<std::string, std::string>> pairs = {})
        : config_(Config::Pairs(pairs)) {
        log_ = kivcap::makeLog(0);
        int status = -5;
        char *message = nullptr;
        ctx_ = pwInit(config_.data(), config_.size(), &status, &log_, &message);
        EXPECT_EQ(status, 0);
        EXPECT_NE(ctx_, nullptr);
        setShadowTodayForTesting(kToday);
    }
    ~Pw() {
        setShadowTodayForTesting(-1);
        pwTerminate(ctx_, &log_);
        pthread_mutex_init(&grpSearchLock, nullptr);
    }

    struct Result {
        int rc;
        std::string message;
        int uid;
        int gid;
    };
    Result auth(const std::string &user, const std::string &password) {
        kivcap::clear();
        char *message = nullptr;
        int uid = -7, gid = -7;
        int rc = pwAuthenticate(ctx_, user.c_str(), password.c_str(), &uid, &gid, nullptr, &log_, &message);
        return {rc, message ? message : "", uid, gid};
    }
    AuthLog log_;

private:
    Config config_;
    void *ctx_ = nullptr;
};

std::string day(long long d) { return std::to_string(d); }

// Shadow line: name:hash:lastchg:min:max:warn:inactive:expire:
std::string shadowLine(const std::string &name, const std::string &hash, const std::string &last,
                       const std::string &max = "", const std::string &expire = "") {
    return name + ":" + hash + ":" + last + ":0:" + max + ":7::" + expire + ":\n";
}

std::string passwdLine(const std::string &name, const std::string &pw, int id,
                       const std::string &gecos = "") {
    return name + ":" + pw + ":" + std::to_string(id) + ":" + std::to_string(id + 100) + ":" + gecos +
           ":/home/" + name + ":/bin/sh\n";
}

TEST(PwAccounts, StoredPasswordSource) {
    const std::string hash = kivtest::cryptHash("right", "$6$");
    const std::string shadowHash = kivtest::cryptHash("shadowpw", "$5$");
    kivtest::writeAccountFiles(
        passwdLine("inpasswd", hash, 2001) + passwdLine("lowerx", "x", 2002) +
            passwdLine("upperx", "X", 2003) + passwdLine("star", "*", 2004) +
            passwdLine("bang", "!", 2005) + passwdLine("starmore", "*" + hash, 2006) +
            passwdLine("noshadow", "x", 2007) + passwdLine("emptyfield", "", 2008),
        // The passwd hash wins for inpasswd even though its shadow entry would
        // demand a password change.
        shadowLine("inpasswd", shadowHash, "0") + shadowLine("lowerx", shadowHash, day(kToday)) +
            shadowLine("upperx", shadowHash, day(kToday)) + shadowLine("star", shadowHash, day(kToday)) +
            shadowLine("bang", shadowHash, day(kToday)) + shadowLine("starmore", shadowHash, day(kToday)),
        "");
    Pw pw;

    Pw::Result r = pw.auth("inpasswd", "right");
    EXPECT_EQ(r.rc, AUTH_OK);
    EXPECT_EQ(r.uid, 2001);
    EXPECT_EQ(r.gid, 2101);
    EXPECT_FALSE(kivcap::contains("Using password from shadow password database."));
    EXPECT_FALSE(kivcap::contains("Password expired"));  // never aged
    EXPECT_EQ(pw.auth("inpasswd", "shadowpw").rc, AUTH_NOAUTH);

    for (const char *user : {"lowerx", "upperx", "star"}) {
        SCOPED_TRACE(user);
        r = pw.auth(user, "shadowpw");
        EXPECT_EQ(r.rc, AUTH_OK);
        EXPECT_TRUE(kivcap::hasLine("Using password from shadow password database."));
        EXPECT_TRUE(kivcap::hasLine(std::string("name: ") + user + " last change: " + day(kToday) +
                                    "  max: -1 expire: -1"));
        EXPECT_EQ(pw.auth(user, "right").rc, AUTH_NOAUTH);
    }
    // "!" and "*..." are stored values of their own: nothing matches them.
    for (const char *user : {"bang", "starmore"}) {
        SCOPED_TRACE(user);
        EXPECT_EQ(pw.auth(user, "shadowpw").rc, AUTH_NOAUTH);
        EXPECT_EQ(pw.auth(user, "right").rc, AUTH_NOAUTH);
        EXPECT_FALSE(kivcap::contains("shadow password database"));
    }

    r = pw.auth("noshadow", "anything");
    EXPECT_EQ(r.rc, AUTH_UNKNOWN_USER);
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.uid, -7);
    EXPECT_TRUE(kivcap::hasLine("User not in /etc/shadow."));

    r = pw.auth("nosuchuser", "anything");
    EXPECT_EQ(r.rc, AUTH_UNKNOWN_USER);
    EXPECT_TRUE(kivcap::hasLine("User not in /etc/passwd."));

    // An empty passwd field is a stored value too; it matches nothing.
    r = pw.auth("emptyfield", "");
    EXPECT_EQ(r.rc, AUTH_NOAUTH);
    EXPECT_EQ(r.message, "SSHA1 encryption failed.");
    r = pw.auth("emptyfield", "x");
    EXPECT_EQ(r.rc, AUTH_NOAUTH);
    EXPECT_EQ(r.message, "Password mismatch.");
}

TEST(PwAccounts, EmptyPasswordReachesVerification) {
    kivtest::writeAccountFiles(passwdLine("nopw", "{crypt}", 2010) + passwdLine("withpw", "x", 2011),
                               shadowLine("withpw", kivtest::cryptHash("pw"), day(kToday)), "");
    {
        Pw pw;
        // Without the rule the verification decides: "{crypt}" with no hash
        // accepts only the empty password.
        EXPECT_EQ(pw.auth("nopw", "").rc, AUTH_OK);
        EXPECT_EQ(pw.auth("withpw", "").rc, AUTH_NOAUTH);
    }
    for (const char *value : {"yes", "Yes", "TRUE"}) {
        SCOPED_TRACE(value);
        Pw pw({{"DENY_EMPTY_PASSWORDS", value}});
        Pw::Result r = pw.auth("nopw", "");
        EXPECT_EQ(r.rc, AUTH_NOAUTH);
        EXPECT_EQ(r.message, "Empty password rejected.");
        EXPECT_FALSE(kivcap::contains("Using crypt()"));
        EXPECT_EQ(pw.auth("withpw", "pw").rc, AUTH_OK);
    }
}

TEST(PwAccounts, AgeingBoundaries) {
    const std::string h = kivtest::cryptHash("pw", "$5$");
    std::string passwd, shadow;
    int id = 3000;
    auto add = [&](const std::string &name, const std::string &last, const std::string &max,
                   const std::string &expire) {
        passwd += passwdLine(name, "x", id++);
        shadow += shadowLine(name, h, last, max, expire);
    };
    add("mustchange", "0", "", "");
    add("agedok", day(kToday - 90), "90", "");
    add("agedout", day(kToday - 91), "90", "");
    add("expok", day(kToday), "", day(kToday));
    add("expout", day(kToday), "", day(kToday - 1));
    add("nolast", "", "1", day(kToday - 1));  // no age check, expiry still applies
    add("nolastok", "", "1", "");
    kivtest::writeAccountFiles(passwd, shadow, "");

    Pw pw;
    Pw::Result r = pw.auth("mustchange", "pw");
    EXPECT_EQ(r.rc, AUTH_EXPIRED);
    EXPECT_EQ(r.message, "Password change required.");
    EXPECT_EQ(r.uid, -7);  // not set on failure
    EXPECT_TRUE(kivcap::hasLine("Checking for password expiration."));

    EXPECT_EQ(pw.auth("agedok", "pw").rc, AUTH_OK);
    r = pw.auth("agedout", "pw");
    EXPECT_EQ(r.rc, AUTH_EXPIRED);
    EXPECT_EQ(r.message, EXPMSG);
    EXPECT_EQ(pw.auth("expok", "pw").rc, AUTH_OK);
    r = pw.auth("expout", "pw");
    EXPECT_EQ(r.rc, AUTH_EXPIRED);
    EXPECT_EQ(r.message, EXPMSG);
    EXPECT_EQ(pw.auth("nolast", "pw").rc, AUTH_EXPIRED);
    EXPECT_TRUE(kivcap::hasLine(
        "Password not checked for max age. Either lastchange or maxage was not specified."));
    EXPECT_EQ(pw.auth("nolastok", "pw").rc, AUTH_OK);

    // The password is checked first: a wrong one is NOAUTH even when expired.
    EXPECT_EQ(pw.auth("expout", "nope").rc, AUTH_NOAUTH);
    EXPECT_EQ(pw.auth("mustchange", "nope").rc, AUTH_NOAUTH);
}

TEST(PwAccounts, SkipFlags) {
    const std::string h = kivtest::cryptHash("pw", "$1$");
    kivtest::writeAccountFiles(
        passwdLine("mustchange", "x", 3100) + passwdLine("agedout", "x", 3101) +
            passwdLine("expout", "x", 3102),
        shadowLine("mustchange", h, "0", "", "") + shadowLine("agedout", h, day(kToday - 91), "90", "") +
            shadowLine("expout", h, day(kToday), "", day(kToday - 1)),
        "");
    {
        Pw pw({{"SKIP_CHANGE_CHECK", "true"}});
        EXPECT_EQ(pw.auth("mustchange", "pw").rc, AUTH_OK);
        EXPECT_EQ(pw.auth("agedout", "pw").rc, AUTH_EXPIRED);
        EXPECT_EQ(pw.auth("expout", "pw").rc, AUTH_EXPIRED);
    }
    {
        Pw pw({{"SKIP_PW_EXP_CHECK", "yes"}});
        EXPECT_EQ(pw.auth("mustchange", "pw").rc, AUTH_EXPIRED);
        EXPECT_EQ(pw.auth("agedout", "pw").rc, AUTH_OK);
        EXPECT_EQ(pw.auth("expout", "pw").rc, AUTH_EXPIRED);
    }
    {
        Pw pw({{"SKIP_ACC_EXP_CHECK", "YES"}});
        EXPECT_EQ(pw.auth("mustchange", "pw").rc, AUTH_EXPIRED);
        EXPECT_EQ(pw.auth("agedout", "pw").rc, AUTH_EXPIRED);
        Pw::Result r = pw.auth("expout", "pw");
        EXPECT_EQ(r.rc, AUTH_OK);
        EXPECT_EQ(r.uid, 3102);
    }
    {
        // Read but without effect on Linux.
        Pw pw({{"SKIP_ADMIN_LOCK_CHECK", "yes"}, {"AIX_USE_AUTHENTICATE", "true"}});
        EXPECT_EQ(pw.auth("expout", "pw").rc, AUTH_EXPIRED);
        EXPECT_EQ(pw.auth("mustchange", "pw").rc, AUTH_EXPIRED);
    }
}

TEST(PwAccounts, EntriesLargerThanFirstBuffer) {
    // glibc suggests 1 KiB for passwd entries; these do not fit it.  The
    // shadow value is SHA-1("secret") followed by 2250 zero bytes, which are
    // not compared.
    const std::string gecos(5000, 'g');
    const std::string longValue = "{SHA}5en6G6MezRroT3XKqkdPOmY/BfQ" + std::string(3000, 'A');
    kivtest::writeAccountFiles(passwdLine("bigpasswd", kivtest::cryptHash("pw"), 3300, gecos) +
                                   passwdLine("bigshadow", "x", 3301, gecos),
                               shadowLine("bigshadow", longValue, day(kToday)), "");
    Pw pw;
    Pw::Result r = pw.auth("bigpasswd", "pw");
    EXPECT_EQ(r.rc, AUTH_OK);
    EXPECT_EQ(r.uid, 3300);
    r = pw.auth("bigshadow", "secret");
    EXPECT_EQ(r.rc, AUTH_OK);
    EXPECT_EQ(r.uid, 3301);
    EXPECT_EQ(pw.auth("bigshadow", "Secret").rc, AUTH_NOAUTH);
}

TEST(PwAccounts, LogLinesAndNoSecrets) {
    const std::string h = kivtest::cryptHash("Sup3r-secret", "$6$");
    kivtest::writeAccountFiles(passwdLine("carol", "x", 3400), shadowLine("carol", h, day(kToday - 1), "30", ""),
                               "");
    Pw pw;
    Pw::Result r = pw.auth("carol", "Sup3r-secret");
    ASSERT_EQ(r.rc, AUTH_OK);
    std::vector<std::string> lines = kivcap::lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "pwAuthenticate [ENTER]: username:<carol>");
    EXPECT_EQ(lines[1], "Authenticating user carol via password database");
    EXPECT_EQ(lines.back(), "pwAuthenticate [EXIT]: username:<carol> rc:<0x92042300>");
    EXPECT_TRUE(kivcap::hasLine("name: carol last change: " + day(kToday - 1) + "  max: 30 expire: -1"));
    std::string text = kivcap::text();
    EXPECT_EQ(text.find("Sup3r-secret"), std::string::npos) << text;
    EXPECT_EQ(text.find(h.substr(3)), std::string::npos) << text;

    pw.auth("carol", "Wr0ng-secret");
    text = kivcap::text();
    EXPECT_EQ(text.find("Wr0ng-secret"), std::string::npos) << text;
    EXPECT_EQ(text.find(h.substr(3)), std::string::npos) << text;
    EXPECT_TRUE(kivcap::hasLine("pwAuthenticate [EXIT]: username:<carol> rc:<0x5>"));

    // Shown passwords: the computed and stored hashes appear.
    pw.log_.showPasswords = 1;
    pw.auth("carol", "Sup3r-secret");
    EXPECT_TRUE(kivcap::contains(h)) << kivcap::text();
}

} // namespace
