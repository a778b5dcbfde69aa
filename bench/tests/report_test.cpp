// Report rendering, the structural check CI relies on, and target judging.
#include <gtest/gtest.h>

#include "client_op.h"
#include "report.h"
#include "report_check.h"
#include "targets.h"

using namespace kivbench;

namespace {

LoadResult run(double rate, uint64_t requests, int code = AUTH_OK, double p99 = 2.0) {
    LoadResult r;
    r.concurrency = 4;
    r.requests = requests;
    r.seconds = rate > 0 ? static_cast<double>(requests) / rate : 1;
    r.perSecond = rate;
    r.latency = {p99 / 4, p99 / 2, p99, p99 * 2, p99 / 3};
    r.codes[code] = requests;
    return r;
}

ScenarioRow row(const std::string &name, int c, double daemon, double baseline, int expected = AUTH_OK) {
    ScenarioRow r;
    r.scenario = name;
    r.description = name;
    r.concurrency = c;
    r.expectedCode = expected;
    r.daemon = RunRecord{"daemon", c, run(daemon, 1000, expected)};
    if (baseline > 0) r.baseline = RunRecord{"base", c, run(baseline, 1000)};
    r.rssMaxKiB = 4096;
    return r;
}

// A complete, healthy report: every scenario at c=1 and c=32.
Report fullReport() {
    Report rep;
    rep.generated = "2024-01-01T00:00:00Z";
    rep.machine.cores = 2;
    rep.machine.cpuModel = "test cpu";
    rep.quiet.quiet = true;
    for (int c : {1, 32}) {
        ScenarioRow sha = row("pw-sha512", c, 950, 1000);
        sha.peers = {RunRecord{"pam_unix in process", c, run(900, 1000)}};
        rep.rows.push_back(sha);
        rep.rows.push_back(row("pw-ssha", c, 12000, 40000));
        rep.rows.push_back(row("pw-ssha-debuglog", c, 8000, 40000));
        rep.rows.push_back(row("pw-lockout", c, 13000, 12000, AUTH_NOAUTH));
        rep.rows.push_back(row("ldap-bind", c, 850, 1000));
        rep.rows.push_back(row("ldap-match", c, 900, 1000));
        rep.rows.push_back(row("ldap-bind-reuse", c, 2000, 2200));
        rep.rows.push_back(row("ldaps-bind-reuse", c, 1700, 2000));
    }
    SoakRecord s;
    s.warmupRequests = 100;
    s.requests = 1000;
    s.rss = {{0, 5000}, {500, 5000}, {1000, 5100}};
    s.growthKiB = 100;
    s.rssMaxKiB = 5200;
    s.fdsIdle = s.fdsAfter = 5;
    s.total = run(10000, 1000);
    s.method = "ldap";
    s.idleTimeoutSeconds = 2;
    s.fdsBusy = 13;
    s.fdsAfterIdleTimeout = 5;
    rep.soak = s;
    rep.fds = {{"pw-sha512", 5, 5}, {"soak", 5, 5}};
    rep.syscalls = {{"pw-sha512", "kiv-services-daemon", 100, 2800}};
    rep.targets = evaluateTargets(rep);
    return rep;
}

std::string status(const std::vector<TargetRecord> &targets, const std::string &id) {
    for (const TargetRecord &t : targets)
        if (t.id == id) return t.status;
    return "absent";
}

Json parsed(const Report &rep) {
    std::string error;
    auto j = parseJson(reportJson(rep).dump(), &error);
    EXPECT_TRUE(j) << error;
    return j ? *j : Json();
}

} // namespace

TEST(Targets, HealthyFiguresMeetEveryTarget) {
    Report rep = fullReport();
    for (const TargetRecord &t : rep.targets) EXPECT_EQ(t.status, "met") << t.id << ": " << t.measured;
    // Judged at the largest concurrency, and the text says so.
    for (const TargetRecord &t : rep.targets) {
        if (t.id == "sha512-vs-crypt") {
            EXPECT_NE(t.measured.find("c=32"), std::string::npos) << t.measured;
        }
    }
}

