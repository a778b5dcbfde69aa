// Several credential steps at once, as worker threads run them: each run
// collects its own child, and no child is left behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "mapr.h"
#include "mapr_standin.h"
#include "sandbox.h"

namespace {

constexpr int kUsers = 6;
constexpr int kFirstUid = 5001;

class ConcurrentCredentialSteps : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = kivtest::makeTempDir("mapr-concurrent");
        ASSERT_FALSE(root_.empty());
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root_ + "/bin").c_str(), 0755), 0);
        tool_ = root_ + "/bin/maprlogin";
        ASSERT_EQ(symlink(maprtest::toolTarget().c_str(), tool_.c_str()), 0);

        std::string passwd = "root:x:0:0:root:/root:/bin/sh\n";
        std::string group = "root:x:0:\n";
        for (int i = 0; i < kUsers; ++i) {
            int id = kFirstUid + i;
            std::string home = root_ + "/home" + std::to_string(i);
            ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
            ASSERT_EQ(chown(home.c_str(), id, id), 0);
            passwd += userName(i) + ":x:" + std::to_string(id) + ":" + std::to_string(id) + "::" + home +
                      ":/bin/sh\n";
            group += userName(i) + ":x:" + std::to_string(id) + ":\n";
            // Output ends at once, so every run is already waiting for its
            // child while the children exit one after another.
            kivtest::writeFile(home + "/control", "closeout=1\nsleepms=" + std::to_string((kUsers - i) * 150) +
                                                      "\nexit=" + std::to_string(exitCode(i)) + "\n");
        }
        kivtest::writeAccountFiles(passwd, "", group);

        debugPath_ = root_ + "/debug.log";
        debugLog = fopen(debugPath_.c_str(), "w");
        ASSERT_NE(debugLog, nullptr);
        maprTimeoutSeconds = 30;
    }
    void TearDown() override {
        if (debugLog) fclose(debugLog);
        debugLog = nullptr;
        maprTimeoutSeconds = 60;
    }

    static std::string userName(int i) { return "concuser" + std::to_string(i); }
    static int exitCode(int i) { return 10 + i; }

    std::string root_, tool_, debugPath_;
};

TEST_F(ConcurrentCredentialSteps, EachRunLogsItsOwnChildsStatusAndLeavesNoZombie) {
    AuthLog log{debugMessage, accessMessage, warningMessage, errorMessage, nullptr, 0};
    for (int round = 0; round < 2; ++round) {
        std::vector<pid_t> tids(kUsers, 0);
        std::atomic<int> ready{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < kUsers; ++i) {
            workers.emplace_back([&, i] {
                tids[i] = gettid();
                ready.fetch_add(1);
                while (ready.load() < kUsers) std::this_thread::yield();
                int groups[] = {kFirstUid + i};
                std::string user = userName(i);
                generateMapRCredentials(tool_.c_str(), user.c_str(), groups, 1, "pw", &log);
            });
        }
        for (std::thread &t : workers) t.join();

        std::string debug = kivtest::readFile(debugPath_);
        std::map<int, std::vector<int>> statusByThread;
        std::regex exitLine(R"(\[(\d+)\] maprlogin child exited with rc (-?\d+))");
        for (auto it = std::sregex_iterator(debug.begin(), debug.end(), exitLine);
             it != std::sregex_iterator(); ++it)
            statusByThread[std::stoi((*it)[1])].push_back(std::stoi((*it)[2]));
        for (int i = 0; i < kUsers; ++i) {
            ASSERT_EQ(statusByThread[tids[i]].size(), 1u) << "round " << round << " user " << i;
            EXPECT_EQ(statusByThread[tids[i]][0], exitCode(i) << 8) << "round " << round << " user " << i;
        }
        int status;
        EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a child was left behind";
        EXPECT_EQ(errno, ECHILD);

        // Fresh log for the next round: thread ids may be reused.
        ASSERT_NE(freopen(debugPath_.c_str(), "w", debugLog), nullptr);
    }
}

} // namespace
