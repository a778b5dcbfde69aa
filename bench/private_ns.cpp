// Private mount namespace set-up and the fixture account files.
#include "private_ns.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kivbench {

namespace {

const char *const kFixtureDir = "/run/kivbench-fixtures";
bool g_ready = false;

std::string sysError(const std::string &what) { return what + ": " + std::strerror(errno); }

std::string mountNs(pid_t pid) {
    char buf[128];
    std::string link = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/ns/mnt";
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

pid_t parentOf(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    char state;
    long ppid = -1;
    in >> state >> ppid;
    return static_cast<pid_t>(ppid);
}

bool tmpfs(const char *where, std::string *error) {
    if (mount("tmpfs", where, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0) return true;
    *error = sysError(std::string("mount tmpfs on ") + where);
    return false;
}

} // namespace

bool writeFile(const std::string &path, const std::string &data, int mode, std::string *error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = sysError("open " + path);
        return false;
    }
    bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0;
    for (size_t off = 0; ok && off < data.size();) {
        ssize_t w = write(fd, data.data() + off, data.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else off += static_cast<size_t>(w);
    }
    if (!ok) *error = sysError("write " + path);
    if (close(fd) != 0 && ok) {
        *error = sysError("close " + path);
        ok = false;
    }
    return ok;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool pathIsUnder(const std::string &path, const std::string &dir) {
    return path == dir || path.rfind(dir + "/", 0) == 0;
}

bool runsFromTmp() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    char cwd[4096];
    bool cwdUnder = getcwd(cwd, sizeof cwd) != nullptr && pathIsUnder(cwd, "/tmp");
    return cwdUnder || (n > 0 && pathIsUnder(std::string(exe, static_cast<size_t>(n)), "/tmp"));
}

bool enterPrivateNamespace(std::string *error) {
    if (geteuid() != 0) {
        *error = "the benchmark must run as root";
        return false;
    }
    // The mounts below are only harmless in a namespace of our own: compare
    // with the nearest ancestor that is not unshare(1) itself, and with pid 1.
    pid_t outer = getppid();
    while (outer > 1 && readFile("/proc/" + std::to_string(outer) + "/comm") == "unshare\n") outer = parentOf(outer);
    std::string self = mountNs(0), parent = outer > 0 ? mountNs(outer) : "", init = mountNs(1);
    if (self.empty() || parent.empty() || self == parent || self == init) {
        *error = "not in a private mount namespace; run under `unshare --mount --propagation private`";
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = sysError("making mounts private");
        return false;
    }
    if (!tmpfs("/run", error)) return false;
    std::error_code ec;
    auto varRun = std::filesystem::canonical("/var/run", ec);
    if (!ec && varRun != "/run" && !tmpfs("/var/run", error)) return false;
    // A build tree under /tmp (a CI clone, say) must stay visible.
    if (!runsFromTmp() && !tmpfs("/tmp", error)) return false;
    if (mkdir(kFixtureDir, 0755) != 0) {
        *error = sysError(std::string("mkdir ") + kFixtureDir);
        return false;
    }
    for (const char *name : {"passwd", "shadow", "group"}) {
        std::string src = std::string(kFixtureDir) + "/" + name, dst = std::string("/etc/") + name;
        if (!writeFile(src, "", std::strcmp(name, "shadow") == 0 ? 0640 : 0644, error)) return false;
        if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            *error = sysError("bind mount " + src + " on " + dst);
            return false;
        }
    }
    g_ready = true;
    return true;
}

bool writeAccountFiles(const AccountFiles &files, std::string *error) {
    if (!g_ready) {
        *error = "refusing to write account files outside the private namespace";
        return false;
    }
    std::string dir = kFixtureDir;
    return writeFile(dir + "/passwd", files.passwd, 0644, error) &&
           writeFile(dir + "/shadow", files.shadow, 0640, error) &&
           writeFile(dir + "/group", files.group, 0644, error);
}

bool overrideNsswitch(const std::string &text, std::string *error) {
    if (!g_ready) {
        *error = "refusing to replace nsswitch.conf outside the private namespace";
        return false;
    }
    const std::string src = std::string(kFixtureDir) + "/nsswitch.conf";
    if (!writeFile(src, text, 0644, error)) return false;
    if (mount(src.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0) {
        *error = sysError("bind mount " + src + " on /etc/nsswitch.conf");
        return false;
    }
    return true;
}

void restoreNsswitch() {
    if (g_ready) umount2("/etc/nsswitch.conf", MNT_DETACH);
}

} // namespace kivbench
