// Failed-attempt limiting: settings, lock-out and release with an injected
// clock, saturation, reservations of attempts in flight, keys of names a
// directory compares without case, the purge.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log.h"
#include "log_files.h"
#include "maxtries.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

// Opens debug, access and error logs in a fresh directory so messages can be
// checked; clears the settings and records around every test.
class Maxtries : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        kivtest::ConfigList logs({{"debugLog", dir_ / "debug.log"},
                                  {"accessLog", dir_ / "access.log"},
                                  {"errorLog", dir_ / "error.log"}});
        AuthLog log{};
        initLogs(logs.data(), logs.size(), &log);
        ASSERT_NE(accessLog, nullptr);
    }
    void TearDown() override {
        pthread_mutex_lock(&authAttempLock);
        freeAttempts();
        pthread_mutex_unlock(&authAttempLock);
        maxtries = maxperiod = maxtriesWait = 0;
        maxtriesNocase = 0;
        maxtriesInflightWaitMs = -1;
        closeLogs();
    }
    void settings(int tries, int period, int wait) {
        maxtries = tries;
        maxperiod = period;
        maxtriesWait = wait;
    }
    int init(const Pairs &pairs) {
        kivtest::ConfigList list(pairs);
        return initMaxtries(list.data(), list.size());
    }
    // Runs one password request through the decision steps: pre-check, then
    // the methods' result.  Returns false if refused without asking methods.
    bool attempt(const char *user, int64_t now, bool success) {
        Precheck decision = maxtriesPrecheck(user, now);
        EXPECT_NE(decision, Precheck::OutOfMemory);
        if (decision != Precheck::Go) return false;
        if (success)
            maxtriesRecordSuccess(user);
        else
            EXPECT_EQ(maxtriesRecordFailure(user, now), 0);
        return true;
    }
    std::string key(const char *name) {
        char k[sizeof(AttemptRecord::name)];
        attemptKey(name, k);
        return k;
    }
    int countOf(const char *user) {
        pthread_mutex_lock(&authAttempLock);
        AttemptRecord *r = findAttempts(user);
        int c = r ? r->count : 0;
        pthread_mutex_unlock(&authAttempLock);
        return c;
    }
    int records() {
        int n = 0;
        pthread_mutex_lock(&authAttempLock);
        for (AttemptRecord *r = attempts; r; r = r->next) ++n;
        pthread_mutex_unlock(&authAttempLock);
        return n;
    }
    Lines errors() { return kivtest::logMessages(dir_ / "error.log"); }
    Lines access() { return kivtest::logMessages(dir_ / "access.log"); }
    Lines debug() { return kivtest::logMessages(dir_ / "debug.log"); }

    kivtest::TempDir dir_;
};

TEST_F(Maxtries, SettingsAreValidated) {
    struct Case {
        Pairs pairs;
        int rc;
        const char *error;  // null: no error line
    } cases[] = {
        {{}, 0, nullptr},
        {{{"maxtries", "0"}}, 0, nullptr},
        {{{"maxtries", "5"}}, -1, "maxtriesPeriod and maxtriesWait settings are required when using maxtries."},
        {{{"maxtries", "5"}, {"maxtriesPeriod", "60"}}, -1, "maxtriesWait setting required when using maxtries."},
        {{{"maxtries", "5"}, {"maxtriesWait", "60"}}, -1, "maxtriesPeriod setting required when using maxtries."},
        {{{"maxtriesPeriod", "0"}}, -1, "Invalid value for maxtriesPeriod: 0"},
        {{{"maxtriesPeriod", "abc"}}, -1, "Invalid value for maxtriesPeriod: abc"},
        {{{"maxtriesWait", "-4"}}, -1, "Invalid value for maxtriesWait: -4"},
        {{{"maxtries", "-1"}}, -1, "Invalid value for maxtries: -1"},
        {{{"maxtries", "4294967295"}}, -1, "Invalid value for maxtries: 4294967295"},  // -1 in 32 bits
        {{{"MAXTRIES", "3"}, {"maxtriesperiod", "60"}, {"MaxTriesWait", "300"}}, 0, nullptr},
        {{{"maxtries", "40000"}, {"maxtriesPeriod", "1"}, {"maxtriesWait", "1"}}, 0, nullptr},
    };
    for (const Case &c : cases) {
        size_t before = errors().size();
        EXPECT_EQ(init(c.pairs), c.rc) << (c.pairs.empty() ? "" : c.pairs[0].second);
        Lines err = errors();
        if (c.error) {
            ASSERT_EQ(err.size(), before + 1);
            EXPECT_EQ(err.back(), c.error);
        } else {
            EXPECT_EQ(err.size(), before);
        }
    }
}

