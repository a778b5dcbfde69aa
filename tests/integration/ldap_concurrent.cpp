// Many clients at once through the daemon's worker pool and the LDAP module:
// every reply carries its own user's uid and groups, so the user DN that
// authentication leaves for the group lookup never crosses requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "../unit/ldap_common.h"
#include "kivclient.hpp"
#include "sandbox.h"

using namespace ldaptest;

namespace {

struct Person {
    std::string user, password;
    int uid;
    std::vector<int> groups;   // sorted
};

std::string config(const std::string &method)
{
    Config c = rfc2307(directory()->hostPort(), method);
    std::string text = "daemon=no\nnumThreads=8\ndebugLog=@DIR@/debug.log\nerrorLog=@DIR@/error.log\n"
                       "methods=ldap\nenableldap=true\n";
    ConfigEntry *e = c.entries();
    for (int i = 1; i < c.count(); ++i) text += std::string(e[i].key) + "=" + e[i].value + "\n";
    return text;
}

} // namespace

TEST(LdapDaemonConcurrent, EveryReplyCarriesItsOwnUsersGroups)
{
    ASSERT_DIRECTORY();
    const std::vector<Person> people = {
        {"alice", "alice-pw", 2001, {3001, 4001}},
        {"bob", "bob-pw", 2002, {3002, 4003}},
        {"fred", "fred-pw", 2006, {3006}},
        {"jsmith", "jsmith-pw", 2007, {3007, 4001, 4002}},
    };
    for (const char *method : {"QUERY", "MATCH"}) {
        kivtest::DaemonOptions opts;
        opts.modules = {{kivtest::binPath("kivmodldapnss.so"), "kivmodldapnss.so"}};
        opts.config = config(method);
        kivtest::Daemon d(opts);
        ASSERT_TRUE(d.start()) << d.lastError();

        std::mutex failuresMutex;
        std::vector<std::string> failures;
        std::vector<std::thread> clients;
        for (int t = 0; t < 8; ++t) {
            clients.emplace_back([&, t] {
                for (int round = 0; round < 6; ++round) {
                    const Person &p = people[(t + round) % people.size()];
                    const bool wrong = round % 3 == 2;
                    const kiv::Result r = kiv::authenticatePassword(p.user, wrong ? "wrong" : p.password);
                    std::string failure;
                    if (!r.reply) {
                        failure = p.user + ": " + r.error;
                    } else if (wrong) {
                        if (r.reply->code == AUTH_OK) failure = p.user + " accepted a wrong password";
                    } else {
                        std::vector<int> groups = r.reply->groups;
                        std::sort(groups.begin(), groups.end());
                        if (r.reply->code != AUTH_OK || r.reply->uid != p.uid || groups != p.groups)
                            failure = p.user + ": code " + std::to_string(r.reply->code) + " uid " +
                                      std::to_string(r.reply->uid) + " groups " + std::to_string(groups.size());
                    }
                    if (!failure.empty()) {
                        std::lock_guard<std::mutex> lock(failuresMutex);
                        failures.push_back(failure);
                    }
                }
            });
        }
        for (std::thread &c : clients) c.join();
        EXPECT_TRUE(failures.empty()) << method << ": " << failures.size() << " failures, first: " << failures.front();
        EXPECT_EQ(d.terminate(), 0);
        EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
    }
}
