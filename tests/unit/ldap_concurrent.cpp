// Many workers using one LDAP module instance at once: every request gets its
// own user's uid and groups (the user DN handed from authentication to the
// group lookup stays private to the request), and the library-wide options
// are set safely while other workers connect.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "ldap_common.h"

using namespace ldaptest;

namespace {

struct Expected {
    std::string user, password;
    int uid;
    std::set<int> groups;
};

// Users whose entry BIND finds through the name (domains included).
const std::vector<Expected> bindPeople = {
    {"alice", "alice-pw", 2001, {3001, 4001}},
    {"bob", "bob-pw", 2002, {3002, 4003}},
    {"fred", "fred-pw", 2006, {3006}},
    {"sam@sales", "sam-pw", 2201, {3201}},
    {"dave@eng", "dave-pw", 2101, {3101}},
};
// Users whose entry a search finds (jsmith's DN holds an escaped comma).
const std::vector<Expected> searchPeople = {
    {"alice", "alice-pw", 2001, {3001, 4001}},
    {"bob", "bob-pw", 2002, {3002, 4003}},
    {"fred", "fred-pw", 2006, {3006}},
    {"jsmith", "jsmith-pw", 2007, {3007, 4001, 4002}},
};

// Runs `threads` workers, each `rounds` times authenticating its own user and
// reading its groups; returns the failures seen.
std::vector<std::string> hammer(Instance &inst, const std::vector<Expected> &people, int threads,
                                int rounds)
{
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    auto fail = [&](const std::string &what) {
        std::lock_guard<std::mutex> lock(failuresMutex);
        failures.push_back(what);
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                // Neighbouring workers and rounds alternate users.
                const Expected &p = people[(t + round) % people.size()];
                if (round % 4 == 3) {
                    // A wrong password in between must not leak into later requests.
                    int uid = -1, gid = -1;
                    char *unixName = nullptr, *msg = nullptr;
                    const int rc = module().authenticate(inst.context, p.user.c_str(), "wrong", &uid, &gid,
                                                         &unixName, &inst.log, &msg);
                    if (rc == AUTH_OK) fail(p.user + " accepted a wrong password");
                    continue;
                }
                int uid = -1, gid = -1;
                char *unixName = nullptr, *msg = nullptr;
                const int rc = module().authenticate(inst.context, p.user.c_str(), p.password.c_str(), &uid,
                                                     &gid, &unixName, &inst.log, &msg);
                if (rc != AUTH_OK || uid != p.uid) {
                    fail(p.user + ": rc " + std::to_string(rc) + " uid " + std::to_string(uid));
                    continue;
                }
                int *list = nullptr;
                int count = 0;
                msg = nullptr;
                const int grc = module().getGroups(inst.context, p.user.c_str(), p.password.c_str(), gid, &list,
                                                   &count, &inst.log, 0, &msg);
                std::set<int> got(list, list + (list ? count : 0));
                if (grc != 0 || got != p.groups || list == nullptr || list[0] != gid)
                    fail(p.user + ": groups rc " + std::to_string(grc) + " count " + std::to_string(count));
                free(list);
            }
        });
    }
    for (std::thread &w : workers) w.join();
    return failures;
}

} // namespace

TEST(LdapConcurrent, BindRequestsKeepTheirOwnUserDN)
{
    ASSERT_DIRECTORY();
    Instance inst(rfc2307(directory()->hostPort(), "BIND"));
    ASSERT_EQ(inst.status, 0) << logText();
    const auto failures = hammer(inst, bindPeople, 8, 12);
    EXPECT_TRUE(failures.empty()) << failures.size() << " failures, first: " << failures.front();
}

TEST(LdapConcurrent, MatchRequestsOverLdaps)
{
    ASSERT_DIRECTORY();
    Instance inst(rfc2307(directory()->sslHostPort(), "MATCH")
                      .add("LDAP_BIND_SECURITY", "SSL")
                      .add("LDAP_SSL_CA_CERTIFICATE_NAME", directory()->caFile()));
    ASSERT_EQ(inst.status, 0) << logText();
    const auto failures = hammer(inst, searchPeople, 6, 8);
    EXPECT_TRUE(failures.empty()) << failures.size() << " failures, first: " << failures.front();
}

TEST(LdapConcurrent, QueryRequestsWithTheProtocolRetry)
{
    ASSERT_DIRECTORY();
    // No protocol version configured: every worker's connection may need the
    // switch to version 3 while others set the library default.
    Instance inst(rfc2307(directory()->hostPort(), "QUERY").add("LDAP_GROUP_METHOD", "HOST"));
    Instance two(rfc2307(directory()->hostPort(), "MATCH").add("LDAP_PROTOCOL_VERSION", "2"));
    ASSERT_EQ(inst.status, 0);
    std::atomic<bool> done{false};
    // Keeps writing the library-wide default (version 2) while the others work.
    std::thread setter([&] {
        while (!done.load()) {
            char *msg = nullptr;
            LDAP *ld = module().connectionInit(two.context, nullptr, &two.log, &msg);
            if (ld != nullptr) module().ldapUnbind(ld, nullptr, nullptr);
        }
    });
    const auto failures = hammer(inst, searchPeople, 6, 8);
    done = true;
    setter.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failures, first: " << failures.front();
}

TEST(LdapConcurrent, KeptConnectionsStayWithTheirWorker)
{
    ASSERT_DIRECTORY();
    // Workers rebind their kept user connection for every request while the
    // idle closer (one-second limit) sweeps the connections of all workers.
    Instance query(rfc2307(directory()->hostPort(), "QUERY")
                       .add("LDAP_CONNECTION_REUSE", "yes")
                       .add("LDAP_IDLE_TIMEOUT", "1"));
    Instance bind(rfc2307(directory()->hostPort(), "BIND")
                      .add("LDAP_CONNECTION_REUSE", "yes")
                      .add("LDAP_IDLE_TIMEOUT", "1"));
    ASSERT_EQ(query.status, 0) << logText();
    ASSERT_EQ(bind.status, 0) << logText();
    std::vector<std::string> failures;
    std::thread other([&] { failures = hammer(bind, bindPeople, 4, 16); });
    auto mine = hammer(query, searchPeople, 4, 16);
    other.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    const auto again = hammer(query, searchPeople, 4, 4);
    mine.insert(mine.end(), failures.begin(), failures.end());
    mine.insert(mine.end(), again.begin(), again.end());
    EXPECT_TRUE(mine.empty()) << mine.size() << " failures, first: " << mine.front();
}
