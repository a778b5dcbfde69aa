// Stored-password verification: every scheme prefix, salted values, crypt()
// hashes of the kinds libcrypt makes, messages, and what reaches the log.
#include <crypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "verify.h"
#include "verify_logcapture.h"

namespace {

// Sentinel that lets a test see whether the routine touched the message.
char untouchedText[] = "untouched";

struct Outcome {
    int rc;
    std::string message;
};

Outcome check(const std::string &password, const std::string &stored, int show = 0) {
    AuthLog log = kivcap::makeLog(show);
    char *message = untouchedText;
    int rc = authenticatePassword(password.c_str(), stored.c_str(), &log, &message);
    return {rc, message ? message : "(null)"};
}

std::string b64(const std::string &bytes) {
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
        out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
    }
    if (bytes.size() - i == 1) {
        unsigned v = (unsigned char)bytes[i] << 16;
        out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
    } else if (bytes.size() - i == 2) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
        out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
    }
    return out;
}

std::string sha1(const std::string &m) {
    unsigned char d[21];
    sha1Crypt(reinterpret_cast<const unsigned char *>(m.data()), static_cast<int>(m.size()), d);
    return std::string(reinterpret_cast<char *>(d), 20);
}

std::string sha256(const std::string &m) {
    unsigned char d[33];
    sha256Crypt(reinterpret_cast<const unsigned char *>(m.data()), static_cast<int>(m.size()), d);
    return std::string(reinterpret_cast<char *>(d), 32);
}

std::string saltBytes(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>(i % 3 == 0 ? 0 : 0x40 + i);
    return s;
}

std::string cryptOf(const std::string &password, const char *prefix) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting)) return "";
    crypt_data data{};
    const char *h = crypt_r(password.c_str(), setting, &data);
    return h && h[0] != '*' ? h : "";
}

// Reference values computed with an independent SHA implementation.
const char kPw[] = "secret";
const char kSha1Secret[] = "5en6G6MezRroT3XKqkdPOmY/BfQ=";
const char kSha256Secret[] = "K7gNU3sdo+OL0wNhqoVWhr3g6s1xYv72ol/pe/Unols=";
const char kSsha256Salt8[] = "xqiNvkNmgUo0NTndrB+A9JXpqm4feEWbP7mJ20XcIn0BAAIAAwAEAA==";  // salt 01 00 02 00 ...
const char kSsha1Salt4[] = "jyFcbl3zlGe6/gPpUiHdSvUSq5MA/wAQ";                          // salt 00 ff 00 10
const char kSsha1Salt16[] = "o8knsqoeF6dfrPOYBJ37h3y7MHYAAQIDBAUGBwgJCgsMDQ4P";
const char kSha1SecretTail[] = "5en6G6MezRroT3XKqkdPOmY/BfR0YWls";  // digest + "tail"

