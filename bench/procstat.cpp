// /proc readers and the background resident-size sampler.
#include "procstat.h"

#include <dirent.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kivbench {

namespace {

// Value of the first line starting with `key` in a "Key:   value" file.
std::string field(const std::string &path, const std::string &key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        size_t colon = line.find(':', key.size());
        if (colon == std::string::npos) continue;
        size_t start = line.find_first_not_of(" \t", colon + 1);
        return start == std::string::npos ? "" : line.substr(start);
    }
    return "";
}

} // namespace

long rssKiB(pid_t pid) {
    std::string v = field("/proc/" + std::to_string(pid) + "/status", "VmRSS");
    if (v.empty()) return -1;
    return std::strtol(v.c_str(), nullptr, 10);   // "<n> kB"
}

int openFds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

double loadAverage1() {
    std::ifstream in("/proc/loadavg");
    double v = -1;
    if (!(in >> v)) return -1;
    return v;
}

int countProcesses(const std::string &name) {
    DIR *d = opendir("/proc");
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/comm");
        std::string comm;
        if (std::getline(in, comm) && comm == name) ++n;
    }
    closedir(d);
    return n;
}

MachineInfo machineInfo() {
    MachineInfo m;
    m.cpuModel = field("/proc/cpuinfo", "model name");
    m.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    utsname u{};
    if (uname(&u) == 0) m.kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
    m.memoryKiB = std::strtol(field("/proc/meminfo", "MemTotal").c_str(), nullptr, 10);
    return m;
}

RssSampler::RssSampler(pid_t pid, int periodMs) : pid_(pid), periodMs_(periodMs) {
    thread_ = std::thread([this] { run(); });
}

RssSampler::~RssSampler() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void RssSampler::run() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        long v = rssKiB(pid_);
        if (v > max_.load()) max_.store(v);
        if (cv_.wait_for(lock, std::chrono::milliseconds(periodMs_), [this] { return stop_; })) break;
    }
}

CompilerWatch::CompilerWatch() {
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            int n = countProcesses("cc1plus") + countProcesses("cc1");
            ++samples_;
            if (n > 0) ++busy_;
            if (n > max_.load()) max_.store(n);
            if (cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) break;
        }
    });
}

CompilerWatch::~CompilerWatch() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

} // namespace kivbench
