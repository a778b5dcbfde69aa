// The profiling runs.
#include "profile.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "harness.h"
#include "client_op.h"
#include "daemon_process.h"

namespace kivbench {

namespace {

bool installed(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

// kiv-loadgen against the running daemon, to its end; what it did, for the
// summary, and in *ok whether it ran.
std::string load(const ProfileInputs &in, int concurrency, uint64_t requests, double seconds, bool *ok) {
    std::string error;
    // The daemon may run under valgrind: a generous limit per exchange.
    auto r = loadgen(in.binDir, in.work, in.accountsFile, concurrency, seconds, requests, &error, 60000);
    *ok = r.has_value();
    if (!r) return "load failed (" + error + ")";
    std::string codes;
    for (auto &[code, n] : r->codes) codes += " " + codeName(code) + "=" + std::to_string(n);
    return std::to_string(r->requests) + " requests in " + std::to_string(r->seconds) + " s (" +
           std::to_string(static_cast<long>(r->perSecond)) + "/s;" + codes +
           ", connection errors=" + std::to_string(r->transportErrors) + ")";
}

// One profiled load: the daemon started under `wrapper` (callgrind), or
// watched by `tracer` ("@PID@" in it becomes the daemon's pid), which is
// stopped with SIGINT once the load is over.
struct Profiled {
    std::string label;
    std::vector<std::string> wrapper, tracer;
    int concurrency;
    uint64_t requests;
    double seconds;
};

bool profiled(const ProfileInputs &in, const std::string &dir, Profiled p, std::string &summary) {
    std::string error;
    Daemon d = startDaemon(in.binDir, in.daemonConfig, in.modules, &error, p.wrapper, 60000);
    if (!d) {
        summary += p.label + ": daemon did not start: " + error + "\n";
        return false;
    }
    Child tracer;
    if (!p.tracer.empty()) {
        for (std::string &a : p.tracer)
            if (a == "@PID@") a = std::to_string(d->pid());
        if (!tracer.spawn(p.tracer, dir + "/tracer.log", &error)) {
            summary += p.label + ": " + error + "\n";
            return false;
        }
        sleep(1);   // attached to every thread
    }
    bool ok = false;
    const std::string done = load(in, p.concurrency, p.requests, p.seconds, &ok);
    if (!p.tracer.empty()) {
        sleep(1);   // the last connection's close
        tracer.signal(SIGINT);
        tracer.wait(30000);
    }
    const int rc = stopDaemon(*d, 120000);
    summary += p.label + ": " + done + "; daemon exit status " + std::to_string(rc) + "\n";
    return ok;
}

// A report tool's output into `file`.
bool annotate(const std::vector<std::string> &argv, const std::string &file, std::string &summary) {
    unlink(file.c_str());
    std::string error;
    if (runToEnd(argv, file, 120000, &error) == 0) return true;
    summary += argv[0] + " failed: " + error + "\n";
    return false;
}

// Instructions per function, the daemon under callgrind.  The annotated
// listings carry the findings; the raw data is large and goes.
bool callgrind(const ProfileInputs &in, const std::string &dir, std::string &summary) {
    const std::string out = dir + "/callgrind.out";
    const std::string tool = "/usr/bin/callgrind_annotate";
    const std::vector<std::string> valgrind = {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                                               "--collect-systime=usec"};
    bool ok = profiled(in, dir, {"callgrind", valgrind, {}, in.concurrency, in.requests, 300}, summary) &&
              annotate({tool, "--inclusive=yes", out}, dir + "/callgrind-inclusive.txt", summary) &&
              annotate({tool, "--inclusive=no", out}, dir + "/callgrind-self.txt", summary);
    unlink(out.c_str());
    return ok;
}

// CPU samples of the daemon, kernel included, while it serves a steady load.
bool perf(const ProfileInputs &in, const std::string &dir, std::string &summary) {
    const std::string data = dir + "/perf.data";
    const std::vector<std::string> record = {"/usr/bin/perf", "record", "-e", "cpu-clock", "-g", "-o", data,
                                             "-p", "@PID@"};
    bool ok = profiled(in, dir, {"perf", {}, record, 32, 0, 6}, summary);
    for (const auto &[name, sort] : {std::pair<const char *, const char *>{"perf-symbols.txt", "dso,symbol"},
                                     {"perf-dso.txt", "dso"}})
        ok = ok && annotate({"/usr/bin/perf", "report", "-i", data, "--stdio", "--no-children", "--sort", sort, "-g",
                             "none", "--percent-limit", "0.5"},
                            dir + "/" + name, summary);
    unlink(data.c_str());
    return ok;
}

// System calls per request.
bool strace(const ProfileInputs &in, const std::string &dir, std::string &summary) {
    const std::vector<std::string> tracer = {"/usr/bin/strace", "-f", "-c", "-o", dir + "/strace-counts.txt",
                                             "-p", "@PID@"};
    return profiled(in, dir, {"strace", {}, tracer, in.concurrency, std::min<uint64_t>(in.requests, 2000), 300},
                    summary);
}

// Every system call of a few requests, to see which files are opened for
// one authentication.
bool straceTrace(const ProfileInputs &in, const std::string &dir, std::string &summary) {
    return profiled(in, dir,
                    {"strace trace", {}, {"/usr/bin/strace", "-f", "-tt", "-s", "64", "-o", dir + "/strace-trace.txt",
                                          "-p", "@PID@"}, 1, 3, 60},
                    summary);
}

// System calls of this process's own threads while the in-process
// baseline runs.
bool straceSelf(const ProfileInputs &in, const std::string &dir, const OperationFactory &baseline,
                std::string &summary) {
    const std::string file = dir + "/baseline-strace-counts.txt";
    unlink(file.c_str());
    Child tracer;
    std::string error;
    if (!tracer.spawn({"/usr/bin/strace", "-f", "-c", "-o", file, "-p", std::to_string(getpid())},
                      dir + "/strace.log", &error)) {
        summary += "baseline strace: " + error + "\n";
        return false;
    }
    sleep(1);
    const uint64_t requests = in.requests < 1000 ? in.requests : 1000;
    LoadResult r = runLoad({in.concurrency, 300, requests}, baseline);
    tracer.signal(SIGINT);
    tracer.wait(30000);
    summary += "baseline strace: " + std::to_string(r.requests) + " operations in-process\n";
    return r.requests == requests;
}

} // namespace

int runLdapProfile(const ProfileInputs &in, const std::string &label, const OperationFactory &baseline) {
    const std::string dir = in.outDir + "/profile/" + label;
    mkdir((in.outDir + "/profile").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string summary = "# " + label + " profile\n\n";
    bool ok = true;
    if (installed("/usr/bin/strace"))
        ok = strace(in, dir, summary) && straceTrace(in, dir, summary) && straceSelf(in, dir, baseline, summary);
    if (installed("/usr/bin/perf")) ok = perf(in, dir, summary) && ok;
    std::string error;
    writeFile(dir + "/summary.txt", summary, 0644, &error);
    std::cout << summary;
    return ok ? 0 : 1;
}

int runProfile(const ProfileInputs &in) {
    const std::string top = in.outDir + "/profile";
    mkdir(top.c_str(), 0755);
    std::string summary = "# {SSHA} path profile\n";
    bool ok = true;
    // Once with the host's name-service configuration, once with the files
    // alone, to separate the daemon's cost from the name service's.
    for (bool filesOnly : {false, true}) {
        const std::string dir = top + (filesOnly ? "/nss-files" : "/nss-host");
        mkdir(dir.c_str(), 0755);
        summary += std::string("\n## ") + (filesOnly ? "nsswitch.conf reduced to files" : "host nsswitch.conf") + "\n\n";
        std::string error;
        if (filesOnly && !overrideNsswitch("passwd: files\ngroup: files\nshadow: files\ngshadow: files\n", &error)) {
            summary += "cannot replace nsswitch.conf: " + error + "\n";
            ok = false;
            continue;
        }
        if (installed("/usr/bin/valgrind") && installed("/usr/bin/callgrind_annotate"))
            ok = callgrind(in, dir, summary) && ok;
        else
            summary += "callgrind: valgrind not installed\n";
        if (installed("/usr/bin/perf")) ok = perf(in, dir, summary) && ok;
        else summary += "perf: not installed\n";
        if (installed("/usr/bin/strace")) ok = strace(in, dir, summary) && straceTrace(in, dir, summary) && ok;
        else summary += "strace: not installed\n";
        if (filesOnly) restoreNsswitch();
    }
    // The debug log's share: system calls per request with it open too.
    if (installed("/usr/bin/strace")) {
        const std::string dir = top + "/debuglog";
        mkdir(dir.c_str(), 0755);
        summary += "\n## host nsswitch.conf, debug log open too\n\n";
        ProfileInputs debug = in;
        debug.daemonConfig += "debugLog=@DIR@/debug.log\n";
        ok = strace(debug, dir, summary) && ok;
    }
    std::string error;
    writeFile(top + "/summary.txt", summary, 0644, &error);
    std::cout << summary;
    return ok ? 0 : 1;
}

} // namespace kivbench
