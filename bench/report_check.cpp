// Report structure check.
#include "report_check.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace kivbench {

namespace {

// What a value must be: Json::is_number, is_string, ...
using Kind = bool (Json::*)() const noexcept;
namespace is {
constexpr Kind number = &Json::is_number, string = &Json::is_string, boolean = &Json::is_boolean,
               object = &Json::is_object, array = &Json::is_array;
}

class Checker {
public:
    std::vector<std::string> problems;

    void problem(const std::string &where, const std::string &what) { problems.push_back(where + ": " + what); }

    // The value at `path` ("a/b") if it is there with the right kind.
    const Json *need(const Json &j, const std::string &path, Kind kind, const std::string &where) {
        const Json::json_pointer ptr("/" + path);
        if (!j.is_object() || !j.contains(ptr)) {
            problem(where, "missing " + path);
            return nullptr;
        }
        const Json &v = j.at(ptr);
        if (!(v.*kind)()) {
            problem(where, path + " has the wrong type");
            return nullptr;
        }
        return &v;
    }

    // A load run as toJson writes it; returns its auth/s or -1.
    double run(const Json &j, const std::string &where) {
        const Json *rate = need(j, "auth_per_s", is::number, where);
        const Json *requests = need(j, "requests", is::number, where);
        need(j, "seconds", is::number, where);
        need(j, "codes", is::object, where);
        need(j, "connection_errors", is::number, where);
        double last = -1;
        for (const char *p : {"p50", "p95", "p99", "max"}) {
            const Json *v = need(j, std::string("latency_ms/") + p, is::number, where);
            if (v == nullptr) continue;
            if (v->get<double>() < last) problem(where, std::string("latency ") + p + " below the previous percentile");
            last = v->get<double>();
        }
        for (const char *cpu : {"cpu_ms_per_request", "slapd_cpu_ms_per_request"})
            if (j.contains(cpu) && !j[cpu].is_null() && !(j[cpu].is_number() && j[cpu].get<double>() >= 0))
                problem(where, std::string(cpu) + " is not a non-negative number");
        if (rate == nullptr || requests == nullptr) return -1;
        if (rate->get<double>() < 0 || requests->get<double>() < 0) problem(where, "negative count or rate");
        return rate->get<double>();
    }

    // `ratio` must be d / b when both are known.
    void ratio(const Json &row, const char *key, double d, double b, const std::string &where) {
        if (d < 0 || b <= 0) return;
        const Json *r = row.contains(key) ? &row[key] : nullptr;
        if (r == nullptr || !r->is_number())
            problem(where, std::string(key) + " missing");
        else if (std::fabs(r->get<double>() - d / b) > 1e-3 * std::max(1.0, d / b))
            problem(where, std::string(key) + " does not match the throughputs");
    }
};

std::string text(const Json &row, const char *key) {
    return row.contains(key) && row[key].is_string() ? row[key].get<std::string>() : "";
}

} // namespace

const std::vector<std::string> &requiredScenarios() {
    static const std::vector<std::string> names = {"pw-sha512", "pw-ssha",  "pw-ssha-debuglog",
                                                   "pw-lockout", "ldap-bind", "ldap-match"};
    return names;
}

