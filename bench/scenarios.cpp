// The benchmark run: set-up, every scenario with its baseline, the soak, the
// targets and the report files.
#include "scenarios.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <ctime>
#include <iostream>
#include <map>
#include <thread>

#include "baselines.h"
#include "harness.h"
#include "client_op.h"
#include "daemon_process.h"
#include "directory.h"
#include "procstat.h"
#include "profile.h"
#include "report.h"
#include "report_check.h"
#include "peers.h"
#include "targets.h"

namespace kivbench {

namespace {

using Clock = std::chrono::steady_clock;

const char *const kWork = "/run/kivbench";
const char *const kPamService = "kivbench";
constexpr int kRetryBudgetSeconds = 480;

struct Context {
    explicit Context(const BenchParams &params) : p(params) {}
    const BenchParams &p;
    int cores = 1;
    Report report;
    Accounts sha, ssha, ldap;
    std::string shaFile, sshaFile, wrongFile, ldapFile, pamDir;
    std::map<int, RunRecord> sshaDaemon, sshaBaseline;   // by concurrency, for the later scenarios
    std::unique_ptr<Directory> directory;   // the private slapd, once started
    pid_t slapd = -1;   // while the LDAP scenarios run: its CPU is counted per request
    // Set for full runs: measured runs wait for other work on the machine to
    // stop and are repeated when it disturbed them.
    bool watchOthers = false;
    std::chrono::steady_clock::time_point waitBudgetEnd;
};

// Waits, within the run's waiting budget, until other work has used almost
// no CPU for three seconds in a row.
void awaitQuiet(Context &cx) {
    if (!cx.watchOthers) return;
    int calm = 0;
    CpuSnapshot last = cpuSnapshot();
    while (calm < 3 && Clock::now() < cx.waitBudgetEnd) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        CpuSnapshot now = cpuSnapshot();
        calm = othersCores(last, now) < kDisturbedCores / 2 ? calm + 1 : 0;
        last = now;
    }
}

// Runs `measure` until other work stayed off the machine during it, at most
// three times; keeps the least disturbed attempt.
template <class Measure> RunRecord quietly(Context &cx, Measure measure) {
    RunRecord best;
    bool have = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) ++cx.report.quiet.repeatedRuns;
        awaitQuiet(cx);
        CpuSnapshot before = cpuSnapshot();
        RunRecord r = measure();
        r.othersCores = othersCores(before, cpuSnapshot());
        if (!have || r.othersCores < best.othersCores) {
            best = std::move(r);
            have = true;
        }
        if (best.othersCores <= kDisturbedCores || !cx.watchOthers || Clock::now() >= cx.waitBudgetEnd) break;
    }
    return best;
}

void progress(const std::string &text) { std::cout << text << std::endl; }

std::string tail(const std::string &s, size_t n = 2000) { return s.size() <= n ? s : "..." + s.substr(s.size() - n); }

// One kiv-loadgen run against the daemon.
std::optional<LoadResult> loadgen(Context &cx, const std::string &accounts, int c, double seconds, uint64_t requests,
                                  std::string *error) {
    return kivbench::loadgen(cx.p.binDir, kWork, accounts, c, seconds, requests, error);
}

// CPU per answered request of `server` and of slapd over a run, in ms.
class CpuMeter {
public:
    CpuMeter(pid_t server, pid_t slapd)
        : server_(server), slapd_(slapd), s0_(server > 0 ? treeCpuSeconds(server) : 0),
          d0_(slapd > 0 ? treeCpuSeconds(slapd) : 0) {}
    void finish(RunRecord &r) const {
        const double n = static_cast<double>(r.result.requests);
        if (n <= 0) return;
        if (server_ > 0) r.cpuMsPerRequest = (treeCpuSeconds(server_) - s0_) * 1000 / n;
        if (slapd_ > 0) r.slapdCpuMsPerRequest = (treeCpuSeconds(slapd_) - d0_) * 1000 / n;
    }

private:
    pid_t server_, slapd_;
    double s0_, d0_;
};

// An in-process loop; `server` is the peer daemon it talks to, if any.
RunRecord inProcess(Context &cx, const std::string &what, int threads, const OperationFactory &f, pid_t server = -1) {
    return quietly(cx, [&] {
        if (cx.p.warmupSeconds > 0) runLoad({threads, cx.p.warmupSeconds, cx.p.warmupRequests}, f);
        CpuMeter meter(server, cx.slapd);
        RunRecord r{what, threads, runLoad({threads, cx.p.seconds, cx.p.requests}, f), 0.0};
        meter.finish(r);
        return r;
    });
}

