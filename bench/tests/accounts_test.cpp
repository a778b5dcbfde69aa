// Fixture accounts: the stored values must verify, and the files must be
// what the account databases expect.
#include <gtest/gtest.h>

#include <crypt.h>

#include <memory>
#include <set>
#include <sstream>

#include "accounts.h"
#include "verify.h"

using namespace kivbench;

namespace {
int fields(const std::string &line, char sep) {
    int n = 1;
    for (char c : line) n += c == sep;
    return n;
}
} // namespace

TEST(Accounts, SaltedShaValueMatchesAnIndependentEncoding) {
    // Reference values computed with Python's hashlib and base64.
    EXPECT_EQ(sshaValue("secret", "saltsalt"), "{SSHA}1G904nLkTkGWjKNnQuB/hpWXC/hzYWx0c2FsdA==");
    EXPECT_EQ(sshaValue("pw", "ab"), "{SSHA}vhwOPVsnajpEbCmjZjWL1Yr+9hJhYg==");
}

TEST(Accounts, GeneratedValuesVerifyAndWrongPasswordsDoNot) {
    auto ssha = makeSshaAccounts("s", 5, 100);
    auto sha = makeSha512Accounts("h", 3, 200);
    ASSERT_EQ(ssha.size(), 5u);
    ASSERT_EQ(sha.size(), 3u);
    std::set<std::string> passwords;
    for (const Account &a : ssha) {
        char *msg = nullptr;
        EXPECT_EQ(authenticatePassword(a.password.c_str(), a.stored.c_str(), nullptr, &msg), AUTH_OK) << a.stored;
        EXPECT_NE(authenticatePassword(("not-" + a.password).c_str(), a.stored.c_str(), nullptr, &msg), AUTH_OK);
        passwords.insert(a.password);
    }
    EXPECT_EQ(passwords.size(), 5u) << "passwords must differ between accounts";
    auto data = std::make_unique<crypt_data>();
    for (const Account &a : sha) {
        EXPECT_EQ(a.stored.rfind("$6$", 0), 0u);
        const char *h = crypt_r(a.password.c_str(), a.stored.c_str(), data.get());
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(a.stored, h);
    }
    EXPECT_EQ(ssha[4].name, "s4");
    EXPECT_EQ(ssha[4].uid, 104);
}

TEST(Accounts, FixtureFilesHaveWellFormedLines) {
    auto accounts = makeSshaAccounts("u", 3, 1000);
    AccountFiles f = accountFiles(accounts);
    std::istringstream passwd(f.passwd), shadow(f.shadow), group(f.group);
    std::string line;
    int n = 0;
    while (std::getline(passwd, line)) {
        EXPECT_EQ(fields(line, ':'), 7) << line;
        ++n;
    }
    EXPECT_EQ(n, 5);   // root, nobody, three accounts
    while (std::getline(shadow, line)) EXPECT_EQ(fields(line, ':'), 9) << line;
    EXPECT_NE(f.passwd.find("u2:x:1002:1002:"), std::string::npos);
    EXPECT_NE(f.shadow.find("u1:" + accounts[1].stored + ":"), std::string::npos);
    EXPECT_NE(f.group.find("benchstaff:x:5000:u0,u1,u2\n"), std::string::npos);
    while (std::getline(group, line)) EXPECT_EQ(fields(line, ':'), 4) << line;
}

TEST(Accounts, AccountListRoundTripsAndRejectsGarbage) {
    std::vector<Account> in(2);
    in[0].name = "alice";
    in[0].password = "pa:ss";   // a colon belongs to the password
    in[1].name = "bob";
    in[1].password = "";
    std::vector<Account> out;
    std::string error;
    ASSERT_TRUE(parseAccountList(accountList(in), &out, &error)) << error;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].password, "pa:ss");
    EXPECT_EQ(out[1].password, "");
    ASSERT_TRUE(parseAccountList(accountList(in, true), &out, &error));
    EXPECT_EQ(out[0].password, "not-pa:ss");

    ASSERT_TRUE(parseAccountList("carol:x\r\n\n", &out, &error));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].password, "x");
    EXPECT_FALSE(parseAccountList("nocolon\n", &out, &error));
    EXPECT_NE(error.find("line 1"), std::string::npos);
    EXPECT_FALSE(parseAccountList(":nameless\n", &out, &error));
    EXPECT_FALSE(parseAccountList("\n\n", &out, &error));
}