std::vector<std::string> checkReport(const Json &report, bool strict, const std::vector<std::string> &mustMeasure) {
    Checker c;
    if (!report.is_object()) return {"report: not a JSON object"};
    if (const Json *s = c.need(report, "schema", is::string, "report"); s && *s != "kiv-bench/1")
        c.problem("report", "unknown schema " + s->get<std::string>());
    c.need(report, "generated", is::string, "report");
    if (const Json *cores = c.need(report, "machine/cores", is::number, "report"); cores && *cores < 1)
        c.problem("report", "machine.cores below 1");
    c.need(report, "quiet/quiet", is::boolean, "report");
    c.need(report, "parameters", is::object, "report");
    c.need(report, "memory/rss_max_kib", is::number, "report");
    c.need(report, "memory/fds", is::array, "report");
    if (!report.contains(Json::json_pointer("/memory/soak")))
        c.problem("report", "missing memory.soak");
    else if (report.at(Json::json_pointer("/memory/soak")).is_object())
        c.need(report.at(Json::json_pointer("/memory/soak")), "growth_kib", is::number, "memory.soak");

    // A run of some groups only (--only) lists only their scenarios.
    const Json::json_pointer only("/parameters/only");
    const bool partial = report.contains(only) && report.at(only).is_array() && !report.at(only).empty();
    std::set<std::string> seen, measured;
    if (const Json *rows = c.need(report, "scenarios", is::array, "report")) {
        if (rows->empty() && !partial) c.problem("report", "no scenarios");
        for (size_t i = 0; i < rows->size(); ++i) {
            const Json &row = rows->at(i);
            std::string where = "scenarios[" + std::to_string(i) + "]";
            const Json *name = c.need(row, "name", is::string, where);
            if (name == nullptr) continue;
            where += " " + name->get<std::string>();
            seen.insert(name->get<std::string>());
            c.need(row, "concurrency", is::number, where);
            const Json *status = c.need(row, "status", is::string, where);
            if (status == nullptr) continue;
            const std::string st = status->get<std::string>();
            if (st != "measured" && st != "pending" && st != "failed") c.problem(where, "unknown status " + st);
            if (strict && st == "failed") c.problem(where, "failed: " + text(row, "note"));
            if (st != "measured") continue;
            measured.insert(name->get<std::string>());
            const Json *daemon = c.need(row, "daemon", is::object, where);
            double d = daemon ? c.run(*daemon, where + " daemon") : -1;
            if (daemon && daemon->contains("requests") && (*daemon)["requests"].is_number() &&
                (*daemon)["requests"].get<double>() < 1)
                c.problem(where, "no daemon request was answered");
            if (row.contains("baseline") && row["baseline"].is_object())
                c.ratio(row, "ratio", d, c.run(row["baseline"], where + " baseline"), where);
            // Reports written before the peer daemons joined have no list.
            if (row.contains("peers") && row["peers"].is_array())
                for (const Json &peer : row["peers"]) {
                    const std::string w = where + " peer " + text(peer, "what");
                    c.ratio(peer, "ratio", d, c.run(peer, w), w);
                }
            if (strict) {
                const Json *bad = c.need(row, "unexpected_answers", is::number, where);
                if (bad && *bad != 0) c.problem(where, "unexpected daemon answers");
            }
        }
    }
    for (const std::string &s : requiredScenarios())
        if (!seen.count(s) && !partial) c.problem("report", "scenario " + s + " missing");
    if (strict)
        for (const std::string &s : mustMeasure)
            if (!measured.count(s)) c.problem("report", "scenario " + s + " was not measured");

    if (report.contains("syscalls") && report["syscalls"].is_array())
        for (const Json &s : report["syscalls"]) {
            const Json *n = c.need(s, "syscalls", is::number, "syscalls");
            const Json *r = c.need(s, "requests", is::number, "syscalls");
            if (n && r && *n >= 0 && *r > 0 && !(s.contains("per_request") && s["per_request"].is_number()))
                c.problem("syscalls " + text(s, "daemon"), "per_request missing");
        }
    if (const Json *targets = c.need(report, "targets", is::array, "report")) {
        if (targets->empty()) c.problem("report", "no targets");
        for (size_t i = 0; i < targets->size(); ++i) {
            std::string where = "targets[" + std::to_string(i) + "]";
            c.need(targets->at(i), "id", is::string, where);
            c.need(targets->at(i), "measured", is::string, where);
            const Json *st = c.need(targets->at(i), "status", is::string, where);
            if (st && *st != "met" && *st != "missed" && *st != "pending")
                c.problem(where, "unknown status " + st->get<std::string>());
        }
    }
    return c.problems;
}

} // namespace kivbench