// Runs `round` (the daemon's run, then its baselines) cx.p.rounds times in
// alternation, so that a slow spell of the machine falls on one round rather
// than on one side of a ratio, and keeps the median run of each side.
template <class Round> void inRounds(Context &cx, ScenarioRow &row, Round round) {
    std::vector<RunRecord> daemon, baseline;
    std::vector<std::vector<RunRecord>> peers;
    long rssMax = -1;
    for (int i = 0; i < std::max(1, cx.p.rounds); ++i) {
        row.daemon.reset();
        row.baseline.reset();
        row.peers.clear();
        round();
        rssMax = std::max(rssMax, row.rssMaxKiB);
        if (row.status == "failed") return;
        if (row.daemon) daemon.push_back(*row.daemon);
        if (row.baseline) baseline.push_back(*row.baseline);
        peers.resize(row.peers.size());
        for (size_t k = 0; k < row.peers.size(); ++k) peers[k].push_back(row.peers[k]);
    }
    row.daemon = medianRun(std::move(daemon));
    row.baseline = medianRun(std::move(baseline));
    row.peers.clear();
    for (auto &runs : peers)
        if (auto m = medianRun(std::move(runs))) row.peers.push_back(std::move(*m));
    row.rssMaxKiB = rssMax;
}

// What every daemon of the benchmark runs with; the scenario adds its method.
std::string baseConfig(const BenchParams &p) {
    return "daemon=no\nnumThreads=" + std::to_string(p.numThreads) + "\naccessLog=@DIR@/access.log\n";
}
std::string pwConfig(const BenchParams &p) { return baseConfig(p) + "methods=pw\n"; }

// Open descriptors once they stop changing (target < 0) or reach target,
// whichever the caller wants; bounded by timeoutMs.
int settledFds(pid_t pid, int target, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int last = openFds(pid);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int now = openFds(pid);
        if (target >= 0 ? now == target : now == last) return now;
        last = now;
        if (Clock::now() >= end) return now;
    }
}

struct Instance {
    std::string name;
    Daemon daemon;
    int fdsIdle = -1;
    pid_t pid() const { return daemon->pid(); }
};

bool startInstance(Context &cx, Instance &in, const std::string &name, const std::string &config,
                   const std::vector<std::string> &modules, std::string *error) {
    in.name = name;
    in.daemon = startDaemon(cx.p.binDir, config, modules, error);
    if (!in.daemon) return false;
    in.fdsIdle = settledFds(in.pid(), -1, 3000);
    return true;
}

void stopInstance(Context &cx, Instance &in) {
    if (!in.daemon) return;
    int after = settledFds(in.pid(), in.fdsIdle, 5000);
    cx.report.fds.push_back({in.name, in.fdsIdle, after});
    int rc = stopDaemon(*in.daemon, 15000);
    if (rc != 0) progress("  daemon " + in.name + " stopped with status " + std::to_string(rc) + ": " +
                          tail(in.daemon->stderrText()));
    in.daemon.reset();
}

// Logs grow with every request; emptied between runs so that a long run
// cannot fill the tmpfs they live on.
void truncateLogs(const Instance &in) {
    for (const char *log : {"/access.log", "/debug.log"}) {
        std::string path = in.daemon->dir() + log;
        if (access(path.c_str(), F_OK) == 0 && truncate(path.c_str(), 0) != 0) progress("  cannot truncate " + path);
    }
}

ScenarioRow makeRow(const std::string &scenario, const std::string &description, int c, int expected,
                    const std::string &status = "measured", const std::string &note = "") {
    ScenarioRow row;
    row.scenario = scenario;
    row.description = description;
    row.concurrency = c;
    row.expectedCode = expected;
    row.status = status;
    row.note = note;
    return row;
}

// Every concurrency of a scenario that could not be measured.
void notMeasured(Context &cx, const std::string &scenario, const std::string &description, const std::string &status,
                 const std::string &note) {
    for (int c : cx.p.concurrency) cx.report.rows.push_back(makeRow(scenario, description, c, AUTH_OK, status, note));
}

// Warm-up, then the measured run with the daemon's resident size sampled.
void measureDaemon(Context &cx, Instance &in, ScenarioRow &row, const std::string &accounts) {
    std::string error;
    if (cx.p.warmupSeconds > 0 &&
        !loadgen(cx, accounts, row.concurrency, cx.p.warmupSeconds, cx.p.warmupRequests, &error)) {
        row.status = "failed";
        row.note = "warm-up: " + error;
        return;
    }
    bool failed = false;
    RunRecord run = quietly(cx, [&] {
        truncateLogs(in);
        RunRecord rec{"daemon", row.concurrency, {}, 0.0};
        RssSampler sampler(in.pid(), 100);
        CpuMeter meter(in.pid(), cx.slapd);
        std::optional<LoadResult> r = loadgen(cx, accounts, row.concurrency, cx.p.seconds, cx.p.requests, &error);
        row.rssMaxKiB = std::max(row.rssMaxKiB, sampler.maxKiB());
        if (r) rec.result = *r;
        meter.finish(rec);
        failed = failed || !r;
        return rec;
    });
    truncateLogs(in);
    if (failed) {
        row.status = "failed";
        row.note = error;
        return;
    }
    row.daemon = run;
    progress("  " + row.scenario + " c=" + std::to_string(row.concurrency) + ": " +
             std::to_string(static_cast<long>(run.result.perSecond)) + " auth/s, p99 " +
             std::to_string(run.result.latency.p99Ms) + " ms");
}

