// Report rendering.
#include "report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "client_op.h"

namespace kivbench {

std::optional<double> baselineRatio(const ScenarioRow &row) {
    if (!row.daemon || !row.baseline || !(row.baseline->result.perSecond > 0)) return std::nullopt;
    return row.daemon->result.perSecond / row.baseline->result.perSecond;
}

std::optional<double> peerRatio(const ScenarioRow &row, const RunRecord &peer) {
    if (!row.daemon || !(peer.result.perSecond > 0)) return std::nullopt;
    return row.daemon->result.perSecond / peer.result.perSecond;
}

uint64_t unexpectedAnswers(const ScenarioRow &row) {
    if (!row.daemon) return 0;
    uint64_t n = row.daemon->result.transportErrors;
    for (auto &[code, count] : row.daemon->result.codes)
        if (code != row.expectedCode) n += count;
    return n;
}

std::optional<RunRecord> medianRun(std::vector<RunRecord> runs) {
    if (runs.empty()) return std::nullopt;
    std::sort(runs.begin(), runs.end(),
              [](const RunRecord &a, const RunRecord &b) { return a.result.perSecond < b.result.perSecond; });
    return runs[(runs.size() - 1) / 2];
}

namespace {

Json optionalNumber(const std::optional<double> &v) { return v ? Json(*v) : Json(); }
Json optionalCpu(double v) { return v >= 0 ? Json(v) : Json(); }

Json runJson(const RunRecord &r) {
    Json j = toJson(r.result, codeName);
    j["what"] = r.what;
    j["threads"] = r.threads;
    j["others_cores"] = r.othersCores;
    j["cpu_ms_per_request"] = optionalCpu(r.cpuMsPerRequest);
    j["slapd_cpu_ms_per_request"] = optionalCpu(r.slapdCpuMsPerRequest);
    return j;
}

std::string fmt(const char *format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string codesText(const LoadResult &r) {
    std::string s;
    for (auto &[code, n] : r.codes) s += (s.empty() ? "" : ", ") + codeName(code) + " " + std::to_string(n);
    if (r.transportErrors) s += (s.empty() ? "" : ", ") + std::string("connection errors ") + std::to_string(r.transportErrors);
    return s.empty() ? "-" : s;
}

// A run that another compiler shared the machine with is marked.
std::string disturbedMark(const RunRecord &r) {
    return r.othersCores > kDisturbedCores ? " (!" + fmt("%.2f", r.othersCores) + ")" : "";
}

std::string cpu(double ms) { return ms < 0 ? "-" : fmt("%.3f", ms); }

std::string mib(long kib) { return kib < 0 ? "-" : fmt("%.1f", static_cast<double>(kib) / 1024.0); }

} // namespace

Json reportJson(const Report &report) {
    const QuietRecord &q = report.quiet;
    Json j = {{"schema", "kiv-bench/1"},
              {"generated", report.generated},
              {"command", report.command},
              {"machine",
               {{"cpu", report.machine.cpuModel},
                {"cores", report.machine.cores},
                {"kernel", report.machine.kernel},
                {"memory_kib", report.machine.memoryKiB}}},
              {"quiet",
               {{"compilers_at_start", q.compilersAtStart},
                {"load1_at_start", q.load1AtStart},
                {"waited_s", q.waitedSeconds},
                {"quiet", q.quiet},
                {"load1_at_end", q.load1AtEnd},
                {"samples", q.compilerSamples},
                {"samples_with_compilers", q.samplesWithCompilers},
                {"compilers_max", q.compilersMax},
                {"others_cores", q.othersCores},
                {"repeated_runs", q.repeatedRuns}}},
              {"parameters", report.parameters}};
    Json &rows = j["scenarios"] = Json::array();
    for (const ScenarioRow &r : report.rows) {
        Json peers = Json::array();
        for (const RunRecord &p : r.peers) {
            Json pj = runJson(p);
            pj["ratio"] = optionalNumber(peerRatio(r, p));
            peers.push_back(std::move(pj));
        }
        rows.push_back({{"name", r.scenario},
                        {"description", r.description},
                        {"concurrency", r.concurrency},
                        {"status", r.status},
                        {"note", r.note},
                        {"expected", codeName(r.expectedCode)},
                        {"daemon", r.daemon ? runJson(*r.daemon) : Json()},
                        {"baseline", r.baseline ? runJson(*r.baseline) : Json()},
                        {"ratio", optionalNumber(baselineRatio(r))},
                        {"peers", std::move(peers)},
                        {"unexpected_answers", unexpectedAnswers(r)},
                        {"rss_max_kib", r.rssMaxKiB}});
    }

    long rssMax = -1;
    for (const ScenarioRow &r : report.rows) rssMax = std::max(rssMax, r.rssMaxKiB);
    if (report.soak) rssMax = std::max(rssMax, report.soak->rssMaxKiB);
    Json &mem = j["memory"] = {{"rss_max_kib", rssMax}, {"soak", nullptr}, {"fds", Json::array()}};
    if (report.soak) {
        const SoakRecord &s = *report.soak;
        Json series = Json::array();
        for (auto &[done, kib] : s.rss) series.push_back({{"requests", done}, {"rss_kib", kib}});
        mem["soak"] = {{"warmup_requests", s.warmupRequests}, {"requests", s.requests}, {"rss_kib", series},
                       {"growth_kib", s.growthKiB},          {"rss_max_kib", s.rssMaxKiB}, {"fds_idle", s.fdsIdle},
                       {"fds_after", s.fdsAfter},            {"run", toJson(s.total, codeName)},
                       {"method", s.method},                 {"description", s.description}};
        if (s.idleTimeoutSeconds > 0) {
            mem["soak"]["idle_timeout_s"] = s.idleTimeoutSeconds;
            mem["soak"]["fds_busy"] = s.fdsBusy;
            mem["soak"]["fds_after_idle_timeout"] = s.fdsAfterIdleTimeout;
        }
    }
    for (const FdRecord &f : report.fds) mem["fds"].push_back({{"daemon", f.daemon}, {"idle", f.idle}, {"after", f.after}});
    Json &calls = j["syscalls"] = Json::array();
    for (const SyscallRecord &s : report.syscalls)
        calls.push_back({{"scenario", s.scenario},
                         {"daemon", s.daemon},
                         {"requests", s.requests},
                         {"syscalls", s.syscalls},
                         {"per_request", s.syscalls >= 0 && s.requests > 0
                                             ? Json(static_cast<double>(s.syscalls) / static_cast<double>(s.requests))
                                             : Json()}});
    Json &targets = j["targets"] = Json::array();
    for (const TargetRecord &t : report.targets)
        targets.push_back({{"id", t.id}, {"text", t.text}, {"measured", t.measured}, {"status", t.status}});
    return j;
}

std::string reportMarkdown(const Report &report) {
    std::ostringstream md;
    const MachineInfo &mc = report.machine;
    md << "# kiv-services-daemon load benchmark\n\n"
       << "- Generated: " << report.generated << "\n"
       << "- Machine: " << mc.cpuModel << ", " << mc.cores << " cores, " << mib(mc.memoryKiB) << " MiB, "
       << mc.kernel << "\n"
       << "- Quiet: " << (report.quiet.quiet ? "yes" : "no") << " (compilers running at start "
       << report.quiet.compilersAtStart << ", 1-min load " << fmt("%.2f", report.quiet.load1AtStart)
       << " at start after waiting " << fmt("%.0f", report.quiet.waitedSeconds) << " s, "
       << fmt("%.2f", report.quiet.load1AtEnd) << " at the end; during the run other compilers were seen in "
       << report.quiet.samplesWithCompilers << " of " << report.quiet.compilerSamples
       << " one-second samples, at most " << report.quiet.compilersMax << " at once; other work used "
       << fmt("%.2f", report.quiet.othersCores) << " cores on average; " << report.quiet.repeatedRuns
       << " runs were repeated because other work disturbed them)\n"
       << "- Command: `" << report.command << "`\n"
       << "- Parameters: `" << report.parameters.dump() << "`\n\n";

    const int roundCount = report.parameters.value("rounds", 1);
    md << "## Scenarios\n\n"
       << "Throughput is answered requests per second over the whole run; latency is per exchange as the "
          "client sees it (connect to close).  The ratio is daemon / baseline; CPU is the daemon's (and "
          "slapd's) user + system time per answered request.  A figure marked (!x) was measured while other work on the machine used x "
          "cores on average (after up to three attempts).";
    if (roundCount > 1)
        md << "  Each row is measured in " << roundCount
           << " alternating rounds of daemon and baselines; each side shows its run with the median "
              "throughput.";
    md << "\n\n"
       << "| scenario | conc. | daemon auth/s | p50 ms | p95 ms | p99 ms | max ms | daemon answers | baseline "
          "| baseline auth/s | ratio | CPU ms/req | slapd ms/req | RSS max MiB |\n"
       << "|---|---:|---:|---:|---:|---:|---:|---|---|---:|---:|---:|---:|---:|\n";
    for (const ScenarioRow &r : report.rows) {
        md << "| " << r.scenario << " | " << r.concurrency << " | ";
        if (r.status != "measured" || !r.daemon) {
            md << r.status << " | | | | | " << r.note << " | | | | | | |\n";
            continue;
        }
        const LoadResult &d = r.daemon->result;
        md << fmt("%.0f", d.perSecond) << disturbedMark(*r.daemon) << " | " << fmt("%.3f", d.latency.p50Ms) << " | "
           << fmt("%.3f", d.latency.p95Ms) << " | " << fmt("%.3f", d.latency.p99Ms) << " | "
           << fmt("%.3f", d.latency.maxMs) << " | " << codesText(d) << " | ";
        if (r.baseline)
            md << r.baseline->what << " x" << r.baseline->threads << " | " << fmt("%.0f", r.baseline->result.perSecond)
               << disturbedMark(*r.baseline) << " | " << (baselineRatio(r) ? fmt("%.2f", *baselineRatio(r)) : "-") << " | ";
        else
            md << "- | - | - | ";
        md << cpu(r.daemon->cpuMsPerRequest) << " | " << cpu(r.daemon->slapdCpuMsPerRequest) << " | "
           << mib(r.rssMaxKiB) << " |\n";
    }

    md << "\n## Peer daemons\n\n"
          "The same accounts and load generator against the daemons sites would otherwise run, in the same "
          "alternating rounds; ratio = ours / peer.  CPU per request counts the daemon with its worker "
          "processes; slapd's is shown as ours / the peer's.\n\n"
          "| scenario | conc. | ours auth/s | peer | peer auth/s | ours/peer | CPU ms/req ours | CPU ms/req peer "
          "| slapd ms/req ours / peer |\n|---|---:|---:|---|---:|---:|---:|---:|---|\n";
    for (const ScenarioRow &r : report.rows)
        for (const RunRecord &p : r.peers) {
            if (!r.daemon) continue;
            md << "| " << r.scenario << " | " << r.concurrency << " | " << fmt("%.0f", r.daemon->result.perSecond)
               << " | " << p.what << " x" << p.threads << " | " << fmt("%.0f", p.result.perSecond) << disturbedMark(p)
               << " | " << (peerRatio(r, p) ? fmt("%.2f", *peerRatio(r, p)) : "-") << " | "
               << cpu(r.daemon->cpuMsPerRequest) << " | " << cpu(p.cpuMsPerRequest) << " | "
               << cpu(r.daemon->slapdCpuMsPerRequest) << " / " << cpu(p.slapdCpuMsPerRequest) << " |\n";
        }
    md << "\n## System calls per request\n\n"
          "Counted with perf's raw_syscalls:sys_enter tracepoint over every thread and worker process of the "
          "daemon during a short extra run.\n\n| scenario | daemon | requests | system calls | per request |\n"
          "|---|---|---:|---:|---:|\n";
    for (const SyscallRecord &s : report.syscalls)
        md << "| " << s.scenario << " | " << s.daemon << " | " << s.requests << " | " << s.syscalls << " | "
           << (s.syscalls >= 0 && s.requests > 0
                   ? fmt("%.1f", static_cast<double>(s.syscalls) / static_cast<double>(s.requests))
                   : "-")
           << " |\n";
    md << "\nScenarios:\n\n";
    std::string last;
    for (const ScenarioRow &r : report.rows) {
        if (r.scenario == last) continue;
        last = r.scenario;
        md << "- `" << r.scenario << "`: " << r.description << (r.note.empty() ? "" : " (" + r.note + ")") << "\n";
    }

    md << "\n## Memory and descriptors\n\n";
    if (report.soak) {
        const SoakRecord &s = *report.soak;
        if (!s.description.empty()) md << "Soak daemon: " << s.description << ".\n\n";
        md << "Soak: " << s.warmupRequests << " warm-up requests, then " << s.requests << " measured ("
           << fmt("%.0f", s.total.perSecond) << " auth/s, " << codesText(s.total) << ").\n\n"
           << "| requests after warm-up | VmRSS KiB |\n|---:|---:|\n";
        for (auto &[done, kib] : s.rss) md << "| " << done << " | " << kib << " |\n";
        md << "\nGrowth across the measured requests: " << s.growthKiB << " KiB; largest RSS "
           << mib(s.rssMaxKiB) << " MiB.";
        if (s.idleTimeoutSeconds > 0)
            md << "  Open descriptors: " << s.fdsIdle << " idle before the load, " << s.fdsBusy
               << " right after it (kept connections), " << s.fdsAfterIdleTimeout << " once LDAP_IDLE_TIMEOUT ("
               << s.idleTimeoutSeconds << " s) had passed.";
        md << "\n\n";
    } else {
        md << "No soak run.\n\n";
    }
    md << "| daemon | open descriptors idle | after its runs |\n|---|---:|---:|\n";
    for (const FdRecord &f : report.fds) md << "| " << f.daemon << " | " << f.idle << " | " << f.after << " |\n";

    md << "\n## Targets\n\n| target | measured | status |\n|---|---|---|\n";
    for (const TargetRecord &t : report.targets) md << "| " << t.text << " | " << t.measured << " | " << t.status << " |\n";
    return md.str();
}

} // namespace kivbench
