// Shadow ageing: must-change, maximum age and account expiry, each at its
// day-exact boundary, with the skip flags and the "not set" (-1) values.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "verify.h"
#include "verify_logcapture.h"

namespace {

constexpr long long kToday = 20000;  // 2024-10-04

char untouchedText[] = "untouched";

struct Aged {
    int rc;
    std::string message;
};

Aged age(int lastChange, int maxAge, int expire, int skipAge = 0, int skipExpire = 0,
         int skipChange = 0, long long today = kToday) {
    AuthLog log = kivcap::makeLog(0);
    char *message = untouchedText;
    kivcap::clear();
    int rc = shadowExpiredOn(today, lastChange, maxAge, expire, skipAge, skipExpire, skipChange,
                             &log, &message);
    return {rc, message};
}

TEST(VerifyAgeing, ExpiryMessageText) { EXPECT_STREQ(EXPMSG, "The user's password has expired"); }

TEST(VerifyAgeing, MustChangeMarker) {
    Aged a = age(0, -1, -1);
    EXPECT_EQ(a.rc, AUTH_EXPIRED);
    EXPECT_EQ(a.message, "Password change required.");
    EXPECT_TRUE(kivcap::hasLine("Password expired. (lstchg=0)"));

    // Skipping the change check lets the other checks decide; 0 + maxAge is
    // then far in the past.
    a = age(0, 99999, -1, 0, 0, 1);
    EXPECT_EQ(a.rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("Skipped password change check."));
    a = age(0, 30, -1, 0, 0, 1);
    EXPECT_EQ(a.rc, AUTH_EXPIRED);
    EXPECT_EQ(a.message, EXPMSG);
}

TEST(VerifyAgeing, MaximumAgeBoundary) {
    // lastChange + maxAge == today passes; one day earlier expires.
    Aged a = age(kToday - 90, 90, -1);
    EXPECT_EQ(a.rc, AUTH_OK);
    EXPECT_EQ(a.message, "untouched");
    a = age(kToday - 91, 90, -1);
    EXPECT_EQ(a.rc, AUTH_EXPIRED);
    EXPECT_EQ(a.message, EXPMSG);
    EXPECT_TRUE(kivcap::hasLine("Password expired. Last change too far in the past."));
    // maxAge 0: changed today passes, yesterday expires.
    EXPECT_EQ(age(kToday, 0, -1).rc, AUTH_OK);
    EXPECT_EQ(age(kToday - 1, 0, -1).rc, AUTH_EXPIRED);
    // The sum does not wrap in 32 bits.
    EXPECT_EQ(age(2000000000, 2000000000, -1).rc, AUTH_OK);

    a = age(kToday - 91, 90, -1, 1);
    EXPECT_EQ(a.rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("Skipped expired password check."));
}

TEST(VerifyAgeing, UnsetValuesSkipAgeCheckOnly) {
    const char *notChecked =
        "Password not checked for max age. Either lastchange or maxage was not specified.";
    Aged a = age(-1, 1, -1);
    EXPECT_EQ(a.rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine(notChecked));
    EXPECT_TRUE(kivcap::hasLine("Account not checked for expiration. expire was not specified."));
    a = age(1, -1, -1);
    EXPECT_EQ(a.rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine(notChecked));
    // An unset last change still gets the expiry check.
    a = age(-1, -1, kToday - 1);
    EXPECT_EQ(a.rc, AUTH_EXPIRED);
    EXPECT_EQ(a.message, EXPMSG);
}

TEST(VerifyAgeing, AccountExpiryBoundary) {
    Aged a = age(kToday, 99999, kToday);
    EXPECT_EQ(a.rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("accountExpire check passes."));
    a = age(kToday, 99999, kToday - 1);
    EXPECT_EQ(a.rc, AUTH_EXPIRED);
    EXPECT_EQ(a.message, EXPMSG);
    EXPECT_TRUE(kivcap::hasLine("Password expired. (sp_expire)"));

    a = age(kToday, 99999, kToday - 1, 0, 1);
    EXPECT_EQ(a.rc, AUTH_OK);
    EXPECT_TRUE(kivcap::hasLine("Skipped expired account check."));
    // An expiry day of 0 is a real date (long past), not "unset".
    EXPECT_EQ(age(kToday, 99999, 0).rc, AUTH_EXPIRED);
}

TEST(VerifyAgeing, ChecksRunInOrder) {
    // All three would fail: the must-change check answers first.
    Aged a = age(0, 1, 1);
    EXPECT_EQ(a.message, "Password change required.");
    // Age and expiry both fail: the age check answers.
    a = age(10, 1, 1);
    EXPECT_EQ(a.rc, AUTH_EXPIRED);
    EXPECT_TRUE(kivcap::hasLine("Password expired. Last change too far in the past."));
    EXPECT_FALSE(kivcap::hasLine("Password expired. (sp_expire)"));
}

TEST(VerifyAgeing, ShadowExpiredUsesClockUnlessPinned) {
    AuthLog log = kivcap::makeLog(0);
    char *message = nullptr;
    const int realToday = static_cast<int>(std::time(nullptr) / 86400);
    // Around midnight the day may roll over between here and the call; a day of
    // slack on the passing side keeps the test honest and stable.
    EXPECT_EQ(shadowExpired(realToday - 9, 10, -1, 0, 0, 0, &log, &message), AUTH_OK);
    EXPECT_EQ(shadowExpired(realToday - 12, 10, -1, 0, 0, 0, &log, &message), AUTH_EXPIRED);

    setShadowTodayForTesting(kToday);
    EXPECT_EQ(shadowExpired(kToday - 10, 10, kToday, 0, 0, 0, &log, &message), AUTH_OK);
    EXPECT_EQ(shadowExpired(kToday - 11, 10, -1, 0, 0, 0, &log, &message), AUTH_EXPIRED);
    EXPECT_EQ(shadowExpired(kToday, 10, kToday - 1, 0, 0, 0, &log, &message), AUTH_EXPIRED);
    setShadowTodayForTesting(-1);
    EXPECT_EQ(shadowExpired(kToday - 11, 10, -1, 0, 0, 0, &log, &message), AUTH_EXPIRED);
    EXPECT_EQ(shadowExpired(realToday + 1, 0, -1, 0, 0, 0, nullptr, nullptr), AUTH_OK);
}

} // namespace
