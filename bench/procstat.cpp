// /proc readers and the background samplers.
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

// Calls f("/proc/<pid>", pid) for every process.
void forEachProcess(const std::function<void(const std::string &, pid_t)> &f) {
    DIR *d = opendir("/proc");
    if (d == nullptr) return;
    while (dirent *e = readdir(d))
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9')
            f(std::string("/proc/") + e->d_name, static_cast<pid_t>(std::atol(e->d_name)));
    closedir(d);
}

// The fields of /proc/<pid>/stat after the command name, the state (field 3)
// first.
std::vector<std::string> statFields(const std::string &procDir) {
    const std::string s = readFile(procDir + "/stat");
    std::vector<std::string> out;
    const size_t close = s.rfind(')');
    if (close == std::string::npos) return out;
    std::istringstream in(s.substr(close + 1));
    for (std::string f; in >> f;) out.push_back(f);
    return out;
}

// utime + stime + cutime + cstime (fields 14 to 17), in clock ticks.
double processTicks(const std::string &procDir) {
    const std::vector<std::string> f = statFields(procDir);
    double ticks = 0;
    for (size_t i = 11; i <= 14 && i < f.size(); ++i) ticks += std::strtod(f[i].c_str(), nullptr);
    return ticks;
}

std::string mountNamespace(const std::string &procDir) {
    char buf[128];
    ssize_t n = readlink((procDir + "/ns/mnt").c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

} // namespace

long rssKiB(pid_t pid) {
    std::string v = field("/proc/" + std::to_string(pid) + "/status", "VmRSS");
    return v.empty() ? -1 : std::strtol(v.c_str(), nullptr, 10);   // "<n> kB"
}

int openFds(pid_t pid) {
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
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
    return in >> v ? v : -1;
}

int countProcesses(const std::string &name) {
    int n = 0;
    forEachProcess([&](const std::string &dir, pid_t) { n += readFile(dir + "/comm") == name + "\n"; });
    return n;
}

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
    double ticks = 0;
    forEachProcess([&](const std::string &dir, pid_t) {
        if (mountNamespace(dir) == mine) ticks += processTicks(dir);
    });
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

Sampler::Sampler(int periodMs, std::function<void()> sample) {
    thread_ = std::thread([this, periodMs, sample = std::move(sample)] {
        std::unique_lock<std::mutex> lock(m_);
        do sample();
        while (!cv_.wait_for(lock, std::chrono::milliseconds(periodMs), [this] { return stop_; }));
    });
}

Sampler::~Sampler() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void CompilerWatch::sample() {
    const int n = countProcesses("cc1plus") + countProcesses("cc1");
    ++samples_;
    if (n > 0) ++busy_;
    max_.store(std::max(max_.load(), n));
}

std::vector<pid_t> processTree(pid_t root) {
    std::multimap<pid_t, pid_t> children;
    forEachProcess([&](const std::string &dir, pid_t pid) {
        const std::vector<std::string> f = statFields(dir);
        if (f.size() > 1) children.emplace(static_cast<pid_t>(std::atol(f[1].c_str())), pid);
    });
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
