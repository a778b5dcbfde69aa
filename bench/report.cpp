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

std::optional<double> peerRatio(const ScenarioRow &row) {
    if (!row.daemon || !row.peer || !(row.peer->result.perSecond > 0)) return std::nullopt;
    return row.daemon->result.perSecond / row.peer->result.perSecond;
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

Json runJson(const RunRecord &r) {
    Json j = toJson(r.result, codeName);
    j["what"] = r.what;
    j["threads"] = r.threads;
    j["others_cores"] = r.othersCores;
    return j;
}

Json optionalNumber(const std::optional<double> &v) { return v ? Json(*v) : Json(); }

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

std::string mib(long kib) { return kib < 0 ? "-" : fmt("%.1f", static_cast<double>(kib) / 1024.0); }

} // namespace

Json reportJson(const Report &report) {
    Json j = Json::object();
    j["schema"] = "kiv-bench/1";
    j["generated"] = report.generated;
    j["command"] = report.command;
    Json &m = j["machine"];
    m["cpu"] = report.machine.cpuModel;
    m["cores"] = report.machine.cores;
    m["kernel"] = report.machine.kernel;
    m["memory_kib"] = report.machine.memoryKiB;
    Json &q = j["quiet"];
    q["compilers_at_start"] = report.quiet.compilersAtStart;
    q["load1_at_start"] = report.quiet.load1AtStart;
    q["waited_s"] = report.quiet.waitedSeconds;
    q["quiet"] = report.quiet.quiet;
    q["load1_at_end"] = report.quiet.load1AtEnd;
    q["samples"] = report.quiet.compilerSamples;
    q["samples_with_compilers"] = report.quiet.samplesWithCompilers;
    q["compilers_max"] = report.quiet.compilersMax;
    q["others_cores"] = report.quiet.othersCores;
    q["repeated_runs"] = report.quiet.repeatedRuns;
    j["parameters"] = report.parameters;

    Json &rows = j["scenarios"];
    rows = Json::array();
    for (const ScenarioRow &r : report.rows) {
        Json row = Json::object();
        row["name"] = r.scenario;
        row["description"] = r.description;
        row["concurrency"] = r.concurrency;
        row["status"] = r.status;
        row["note"] = r.note;
        row["expected"] = codeName(r.expectedCode);
        row["daemon"] = r.daemon ? runJson(*r.daemon) : Json();
        row["baseline"] = r.baseline ? runJson(*r.baseline) : Json();
        row["ratio"] = optionalNumber(baselineRatio(r));
        row["peer"] = r.peer ? runJson(*r.peer) : Json();
        row["peer_ratio"] = optionalNumber(peerRatio(r));
        row["unexpected_answers"] = unexpectedAnswers(r);
        row["rss_max_kib"] = r.rssMaxKiB;
        rows.push(std::move(row));
    }

    Json &mem = j["memory"];
    long rssMax = -1;
    for (const ScenarioRow &r : report.rows) rssMax = std::max(rssMax, r.rssMaxKiB);
    if (report.soak) rssMax = std::max(rssMax, report.soak->rssMaxKiB);
    mem["rss_max_kib"] = rssMax;
    if (report.soak) {
        const SoakRecord &s = *report.soak;
        Json &soak = mem["soak"];
        soak["warmup_requests"] = s.warmupRequests;
        soak["requests"] = s.requests;
        Json &series = soak["rss_kib"];
        series = Json::array();
        for (auto &[done, kib] : s.rss) {
            Json p = Json::object();
            p["requests"] = done;
            p["rss_kib"] = kib;
            series.push(std::move(p));
        }
        soak["growth_kib"] = s.growthKiB;
        soak["rss_max_kib"] = s.rssMaxKiB;
        soak["fds_idle"] = s.fdsIdle;
        soak["fds_after"] = s.fdsAfter;
        soak["run"] = toJson(s.total, codeName);
    } else {
        mem["soak"] = Json();
    }
    Json &fds = mem["fds"];
    fds = Json::array();
    for (const FdRecord &f : report.fds) {
        Json e = Json::object();
        e["daemon"] = f.daemon;
        e["idle"] = f.idle;
        e["after"] = f.after;
        fds.push(std::move(e));
    }

    Json &targets = j["targets"];
    targets = Json::array();
    for (const TargetRecord &t : report.targets) {
        Json e = Json::object();
        e["id"] = t.id;
        e["text"] = t.text;
        e["measured"] = t.measured;
        e["status"] = t.status;
        targets.push(std::move(e));
    }
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
       << "- Parameters: `" << [&] {
              std::string p = report.parameters.dump();
              std::string flat;
              for (char c : p)
                  if (c != '\n') flat += c;
              std::string out;
              for (size_t i = 0; i < flat.size(); ++i)
                  if (!(flat[i] == ' ' && i + 1 < flat.size() && flat[i + 1] == ' ')) out += flat[i];
              return out;
          }() << "`\n\n";

    const Json *rounds = report.parameters.find("rounds");
    const int roundCount = rounds != nullptr && rounds->isNumber() ? static_cast<int>(rounds->number()) : 1;
    md << "## Scenarios\n\n"
       << "Throughput is answered requests per second over the whole run; latency is per exchange as the "
          "client sees it (connect to close).  The ratio is daemon / baseline; the peer is in-process PAM "
          "with pam_unix.  A figure marked (!x) was measured while other work on the machine used x "
          "cores on average (after up to three attempts).";
    if (roundCount > 1)
        md << "  Each row is measured in " << roundCount
           << " alternating rounds of daemon and baselines; each side shows its run with the median "
              "throughput.";
    md << "\n\n"
       << "| scenario | conc. | daemon auth/s | p50 ms | p95 ms | p99 ms | max ms | daemon answers | baseline "
          "| baseline auth/s | ratio | peer auth/s | daemon/peer | RSS max MiB |\n"
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
        if (r.peer)
            md << fmt("%.0f", r.peer->result.perSecond) << disturbedMark(*r.peer) << " | "
               << (peerRatio(r) ? fmt("%.2f", *peerRatio(r)) : "-") << " | ";
        else
            md << "- | - | ";
        md << mib(r.rssMaxKiB) << " |\n";
    }
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
        md << "Soak: " << s.warmupRequests << " warm-up requests, then " << s.requests << " measured ("
           << fmt("%.0f", s.total.perSecond) << " auth/s, " << codesText(s.total) << ").\n\n"
           << "| requests after warm-up | VmRSS KiB |\n|---:|---:|\n";
        for (auto &[done, kib] : s.rss) md << "| " << done << " | " << kib << " |\n";
        md << "\nGrowth across the measured requests: " << s.growthKiB << " KiB; largest RSS "
           << mib(s.rssMaxKiB) << " MiB.\n\n";
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
