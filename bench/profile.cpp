// The profiling runs.
#include "profile.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "harness.h"
#include "client_op.h"
#include "daemon_process.h"

namespace kivbench {

namespace {

bool installed(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

// A background load against the running daemon; the caller waits for it.
bool startLoad(const ProfileInputs &in, Child &load, int concurrency, uint64_t requests, double seconds,
               const std::string &json, std::string *error) {
    std::vector<std::string> argv = {in.binDir + "/kiv-loadgen", "--accounts", in.accountsFile,
                                     "--concurrency", std::to_string(concurrency), "--seconds",
                                     std::to_string(seconds), "--json", json, "--timeout-ms", "60000"};
    if (requests) {
        argv.push_back("--requests");
        argv.push_back(std::to_string(requests));
    }
    return load.spawn(argv, in.work + "/profile-loadgen.log", error);
}

std::string requestsDone(const std::string &json) {
    std::string err;
    auto j = parseJson(readFile(json), &err);
    LoadResult r;
    if (!j || !fromJson(*j, &r, codeFromName)) return "unknown (no load report)";
    std::string codes;
    for (auto &[code, n] : r.codes) codes += " " + codeName(code) + "=" + std::to_string(n);
    return std::to_string(r.requests) + " requests in " + std::to_string(r.seconds) + " s (" +
           std::to_string(static_cast<long>(r.perSecond)) + "/s;" + codes +
           ", connection errors=" + std::to_string(r.transportErrors) + ")";
}

// Instructions per function, the daemon under callgrind.
bool callgrind(const ProfileInputs &in, const std::string &dir, std::string &summary) {
    const std::string out = dir + "/callgrind.out";
    unlink(out.c_str());
    DaemonProcess d({in.binDir, in.daemonConfig, in.modules,
                     {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                      "--collect-systime=usec"}});
    std::string error;
    if (!d.start(60000, &error)) {
        summary += "callgrind: daemon did not start: " + error + "\n";
        return false;
    }
    Child load;
    const std::string json = in.work + "/profile-callgrind.json";
    if (!startLoad(in, load, in.concurrency, in.requests, 300, json, &error) || load.wait(320000) != 0) {
        summary += "callgrind: load failed: " + error + "\n";
        return false;
    }
    int rc = d.stop(120000);
    summary += "callgrind: " + requestsDone(json) + "; daemon exit status " + std::to_string(rc) + "\n";
    for (const char *inclusive : {"yes", "no"}) {
        std::string file = dir + "/callgrind-" + (inclusive[0] == 'y' ? "inclusive" : "self") + ".txt";
        unlink(file.c_str());
        if (runToEnd({"/usr/bin/callgrind_annotate", std::string("--inclusive=") + inclusive, out}, file, 120000,
                     &error) != 0) {
            summary += "callgrind_annotate failed: " + error + "\n";
            return false;
        }
    }
    // The annotated listings carry the findings; the raw data is large.
    unlink(out.c_str());
    return true;
}

// CPU samples of the daemon, kernel included, while it serves a steady load.
bool perf(const ProfileInputs &in, const std::string &dir, std::string &summary) {
    DaemonProcess d({in.binDir, in.daemonConfig, in.modules, {}});
    std::string error;
    if (!d.start(20000, &error)) {
        summary += "perf: daemon did not start: " + error + "\n";
        return false;
    }
    Child load;
    const std::string json = in.work + "/profile-perf.json";
    if (!startLoad(in, load, 32, 0, 8, json, &error)) {
        summary += "perf: load failed: " + error + "\n";
        return false;
    }
    sleep(1);   // past the ramp-up
    const std::string data = dir + "/perf.data";
    std::string log = dir + "/perf-record.log";
    unlink(log.c_str());
    int rc = runToEnd({"/usr/bin/perf", "record", "-e", "cpu-clock", "-g", "-o", data, "-p",
                       std::to_string(d.pid()), "--", "/bin/sleep", "5"},
                      log, 60000, &error);
    load.wait(60000);
    d.stop(15000);
    summary += "perf: " + requestsDone(json) + "; perf record status " + std::to_string(rc) + "\n";
    if (rc != 0) return false;
    for (const auto &[name, sort] : {std::pair<const char *, const char *>{"perf-symbols.txt", "dso,symbol"},
                                     {"perf-dso.txt", "dso"}}) {
        std::string file = dir + "/" + name;
        unlink(file.c_str());
        if (runToEnd({"/usr/bin/perf", "report", "-i", data, "--stdio", "--no-children", "--sort", sort, "-g", "none",
                      "--percent-limit", "0.5"},
                     file, 120000, &error) != 0) {
            summary += "perf report failed: " + error + "\n";
            return false;
        }
    }
    unlink(data.c_str());
    return true;
}

// System calls per request.
bool strace(const ProfileInputs &in, const std::string &dir, std::string &summary) {
    DaemonProcess d({in.binDir, in.daemonConfig, in.modules, {}});
    std::string error;
    if (!d.start(20000, &error)) {
        summary += "strace: daemon did not start: " + error + "\n";
        return false;
    }
    const std::string file = dir + "/strace-counts.txt";
    unlink(file.c_str());
    Child tracer;
    if (!tracer.spawn({"/usr/bin/strace", "-f", "-c", "-o", file, "-p", std::to_string(d.pid())}, dir + "/strace.log",
                      &error)) {
        summary += "strace: " + error + "\n";
        return false;
    }
    sleep(1);   // attached to every thread
    Child load;
    const std::string json = in.work + "/profile-strace.json";
    const uint64_t requests = in.requests < 2000 ? in.requests : 2000;
    bool ok = startLoad(in, load, in.concurrency, requests, 300, json, &error) && load.wait(320000) == 0;
    tracer.signal(SIGINT);
    tracer.wait(30000);
    d.stop(15000);
    summary += "strace: " + requestsDone(json) + "\n";
    return ok;
}

// Every system call of a few requests, to see which files are opened for
// one authentication.
bool straceTrace(const ProfileInputs &in, const std::string &dir, std::string &summary) {
    DaemonProcess d({in.binDir, in.daemonConfig, in.modules, {}});
    std::string error;
    if (!d.start(20000, &error)) {
        summary += "strace trace: daemon did not start: " + error + "\n";
        return false;
    }
    const std::string file = dir + "/strace-trace.txt";
    unlink(file.c_str());
    Child tracer;
    if (!tracer.spawn({"/usr/bin/strace", "-f", "-tt", "-s", "64", "-o", file, "-p", std::to_string(d.pid())},
                      dir + "/strace.log", &error)) {
        summary += "strace trace: " + error + "\n";
        return false;
    }
    sleep(1);
    Child load;
    const std::string json = in.work + "/profile-trace.json";
    bool ok = startLoad(in, load, 1, 3, 60, json, &error) && load.wait(70000) == 0;
    sleep(1);   // the last connection's close
    tracer.signal(SIGINT);
    tracer.wait(30000);
    d.stop(15000);
    summary += "strace trace: " + requestsDone(json) + "\n";
    return ok;
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
