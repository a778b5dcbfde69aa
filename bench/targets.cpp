// Target evaluation.
#include "targets.h"

#include "kivmod.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace kivbench {

namespace {

std::string fmt(const char *format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// The measured row of `scenario` with the largest concurrency, or null.
const ScenarioRow *topRow(const Report &r, const std::string &scenario) {
    const ScenarioRow *best = nullptr;
    for (const ScenarioRow &row : r.rows)
        if (row.scenario == scenario && row.status == "measured" && row.daemon &&
            (best == nullptr || row.concurrency > best->concurrency))
            best = &row;
    return best;
}

TargetRecord pending(std::string id, std::string text, std::string why) {
    return {std::move(id), std::move(text), std::move(why), "pending"};
}

TargetRecord judged(std::string id, std::string text, std::string measured, bool met) {
    return {std::move(id), std::move(text), std::move(measured), met ? "met" : "missed"};
}

TargetRecord ldapTarget(const Report &r, const std::string &scenario, const std::string &flow) {
    const std::string id = scenario + "-ratio";
    const std::string text = "LDAP " + flow + " >= " + fmt("%.2f", kLdapVsLibldap) +
                             " of the in-process libldap loop at every concurrency";
    std::string measured;
    bool met = true, any = false;
    for (const ScenarioRow &row : r.rows) {
        if (row.scenario != scenario) continue;
        if (row.status != "measured") return pending(id, text, row.status + ": " + row.note);
        auto ratio = baselineRatio(row);
        if (!ratio) return pending(id, text, "no baseline at c=" + std::to_string(row.concurrency));
        any = true;
        met = met && *ratio >= kLdapVsLibldap;
        measured += (measured.empty() ? "" : ", ") + ("c=" + std::to_string(row.concurrency) + ": ") + fmt("%.2f", *ratio);
    }
    if (!any) return pending(id, text, "not measured");
    return judged(id, text, measured, met);
}

// Daemon / peer daemon >= 1 at every concurrency of `scenario`; nothing when
// the scenario was not part of the run.
void peerTarget(const Report &r, const std::string &scenario, const std::string &id, const std::string &text,
                std::vector<TargetRecord> &out) {
    std::string measured;
    bool met = true, seen = false;
    for (const ScenarioRow &row : r.rows) {
        if (row.scenario != scenario) continue;
        seen = true;
        if (row.status != "measured") return out.push_back(pending(id, text, row.status + ": " + row.note));
        auto ratio = peerRatio(row);
        if (!ratio) return out.push_back(pending(id, text, "no peer at c=" + std::to_string(row.concurrency)));
        met = met && *ratio >= 1.0;
        measured += (measured.empty() ? "" : ", ") + ("c=" + std::to_string(row.concurrency) + ": ") + fmt("%.2f", *ratio);
    }
    if (seen) out.push_back(judged(id, text, measured, met));
}

} // namespace

std::vector<TargetRecord> evaluateTargets(const Report &r) {
    std::vector<TargetRecord> out;

    if (const ScenarioRow *row = topRow(r, "pw-sha512"); row && baselineRatio(*row)) {
        out.push_back(judged("sha512-vs-crypt",
                             "pw SHA-512 >= " + fmt("%.2f", kSha512VsCrypt) + " of in-process crypt_r (all cores)",
                             "c=" + std::to_string(row->concurrency) + ": " + fmt("%.3f", *baselineRatio(*row)),
                             *baselineRatio(*row) >= kSha512VsCrypt));
    } else {
        out.push_back(pending("sha512-vs-crypt", "pw SHA-512 >= 0.90 of in-process crypt_r", "not measured"));
    }
    if (const ScenarioRow *row = topRow(r, "pw-sha512"); row && peerRatio(*row)) {
        out.push_back(judged("sha512-vs-pam", "pw SHA-512 not below in-process PAM (pam_unix)",
                             "c=" + std::to_string(row->concurrency) + ": daemon/PAM " + fmt("%.3f", *peerRatio(*row)),
                             *peerRatio(*row) >= 1.0));
    } else {
        out.push_back(pending("sha512-vs-pam", "pw SHA-512 not below in-process PAM (pam_unix)", "PAM not measured"));
    }
    if (const ScenarioRow *row = topRow(r, "pw-ssha")) {
        const LoadResult &d = row->daemon->result;
        out.push_back(judged("ssha-throughput", "pw {SSHA} >= 10,000 auth/s, access log only",
                             "c=" + std::to_string(row->concurrency) + ": " + fmt("%.0f", d.perSecond) + " auth/s",
                             d.perSecond >= kSshaPerSecond));
        out.push_back(judged("ssha-p99", "pw {SSHA} p99 < 10 ms, access log only",
                             "c=" + std::to_string(row->concurrency) + ": " + fmt("%.3f", d.latency.p99Ms) + " ms",
                             d.latency.p99Ms < kSshaP99Ms));
    } else {
        out.push_back(pending("ssha-throughput", "pw {SSHA} >= 10,000 auth/s", "not measured"));
        out.push_back(pending("ssha-p99", "pw {SSHA} p99 < 10 ms", "not measured"));
    }
    out.push_back(ldapTarget(r, "ldap-bind", "BIND"));
    out.push_back(ldapTarget(r, "ldap-match", "MATCH"));
    {
        // With kept connections the TLS handshake is paid once per worker,
        // not per request: ldaps:// should come close to ldap://.
        const std::string text = "LDAP BIND with reuse over ldaps:// >= 0.80 of ldap:// at every concurrency";
        std::string measured;
        bool met = true, any = false;
        for (const ScenarioRow &tls : r.rows) {
            if (tls.scenario != "ldaps-bind-reuse" || tls.status != "measured" || !tls.daemon) continue;
            for (const ScenarioRow &plain : r.rows) {
                if (plain.scenario != "ldap-bind-reuse" || plain.concurrency != tls.concurrency ||
                    plain.status != "measured" || !plain.daemon || plain.daemon->result.perSecond <= 0)
                    continue;
                const double ratio = tls.daemon->result.perSecond / plain.daemon->result.perSecond;
                any = true;
                met = met && ratio >= 0.8;
                measured += (measured.empty() ? "" : ", ") + ("c=" + std::to_string(tls.concurrency) + ": ") +
                            fmt("%.2f", ratio);
            }
        }
        out.push_back(any ? judged("ldaps-vs-ldap-reuse", text, measured, met)
                          : pending("ldaps-vs-ldap-reuse", text, "not measured"));
    }

    peerTarget(r, "pw-sha512-saslauthd", "sha512-vs-saslauthd",
               "pw SHA-512 >= 1.0 of saslauthd's shadow mechanism at every concurrency", out);
    peerTarget(r, "pw-sha512-cache", "cache-vs-saslauthd-cache",
               "pw SHA-512 with the authentication cache >= 1.0 of saslauthd with its cache at every concurrency", out);

    long rssMax = -1;
    for (const ScenarioRow &row : r.rows) rssMax = std::max(rssMax, row.rssMaxKiB);
    if (r.soak) rssMax = std::max(rssMax, r.soak->rssMaxKiB);
    if (rssMax >= 0)
        out.push_back(judged("rss-max", "daemon RSS < 64 MiB during the runs",
                             fmt("%.1f", static_cast<double>(rssMax) / 1024.0) + " MiB", rssMax < kRssLimitKiB));
    else
        out.push_back(pending("rss-max", "daemon RSS < 64 MiB during the runs", "not sampled"));

    if (r.soak) {
        out.push_back(judged("rss-growth",
                             "no RSS growth across " + std::to_string(r.soak->requests) + " requests (tolerance " +
                                 std::to_string(kRssGrowthToleranceKiB) + " KiB)",
                             std::to_string(r.soak->growthKiB) + " KiB", r.soak->growthKiB <= kRssGrowthToleranceKiB));
    } else {
        out.push_back(pending("rss-growth", "no RSS growth across 100,000 requests", "no soak run"));
    }

    std::string fdText;
    bool fdsMet = !r.fds.empty();
    for (const FdRecord &f : r.fds) {
        fdsMet = fdsMet && f.idle >= 0 && f.after == f.idle;
        fdText += (fdText.empty() ? "" : ", ") + f.daemon + " " + std::to_string(f.idle) + "->" + std::to_string(f.after);
    }
    if (r.fds.empty())
        out.push_back(pending("fds-idle", "open descriptors back to the idle count", "not counted"));
    else
        out.push_back(judged("fds-idle", "open descriptors back to the idle count", fdText, fdsMet));

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
        out.push_back(judged("answers", "every daemon answer is the expected one, no connection errors",
                             std::to_string(unexpected) + " unexpected", unexpected == 0));
    return out;
}

} // namespace kivbench