TEST_F(Maxtries, LaterEntriesWinAndValuesAreTruncatedTo32Bits) {
    ASSERT_EQ(init({{"maxtries", "2"},
                    {"maxtriesPeriod", "10"},
                    {"maxtriesWait", "20"},
                    {"maxtries", "4294967299"},  // 2^32 + 3
                    {"maxtriesPeriod", "60"},
                    {"maxtriesWait", "300"}}),
              0);
    EXPECT_EQ(maxtries, 3);
    EXPECT_EQ(maxperiod, 60);
    EXPECT_EQ(maxtriesWait, 300);
    Lines dbg = debug();
    Lines expected = {"Using maxtries: 2", "Using maxtries period: 10", "Using maxtries wait: 20",
                      "Using maxtries: 3", "Using maxtries period: 60", "Using maxtries wait: 300"};
    ASSERT_GE(dbg.size(), expected.size());
    EXPECT_EQ(Lines(dbg.end() - expected.size(), dbg.end()), expected);
}

TEST_F(Maxtries, LockOutAndReleaseWithStrictComparisons) {
    settings(3, 60, 300);
    EXPECT_TRUE(attempt("alice", 1000, false));
    EXPECT_TRUE(attempt("alice", 1010, false));
    EXPECT_TRUE(attempt("alice", 1020, false));
    EXPECT_EQ(countOf("alice"), 3);
    // Locked out: even the right password is refused, counted and logged.
    EXPECT_FALSE(attempt("alice", 1030, true));
    EXPECT_EQ(countOf("alice"), 4);
    EXPECT_EQ(access(), Lines{"User alice exceeded maxtries (#/max):4/3"});
    // Exactly maxtriesWait after the last refusal: still refused (and the
    // wait restarts).
    EXPECT_FALSE(attempt("alice", 1330, true));
    EXPECT_EQ(countOf("alice"), 5);
    // One second more: let through, the count starts afresh.
    EXPECT_EQ(maxtriesPrecheck("alice", 1631), Precheck::Go);
    EXPECT_EQ(countOf("alice"), 0);
    maxtriesRelease("alice");
    EXPECT_EQ(records(), 0);
}

TEST_F(Maxtries, CountRestartsAfterThePeriodOrASuccess) {
    settings(3, 60, 300);
    EXPECT_TRUE(attempt("bob", 0, false));
    EXPECT_TRUE(attempt("bob", 60, false));  // exactly the period: still counting
    EXPECT_EQ(countOf("bob"), 2);
    EXPECT_TRUE(attempt("bob", 121, false));  // 61 seconds later: starts again
    EXPECT_EQ(countOf("bob"), 1);
    EXPECT_EQ(records(), 1);

    EXPECT_TRUE(attempt("bob", 122, false));
    EXPECT_TRUE(attempt("bob", 123, true));
    EXPECT_EQ(records(), 0);
    EXPECT_TRUE(attempt("bob", 124, false));
    EXPECT_EQ(countOf("bob"), 1);
}

TEST_F(Maxtries, NamesAreCaseSensitiveAndOffMeansNoRecords) {
    settings(2, 60, 300);
    EXPECT_TRUE(attempt("Dave", 0, false));
    EXPECT_TRUE(attempt("Dave", 1, false));
    EXPECT_TRUE(attempt("dave", 2, false));
    EXPECT_FALSE(attempt("Dave", 3, true));
    EXPECT_TRUE(attempt("dave", 4, true));
    EXPECT_EQ(countOf("Dave"), 3);
    EXPECT_EQ(countOf("dave"), 0);

    pthread_mutex_lock(&authAttempLock);
    freeAttempts();
    pthread_mutex_unlock(&authAttempLock);
    settings(0, 0, 0);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(attempt("gina", i, false));
    EXPECT_EQ(records(), 0);
}