// A peer measured beside our daemon in a row: a daemon of its own (none for
// a library loaded in process) and the load that drives it.
struct Peer {
    std::string what;
    std::unique_ptr<PeerDaemon> daemon;
    OperationFactory op;
    pid_t pid() const { return daemon ? daemon->pid() : -1; }
};

enum class PeerKind { PamUnix, SaslShadow, SaslPam, SaslLdap, NslcdPamLdap };
struct PeerSpec {
    PeerKind kind;
    bool cache = false;
};

// Starts the peers a row compares against; a peer that cannot run is left
// out and the reason added to *note.
std::vector<Peer> startPeers(Context &cx, const std::vector<PeerSpec> &specs, const DirectoryLayout *d,
                             std::string *note) {
    std::vector<Peer> out;
    for (const PeerSpec &s : specs) {
        Peer peer;
        std::string error;
        const std::string mech = s.kind == PeerKind::SaslShadow ? "shadow" : s.kind == PeerKind::SaslPam ? "pam" : "ldap";
        if (s.kind == PeerKind::PamUnix) {
            peer.what = "pam_unix in process";
            peer.op = pamOperation(cx.sha, cx.pamDir, kPamService);
        } else if (s.kind == PeerKind::NslcdPamLdap) {
            const std::string nslcd = findPeer(cx.p.binDir, "usr/sbin/nslcd");
            const std::string module = findPeer(cx.p.binDir, "lib/x86_64-linux-gnu/security/pam_ldap.so");
            peer.what = "nslcd + pam_ldap";
            peer.daemon = std::make_unique<PeerDaemon>();
            if (nslcd.empty() || module.empty())
                error = "nslcd or pam_ldap not found (bench/run.sh unpacks nslcd and libpam-ldapd)";
            else if (writeFile(cx.pamDir + "/kivbench-ldap", pamLdapServiceText(module), 0644, &error) &&
                     peer.daemon->startNslcd(nslcd, std::string(kWork) + "/nslcd", nslcdConf(*d), &error))
                peer.op = pamOperation(cx.ldap, cx.pamDir, "kivbench-ldap", module);
        } else {
            const std::string program = findPeer(cx.p.binDir, "usr/sbin/saslauthd");
            peer.what = "saslauthd " + mech + (s.cache ? " -c" : "");
            peer.daemon = std::make_unique<PeerDaemon>();
            const SaslauthdSetup setup{program, std::string(kWork) + "/saslauthd-" + mech + (s.cache ? "-c" : ""), mech,
                                       s.cache, s.kind == PeerKind::SaslLdap ? saslauthdLdapConf(*d) : ""};
            if (program.empty())
                error = "saslauthd not found (bench/run.sh unpacks sasl2-bin)";
            else if (peer.daemon->startSaslauthd(setup, &error))
                peer.op = saslauthdOperation(s.kind == PeerKind::SaslLdap ? cx.ldap : cx.sha,
                                             peer.daemon->socketPath(), kPamService);
        }
        if (!error.empty()) {
            *note += (note->empty() ? "" : "; ") + peer.what + ": " + tail(error, 300);
            continue;
        }
        out.push_back(std::move(peer));
    }
    return out;
}

// System calls per request of our daemon and of each peer daemon in a short
// extra run at a moderate concurrency.
void countSyscalls(Context &cx, const std::string &scenario, Instance &in, const std::string &accounts,
                   const std::vector<Peer> &peers) {
    const int c = std::min(4, *std::max_element(cx.p.concurrency.begin(), cx.p.concurrency.end()));
    const double seconds = std::min(1.0, cx.p.seconds);
    auto count = [&](const std::string &who, pid_t pid, const std::function<uint64_t()> &run) {
        SyscallCounter counter;
        std::string error;
        if (!counter.start(processTree(pid), std::string(kWork) + "/perf.out", &error)) {
            progress("  system calls of " + who + " not counted: " + error);
            return;
        }
        const uint64_t n = run();
        cx.report.syscalls.push_back({scenario, who, n, counter.stop()});
    };
    count("kiv-services-daemon", in.pid(), [&]() -> uint64_t {
        std::string error;
        auto r = loadgen(cx, accounts, c, seconds, 0, &error);
        return r ? r->requests : 0;
    });
    for (const Peer &p : peers)
        if (p.daemon) count(p.what, p.pid(), [&] { return runLoad({c, seconds, 0}, p.op).requests; });
}

