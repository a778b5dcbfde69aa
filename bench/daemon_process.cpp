// Starting, watching and stopping the daemon under test.
#include "daemon_process.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "child.h"
#include "kivclient.h"
#include "private_ns.h"

namespace kivbench {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for the child up to timeoutMs; its wait status, or -1 if it is still running.
int reap(pid_t pid, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return st;
        if (r < 0 && errno != EINTR) return 0;   // not ours any more
        if (Clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

bool socketAccepts() {
    // A full handshake, so the daemon sees an orderly client rather than a
    // broken opening message (which it reports to the system log).
    kiv::Options opts;
    opts.timeoutMs = 2000;
    kiv::Connection c(opts);
    return c.connect() && c.handshake().has_value();
}

DaemonProcess::DaemonProcess(DaemonSetup setup) : setup_(std::move(setup)) {}

DaemonProcess::~DaemonProcess() {
    kill9();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void DaemonProcess::kill9() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    reap(pid_, 5000);
    pid_ = -1;
}

std::string DaemonProcess::stderrText() const { return dir_.empty() ? "" : readFile(dir_ + "/stderr.log"); }

bool DaemonProcess::start(int timeoutMs, std::string *error) {
    if (pid_ > 0) {
        *error = "already started";
        return false;
    }
    char tmpl[] = "/tmp/kivbench-daemon-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        *error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    std::error_code ec;
    const std::string exe = dir_ + "/kiv-services-daemon";
    std::filesystem::create_symlink(setup_.binDir + "/kiv-services-daemon", exe, ec);
    for (const std::string &m : setup_.modules) {
        if (!ec) std::filesystem::copy_file(setup_.binDir + "/" + m, dir_ + "/" + m, ec);
        // The daemon refuses modules that others could write; the copy keeps
        // whatever mode the build's umask gave.
        if (!ec) chmod((dir_ + "/" + m).c_str(), 0755);
    }
    if (ec) {
        *error = "placing the daemon: " + ec.message();
        return false;
    }
    std::string conf = setup_.config;
    for (size_t at = conf.find("@DIR@"); at != std::string::npos; at = conf.find("@DIR@", at + dir_.size()))
        conf.replace(at, 5, dir_);
    if (!writeFile(dir_ + "/kiv-services-daemon.conf", conf, 0644, error)) return false;
    if (socketAccepts()) {
        *error = "another daemon already listens";
        return false;
    }
    unlink(kSocketPath);

    std::vector<std::string> args = setup_.wrapper;
    args.push_back(exe);
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    for (const char *k : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char *v = getenv(k)) env.push_back(std::string(k) + "=" + v);
    SpawnOptions options;
    options.environment = &env;
    options.workDir = dir_;
    pid_t pid = spawnProcess(args, dir_ + "/stderr.log", options, error);
    if (pid < 0) return false;
    pid_ = pid;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!socketAccepts()) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            *error = "daemon exited (status " + std::to_string(WIFEXITED(st) ? WEXITSTATUS(st) : -1) +
                     ") before listening: " + stderrText();
            return false;
        }
        if (Clock::now() >= end) {
            *error = "daemon did not listen within " + std::to_string(timeoutMs) + " ms: " + stderrText();
            kill9();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int DaemonProcess::stop(int timeoutMs) {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int st = reap(pid_, timeoutMs);
    if (st == -1) {
        kill9();
        return -1;
    }
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

} // namespace kivbench