TEST(VerifyPassword, EveryPrefixInBothSpellings) {
    const std::string sha512 = cryptOf(kPw, "$6$");
    ASSERT_FALSE(sha512.empty());
    struct Case {
        std::string stored;
        const char *firstLine;
    } cases[] = {
        {std::string("{sha}") + kSha1Secret, "Using SHA encryption."},
        {std::string("{SHA}") + kSha1Secret, "Using SHA encryption."},
        {std::string("{sha256}") + kSha256Secret, "Using SHA256 encryption."},
        {std::string("{SHA256}") + kSha256Secret, "Using SHA256 encryption."},
        {std::string("{SSHA}") + kSsha256Salt8, "Using SSHA encryption."},
        {std::string("{ssha}") + kSsha1Salt4, "Using SSHA encryption."},
        {std::string("{ssha256}") + kSsha256Salt8, "Using SSHA-256 encryption."},
        {std::string("{SSHA256}") + kSsha1Salt16, "Using SSHA-256 encryption."},
        {"{crypt}" + sha512, "Using crypt()/bigcrypt()/crypt16() encryption."},
        {"{CRYPT}" + sha512, "Using crypt()/bigcrypt()/crypt16() encryption."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        kivcap::clear();
        EXPECT_EQ(check(kPw, c.stored).rc, AUTH_OK);
        ASSERT_FALSE(kivcap::lines().empty());
        EXPECT_EQ(kivcap::lines().front(), c.firstLine);
        EXPECT_EQ(check("Secret", c.stored).rc, AUTH_NOAUTH);
        EXPECT_EQ(check("", c.stored).rc, AUTH_NOAUTH);
    }
}

TEST(VerifyPassword, UnknownOrWrongCasePrefixRefused) {
    for (const char *prefix :
         {"{Sha}", "{sHA}", "{Sha256}", "{Ssha}", "{sSHA}", "{SSha256}", "{Crypt}", "{MD5}", "{", "{SHA", "{}"}) {
        SCOPED_TRACE(prefix);
        Outcome o = check(kPw, std::string(prefix) + kSha1Secret);
        EXPECT_EQ(o.rc, AUTH_NOAUTH);
        EXPECT_EQ(o.message, "User password uses unknown/unsupported encryption.");
    }
}

TEST(VerifyPassword, UnsaltedSha1) {
    // Bytes after the 20-byte digest are not compared.
    EXPECT_EQ(check(kPw, std::string("{SHA}") + kSha1SecretTail).rc, AUTH_OK);
    // A digest with a zero byte in it (fa5645...00147c...).
    EXPECT_EQ(check("pw29", "{SHA}+lZFIoqhu1CoTE3aABR8ThpFbzo=").rc, AUTH_OK);
    EXPECT_EQ(check("pw28", "{SHA}+lZFIoqhu1CoTE3aABR8ThpFbzo=").rc, AUTH_NOAUTH);

    // First and last digest byte differing: mismatch, message left alone.
    std::string d = sha1(kPw);
    for (size_t pos : {size_t(0), size_t(19)}) {
        std::string wrong = d;
        wrong[pos] ^= 1;
        kivcap::clear();
        Outcome o = check(kPw, "{SHA}" + b64(wrong));
        EXPECT_EQ(o.rc, AUTH_NOAUTH);
        EXPECT_EQ(o.message, "untouched");
        EXPECT_TRUE(kivcap::hasLine("SSA password mismatch."));
    }
    // Shorter than a digest (even when it is a prefix of the right one).
    EXPECT_EQ(check(kPw, "{SHA}" + b64(d.substr(0, 19))).rc, AUTH_NOAUTH);
    EXPECT_EQ(check(kPw, "{SHA}").rc, AUTH_NOAUTH);
    EXPECT_EQ(check("", "{SHA}").rc, AUTH_NOAUTH);
}

TEST(VerifyPassword, UnsaltedSha256) {
    EXPECT_EQ(check("pw0", "{SHA256}gxatAK69RVEQ/j8dzneHJ5Gb7xGiKhFaQZxW444xufA=").rc, AUTH_OK);
    // Long passwords are digested like short ones (70 bytes: two blocks).
    EXPECT_EQ(check(std::string(70, 'x'), "{SHA256}xxvRCSJ+I0NOz3H9CjRKIJE2x5rloL2itcpELWmaPNk=").rc, AUTH_OK);
    EXPECT_EQ(check(std::string(69, 'x'), "{SHA256}xxvRCSJ+I0NOz3H9CjRKIJE2x5rloL2itcpELWmaPNk=").rc, AUTH_NOAUTH);

    // 31 or 33 decoded bytes, even with the right digest inside.
    std::string d = sha256(kPw);
    for (const std::string &value : {d.substr(0, 31), d + "z"}) {
        kivcap::clear();
        Outcome o = check(kPw, "{SHA256}" + b64(value));
        EXPECT_EQ(o.rc, AUTH_NOAUTH);
        EXPECT_EQ(o.message, "untouched");
        EXPECT_TRUE(kivcap::hasLine("SHA256 password mismatch. Lengths differ."));
    }
    std::string wrong = d;
    wrong[31] ^= 0x80;
    kivcap::clear();
    Outcome o = check(kPw, "{SHA256}" + b64(wrong));
    EXPECT_EQ(o.rc, AUTH_NOAUTH);
    EXPECT_EQ(o.message, "untouched");
    EXPECT_TRUE(kivcap::hasLine("SHA256 password mismatch."));
}

TEST(VerifyPassword, SaltedValuesOfManySaltLengths) {
    // SHA-1 digests: 20+12 = 32 bytes never tries SHA-256; 20+13 tries it
    // first and must still match through SHA-1.
    for (size_t n : {1u, 4u, 11u, 12u, 13u, 16u, 64u, 300u}) {
        SCOPED_TRACE("sha1 salt " + std::to_string(n));
        std::string salt = saltBytes(n);
        std::string value = b64(sha1(kPw + salt) + salt);
        kivcap::clear();
        EXPECT_EQ(check(kPw, "{SSHA}" + value).rc, AUTH_OK);
        EXPECT_TRUE(kivcap::hasLine("User authenticated via SSHA-1."));
        EXPECT_EQ(kivcap::hasLine("SSHA trying SHA-256."), 20 + n > 32);
        EXPECT_EQ(check("secreT", "{ssha256}" + value).rc, AUTH_NOAUTH);
    }
    for (size_t n : {1u, 8u, 64u, 300u}) {
        SCOPED_TRACE("sha256 salt " + std::to_string(n));
        std::string salt = saltBytes(n);
        std::string value = b64(sha256(kPw + salt) + salt);
        kivcap::clear();
        EXPECT_EQ(check(kPw, "{SSHA256}" + value).rc, AUTH_OK);
        EXPECT_TRUE(kivcap::hasLine("User authenticated via SSHA-256."));
        EXPECT_TRUE(kivcap::hasLine("salt length is " + std::to_string(n)));
        EXPECT_EQ(check("secret ", "{SSHA}" + value).rc, AUTH_NOAUTH);
    }
    // Zero bytes in digest and salt: digest 8cab...fb followed by 00 00 00.
    EXPECT_EQ(check("pw0", "{SSHA}jKt6MMipil855Gl2loHjmW1HSpi89UxLtZStP28W2vsAAAA=").rc, AUTH_OK);
    // The salt is part of the digest input: a different salt fails.
    std::string value = sha1(std::string(kPw) + "abcd") + "abce";
    EXPECT_EQ(check(kPw, "{SSHA}" + b64(value)).rc, AUTH_NOAUTH);
}

TEST(VerifyPassword, SaltedAttemptOrder) {
    kivcap::clear();
    ASSERT_EQ(check(kPw, std::string("{SSHA}") + kSsha1Salt4).rc, AUTH_OK);  // 24 bytes
    EXPECT_FALSE(kivcap::hasLine("SSHA trying SHA-256."));
    EXPECT_TRUE(kivcap::hasLine("SSHA trying SSHA-1."));
    EXPECT_TRUE(kivcap::hasLine("salt length is 4"));

    kivcap::clear();
    ASSERT_EQ(check(kPw, std::string("{SSHA}") + kSsha1Salt16).rc, AUTH_OK);  // 36 bytes
    std::vector<std::string> l = kivcap::lines();
    auto at = [&](const std::string &s) { return std::find(l.begin(), l.end(), s) - l.begin(); };
    EXPECT_LT(at("SSHA trying SHA-256."), at("SSHA trying SSHA-1."));
    EXPECT_LT(at("SSHA trying SSHA-1."), static_cast<long>(l.size()));
    EXPECT_TRUE(kivcap::hasLine("salt length is 4"));   // 36 - 32
    EXPECT_TRUE(kivcap::hasLine("salt length is 16"));  // 36 - 20

    kivcap::clear();
    ASSERT_EQ(check(kPw, std::string("{SSHA}") + kSsha256Salt8).rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("User authenticated via SSHA-256."));
    EXPECT_FALSE(kivcap::hasLine("SSHA trying SSHA-1."));
}

TEST(VerifyPassword, SaltedValueWithoutSalt) {
    // Exactly 20 bytes (a bare SHA-1 digest), or fewer: never a match.
    for (const std::string &value : {sha1(kPw), sha1(kPw).substr(0, 7), std::string()}) {
        SCOPED_TRACE(value.size());
        kivcap::clear();
        Outcome o = check(kPw, "{SSHA}" + b64(value));
        EXPECT_EQ(o.rc, AUTH_NOAUTH);
        EXPECT_EQ(o.message, "untouched");
        EXPECT_TRUE(kivcap::hasLine("Password not valid for SSHA."));
        EXPECT_TRUE(kivcap::hasLine("SSHA password mismatch."));
    }
    // A bare SHA-256 digest (32 bytes) is read as SHA-1 + 12-byte salt: no match.
    EXPECT_EQ(check(kPw, "{SSHA256}" + b64(sha256(kPw))).rc, AUTH_NOAUTH);
}

TEST(VerifyPassword, AuthenticateSSHAResults) {
    AuthLog log = kivcap::makeLog(0);
    EXPECT_EQ(authenticateSSHA(kPw, kSsha1Salt16, &log), 1);
    EXPECT_EQ(authenticateSSHA("nope", kSsha1Salt16, &log), 0);
    EXPECT_EQ(authenticateSSHA(kPw, "", &log), 0);
    EXPECT_EQ(authenticateSSHA(kPw, kSsha256Salt8, nullptr), 1);  // no log at all
}

TEST(VerifyPassword, CryptHashesOfEveryKind) {
    for (const char *prefix : {"$6$", "$5$", "$1$", "$y$", ""}) {
        SCOPED_TRACE(std::string("prefix '") + prefix + "'");
        std::string hash = cryptOf("s3cr3t pass", prefix);
        ASSERT_FALSE(hash.empty());
        EXPECT_EQ(check("s3cr3t pass", hash).rc, AUTH_OK);
        EXPECT_EQ(check("s3cr3t pass", "{crypt}" + hash).rc, AUTH_OK);

        kivcap::clear();
        Outcome bare = check("s3cr3T pass", hash);  // DES sees 8 characters
        EXPECT_EQ(bare.rc, AUTH_NOAUTH);
        EXPECT_EQ(bare.message, "Password mismatch.");
        EXPECT_TRUE(kivcap::hasLine("crypt did not match. Trying SSHA encryption."));
        EXPECT_TRUE(kivcap::hasLine("passwords did not match via SSHA.\n"));

        kivcap::clear();
        Outcome tagged = check("", "{CRYPT}" + hash);
        EXPECT_EQ(tagged.rc, AUTH_NOAUTH);
        EXPECT_EQ(tagged.message, "Password mismatch.");
        EXPECT_FALSE(kivcap::hasLine("crypt did not match. Trying SSHA encryption."));

        // The whole hash is compared: a truncated or extended one fails.
        EXPECT_EQ(check("s3cr3t pass", hash.substr(0, hash.size() - 1)).rc, AUTH_NOAUTH);
        EXPECT_EQ(check("s3cr3t pass", hash + "A").rc, AUTH_NOAUTH);
    }
}

TEST(VerifyPassword, LockedAndPlaceholderValuesNeverMatch) {
    std::string hash = cryptOf("pw", "$6$");
    const std::string values[] = {"!" + hash, "!!", "!", "*", "*LK*", "x", "{crypt}!" + hash, "{crypt}*"};
    for (const std::string &stored : values) {
        SCOPED_TRACE(stored);
        EXPECT_EQ(check("pw", stored).rc, AUTH_NOAUTH);
        EXPECT_EQ(check("", stored).rc, AUTH_NOAUTH);
    }
}

TEST(VerifyPassword, EmptyStoredValues) {
    // "{crypt}" with nothing after it stands for "no password".
    EXPECT_EQ(check("", "{crypt}").rc, AUTH_OK);
    Outcome o = check("x", "{crypt}");
    EXPECT_EQ(o.rc, AUTH_NOAUTH);
    EXPECT_EQ(o.message, "Password mismatch.");

    // A bare empty value rejects everything.
    o = check("", "");
    EXPECT_EQ(o.rc, AUTH_NOAUTH);
    EXPECT_EQ(o.message, "SSHA1 encryption failed.");
    o = check("x", "");
    EXPECT_EQ(o.rc, AUTH_NOAUTH);
    EXPECT_EQ(o.message, "Password mismatch.");
}

TEST(VerifyPassword, BareSaltedValueAfterFailedCrypt) {
    kivcap::clear();
    EXPECT_EQ(check(kPw, kSsha1Salt16).rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("crypt did not match. Trying SSHA encryption."));
    EXPECT_TRUE(kivcap::hasLine("User authenticated via SSHA-1."));
    EXPECT_EQ(check(kPw, kSsha256Salt8).rc, AUTH_OK);
    Outcome o = check("guess", kSsha1Salt16);
    EXPECT_EQ(o.rc, AUTH_NOAUTH);
    EXPECT_EQ(o.message, "Password mismatch.");
}

TEST(VerifyPassword, NullArgumentsRefused) {
    AuthLog log = kivcap::makeLog(0);
    char *message = nullptr;
    EXPECT_EQ(authenticatePassword(nullptr, "{crypt}", &log, &message), AUTH_NOAUTH);
    EXPECT_EQ(authenticatePassword("", nullptr, &log, &message), AUTH_NOAUTH);
    EXPECT_EQ(authenticateCrypt(nullptr, "", 0, &log, nullptr), AUTH_NOAUTH);
    // A null message pointer and a null log are tolerated.
    EXPECT_EQ(authenticatePassword(kPw, "{MD5}x", nullptr, nullptr), AUTH_NOAUTH);
}

// Every scheme, matching and not: what may appear in the log.
struct LogCase {
    std::string password;
    std::string stored;
    std::string secretPart;  // the stored hash or encoded part
};

std::vector<LogCase> logCases() {
    std::string hash = cryptOf("Pa55-word", "$6$");
    std::string desHash = cryptOf("Pa55-word", "");
    std::string s1 = b64(sha1("Pa55-word"));
    std::string s256 = b64(sha256("Pa55-word"));
    std::string ss = b64(sha1(std::string("Pa55-word") + "NaCl") + "NaCl");
    std::vector<LogCase> cases;
    for (const char *pw : {"Pa55-word", "Wr0ng-guess"}) {
        cases.push_back({pw, hash, hash.substr(20)});
        cases.push_back({pw, desHash, desHash.substr(2)});
        cases.push_back({pw, "{crypt}" + hash, hash.substr(20)});
        cases.push_back({pw, "{SHA}" + s1, s1});
        cases.push_back({pw, "{SHA256}" + s256, s256});
        cases.push_back({pw, "{SSHA}" + ss, ss});
        cases.push_back({pw, ss, ss});
    }
    return cases;
}

TEST(VerifyPassword, HiddenPasswordsKeepSecretsOutOfLog) {
    for (const LogCase &c : logCases()) {
        SCOPED_TRACE(c.stored + " / " + c.password);
        kivcap::clear();
        check(c.password, c.stored, 0);
        std::string text = kivcap::text();
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find(c.password), std::string::npos) << text;
        EXPECT_EQ(text.find(c.secretPart), std::string::npos) << text;
        EXPECT_EQ(text.find("0x"), std::string::npos) << text;
        EXPECT_EQ(text.find("Matching user password"), std::string::npos) << text;
    }
    // Values other than 1 count as hidden too.
    kivcap::clear();
    check("Pa55-word", "{SSHA}" + b64(sha1("Pa55-wordNaCl") + "NaCl"), 2);
    EXPECT_FALSE(kivcap::contains("Pa55-word"));
    EXPECT_TRUE(kivcap::hasLine("SSHA authenticating user credentials."));
}

TEST(VerifyPassword, ShownPasswordsAreLogged) {
    std::string value = b64(sha1("Pa55-wordNaCl") + "NaCl");
    kivcap::clear();
    ASSERT_EQ(check("Pa55-word", "{SSHA}" + value, 1).rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("SSHA authenticating Pa55-word to db " + value));
    EXPECT_TRUE(kivcap::contains("decoded DB password is 0x"));
    EXPECT_TRUE(kivcap::contains("Comparing shaKey 0x"));
    EXPECT_TRUE(kivcap::contains(" to db key 0x"));

    std::string hash = cryptOf("Pa55-word", "$5$");
    kivcap::clear();
    ASSERT_EQ(check("Pa55-word", hash, 1).rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("Matching user password " + hash + " to database password " + hash));

    // The SHA dump pair: computed digest against the whole decoded value.
    kivcap::clear();
    ASSERT_EQ(check(kPw, std::string("{SHA}") + kSha1Secret, 1).rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("Comparing shaKey 0xe5e9fa1ba31ecd1ae84f75caaa474f3a663f05f4 to db key "
                                "0xe5e9fa1ba31ecd1ae84f75caaa474f3a663f05f4"));
}

} // namespace