// One scenario: a daemon with `config` and `modules`, measured at every
// concurrency in alternating rounds beside its in-process baseline (run in
// each round, if any) and its peers; `after` completes a row once its rounds
// are over.  Then the system calls per request, when there are peers.
struct Scenario {
    std::string name, description, config;
    std::vector<std::string> modules;
    std::string Context::*accounts;
    int expected = AUTH_OK;
    std::function<void(Context &, ScenarioRow &)> baseline, after;
    std::vector<PeerSpec> peers;
    const DirectoryLayout *directory = nullptr;   // for the LDAP peers
};

void runScenario(Context &cx, const Scenario &s) {
    progress(s.name);
    Instance in;
    std::string error, note;
    if (!startInstance(cx, in, s.name, s.config, s.modules, &error))
        return notMeasured(cx, s.name, s.description, "failed", error);
    const std::vector<Peer> peers = startPeers(cx, s.peers, s.directory, &note);
    const std::string &accounts = cx.*s.accounts;
    for (int c : cx.p.concurrency) {
        ScenarioRow row = makeRow(s.name, s.description, c, s.expected, "measured", note);
        inRounds(cx, row, [&] {
            measureDaemon(cx, in, row, accounts);
            if (s.baseline) s.baseline(cx, row);
            for (const Peer &p : peers) row.peers.push_back(inProcess(cx, p.what, c, p.op, p.pid()));
        });
        if (s.after) s.after(cx, row);
        cx.report.rows.push_back(std::move(row));
    }
    if (!peers.empty()) countSyscalls(cx, s.name, in, accounts, peers);
    stopInstance(cx, in);
}

void cryptBaseline(Context &cx, ScenarioRow &row) {
    row.baseline = inProcess(cx, "crypt_r", std::min(row.concurrency, cx.cores), cryptOperation(cx.sha));
}

void lookupBaseline(Context &cx, ScenarioRow &row) {
    row.baseline = inProcess(cx, "in-process lookups", std::min(row.concurrency, cx.cores), lookupOperation(cx.ssha));
}

// The pw scenarios, each with the groups of --only that select it: SHA-512
// without and with the authentication cache, beside PAM in process and
// saslauthd's shadow and pam mechanisms (with its credential cache, -c,
// Debian's default options, beside ours); {SSHA} with the access log, with
// the debug log too, with wrong passwords under the lock-out, and with the
// name service reduced to files.
struct PwScenario {
    std::vector<std::string> groups;
    Scenario s;
    bool filesOnly = false;
};

std::vector<PwScenario> pwScenarios(const Context &cx) {
    const std::string pw = pwConfig(cx.p), cache = "authCacheSeconds=3600\n";
    // pw-ssha's runs are the baselines of the two rows after it.
    auto keepSsha = [](Context &c, ScenarioRow &row) {
        if (row.baseline) c.sshaBaseline[row.concurrency] = *row.baseline;
        if (row.daemon) c.sshaDaemon[row.concurrency] = *row.daemon;
    };
    auto sshaBaseline = [](Context &c, ScenarioRow &row) {
        if (c.sshaBaseline.count(row.concurrency)) row.baseline = c.sshaBaseline[row.concurrency];
    };
    auto sshaDaemon = [](Context &c, ScenarioRow &row) {
        if (!c.sshaDaemon.count(row.concurrency)) return;
        row.baseline = c.sshaDaemon[row.concurrency];
        row.baseline->what = "pw-ssha daemon";
    };
    return {
        {{"sha512", "saslauthd"},
         {"pw-sha512",
          "pw method, SHA-512 crypt() hashes in shadow, access log only; peers: PAM (pam_unix) in process, "
          "saslauthd shadow and pam",
          pw, {}, &Context::shaFile, AUTH_OK, cryptBaseline, nullptr,
          {{PeerKind::PamUnix}, {PeerKind::SaslShadow}, {PeerKind::SaslPam}}}},
        {{"cache", "saslauthd"},
         {"pw-sha512-cache",
          "pw method, SHA-512 crypt() hashes in shadow, authCacheSeconds=3600; peers: saslauthd shadow and pam "
          "with their cache (-c)",
          pw + cache, {}, &Context::shaFile, AUTH_OK, cryptBaseline, nullptr,
          {{PeerKind::SaslShadow, true}, {PeerKind::SaslPam, true}}}},
        {{"ssha", "lockout"},
         {"pw-ssha", "pw method, {SSHA} values in shadow, access log only", pw, {}, &Context::sshaFile, AUTH_OK,
          lookupBaseline, keepSsha, {}}},
        {{"ssha"},
         {"pw-ssha-debuglog", "pw method, {SSHA} values in shadow, debug and access logs",
          pw + "debugLog=@DIR@/debug.log\n", {}, &Context::sshaFile, AUTH_OK, nullptr, sshaBaseline, {}}},
        {{"lockout"},
         {"pw-lockout",
          "pw method, {SSHA} accounts, wrong passwords, maxtries=3 (after the warm-up every request is refused by "
          "the lock-out); baseline: pw-ssha daemon with correct passwords",
          pw + "maxtries=3\nmaxtriesPeriod=60\nmaxtriesWait=600\n", {}, &Context::wrongFile, AUTH_NOAUTH, nullptr,
          sshaDaemon, {}}},
        // What the host's name-service configuration (here "files systemd")
        // costs per request.  Informative, not a target.
        {{"nssfiles"},
         {"pw-ssha-nssfiles",
          "pw-ssha with nsswitch.conf reduced to 'files' for passwd, shadow and group (both the daemon and its "
          "baseline)",
          pw, {}, &Context::sshaFile, AUTH_OK, lookupBaseline, nullptr, {}},
         true},
    };
}

