// kiv-loadgen: drives a running daemon with concurrent password exchanges
// and reports throughput, latency percentiles and result counts.
//
//   kiv-loadgen --accounts FILE [--concurrency N] [--seconds S] [--requests N]
//               [--socket PATH] [--timeout-ms MS] [--label TEXT]
//               [--json FILE] [--markdown FILE]
//
// FILE holds "name:password" lines; request k uses line k modulo their number.
// The run stops after --requests exchanges or --seconds, whichever is first.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "client_op.h"
#include "files.h"

using namespace kivbench;

namespace {

int usage(const char *why) {
    std::fprintf(stderr,
                 "kiv-loadgen: %s\nusage: kiv-loadgen --accounts FILE [--concurrency N] [--seconds S] "
                 "[--requests N] [--socket PATH] [--timeout-ms MS] [--label TEXT] [--json FILE] "
                 "[--markdown FILE]\n",
                 why);
    return 64;
}

bool number(const char *text, double lo, double hi, double *out) {
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

std::string markdown(const std::string &label, const LoadResult &r) {
    std::ostringstream md;
    md << "| run | concurrency | requests | auth/s | p50 ms | p95 ms | p99 ms | max ms | codes | connection errors |\n"
       << "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|\n";
    std::string codes;
    for (auto &[code, n] : r.codes) codes += (codes.empty() ? "" : ", ") + codeName(code) + " " + std::to_string(n);
    char line[512];
    std::snprintf(line, sizeof line, "| %s | %d | %llu | %.0f | %.3f | %.3f | %.3f | %.3f | %s | %llu |\n",
                  label.c_str(), r.concurrency, static_cast<unsigned long long>(r.requests), r.perSecond,
                  r.latency.p50Ms, r.latency.p95Ms, r.latency.p99Ms, r.latency.maxMs, codes.c_str(),
                  static_cast<unsigned long long>(r.transportErrors));
    md << line;
    return md.str();
}

} // namespace

int main(int argc, char **argv) {
    std::string accountsPath, jsonPath, mdPath, label = "load";
    LoadSpec spec;
    kiv::Options opts;
    double v = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return usage(("missing value for " + a).c_str());
        const char *val = argv[++i];
        if (a == "--accounts") accountsPath = val;
        else if (a == "--json") jsonPath = val;
        else if (a == "--markdown") mdPath = val;
        else if (a == "--label") label = val;
        else if (a == "--socket") opts.socketPath = val;
        else if (a == "--concurrency" && number(val, 1, 1024, &v)) spec.concurrency = static_cast<int>(v);
        else if (a == "--seconds" && number(val, 0.001, 3600, &v)) spec.seconds = v;
        else if (a == "--requests" && number(val, 1, 1e9, &v)) spec.requests = static_cast<uint64_t>(v);
        else if (a == "--timeout-ms" && number(val, 1, 600000, &v)) opts.timeoutMs = static_cast<int>(v);
        else return usage(("bad option or value: " + a + " " + val).c_str());
    }
    if (accountsPath.empty()) return usage("--accounts is required");

    std::string text, error;
    auto accounts = std::make_shared<std::vector<Account>>();
    if (!kivtest::fileExists(accountsPath)) return usage(("cannot read " + accountsPath).c_str());
    text = kivtest::readFile(accountsPath);
    if (!parseAccountList(text, accounts.get(), &error)) return usage((accountsPath + ": " + error).c_str());

    // A daemon that drops a connection is counted, not fatal.
    std::signal(SIGPIPE, SIG_IGN);
    LoadResult r = runLoad(spec, clientOperation(accounts, opts));

    Json j = toJson(r, codeName);
    j["label"] = label;
    std::string md = markdown(label, r);
    std::cout << md;
    for (const auto &[path, content] : {std::pair{jsonPath, j.dump(2)}, std::pair{mdPath, md}})
        if (!path.empty() && !kivtest::writeFile(path, content, 0644, &error)) {
            std::fprintf(stderr, "kiv-loadgen: cannot write %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
    return 0;
}
