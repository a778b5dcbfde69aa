// /proc readers and the background resident-size sampler.
#include "procstat.h"

#include <dirent.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>
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

namespace {

std::string mountNamespace(const std::string &procDir) {
    char buf[128];
    ssize_t n = readlink((procDir + "/ns/mnt").c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// utime + stime + cutime + cstime of /proc/<pid>/stat, in clock ticks.
double processTicks(const std::string &procDir) {
    std::ifstream in(procDir + "/stat");
    std::string s;
    std::getline(in, s);
    size_t close = s.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(s.substr(close + 2));
    std::string f;
    double ticks = 0;
    // Fields 3.. after the command: state is field 3; utime..cstime are 14..17.
    for (int i = 3; i <= 17 && (fields >> f); ++i)
        if (i >= 14) ticks += std::strtod(f.c_str(), nullptr);
    return ticks;
}

} // namespace

CpuSnapshot cpuSnapshot() {
    CpuSnapshot snap;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    snap.wall = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::ifstream stat("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal && cpu == "cpu")
        snap.machineBusy = (user + nice + system + irq + softirq + steal) / tick;
    const std::string mine = mountNamespace("/proc/self");
    DIR *d = opendir("/proc");
    if (d == nullptr) return snap;
    double ticks = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        const std::string dir = std::string("/proc/") + e->d_name;
        if (mountNamespace(dir) == mine) ticks += processTicks(dir);
    }
    closedir(d);
    snap.ours = ticks / tick;
    return snap;
}

double othersCores(const CpuSnapshot &from, const CpuSnapshot &to) {
    double wall = to.wall - from.wall;
    if (wall <= 0) return 0;
    double others = (to.machineBusy - from.machineBusy) - (to.ours - from.ours);
    return others > 0 ? others / wall : 0;
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

std::vector<pid_t> processTree(pid_t root) {
    std::multimap<pid_t, pid_t> children;
    if (DIR *d = opendir("/proc")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
            std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
            std::string s;
            std::getline(in, s);
            size_t close = s.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream f(s.substr(close + 2));
            std::string state;
            pid_t ppid = 0;
            if (f >> state >> ppid) children.emplace(ppid, static_cast<pid_t>(std::atol(e->d_name)));
        }
        closedir(d);
    }
    std::vector<pid_t> tree{root};
    for (size_t i = 0; i < tree.size(); ++i) {
        auto [from, to] = children.equal_range(tree[i]);
        for (auto it = from; it != to; ++it) tree.push_back(it->second);
    }
    return tree;
}

double treeCpuSeconds(pid_t root) {
    double ticks = 0;
    for (pid_t p : processTree(root)) ticks += processTicks("/proc/" + std::to_string(p));
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool SyscallCounter::start(const std::vector<pid_t> &pids, const std::string &outFile, std::string *error) {
    std::string list;
    for (pid_t p : pids) list += (list.empty() ? "" : ",") + std::to_string(p);
    out_ = outFile;
    unlink(out_.c_str());
    if (access("/usr/bin/perf", X_OK) != 0) {
        *error = "perf is not installed";
        return false;
    }
    if (!perf_.spawn({"/usr/bin/perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "-o", out_, "-p", list},
                     out_ + ".log", error))
        return false;
    // perf attaches to every thread before the load starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return true;
}

long SyscallCounter::stop() {
    if (perf_.pid() <= 0) return -1;
    perf_.signal(SIGINT);
    if (perf_.wait(10000) == -1) return -1;
    std::ifstream in(out_);
    std::string line;
    while (std::getline(in, line))
        if (line.find("raw_syscalls:sys_enter") != std::string::npos)
            return line.rfind("<not", 0) == 0 ? 0 : std::atol(line.c_str());
    return -1;
}

} // namespace kivbench