const char *const kFilesOnly = "passwd: files\ngroup: files\nshadow: files\ngshadow: files\n";

void runPwScenario(Context &cx, const PwScenario &p) {
    std::string error;
    if (!p.filesOnly) return runScenario(cx, p.s);
    if (!overrideNsswitch(kFilesOnly, &error)) return notMeasured(cx, p.s.name, p.s.description, "failed", error);
    runScenario(cx, p.s);
    restoreNsswitch();
}

// Why the LDAP method cannot be measured in this run; "" when it can.
std::string ldapUnavailable(const Context &cx) {
    if (!cx.p.ldap) return "LDAP scenarios switched off (--no-ldap)";
    if (access((cx.p.binDir + "/kivmodldapnss.so").c_str(), R_OK) != 0) return "LDAP module not built";
    if (!slapdInstalled()) return "slapd is not installed";
    return "";
}

// The private slapd, started on first use and kept for the rest of the run.
Directory *directory(Context &cx, std::string *error) {
    if (cx.directory) return cx.directory.get();
    progress("ldap: starting slapd");
    auto d = std::make_unique<Directory>(*cx.ldap);
    if (!d->start(30000, error)) return nullptr;
    cx.directory = std::move(d);
    return cx.directory.get();
}

// Adds one step's run to the soak's running total.  Percentiles cannot be
// merged, so the total keeps the worst step's.
void accumulate(LoadResult &total, const LoadResult &step) {
    total.concurrency = step.concurrency;
    total.requests += step.requests;
    total.transportErrors += step.transportErrors;
    total.seconds += step.seconds;
    total.perSecond = total.seconds > 0 ? static_cast<double>(total.requests) / total.seconds : 0;
    for (auto &[code, n] : step.codes) total.codes[code] += n;
    LatencySummary &l = total.latency;
    const LatencySummary &s = step.latency;
    l = {std::max(l.p50Ms, s.p50Ms), std::max(l.p95Ms, s.p95Ms), std::max(l.p99Ms, s.p99Ms),
         std::max(l.maxMs, s.maxMs), std::max(l.meanMs, s.meanMs)};
    for (auto &e : step.errorSamples)
        if (total.errorSamples.size() < 5) total.errorSamples.push_back(e);
}