TEST(Targets, ShortfallsAreMissedNotMet) {
    Report rep = fullReport();
    for (ScenarioRow &r : rep.rows) {
        if (r.scenario == "pw-sha512" && r.concurrency == 32) {
            r.daemon->result.perSecond = 850;                  // 0.85 of crypt_r, below PAM's 900
        }
        if (r.scenario == "pw-ssha" && r.concurrency == 32) {
            r.daemon->result.perSecond = 9999;
            r.daemon->result.latency.p99Ms = 10.0;              // the limit itself is not "under 10 ms"
        }
        if (r.scenario == "ldap-match" && r.concurrency == 1) r.daemon->result.perSecond = 790;
        if (r.scenario == "pw-lockout") r.daemon->result.codes = {{AUTH_OK, 1}};
        if (r.scenario == "ldaps-bind-reuse" && r.concurrency == 32) r.daemon->result.perSecond = 1500;
    }
    rep.soak->growthKiB = kRssGrowthToleranceKiB + 1;
    rep.fds[1].after = 6;
    rep.soak->fdsAfterIdleTimeout = 13;   // kept connections never closed
    rep.rows[0].rssMaxKiB = kRssLimitKiB;
    auto t = evaluateTargets(rep);
    for (const char *id : {"sha512-vs-crypt", "sha512-vs-pam", "ssha-throughput", "ssha-p99", "ldap-match-ratio",
                           "ldaps-vs-ldap-reuse", "rss-growth", "fds-idle", "soak-fds-idle-timeout", "rss-max", "answers"})
        EXPECT_EQ(status(t, id), "missed") << id;
    EXPECT_EQ(status(t, "ldap-bind-ratio"), "met");
}

TEST(Targets, UnmeasuredScenariosArePendingNeverMet) {
    Report rep = fullReport();
    for (ScenarioRow &r : rep.rows)
        if (r.scenario.rfind("ldap-", 0) == 0) {
            r.status = "pending";
            r.note = "LDAP module not built";
            r.daemon.reset();
            r.baseline.reset();
        }
    rep.soak.reset();
    auto t = evaluateTargets(rep);
    EXPECT_EQ(status(t, "ldap-bind-ratio"), "pending");
    EXPECT_EQ(status(t, "ldap-match-ratio"), "pending");
    EXPECT_EQ(status(t, "ldaps-vs-ldap-reuse"), "pending");
    EXPECT_EQ(status(t, "rss-growth"), "pending");
    EXPECT_EQ(status(t, "sha512-vs-crypt"), "met");
}

TEST(Targets, PeerDaemonTargetsHoldAtEveryConcurrencyAndOnlyWhenRun) {
    Report rep = fullReport();
    EXPECT_EQ(status(rep.targets, "sha512-vs-saslauthd"), "absent");
    for (int c : {1, 32}) {
        for (ScenarioRow &r : rep.rows)
            if (r.scenario == "pw-sha512" && r.concurrency == c)
                r.peers.push_back(RunRecord{"saslauthd shadow", c, run(c == 1 ? 700 : 1000, 1000)});
        ScenarioRow cached = row("pw-sha512-cache", c, 20000, 1000);
        cached.peers = {RunRecord{"saslauthd shadow -c", c, run(15000, 1000)}};
        rep.rows.push_back(cached);
    }
    auto t = evaluateTargets(rep);
    EXPECT_EQ(status(t, "sha512-vs-saslauthd"), "missed");  // 950/1000 at c=32
    EXPECT_EQ(status(t, "sha512-vs-saslauthd-pam"), "absent");
    EXPECT_EQ(status(t, "cache-vs-saslauthd-cache"), "met");
}

TEST(ReportCheck, AHealthyReportIsWellFormedAndStrictlyClean) {
    Report rep = fullReport();
    Json j = parsed(rep);
    EXPECT_TRUE(checkReport(j).empty());
    auto strict = checkReport(j, true, requiredScenarios());
    EXPECT_TRUE(strict.empty()) << strict.front();
    // The ratio is daemon over baseline.
    EXPECT_NEAR(j["scenarios"][0]["ratio"].get<double>(), 0.95, 1e-9);
    EXPECT_NEAR(j["scenarios"][0]["peers"][0]["ratio"].get<double>(), 950.0 / 900, 1e-9);
    EXPECT_NEAR(j["syscalls"][0]["per_request"].get<double>(), 28.0, 1e-9);
    EXPECT_EQ(j["memory"]["soak"]["method"], "ldap");
    EXPECT_EQ(j["memory"]["soak"]["fds_after_idle_timeout"], 5);
    EXPECT_FALSE(reportMarkdown(rep).empty());
}

