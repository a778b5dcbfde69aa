// kiv-bench: the whole load benchmark (or its smoke run, or the profile of
// the {SSHA} path).  Run as root under
// `unshare --mount --propagation private`; bench/run.sh does that.
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "scenarios.h"

using namespace kivbench;

namespace {

int usage(const std::string &why) {
    std::fprintf(stderr,
                 "kiv-bench: %s\n"
                 "usage: kiv-bench --out DIR [--smoke] [--profile] [--bin DIR] [--concurrency 1,4,32]\n"
                 "                 [--seconds S] [--rounds N] [--requests N] [--warmup S] [--threads N] [--users N]\n"
                 "                 [--soak N] [--soak-warmup N] [--no-ldap] [--wait-quiet SECONDS]\n"
                 "                 [--profile-requests N] [--only sha512,cache,saslauthd,ssha,lockout,nssfiles,soak,ldap]\n",
                 why.c_str());
    return 64;
}

bool number(const std::string &text, double lo, double hi, double *out) {
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

bool list(const std::string &text, std::vector<int> *out) {
    out->clear();
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        double v;
        if (!number(item, 1, 1024, &v)) return false;
        out->push_back(static_cast<int>(v));
    }
    return !out->empty();
}

std::string ownDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

} // namespace

int main(int argc, char **argv) {
    BenchParams p;
    p.binDir = ownDir();
    for (int i = 0; i < argc; ++i) p.command += (i ? " " : "") + std::string(argv[i]);

    // The smoke defaults go first, so explicit options still override them.
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--smoke") {
            p.smoke = true;
            p.concurrency = {1, 4};
            p.seconds = 10;
            p.rounds = 1;
            p.requests = 60;
            p.warmupSeconds = 2;
            p.warmupRequests = 10;
            p.users = 10;
            p.soakWarmup = 200;
            p.soakRequests = 1000;
            p.soakSteps = 2;
        }
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        double v = 0;
        if (a == "--smoke") continue;
        if (a == "--profile") {
            p.profile = true;
            continue;
        }
        if (a == "--no-ldap") {
            p.ldap = false;
            continue;
        }
        if (i + 1 >= argc) return usage("missing value for " + a);
        std::string val = argv[++i];
        if (a == "--out") p.outDir = val;
        else if (a == "--bin") p.binDir = val;
        else if (a == "--only") {
            std::stringstream ss(val);
            std::string item;
            while (std::getline(ss, item, ','))
                if (!item.empty()) p.only.push_back(item);
        }
        else if (a == "--concurrency" && list(val, &p.concurrency)) {}
        else if (a == "--seconds" && number(val, 0.1, 600, &v)) p.seconds = v;
        else if (a == "--rounds" && number(val, 1, 15, &v)) p.rounds = static_cast<int>(v);
        else if (a == "--requests" && number(val, 0, 1e9, &v)) p.requests = static_cast<uint64_t>(v);
        else if (a == "--warmup" && number(val, 0, 60, &v)) p.warmupSeconds = v;
        else if (a == "--threads" && number(val, 1, 32, &v)) p.numThreads = static_cast<int>(v);
        else if (a == "--users" && number(val, 1, 5000, &v)) p.users = static_cast<int>(v);
        else if (a == "--soak" && number(val, 0, 1e7, &v)) p.soakRequests = static_cast<uint64_t>(v);
        else if (a == "--soak-warmup" && number(val, 0, 1e7, &v)) p.soakWarmup = static_cast<uint64_t>(v);
        else if (a == "--wait-quiet" && number(val, 0, 3600, &v)) p.quietWaitSeconds = static_cast<int>(v);
        else if (a == "--profile-requests" && number(val, 1, 1e6, &v)) p.profileRequests = static_cast<uint64_t>(v);
        else return usage("bad option or value: " + a + " " + val);
    }
    if (p.outDir.empty()) return usage("--out is required");
    // A daemon that drops a connection is counted, not fatal.
    std::signal(SIGPIPE, SIG_IGN);
    return runBenchmark(p);
}