// The memory soak.  The authentication cache is on, smaller than the account
// list: cycling through the accounts, every request misses, stores and
// evicts, the most the cache can do to the daemon's memory.  With the LDAP
// module and slapd at hand, the method is LDAP with kept connections, so
// every request also goes to the directory on them; once the load is over,
// the descriptors are counted again after LDAP_IDLE_TIMEOUT has passed.
void soak(Context &cx) {
    const int c = *std::max_element(cx.p.concurrency.begin(), cx.p.concurrency.end());
    const std::string cacheSize = std::to_string(std::max(1, cx.p.users / 2));
    const std::string cache = "authCacheSeconds=3600\nauthCacheSize=" + cacheSize + "\n";
    SoakRecord s;
    s.method = "pw";
    s.description = "pw method, {SSHA} accounts, authCacheSeconds=3600, authCacheSize=" + cacheSize;
    std::string config = pwConfig(cx.p) + cache, accounts = cx.sshaFile, name = "soak (pw-ssha, cache on)", error;
    std::vector<std::string> modules;
    if (const std::string why = ldapUnavailable(cx); !why.empty()) {
        progress("soak: with the pw method (" + why + ")");
    } else if (Directory *d = directory(cx, &error); d == nullptr) {
        progress("soak: with the pw method (slapd: " + tail(error, 300) + ")");
    } else {
        s.method = "ldap";
        s.description = "LDAP method, BIND with LDAP_CONNECTION_REUSE=yes and LDAP_IDLE_TIMEOUT=" +
                        std::to_string(kLdapIdleTimeoutSeconds) +
                        " against the private slapd, authCacheSeconds=3600, authCacheSize=" + cacheSize;
        s.idleTimeoutSeconds = kLdapIdleTimeoutSeconds;
        config = baseConfig(cx.p) + d->methodConfig(LdapFlow::Bind, true) + cache;
        accounts = cx.ldapFile;
        name = "soak (ldap-bind-reuse, cache on)";
        modules = {"kivmodldapnss.so"};
    }
    progress("soak: " + std::to_string(cx.p.soakWarmup) + " + " + std::to_string(cx.p.soakRequests) +
             " requests at c=" + std::to_string(c) + ", " + s.description);
    Instance in;
    if (!startInstance(cx, in, name, config, modules, &error)) {
        progress("  soak daemon did not start: " + error);
        return;
    }
    s.warmupRequests = cx.p.soakWarmup;
    s.fdsIdle = in.fdsIdle;
    {
        RssSampler sampler(in.pid(), 100);
        if (cx.p.soakWarmup > 0 && !loadgen(cx, accounts, c, 600, cx.p.soakWarmup, &error)) {
            progress("  soak warm-up failed: " + error);
            stopInstance(cx, in);
            return;
        }
        s.rss.push_back({0, rssKiB(in.pid())});
        const int steps = std::max(1, cx.p.soakSteps);
        for (int i = 0; i < steps; ++i) {
            auto r = loadgen(cx, accounts, c, 600, cx.p.soakRequests / static_cast<uint64_t>(steps), &error);
            truncateLogs(in);
            if (!r) {
                progress("  soak step failed: " + error);
                break;
            }
            accumulate(s.total, *r);
            s.requests += r->requests + r->transportErrors;
            s.rss.push_back({s.requests, rssKiB(in.pid())});
        }
        s.rssMaxKiB = sampler.maxKiB();
    }
    s.growthKiB = s.rss.back().second - s.rss.front().second;
    if (s.idleTimeoutSeconds > 0) {
        // Right after the load the kept connections are still open; once the
        // idle limit has passed without requests they must all be closed.
        s.fdsBusy = openFds(in.pid());
        std::this_thread::sleep_for(std::chrono::seconds(s.idleTimeoutSeconds + 1));
        s.fdsAfterIdleTimeout = settledFds(in.pid(), s.fdsIdle, 2000);
    }
    stopInstance(cx, in);
    s.fdsAfter = cx.report.fds.back().after;
    progress("  soak: growth " + std::to_string(s.growthKiB) + " KiB, largest RSS " + std::to_string(s.rssMaxKiB) +
             " KiB, descriptors " + std::to_string(s.fdsIdle) + " -> " + std::to_string(s.fdsAfter) +
             (s.idleTimeoutSeconds > 0 ? "; " + std::to_string(s.fdsBusy) + " right after the load, " +
                                             std::to_string(s.fdsAfterIdleTimeout) + " after LDAP_IDLE_TIMEOUT"
                                       : std::string()));
    cx.report.soak = std::move(s);
}

// The LDAP method against a private slapd: one connection per operation
// (BIND, MATCH), kept connections over ldap:// and ldaps://, and kept
// connections with the authentication cache; the last four beside
// saslauthd's ldap mechanism over the same URL (with its cache beside ours),
// and kept connections over ldap:// beside nslcd with pam_ldap.
void ldapScenarios(Context &cx) {
    struct LdapRow {
        LdapFlow flow;
        std::string name;
        bool reuse, tls, cache;
        std::vector<PeerSpec> peers;
    };
    const std::vector<LdapRow> flows = {
        {LdapFlow::Bind, "ldap-bind", false, false, false, {}},
        {LdapFlow::Match, "ldap-match", false, false, false, {}},
        {LdapFlow::Bind, "ldap-bind-reuse", true, false, false, {{PeerKind::SaslLdap}, {PeerKind::NslcdPamLdap}}},
        {LdapFlow::Bind, "ldaps-bind-reuse", true, true, false, {{PeerKind::SaslLdap}}},
        {LdapFlow::Bind, "ldap-bind-cache", true, false, true, {{PeerKind::SaslLdap, true}}},
        {LdapFlow::Bind, "ldaps-bind-cache", true, true, true, {{PeerKind::SaslLdap, true}}}};
    auto describe = [](const LdapRow &f) {
        if (f.reuse)
            return std::string("LDAP method, BIND with LDAP_CONNECTION_REUSE=yes") +
                   (f.cache ? " and authCacheSeconds=3600" : "") + " over " + (f.tls ? "ldaps://" : "ldap://") +
                   ", groups from the directory; baseline: libldap in process, one kept connection per worker";
        return std::string("LDAP method, ") + (f.flow == LdapFlow::Bind ? "BIND" : "MATCH") +
               " against a private slapd, groups from the directory; baseline: the same directory operations "
               "with libldap in process";
    };
    std::string error = ldapUnavailable(cx), status = "pending";
    Directory *d = nullptr;
    if (error.empty() && (d = directory(cx, &error)) == nullptr) {
        error = "slapd: " + tail(error);
        status = "failed";
    }
    if (d == nullptr) {
        for (const LdapRow &f : flows) notMeasured(cx, f.name, describe(f), status, error);
        return;
    }
    cx.slapd = d->pid();
    for (const LdapRow &f : flows) {
        const DirectoryLayout layout = d->layout(f.tls);
        const OperationFactory base = ldapOperation(f.flow, layout, cx.ldap, f.reuse);
        runScenario(cx, {f.name, describe(f),
                         baseConfig(cx.p) + d->methodConfig(f.flow, f.reuse, f.tls) +
                             (f.cache ? "authCacheSeconds=3600\n" : ""),
                         {"kivmodldapnss.so"}, &Context::ldapFile, AUTH_OK,
                         [&](Context &c, ScenarioRow &row) {
                             row.baseline = inProcess(c, "libldap", row.concurrency, base);
                         },
                         nullptr, f.peers, &layout});
    }
    cx.slapd = -1;
}

