// Target evaluation: the ratio targets are one table; memory, descriptors and
// answers follow.
#include "targets.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "kivmod.h"

namespace kivbench {

namespace {

// What a row's daemon throughput is compared with: "baseline", "peer:<what>"
// (a peer run of the row), "scenario:<name>" (our daemon in another scenario
// at the same concurrency), or "auth/s" / "p99 ms" (an absolute figure).
struct Rule {
    const char *id, *scenario, *versus;
    double limit;
    bool topOnly;   // judged at the largest concurrency only
    const char *text;
};

const Rule kRules[] = {
    {"sha512-vs-crypt", "pw-sha512", "baseline", 0.90, true, "pw SHA-512 >= 0.90 of in-process crypt_r (all cores)"},
    {"sha512-vs-pam", "pw-sha512", "peer:pam_unix in process", 1.0, true, "pw SHA-512 not below in-process PAM"},
    {"ssha-throughput", "pw-ssha", "auth/s", 10000, true, "pw {SSHA} >= 10,000 auth/s, access log only"},
    {"ssha-p99", "pw-ssha", "p99 ms", 10, true, "pw {SSHA} p99 < 10 ms, access log only"},
    {"ldap-bind-ratio", "ldap-bind", "baseline", 0.80, false, "LDAP BIND >= 0.80 of the in-process libldap loop"},
    {"ldap-match-ratio", "ldap-match", "baseline", 0.80, false, "LDAP MATCH >= 0.80 of the in-process libldap loop"},
    // With kept connections the TLS handshake is paid once per worker.
    {"ldaps-vs-ldap-reuse", "ldaps-bind-reuse", "scenario:ldap-bind-reuse", 0.80, false,
     "LDAP BIND with reuse over ldaps:// >= 0.80 of ldap://"},
    {"sha512-vs-saslauthd", "pw-sha512", "peer:saslauthd shadow", 1.0, false,
     "pw SHA-512 >= 1.0 of saslauthd's shadow mechanism"},
    {"sha512-vs-saslauthd-pam", "pw-sha512", "peer:saslauthd pam", 1.0, false,
     "pw SHA-512 >= 1.0 of saslauthd's pam mechanism"},
    {"cache-vs-saslauthd-cache", "pw-sha512-cache", "peer:saslauthd shadow -c", 1.0, false,
     "pw SHA-512 with the authentication cache >= 1.0 of saslauthd shadow with its cache"},
    {"ldap-reuse-vs-saslauthd", "ldap-bind-reuse", "peer:saslauthd ldap", 1.0, false,
     "LDAP BIND with reuse, ldap:// >= 1.0 of saslauthd's ldap mechanism"},
    {"ldaps-reuse-vs-saslauthd", "ldaps-bind-reuse", "peer:saslauthd ldap", 1.0, false,
     "LDAP BIND with reuse, ldaps:// >= 1.0 of saslauthd's ldap mechanism"},
    {"ldap-cache-vs-saslauthd-cache", "ldap-bind-cache", "peer:saslauthd ldap -c", 1.0, false,
     "LDAP BIND with reuse and the cache >= 1.0 of saslauthd ldap with its cache"},
};

std::string fmt(const char *format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// The row's figure for the rule; false when the other side is missing.
bool figure(const Report &r, const ScenarioRow &row, const Rule &rule, double *out) {
    const std::string v = rule.versus;
    const LoadResult &d = row.daemon->result;
    if (v == "auth/s") return *out = d.perSecond, true;
    if (v == "p99 ms") return *out = d.latency.p99Ms, true;
    if (v == "baseline") return baselineRatio(row) && (*out = *baselineRatio(row), true);
    if (v.rfind("peer:", 0) == 0) {
        for (const RunRecord &p : row.peers)
            if (p.what == v.substr(5) && peerRatio(row, p)) return *out = *peerRatio(row, p), true;
        return false;
    }
    for (const ScenarioRow &o : r.rows)
        if (o.scenario == v.substr(9) && o.concurrency == row.concurrency && o.daemon && o.daemon->result.perSecond > 0)
            return *out = d.perSecond / o.daemon->result.perSecond, true;
    return false;
}

void judge(const Report &r, const Rule &rule, std::vector<TargetRecord> &out) {
    std::vector<const ScenarioRow *> rows;
    for (const ScenarioRow &row : r.rows)
        if (row.scenario == rule.scenario) rows.push_back(&row);
    if (rows.empty()) return;
    // A peer that was not part of the run leaves its target out, unless a
    // row says why it could not run.
    if (std::string(rule.versus).rfind("peer:", 0) == 0) {
        const std::string peer = std::string(rule.versus).substr(5);
        bool ran = false;
        std::string why;
        for (const ScenarioRow *row : rows) {
            for (const RunRecord &p : row->peers) ran = ran || p.what == peer;
            if (row->note.find(peer + ":") != std::string::npos) why = row->note;
        }
        if (!ran && why.empty()) return;
        if (!ran) return out.push_back({rule.id, rule.text, why, "pending"});
    }
    if (rule.topOnly) {
        std::erase_if(rows, [](const ScenarioRow *row) { return row->status != "measured" || !row->daemon; });
        if (rows.empty()) return out.push_back({rule.id, rule.text, "not measured", "pending"});
        rows = {*std::max_element(rows.begin(), rows.end(), [](auto *a, auto *b) { return a->concurrency < b->concurrency; })};
    }
    const bool below = std::string(rule.versus) == "p99 ms";
    std::string measured;
    bool met = true;
    for (const ScenarioRow *row : rows) {
        double v = 0;
        if (row->status != "measured" || !row->daemon)
            return out.push_back({rule.id, rule.text, row->status + ": " + row->note, "pending"});
        if (!figure(r, *row, rule, &v))
            return out.push_back({rule.id, rule.text, std::string("no ") + rule.versus + " at c=" +
                                                          std::to_string(row->concurrency), "pending"});
        met = met && (below ? v < rule.limit : v >= rule.limit);
        measured += (measured.empty() ? "c=" : ", c=") + std::to_string(row->concurrency) + ": " +
                    fmt(rule.limit >= 100 ? "%.0f" : "%.2f", v);
    }
    out.push_back({rule.id, rule.text, measured, met ? "met" : "missed"});
}

} // namespace

std::vector<TargetRecord> evaluateTargets(const Report &r) {
    std::vector<TargetRecord> out;
    for (const Rule &rule : kRules) judge(r, rule, out);

    long rssMax = -1;
    for (const ScenarioRow &row : r.rows) rssMax = std::max(rssMax, row.rssMaxKiB);
    if (r.soak) rssMax = std::max(rssMax, r.soak->rssMaxKiB);
    out.push_back({"rss-max", "daemon RSS < 64 MiB during the runs",
                   rssMax < 0 ? "not sampled" : fmt("%.1f", static_cast<double>(rssMax) / 1024.0) + " MiB",
                   rssMax < 0 ? "pending" : rssMax < kRssLimitKiB ? "met" : "missed"});
    if (r.soak)
        out.push_back({"rss-growth",
                       "no RSS growth across " + std::to_string(r.soak->requests) + " requests (tolerance " +
                           std::to_string(kRssGrowthToleranceKiB) + " KiB)",
                       std::to_string(r.soak->growthKiB) + " KiB",
                       r.soak->growthKiB <= kRssGrowthToleranceKiB ? "met" : "missed"});
    else
        out.push_back({"rss-growth", "no RSS growth across 100,000 requests", "no soak run", "pending"});
    if (r.soak && r.soak->idleTimeoutSeconds > 0) {
        const SoakRecord &s = *r.soak;
        out.push_back({"soak-fds-idle-timeout", "open descriptors back to idle after LDAP_IDLE_TIMEOUT (soak)",
                       std::to_string(s.fdsIdle) + " idle, " + std::to_string(s.fdsBusy) + " after the load, " +
                           std::to_string(s.fdsAfterIdleTimeout) + " after " + std::to_string(s.idleTimeoutSeconds) +
                           " s",
                       s.fdsIdle >= 0 && s.fdsAfterIdleTimeout == s.fdsIdle ? "met" : "missed"});
    }

    std::string fdText;
    bool fdsMet = !r.fds.empty();
    for (const FdRecord &f : r.fds) {
        fdsMet = fdsMet && f.idle >= 0 && f.after == f.idle;
        fdText += (fdText.empty() ? "" : ", ") + f.daemon + " " + std::to_string(f.idle) + "->" + std::to_string(f.after);
    }
    out.push_back({"fds-idle", "open descriptors back to the idle count", r.fds.empty() ? "not counted" : fdText,
                   r.fds.empty() ? "pending" : fdsMet ? "met" : "missed"});

    uint64_t unexpected = 0;
    bool anyRow = false;
    for (const ScenarioRow &row : r.rows)
        if (row.status == "measured" && row.daemon) {
            anyRow = true;
            unexpected += unexpectedAnswers(row);
        }
    if (r.soak) {
        anyRow = true;
        unexpected += r.soak->total.transportErrors;
        for (auto &[code, n] : r.soak->total.codes)
            if (code != AUTH_OK) unexpected += n;
    }
    if (anyRow)
        out.push_back({"answers", "every daemon answer is the expected one, no connection errors",
                       std::to_string(unexpected) + " unexpected", unexpected == 0 ? "met" : "missed"});
    return out;
}

} // namespace kivbench
