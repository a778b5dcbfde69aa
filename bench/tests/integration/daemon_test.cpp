// The daemon runner and the load generator against the real daemon.
#include <unistd.h>

#include "bench_it.h"
#include "harness.h"
#include "client_op.h"
#include "daemon_process.h"
#include "procstat.h"

using namespace kivbench;
using namespace benchit;

namespace {

const char *const kPwConfig = "daemon=no\nmethods=pw\nnumThreads=2\naccessLog=@DIR@/access.log\n";

std::optional<LoadResult> loadReport(const std::string &path) {
    std::string error;
    auto j = parseJson(readFile(path), &error);
    LoadResult r;
    if (!j || !fromJson(*j, &r, codeFromName)) return std::nullopt;
    return r;
}

} // namespace

TEST(DaemonRunner, StartsServesAndStopsTheRealDaemon) {
    auto accounts = makeSshaAccounts("r", 3, 8000);
    install(accounts);
    std::string error;
    {
        Daemon d = startDaemon(kBin, kPwConfig, {}, &error, {}, 20000);
        ASSERT_TRUE(d) << error;
        EXPECT_TRUE(socketAccepts());
        const int idle = openFds(d->pid());
        EXPECT_GT(idle, 2);
        EXPECT_GT(rssKiB(d->pid()), 0);

        LoadResult r = exactly(30, 3, clientOperation(shared(accounts), {}));
        EXPECT_EQ(r.codes[AUTH_OK], 30u);
        EXPECT_EQ(r.transportErrors, 0u);
        LoadResult bad = exactly(6, 2, clientOperation(shared(wrong(accounts)), {}));
        EXPECT_EQ(bad.codes[AUTH_NOAUTH], 6u);
        // The access log beside the daemon got one line per answer.
        EXPECT_NE(readFile(d->dir() + "/access.log").find("Authenticated user r0"), std::string::npos);

        EXPECT_EQ(stopDaemon(*d, 15000), 0);
        EXPECT_FALSE(socketAccepts());
    }
    // A second daemon can take the socket afterwards.
    ASSERT_TRUE(startDaemon(kBin, kPwConfig, {}, &error, {}, 20000)) << error;
}

TEST(DaemonRunner, ReportsADaemonThatCannotStart) {
    std::string error;
    // No methods: start-up fails.
    EXPECT_FALSE(startDaemon(kBin, "daemon=no\nnumThreads=2\n", {}, &error, {}, 20000));
    EXPECT_NE(error.find("exited"), std::string::npos) << error;
    EXPECT_FALSE(socketAccepts());
}

TEST(LoadGenerator, ReportsExactlyWhatTheDaemonAnswered) {
    auto accounts = makeSshaAccounts("g", 2, 8100);
    install(accounts);
    std::string error;
    Daemon d = startDaemon(kBin, kPwConfig, {}, &error, {}, 20000);
    ASSERT_TRUE(d) << error;

    // Two good accounts and one wrong password: request k uses line k mod 3.
    std::vector<Account> list = accounts;
    list.push_back(wrong(accounts)[0]);
    const std::string file = "/run/bench-it-accounts", json = "/run/bench-it-load.json", log = "/run/bench-it-load.log";
    ASSERT_TRUE(writeFile(file, accountList(list), 0600, &error)) << error;
    unlink(json.c_str());
    int rc = runToEnd({kBin + "/kiv-loadgen", "--accounts", file, "--concurrency", "3", "--requests", "30",
                       "--seconds", "60", "--json", json},
                      log, 90000, &error);
    ASSERT_EQ(rc, 0) << error << readFile(log);
    auto r = loadReport(json);
    ASSERT_TRUE(r) << readFile(json);
    EXPECT_EQ(r->requests, 30u);
    EXPECT_EQ(r->codes[AUTH_OK], 20u);
    EXPECT_EQ(r->codes[AUTH_NOAUTH], 10u);
    EXPECT_EQ(r->concurrency, 3);
    EXPECT_GT(r->perSecond, 0);
    EXPECT_GT(r->latency.maxMs, 0);
    // The Markdown line on standard output carries the same counts.
    EXPECT_NE(readFile(log).find("AUTH_NOAUTH 10"), std::string::npos) << readFile(log);
}

TEST(LoadGenerator, CountsConnectionErrorsWhenNoDaemonListens) {
    ASSERT_FALSE(socketAccepts());
    std::string error;
    const std::string file = "/run/bench-it-accounts2", json = "/run/bench-it-none.json", log = "/run/bench-it-none.log";
    ASSERT_TRUE(writeFile(file, "nobody:x\n", 0600, &error)) << error;
    ASSERT_EQ(runToEnd({kBin + "/kiv-loadgen", "--accounts", file, "--requests", "5", "--json", json}, log, 60000,
                       &error),
              0)
        << readFile(log);
    auto r = loadReport(json);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->requests, 0u);
    EXPECT_EQ(r->transportErrors, 5u);
    EXPECT_FALSE(r->errorSamples.empty());
}

TEST(LoadGenerator, RefusesBadArguments) {
    std::string error;
    const std::string log = "/run/bench-it-usage.log";
    EXPECT_EQ(runToEnd({kBin + "/kiv-loadgen"}, log, 10000, &error), 64);
    EXPECT_EQ(runToEnd({kBin + "/kiv-loadgen", "--accounts", "/nonexistent/file"}, log, 10000, &error), 64);
    EXPECT_EQ(runToEnd({kBin + "/kiv-loadgen", "--accounts", "/etc/passwd", "--concurrency", "0"}, log, 10000, &error),
              64);
    EXPECT_EQ(runToEnd({kBin + "/kiv-loadgen", "--accounts", "/etc/passwd", "--seconds"}, log, 10000, &error), 64);
}

TEST(PrivateNamespace, NsswitchOverrideIsUndone) {
    const std::string original = readFile("/etc/nsswitch.conf");
    std::string error;
    ASSERT_TRUE(overrideNsswitch("passwd: files\n", &error)) << error;
    EXPECT_EQ(readFile("/etc/nsswitch.conf"), "passwd: files\n");
    restoreNsswitch();
    EXPECT_EQ(readFile("/etc/nsswitch.conf"), original);
}