// Waits (bounded) for no compiler to run and the 1-minute load to drop below 1.
QuietRecord waitForQuiet(int maxSeconds) {
    QuietRecord q;
    auto start = Clock::now();
    for (;;) {
        q.compilersAtStart = countProcesses("cc1plus") + countProcesses("cc1");
        q.load1AtStart = loadAverage1();
        q.quiet = q.compilersAtStart == 0 && q.load1AtStart >= 0 && q.load1AtStart < 1.0;
        q.waitedSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (q.quiet || q.waitedSeconds >= maxSeconds) return q;
        progress("waiting for a quiet machine: " + std::to_string(q.compilersAtStart) + " compilers, load " +
                 std::to_string(q.load1AtStart));
        std::this_thread::sleep_for(std::chrono::seconds(10));
    }
}

std::string utcNow() {
    char buf[32];
    time_t t = time(nullptr);
    tm u{};
    gmtime_r(&t, &u);
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &u);
    return buf;
}

Json parametersJson(const Context &cx) {
    return {{"smoke", cx.p.smoke},
            {"concurrency", cx.p.concurrency},
            {"seconds_per_run", cx.p.seconds},
            {"rounds", cx.p.rounds},
            {"requests_per_run", cx.p.requests},
            {"warmup_seconds", cx.p.warmupSeconds},
            {"daemon_numThreads", cx.p.numThreads},
            {"accounts_per_kind", cx.p.users},
            {"soak_warmup", cx.p.soakWarmup},
            {"soak_requests", cx.p.soakRequests},
            {"cores", cx.cores},
            {"only", cx.p.only}};
}

bool prepare(Context &cx, std::string *error) {
    if (mkdir(kWork, 0700) != 0 && errno != EEXIST) {
        *error = std::string("mkdir ") + kWork;
        return false;
    }
    const int n = cx.p.users;
    cx.sha = std::make_shared<const std::vector<Account>>(makeSha512Accounts("shauser", n, 20000));
    cx.ssha = std::make_shared<const std::vector<Account>>(makeSshaAccounts("sshauser", n, 30000));
    cx.ldap = std::make_shared<const std::vector<Account>>(makeSshaAccounts("ldapuser", n, 40000));
    if (cx.sha->empty() || cx.ssha->empty() || cx.ldap->empty()) {
        *error = "could not make the account hashes";
        return false;
    }
    std::vector<Account> local = *cx.sha;
    local.insert(local.end(), cx.ssha->begin(), cx.ssha->end());
    if (!writeAccountFiles(accountFiles(local), error)) return false;
    const std::string w = kWork;
    cx.shaFile = w + "/sha512.accounts";
    cx.sshaFile = w + "/ssha.accounts";
    cx.wrongFile = w + "/wrong.accounts";
    cx.ldapFile = w + "/ldap.accounts";
    cx.pamDir = w + "/pam.d";
    mkdir(cx.pamDir.c_str(), 0755);
    return writeFile(cx.shaFile, accountList(*cx.sha), 0600, error) &&
           writeFile(cx.sshaFile, accountList(*cx.ssha), 0600, error) &&
           writeFile(cx.wrongFile, accountList(*cx.ssha, true), 0600, error) &&
           writeFile(cx.ldapFile, accountList(*cx.ldap), 0600, error) &&
           writeFile(cx.pamDir + "/" + kPamService, pamServiceText(), 0644, error);
}

} // namespace

