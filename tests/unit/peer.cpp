// Access settings and the decisions made from a peer's credentials.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "peer.h"

namespace {

// A configuration list from key/value pairs (entry 0 as the daemon has it).
struct Config {
    std::vector<std::string> strings;
    std::vector<ConfigEntry> entries;
    Config(std::initializer_list<std::pair<const char *, const char *>> kv) {
        strings.reserve(2 * (kv.size() + 1));
        add("program", "kiv-services-daemon");
        for (auto &[k, v] : kv) add(k, v);
    }
    void add(const char *k, const char *v) {
        strings.emplace_back(k);
        char *key = strings.back().data();
        strings.emplace_back(v);
        entries.push_back({key, strings.back().data()});
    }
    ConfigEntry *list() { return entries.data(); }
    int count() const { return static_cast<int>(entries.size()); }
};

AccessSettings read(Config c, SettingProblems *problems) {
    AccessSettings s;
    readAccessSettings(c.list(), c.count(), &s, problems);
    return s;
}

PeerCredentials peer(uid_t uid, gid_t gid, std::vector<gid_t> groups = {}) {
    PeerCredentials p;
    p.uid = uid;
    p.gid = gid;
    p.groups = std::move(groups);
    return p;
}

} // namespace

TEST(AccessSettings, DefaultsKeepTheOpenSocket) {
    SettingProblems problems;
    AccessSettings s = read(Config{}, &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(s.socketMode, 0777u);
    EXPECT_FALSE(s.socketGroupSet);
    EXPECT_FALSE(s.accessLogPeer);
    EXPECT_TRUE(peerAllowed(s, peer(1234, 1234)));
}

TEST(AccessSettings, ValuesAndTheirProblems) {
    SettingProblems problems;
    AccessSettings s = read(Config{{"socketMode", "0660"}, {"SOCKETGROUP", "0"}, {"allowedUsers", "root, 1002,,"},
                                   {"allowedGroups", "50"}, {"maxConnectionsPerUser", "0"},
                                   {"accessLogPeer", "Yes"}},
                            &problems);
    EXPECT_TRUE(problems.empty()) << problems.front().message;
    EXPECT_EQ(s.socketMode, 0660u);
    EXPECT_TRUE(s.socketGroupSet);
    EXPECT_EQ(s.allowedUsers, (std::vector<uid_t>{0, 1002}));
    EXPECT_EQ(s.maxConnectionsPerUser, 0);
    EXPECT_TRUE(s.accessLogPeer);

    problems.clear();
    read(Config{{"socketMode", "rw"}, {"socketMode", "0660"}, {"allowedUsers", "no-such-user-here"},
                {"allowedGroups", "no-such-group-here"}, {"maxConnectionsPerUser", "-1"},
                {"accessLogPeer", "maybe"}, {"socketGroup", "no-such-group-here"}},
         &problems);
    ASSERT_EQ(problems.size(), 6u);
    for (const auto &p : problems) EXPECT_EQ(p.status, kExitBadAccessSettings) << p.key;
    EXPECT_EQ(problems[0].key, "socketMode");
    EXPECT_EQ(problems[0].value, "rw") << "the first entry counts";
    for (const char *mode : {"01777", "8", "", "0o660"}) {
        problems.clear();
        read(Config{{"socketMode", mode}}, &problems);
        EXPECT_EQ(problems.size(), 1u) << mode;
    }
}

TEST(AccessSettings, WhoIsAllowed) {
    SettingProblems problems;
    AccessSettings s = read(Config{{"allowedUsers", "1002"}, {"allowedGroups", "60"}}, &problems);
    EXPECT_TRUE(peerAllowed(s, peer(0, 0))) << "root always";
    EXPECT_TRUE(peerAllowed(s, peer(1002, 1002)));
    EXPECT_TRUE(peerAllowed(s, peer(1001, 60)));
    EXPECT_TRUE(peerAllowed(s, peer(1001, 1001, {50, 60})));
    EXPECT_FALSE(peerAllowed(s, peer(1001, 1001, {50})));
    // Present but empty: only root.
    AccessSettings empty = read(Config{{"allowedUsers", ""}}, &problems);
    EXPECT_FALSE(peerAllowed(empty, peer(1002, 1002)));
    EXPECT_TRUE(peerAllowed(empty, peer(0, 0)));
}

TEST(AccessSettings, ConnectionCapPerAccount) {
    EXPECT_TRUE(reserveConnection(4001, 2));
    EXPECT_TRUE(reserveConnection(4001, 2));
    EXPECT_FALSE(reserveConnection(4001, 2));
    EXPECT_TRUE(reserveConnection(4002, 2)) << "another account";
    releaseConnection(4001);
    EXPECT_TRUE(reserveConnection(4001, 2));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(reserveConnection(0, 2)) << "root is not limited";
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(reserveConnection(4003, 0)) << "0: no limit";
}