TEST(ReportCheck, StructuralFaultsAreFound) {
    auto problemsAfter = [](const std::function<void(Report &)> &spoil) {
        Report rep = fullReport();
        spoil(rep);
        return checkReport(parsed(rep)).size();
    };
    // A scenario missing altogether, unless the run was limited to some groups.
    auto noLockout = [](Report &r) {
        std::erase_if(r.rows, [](const ScenarioRow &row) { return row.scenario == "pw-lockout"; });
    };
    EXPECT_GT(problemsAfter(noLockout), 0u);
    EXPECT_EQ(problemsAfter([&](Report &r) {
                  noLockout(r);
                  r.parameters["only"] = {"sha512", "ldap"};
              }),
              0u);
    EXPECT_EQ(problemsAfter([](Report &r) {
                  r.rows.clear();
                  r.parameters["only"] = {"soak"};
              }),
              0u);
    // Percentiles out of order.
    EXPECT_GT(problemsAfter([](Report &r) { r.rows[0].daemon->result.latency.p99Ms = 0.01; }), 0u);
    // A measured row without its daemon run.
    EXPECT_GT(problemsAfter([](Report &r) { r.rows[1].daemon.reset(); }), 0u);
    // A measured row that answered nothing.
    EXPECT_GT(problemsAfter([](Report &r) {
                  r.rows[2].daemon->result.requests = 0;
                  r.rows[2].daemon->result.codes.clear();
              }),
              0u);
    // No targets.
    EXPECT_GT(problemsAfter([](Report &r) { r.targets.clear(); }), 0u);

    // Edits of the document itself: a ratio that does not match its figures,
    // a wrong type, an unknown status.
    Json j = parsed(fullReport());
    Json bad = j;
    bad["scenarios"][0]["ratio"] = 2.0;
    EXPECT_FALSE(checkReport(bad).empty());
    bad = j;
    bad["scenarios"][0]["peers"][0]["ratio"] = 2.0;
    EXPECT_FALSE(checkReport(bad).empty());
    bad = j;
    bad["machine"]["cores"] = "two";
    EXPECT_FALSE(checkReport(bad).empty());
    bad = j;
    bad["schema"] = "other/2";
    EXPECT_FALSE(checkReport(bad).empty());
    EXPECT_FALSE(checkReport(Json::array()).empty());
}

TEST(ReportCheck, StrictModeWantsMeasuredRowsAndExpectedAnswers) {
    Report rep = fullReport();
    for (ScenarioRow &r : rep.rows)
        if (r.scenario == "ldap-bind") {
            r.status = "pending";
            r.daemon.reset();
            r.baseline.reset();
        }
    Json j = parsed(rep);
    EXPECT_TRUE(checkReport(j, true, {"pw-sha512"}).empty());
    EXPECT_FALSE(checkReport(j, true, {"pw-sha512", "ldap-bind"}).empty());
    EXPECT_TRUE(checkReport(j).empty()) << "pending rows are well formed";

    Report wrong = fullReport();
    wrong.rows[0].daemon->result.codes = {{AUTH_OK, 999}, {AUTH_ERROR, 1}};
    EXPECT_TRUE(checkReport(parsed(wrong)).empty());
    EXPECT_FALSE(checkReport(parsed(wrong), true).empty());

    Report failed = fullReport();
    failed.rows[3].status = "failed";
    failed.rows[3].daemon.reset();
    EXPECT_FALSE(checkReport(parsed(failed), true).empty());
}

TEST(ReportMarkdown, ListsEveryRowAndMarksDisturbedOrPendingOnes) {
    Report rep = fullReport();
    rep.rows[0].daemon->othersCores = 0.5;   // another job shared the machine
    rep.rows[1].status = "pending";
    rep.rows[1].note = "LDAP module not built";
    rep.rows[1].daemon.reset();
    const std::string md = reportMarkdown(rep);
    for (const ScenarioRow &r : rep.rows)
        EXPECT_NE(md.find("| " + r.scenario + " | " + std::to_string(r.concurrency) + " |"), std::string::npos)
            << r.scenario;
    EXPECT_NE(md.find("950 (!0.50)"), std::string::npos) << md;
    EXPECT_NE(md.find("| pending |"), std::string::npos);
    EXPECT_NE(md.find("LDAP module not built"), std::string::npos);
    for (const TargetRecord &t : rep.targets) EXPECT_NE(md.find(t.text), std::string::npos) << t.id;
    // The JSON carries the same mark as a number.
    Json j = parsed(rep);
    EXPECT_DOUBLE_EQ(j["scenarios"][0]["daemon"]["others_cores"].get<double>(), 0.5);
}

TEST(MedianRun, KeepsTheWholeMiddleRun) {
    EXPECT_FALSE(medianRun({}));
    std::vector<RunRecord> runs = {RunRecord{"a", 1, run(900, 10, AUTH_OK, 9.0)},
                                   RunRecord{"b", 1, run(300, 10, AUTH_OK, 3.0)},
                                   RunRecord{"c", 1, run(600, 10, AUTH_OK, 6.0)}};
    auto m = medianRun(runs);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->what, "c");
    EXPECT_EQ(m->result.latency.p99Ms, 6.0);   // latencies of the same run, not mixed
    runs.push_back(RunRecord{"d", 1, run(1200, 10)});
    EXPECT_EQ(medianRun(runs)->what, "c");     // lower middle of 300, 600, 900, 1200
    EXPECT_EQ(medianRun({runs[0]})->what, "a");
}