TEST_F(Maxtries, CountSaturatesInsteadOfWrapping) {
    settings(3, 60, 300);
    EXPECT_TRUE(attempt("eve", 0, false));
    pthread_mutex_lock(&authAttempLock);
    findAttempts("eve")->count = 32765;
    pthread_mutex_unlock(&authAttempLock);
    for (int i = 1; i <= 5; ++i) EXPECT_FALSE(attempt("eve", i, true)) << i;
    EXPECT_EQ(countOf("eve"), 32767);
    EXPECT_EQ(access().back(), "User eve exceeded maxtries (#/max):32767/3");

    // A limit above the 16-bit range is never reached, and failures beyond
    // 32767 leave the count there.
    settings(40000, 60, 300);
    pthread_mutex_lock(&authAttempLock);
    findAttempts("eve")->count = 32766;
    pthread_mutex_unlock(&authAttempLock);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(attempt("eve", 10 + i, false));
    EXPECT_EQ(countOf("eve"), 32767);
}

TEST_F(Maxtries, AReservationOutlivesAParallelSuccess) {
    settings(3, 60, 300);
    EXPECT_TRUE(attempt("alice", 0, false));
    ASSERT_EQ(maxtriesPrecheck("alice", 1), Precheck::Go);
    // Meanwhile another request for alice succeeds, and bob fails.
    EXPECT_TRUE(attempt("alice", 2, true));
    EXPECT_TRUE(attempt("bob", 3, false));
    ASSERT_EQ(maxtriesRecordFailure("alice", 4), 0);
    EXPECT_EQ(countOf("bob"), 1);
    EXPECT_EQ(countOf("alice"), 1);
    EXPECT_EQ(records(), 2);
}

TEST_F(Maxtries, AttemptsInFlightCountAgainstTheLimit) {
    settings(3, 60, 300);
    maxtriesInflightWaitMs = 0;
    // Five guesses arrive together: only three may reach the methods.
    int let = 0;
    for (int i = 0; i < 5; ++i) let += maxtriesPrecheck("frank", 0) == Precheck::Go;
    EXPECT_EQ(let, 3);
    EXPECT_EQ(access().back(), "User frank exceeded maxtries (#/max):3/3");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(maxtriesRecordFailure("frank", 1), 0);
    EXPECT_EQ(records(), 1);
    EXPECT_EQ(countOf("frank"), 3);
    EXPECT_FALSE(attempt("frank", 2, true));

    // A waiting request goes on as soon as an attempt in flight succeeds.
    maxtriesInflightWaitMs = 5000;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(maxtriesPrecheck("gail", 0), Precheck::Go);
    std::thread later([] {
        usleep(100 * 1000);
        maxtriesRecordSuccess("gail");
    });
    EXPECT_EQ(maxtriesPrecheck("gail", 0), Precheck::Go);
    later.join();
}

TEST_F(Maxtries, FailuresOfTheSystemAreNotCounted) {
    settings(2, 60, 300);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(maxtriesPrecheck("hal", i), Precheck::Go) << i;
        maxtriesRelease("hal");
    }
    EXPECT_EQ(records(), 0);
    // A released attempt leaves earlier failures as they were.
    EXPECT_TRUE(attempt("hal", 10, false));
    ASSERT_EQ(maxtriesPrecheck("hal", 11), Precheck::Go);
    maxtriesRelease("hal");
    EXPECT_EQ(countOf("hal"), 1);
}

