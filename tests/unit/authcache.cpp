// Authentication cache: settings, matching of name and password, expiry,
// invalidation, least-recently-used eviction, stale stores.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "authcache.h"
#include "log_files.h"
#include "maxtries.h"
#include "methods.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

int init(const Pairs &pairs) {
    kivtest::ConfigList list(pairs);
    return initAuthCache(list.data(), list.size());
}

CachedAnswer answerFor(int uid) {
    CachedAnswer a;
    a.method = &authMethods[0];
    a.uid = uid;
    a.gid = uid;
    a.groups = {uid, 50};
    return a;
}

void store(const char *user, const char *password, int64_t nowMs, int uid) {
    authCacheStore(authCacheTicket(user), user, password, nowMs, answerFor(uid));
}

bool hit(const char *user, const char *password, int64_t nowMs, int *uid = nullptr) {
    CachedAnswer a;
    bool found = authCacheLookup(user, password, nowMs, &a);
    if (found && uid != nullptr) *uid = a.uid;
    return found;
}

class AuthCache : public testing::Test {
protected:
    void TearDown() override {
        authCacheFlush();
        authCacheSeconds = 0;
        authCacheSize = 1000;
        maxtriesNocase = 0;
    }
};

TEST_F(AuthCache, SettingsAreCheckedAndOffByDefault) {
    ASSERT_EQ(init({}), 0);
    EXPECT_FALSE(authCacheOn());
    store("alice", "pw", 0, 1001);
    EXPECT_FALSE(hit("alice", "pw", 1));

    ASSERT_EQ(init({{"authCacheSeconds", "30"}, {"AUTHCACHESIZE", "2"}}), 0);
    EXPECT_TRUE(authCacheOn());
    EXPECT_EQ(authCacheSize, 2);
    for (const char *bad : {"-1", "x", "5s", "", "86401"}) EXPECT_EQ(init({{"authCacheSeconds", bad}}), -1) << bad;
    for (const char *bad : {"0", "-3", "many"}) EXPECT_EQ(init({{"authCacheSize", bad}}), -1) << bad;
}

TEST_F(AuthCache, AnswersOnlyTheSameNameAndPasswordUntilExpiry) {
    ASSERT_EQ(init({{"authCacheSeconds", "10"}}), 0);
    store("alice", "s3cret", 1000, 1001);
    int uid = 0;
    EXPECT_TRUE(hit("alice", "s3cret", 1000, &uid));
    EXPECT_EQ(uid, 1001);
    EXPECT_FALSE(hit("alice", "s3cret ", 1000));
    EXPECT_FALSE(hit("alice", "S3cret", 1000));
    EXPECT_FALSE(hit("alice", "", 1000));
    EXPECT_FALSE(hit("Alice", "s3cret", 1000));
    // Name and password are not just run together.
    EXPECT_FALSE(hit("alices", "3cret", 1000));
    // Hits do not extend the life of an entry.
    EXPECT_TRUE(hit("alice", "s3cret", 10999));
    EXPECT_FALSE(hit("alice", "s3cret", 11000));
    EXPECT_EQ(authCacheEntries(), 0u);
}

TEST_F(AuthCache, FailureFlushAndNewPasswordEndAnEntry) {
    ASSERT_EQ(init({{"authCacheSeconds", "60"}}), 0);
    store("alice", "old", 0, 1001);
    store("bob", "b", 0, 1002);
    authCacheForget("alice");
    EXPECT_FALSE(hit("alice", "old", 1));
    EXPECT_TRUE(hit("bob", "b", 1));

    // One entry per name: a success with another password replaces it.
    store("bob", "new", 2, 1002);
    EXPECT_FALSE(hit("bob", "b", 3));
    EXPECT_TRUE(hit("bob", "new", 3));

    authCacheFlush();
    EXPECT_FALSE(hit("bob", "new", 4));
}

TEST_F(AuthCache, SuccessOutrunByAFailureIsNotStored) {
    ASSERT_EQ(init({{"authCacheSeconds", "60"}}), 0);
    uint64_t ticket = authCacheTicket("alice");
    authCacheForget("alice");  // a failure for the name while the methods ran
    authCacheStore(ticket, "alice", "pw", 0, answerFor(1001));
    EXPECT_FALSE(hit("alice", "pw", 1));

    ticket = authCacheTicket("alice");
    authCacheFlush();
    authCacheStore(ticket, "alice", "pw", 0, answerFor(1001));
    EXPECT_FALSE(hit("alice", "pw", 1));
}

TEST_F(AuthCache, LeastRecentlyUsedGoesFirst) {
    ASSERT_EQ(init({{"authCacheSeconds", "60"}, {"authCacheSize", "2"}}), 0);
    store("a", "1", 0, 1);
    store("b", "2", 0, 2);
    EXPECT_TRUE(hit("a", "1", 1));  // b is now the least recently used
    store("c", "3", 2, 3);
    EXPECT_EQ(authCacheEntries(), 2u);
    EXPECT_TRUE(hit("a", "1", 3));
    EXPECT_FALSE(hit("b", "2", 3));
    EXPECT_TRUE(hit("c", "3", 3));
}

TEST_F(AuthCache, FailureOfAnySpellingDropsTheEntryWhenNamesFoldCase) {
    ASSERT_EQ(init({{"authCacheSeconds", "60"}}), 0);
    maxtriesNocase = 1;
    store("Bob", "pw", 0, 1002);
    EXPECT_TRUE(hit("Bob", "pw", 1));
    EXPECT_FALSE(hit("bob", "pw", 1));  // the answer carries the name as sent
    authCacheForget(" BOB");
    EXPECT_FALSE(hit("Bob", "pw", 2));
}

} // namespace
