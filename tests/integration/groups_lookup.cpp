// Group membership lookup against fixture group files (bind-mounted over
// /etc/group in this test's private mount namespace).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "groups.h"
#include "sandbox.h"

namespace {

std::mutex logMutex;
std::vector<std::string> logLines;

void captureDebug(const char *format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(logMutex);
    logLines.emplace_back(buf);
}

void ignore(const char *, ...) {}

AuthLog makeLog() {
    AuthLog log{};
    log.logDebug = captureDebug;
    log.logAccess = ignore;
    log.logWarning = ignore;
    log.logError = ignore;
    return log;
}

struct Lookup {
    int rc = 0;
    std::vector<int> groups;
};

Lookup lookup(const char *user, int gid, bool nocase) {
    AuthLog log = makeLog();
    int *groups = nullptr;
    int count = -1;
    Lookup out;
    out.rc = unixGetGroups(nullptr, user, gid, &groups, &count, &log, nocase ? 1 : 0);
    if (out.rc == 0) {
        EXPECT_NE(groups, nullptr);
        EXPECT_GE(count, 1);
        if (groups != nullptr) out.groups.assign(groups, groups + count);
        free(groups);
    }
    return out;
}

std::vector<std::string> takeLog() {
    std::lock_guard<std::mutex> g(logMutex);
    std::vector<std::string> out;
    out.swap(logLines);
    return out;
}

void setGroups(const std::string &group) {
    kivtest::writeAccountFiles(
        "root:x:0:0:root:/root:/bin/sh\nalice:x:1000:1000::/home/alice:/bin/sh\n",
        "root:*:19000:0:99999:7:::\nalice:*:19000:0:99999:7:::\n", group);
}

// n groups with gids from first, each listing the member.
std::string manyGroups(int n, int first, const std::string &member) {
    std::string text = "root:x:0:\nalice:x:1000:\n";
    for (int i = 0; i < n; ++i)
        text += "g" + std::to_string(i) + ":x:" + std::to_string(first + i) + ":" + member + "\n";
    return text;
}

std::vector<int> range(int primary, int first, int n) {
    std::vector<int> v{primary};
    for (int i = 0; i < n; ++i) v.push_back(first + i);
    return v;
}

const char *kBasic =
    "root:x:0:\n"
    "alice:x:1000:\n"
    "dev:x:2001:alice,bob\n"
    "ops:x:2002:carol,alice\n"
    "other:x:2003:bob\n"
    "upper:x:2004:Alice\n";

TEST(GroupsLookup, NormalLookupPutsThePrimaryGroupFirst) {
    setGroups(kBasic);
    takeLog();
    Lookup r = lookup("alice", 1000, false);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.groups.size(), 3u);
    EXPECT_EQ(r.groups[0], 1000);
    EXPECT_EQ(std::set<int>(r.groups.begin(), r.groups.end()), (std::set<int>{1000, 2001, 2002}));
    EXPECT_EQ(takeLog(), (std::vector<std::string>{"Get groups for alice.", "User alice in 3 groups."}));

    // A primary gid that is also a listed group appears once, first.
    r = lookup("alice", 2002, false);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.groups[0], 2002);
    EXPECT_EQ(std::set<int>(r.groups.begin(), r.groups.end()), (std::set<int>{2001, 2002}));
    EXPECT_EQ(r.groups.size(), 2u);

    // Case matters to the group database itself.
    r = lookup("Alice", 1000, false);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.groups, (std::vector<int>{1000, 2004}));
}

TEST(GroupsLookup, UserWithoutSupplementaryGroupsGetsThePrimaryAlone) {
    setGroups(kBasic);
    EXPECT_EQ(lookup("nobody-here", 4321, false).groups, std::vector<int>{4321});
    EXPECT_EQ(lookup("nobody-here", 4321, true).groups, std::vector<int>{4321});
}

TEST(GroupsLookup, NoCaseScanMatchesMembersIgnoringCase) {
    setGroups(kBasic);
    takeLog();
    Lookup r = lookup("alice", 1000, true);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.groups, (std::vector<int>{1000, 2001, 2002, 2004}));
    EXPECT_EQ(takeLog(), std::vector<std::string>{"User alice in 4 groups."});

    r = lookup("ALICE", 1000, true);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.groups, (std::vector<int>{1000, 2001, 2002, 2004}));

    // The primary gid is not repeated when its group lists the user.
    r = lookup("alice", 2002, true);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.groups, (std::vector<int>{2002, 2001, 2004}));
}

TEST(GroupsLookup, NoCaseScanSkipsKnownGidsButNotRepeatedMembers) {
    setGroups(
        "a:x:3000:alice\n"
        "a-again:x:3000:ALICE\n"
        "twice:x:3001:alice,Alice\n"
        "primary:x:1000:alice\n");
    Lookup r = lookup("alice", 1000, true);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.groups, (std::vector<int>{1000, 3000, 3001, 3001}));
}

TEST(GroupsLookup, MoreThanAThousandGroupsFailOnlyInNormalMode) {
    setGroups(manyGroups(999, 5000, "alice"));
    Lookup r = lookup("alice", 1000, false);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.groups.size(), 1000u);
    EXPECT_EQ(r.groups[0], 1000);

    setGroups(manyGroups(1000, 5000, "alice"));
    takeLog();
    EXPECT_EQ(lookup("alice", 1000, false).rc, -1);
    EXPECT_EQ(takeLog(), (std::vector<std::string>{"Get groups for alice.",
                                                   "getgrouplist(): More than 1000 groups returned."}));

    r = lookup("Alice", 1000, true);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.groups, range(1000, 5000, 1000));
}

TEST(GroupsLookup, NoCaseScanGrowsInStepsOfFifty) {
    for (int n : {48, 49, 50, 51, 99, 120}) {
        setGroups(manyGroups(n, 7000, "ALICE"));
        Lookup r = lookup("alice", 1000, true);
        ASSERT_EQ(r.rc, 0) << n;
        EXPECT_EQ(r.groups, range(1000, 7000, n)) << n;
    }
}

TEST(GroupsLookup, ConcurrentScansDoNotShareTheCursor) {
    setGroups(manyGroups(120, 7000, "alice"));
    const std::vector<int> expected = range(1000, 7000, 120);
    std::vector<std::thread> threads;
    std::mutex m;
    int wrong = 0;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                Lookup r = lookup("alice", 1000, true);
                Lookup n = lookup("alice", 1000, false);  // getgrouplist alongside
                std::vector<int> sorted = n.groups;
                std::sort(sorted.begin() + (sorted.empty() ? 0 : 1), sorted.end());
                std::lock_guard<std::mutex> g(m);
                if (r.rc != 0 || r.groups != expected || n.rc != 0 || sorted != expected) ++wrong;
            }
            (void)t;
        });
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
