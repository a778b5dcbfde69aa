// Report structure check.
#include "report_check.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace kivbench {

namespace {

class Checker {
public:
    std::vector<std::string> problems;

    void problem(const std::string &where, const std::string &what) { problems.push_back(where + ": " + what); }

    const Json *need(const Json &j, const std::string &path, Json::Type type, const std::string &where) {
        const Json *v = jsonPath(j, path);
        if (v == nullptr) {
            problem(where, "missing " + path);
            return nullptr;
        }
        if (v->type() != type) {
            problem(where, path + " has the wrong type");
            return nullptr;
        }
        return v;
    }

    // A load run as toJson writes it; returns its auth/s or -1.
    double run(const Json &j, const std::string &where) {
        const Json *rate = need(j, "auth_per_s", Json::Type::Number, where);
        const Json *requests = need(j, "requests", Json::Type::Number, where);
        need(j, "seconds", Json::Type::Number, where);
        need(j, "codes", Json::Type::Object, where);
        need(j, "connection_errors", Json::Type::Number, where);
        double last = -1;
        for (const char *p : {"p50", "p95", "p99", "max"}) {
            const Json *v = need(j, std::string("latency_ms.") + p, Json::Type::Number, where);
            if (v == nullptr) continue;
            if (v->number() < last) problem(where, std::string("latency ") + p + " below the previous percentile");
            last = v->number();
        }
        if (rate == nullptr || requests == nullptr) return -1;
        if (rate->number() < 0 || requests->number() < 0) problem(where, "negative count or rate");
        return rate->number();
    }
};

} // namespace

const std::vector<std::string> &requiredScenarios() {
    static const std::vector<std::string> names = {"pw-sha512", "pw-ssha",  "pw-ssha-debuglog",
                                                   "pw-lockout", "ldap-bind", "ldap-match"};
    return names;
}

std::vector<std::string> checkReport(const Json &report, bool strict, const std::vector<std::string> &mustMeasure) {
    Checker c;
    if (!report.isObject()) return {"report: not a JSON object"};
    if (const Json *s = c.need(report, "schema", Json::Type::String, "report"); s && s->string() != "kiv-bench/1")
        c.problem("report", "unknown schema " + s->string());
    c.need(report, "generated", Json::Type::String, "report");
    if (const Json *cores = c.need(report, "machine.cores", Json::Type::Number, "report"); cores && cores->number() < 1)
        c.problem("report", "machine.cores below 1");
    c.need(report, "quiet.quiet", Json::Type::Bool, "report");
    c.need(report, "parameters", Json::Type::Object, "report");
    c.need(report, "memory.rss_max_kib", Json::Type::Number, "report");
    c.need(report, "memory.fds", Json::Type::Array, "report");
    if (const Json *soak = jsonPath(report, "memory.soak"); soak == nullptr)
        c.problem("report", "missing memory.soak");
    else if (soak->isObject())
        c.need(*soak, "growth_kib", Json::Type::Number, "memory.soak");

    std::set<std::string> seen, measured;
    if (const Json *rows = c.need(report, "scenarios", Json::Type::Array, "report")) {
        if (rows->size() == 0) c.problem("report", "no scenarios");
        for (size_t i = 0; i < rows->size(); ++i) {
            const Json &row = rows->at(i);
            std::string where = "scenarios[" + std::to_string(i) + "]";
            const Json *name = c.need(row, "name", Json::Type::String, where);
            if (name == nullptr) continue;
            where += " " + name->string();
            seen.insert(name->string());
            c.need(row, "concurrency", Json::Type::Number, where);
            const Json *status = c.need(row, "status", Json::Type::String, where);
            if (status == nullptr) continue;
            const std::string st = status->string();
            if (st != "measured" && st != "pending" && st != "failed") c.problem(where, "unknown status " + st);
            if (strict && st == "failed") c.problem(where, "failed: " + (row.find("note") ? row.find("note")->string() : ""));
            if (st != "measured") continue;
            measured.insert(name->string());
            const Json *daemon = c.need(row, "daemon", Json::Type::Object, where);
            double d = daemon ? c.run(*daemon, where + " daemon") : -1;
            if (daemon && jsonPath(*daemon, "requests") && jsonPath(*daemon, "requests")->isNumber() &&
                jsonPath(*daemon, "requests")->number() < 1)
                c.problem(where, "no daemon request was answered");
            const Json *baseline = row.find("baseline");
            const Json *ratio = row.find("ratio");
            if (baseline && baseline->isObject()) {
                double b = c.run(*baseline, where + " baseline");
                if (d >= 0 && b > 0) {
                    if (ratio == nullptr || !ratio->isNumber())
                        c.problem(where, "ratio missing");
                    else if (std::fabs(ratio->number() - d / b) > 1e-3 * std::max(1.0, d / b))
                        c.problem(where, "ratio does not match the throughputs");
                }
            }
            if (const Json *peer = row.find("peer"); peer && peer->isObject()) c.run(*peer, where + " peer");
            if (strict) {
                const Json *bad = c.need(row, "unexpected_answers", Json::Type::Number, where);
                if (bad && bad->number() != 0) c.problem(where, "unexpected daemon answers");
            }
        }
    }
    for (const std::string &s : requiredScenarios())
        if (!seen.count(s)) c.problem("report", "scenario " + s + " missing");
    if (strict)
        for (const std::string &s : mustMeasure)
            if (!measured.count(s)) c.problem("report", "scenario " + s + " was not measured");

    if (const Json *targets = c.need(report, "targets", Json::Type::Array, "report")) {
        if (targets->size() == 0) c.problem("report", "no targets");
        for (size_t i = 0; i < targets->size(); ++i) {
            std::string where = "targets[" + std::to_string(i) + "]";
            c.need(targets->at(i), "id", Json::Type::String, where);
            c.need(targets->at(i), "measured", Json::Type::String, where);
            const Json *st = c.need(targets->at(i), "status", Json::Type::String, where);
            if (st && st->string() != "met" && st->string() != "missed" && st->string() != "pending")
                c.problem(where, "unknown status " + st->string());
        }
    }
    return c.problems;
}

} // namespace kivbench