TEST_F(Maxtries, DirectorySpellingsShareOneRecord) {
    settings(3, 60, 300);
    maxtriesNocase = 1;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(attempt("lbob", i, false));
    for (const char *spelling : {"LBOB", "lBob", "lbob ", " lbob", "l\xc2\xad" "bob", "LBOB\t"})
        EXPECT_FALSE(attempt(spelling, 5, true)) << spelling;
    EXPECT_EQ(records(), 1);
    EXPECT_EQ(key("  Ann \t  LEE "), "ann lee");
    EXPECT_EQ(key("\xc3\x84RGER"), "\xc3\xa4rger");  // Unicode upper case folds too
    EXPECT_EQ(key("bad\xff"), "bad\xff");             // bytes that are not UTF-8 stay
    EXPECT_EQ(key(std::string(300, 'X').c_str()), std::string(255, 'x'));

    // Only local methods configured: the directory's rules do not apply.
    ASSERT_EQ(init({{"maxtries", "3"}, {"maxtriesPeriod", "60"}, {"maxtriesWait", "300"}}), 0);
    EXPECT_EQ(maxtriesNocase, 0);
    EXPECT_EQ(key(" Bob"), " Bob");
    ASSERT_EQ(init({{"maxtriesNocase", "yes"}}), 0);
    EXPECT_EQ(maxtriesNocase, 1);
    EXPECT_EQ(init({{"maxtriesNocase", "maybe"}}), -1);
    EXPECT_EQ(errors().back(), "Invalid value for maxtriesNocase: maybe");
}

TEST_F(Maxtries, LongNamesAreCutToTheRecordSize) {
    settings(2, 60, 300);
    std::string longName(300, 'n');
    EXPECT_TRUE(attempt(longName.c_str(), 0, false));
    EXPECT_TRUE(attempt(longName.c_str(), 1, false));
    EXPECT_FALSE(attempt(longName.c_str(), 2, false));
    pthread_mutex_lock(&authAttempLock);
    ASSERT_NE(attempts, nullptr);
    EXPECT_EQ(strlen(attempts->name), 255u);
    EXPECT_EQ(findAttempts(std::string(255, 'n').c_str()), attempts);
    EXPECT_EQ(findAttempts(std::string(254, 'n').c_str()), nullptr);
    pthread_mutex_unlock(&authAttempLock);
}

TEST_F(Maxtries, PurgeRules) {
    settings(3, 60, 300);
    EXPECT_TRUE(attempt("counting", 0, false));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(attempt("locked", 0, false));
    purgeAttempts(60);
    EXPECT_EQ(records(), 2);
    purgeAttempts(61);  // past the period while still counting
    EXPECT_EQ(countOf("counting"), 0);
    EXPECT_EQ(countOf("locked"), 3);
    purgeAttempts(300);
    EXPECT_EQ(records(), 1);
    purgeAttempts(301);  // past the wait
    EXPECT_EQ(records(), 0);

    // The clock-reading form purges relative to the current time.
    EXPECT_TRUE(attempt("old", time(nullptr) - 1000, false));
    EXPECT_TRUE(attempt("fresh", time(nullptr), false));
    pthread_mutex_lock(&authAttempLock);
    clearAttempts(nullptr);
    pthread_mutex_unlock(&authAttempLock);
    EXPECT_EQ(countOf("old"), 0);
    EXPECT_EQ(countOf("fresh"), 1);
}

TEST_F(Maxtries, ClearAndFreeAttempts) {
    settings(5, 60, 300);
    for (const char *u : {"a", "b", "c"}) EXPECT_TRUE(attempt(u, 0, false));
    pthread_mutex_lock(&authAttempLock);
    clearAttempts("b");
    clearAttempts("nobody");
    EXPECT_EQ(findAttempts("b"), nullptr);
    EXPECT_NE(findAttempts("a"), nullptr);
    EXPECT_NE(findAttempts("c"), nullptr);
    freeAttempts();
    EXPECT_EQ(attempts, nullptr);
    pthread_mutex_unlock(&authAttempLock);
    Lines dbg = debug();
    ASSERT_GE(dbg.size(), 2u);
    EXPECT_EQ(dbg[dbg.size() - 2], "freeAttempts [ENTER]");
    EXPECT_EQ(dbg.back(), "freeAttempts [EXIT]");
}

} // namespace