int runBenchmark(BenchParams p) {
    // /tmp and /run are covered by private file systems for the run, so a
    // report written there would vanish with it.  The daemons run in
    // directories of their own, so the path must be absolute.
    std::error_code ec;
    std::string out = std::filesystem::weakly_canonical(std::filesystem::absolute(p.outDir), ec).string();
    p.outDir = out;
    for (const char *hidden : {"/tmp", "/run", "/var/run"}) {
        std::string h = hidden;
        if (h == "/tmp" && runsFromTmp()) continue;  // /tmp is not replaced then
        if (ec || pathIsUnder(out, h)) {
            std::cerr << "kiv-bench: the report directory must not be under /tmp or /run (private to the run): "
                      << p.outDir << "\n";
            return 64;
        }
    }
    Context cx(p);
    // The namespace comes first, while this process has one thread.
    std::string error;
    if (!enterPrivateNamespace(&error)) {
        std::cerr << "kiv-bench: " << error << "\n";
        return 2;
    }
    cx.report.quiet = waitForQuiet(p.quietWaitSeconds);
    cx.report.machine = machineInfo();
    cx.cores = std::max(1, cx.report.machine.cores);
    cx.report.generated = utcNow();
    cx.report.command = p.command;
    cx.report.parameters = parametersJson(cx);
    if (mkdir(p.outDir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::cerr << "kiv-bench: cannot create " << p.outDir << "\n";
        return 2;
    }
    if (!prepare(cx, &error)) {
        std::cerr << "kiv-bench: " << error << "\n";
        return 2;
    }

    if (p.profile) {
        const int c = std::min(4, *std::max_element(p.concurrency.begin(), p.concurrency.end()));
        int rc = runProfile({p.binDir, p.outDir, kWork, cx.sshaFile, pwConfig(p), c, p.profileRequests, {}});
        if (!ldapUnavailable(cx).empty()) return rc;
        Directory *d = directory(cx, &error);
        if (d == nullptr) {
            std::cerr << "kiv-bench: slapd: " << error << "\n";
            return 1;
        }
        for (LdapFlow flow : {LdapFlow::Bind, LdapFlow::Match})
            rc |= runLdapProfile({p.binDir, p.outDir, kWork, cx.ldapFile, baseConfig(p) + d->methodConfig(flow), c,
                                  std::min<uint64_t>(p.profileRequests, 1000), {"kivmodldapnss.so"}},
                                 flow == LdapFlow::Bind ? "ldap-bind" : "ldap-match",
                                 ldapOperation(flow, d->layout(), cx.ldap));
        return rc;
    }

    // A report left from an earlier run must not pass for this one's.
    unlink((p.outDir + "/report.json").c_str());
    unlink((p.outDir + "/report.md").c_str());
    auto watch = std::make_unique<CompilerWatch>();
    const CpuSnapshot runStart = cpuSnapshot();
    if (p.quietWaitSeconds > 0) {
        cx.watchOthers = true;
        // Waiting and repeating together may add at most this much to the run.
        cx.waitBudgetEnd = Clock::now() + std::chrono::seconds(std::min(p.quietWaitSeconds, kRetryBudgetSeconds));
    }
    auto wanted = [&](const std::string &group) {
        return p.only.empty() || std::find(p.only.begin(), p.only.end(), group) != p.only.end();
    };
    for (const PwScenario &s : pwScenarios(cx))
        if (std::any_of(s.groups.begin(), s.groups.end(), wanted)) runPwScenario(cx, s);
    if (wanted("soak")) soak(cx);
    if (wanted("ldap")) ldapScenarios(cx);

    cx.report.quiet.load1AtEnd = loadAverage1();
    cx.report.quiet.compilerSamples = watch->samples();
    cx.report.quiet.samplesWithCompilers = watch->busySamples();
    cx.report.quiet.compilersMax = watch->maxSeen();
    cx.report.quiet.othersCores = othersCores(runStart, cpuSnapshot());
    cx.watchOthers = false;
    watch.reset();
    cx.report.targets = evaluateTargets(cx.report);
    Json j = reportJson(cx.report);
    const std::string md = reportMarkdown(cx.report);
    if (!writeFile(p.outDir + "/report.json", j.dump(2), 0644, &error) ||
        !writeFile(p.outDir + "/report.md", md, 0644, &error)) {
        std::cerr << "kiv-bench: " << error << "\n";
        return 1;
    }
    std::cout << "\n" << md;
    // What was written must read back as a well-formed report.
    auto back = parseJson(readFile(p.outDir + "/report.json"), &error);
    if (!back) {
        std::cerr << "kiv-bench: report.json does not parse: " << error << "\n";
        return 1;
    }
    for (const std::string &problem : checkReport(*back)) {
        std::cerr << "kiv-bench: report problem: " << problem << "\n";
        return 1;
    }
    return 0;
}

} // namespace kivbench
