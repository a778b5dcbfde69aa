// Private mount namespace set-up and the fixture files mounted in it.
#include "private_namespace.h"

#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>

#include "files.h"

namespace kivtest {

namespace {

std::string g_fixtureDir;   // set once the sandbox is ready
bool g_keepDirs = false;

std::string nsOf(const std::string &procDir) {
    char buf[128];
    const ssize_t n = readlink((procDir + "/ns/mnt").c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

pid_t parentOf(pid_t pid) {
    const std::string s = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = s.rfind(')');
    if (close == std::string::npos || close + 4 > s.size()) return -1;
    std::istringstream in(s.substr(close + 2));
    char state = 0;
    long ppid = -1;
    if (!(in >> state >> ppid)) return -1;
    return static_cast<pid_t>(ppid);
}

bool mountTmpfs(const char *where, std::string *error) {
    if (mount("tmpfs", where, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0) return true;
    *error = errnoText(std::string("mount tmpfs on ") + where);
    return false;
}

bool refuseOutside(const std::string &what, std::string *error) {
    if (!g_fixtureDir.empty()) return false;
    *error = "refusing to " + what + " outside the private namespace";
    return true;
}

} // namespace

bool sandboxReady() { return !g_fixtureDir.empty(); }
bool keepDirs() { return g_keepDirs; }

bool runsFromTmp() {
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    char cwd[4096];
    return (!ec && pathIsUnder(exe, "/tmp")) || (getcwd(cwd, sizeof cwd) != nullptr && pathIsUnder(cwd, "/tmp"));
}

bool enterSandbox(std::string *error) {
    SandboxOptions options;
    options.keepVisible = {KIV_BIN_DIR, KIV_TESTMOD_DIR, KIV_SOURCE_DIR};
    return enterSandbox(options, error);
}

bool enterSandbox(const SandboxOptions &options, std::string *error) {
    if (geteuid() != 0) {
        *error = options.who + " must run as root";
        return false;
    }
    // The mounts below are only harmless in a namespace that this process
    // does not share with the rest of the system.  The nearest ancestor that
    // is not unshare(1) itself (which, with --fork, shares the new namespace)
    // must be in another one; so must pid 1.
    pid_t anc = getppid();
    while (anc > 1 && readFile("/proc/" + std::to_string(anc) + "/comm") == "unshare\n") {
        const pid_t up = parentOf(anc);
        if (up < 0) break;
        anc = up;
    }
    const std::string self = nsOf("/proc/self"), init = nsOf("/proc/1");
    const std::string outer = nsOf("/proc/" + std::to_string(anc));
    if (self.empty() || outer.empty() || self == outer || self == init) {
        *error = "not in a private mount namespace; run under `unshare --mount --propagation private`";
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = errnoText("making mounts private");
        return false;
    }
    if (options.subreaper && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        *error = errnoText("PR_SET_CHILD_SUBREAPER");
        return false;
    }
    if (!mountTmpfs("/run", error)) return false;
    std::error_code ec;
    const auto varRun = std::filesystem::canonical("/var/run", ec);
    if (!ec && varRun != "/run" && !mountTmpfs("/var/run", error)) return false;
    g_keepDirs = std::getenv("KIVTEST_KEEP_DIRS") != nullptr;
    // A private /tmp takes every run's leftovers with it, unless something
    // that must stay visible (a build tree in a CI clone, say) lives there.
    bool keepTmp = g_keepDirs || runsFromTmp();
    for (const std::string &p : options.keepVisible) keepTmp = keepTmp || pathIsUnder(p, "/tmp");
    if (!keepTmp && !mountTmpfs("/tmp", error)) return false;

    const std::string &dir = options.fixtureDir;
    if (mkdir(dir.c_str(), 0755) != 0) {
        *error = errnoText("mkdir " + dir);
        return false;
    }
    const struct {
        const char *name;
        const std::string &content;
        int mode;
    } files[] = {{"passwd", options.passwd, 0644}, {"shadow", options.shadow, 0640}, {"group", options.group, 0644}};
    for (const auto &f : files) {
        const std::string src = dir + "/" + f.name, dst = std::string("/etc/") + f.name;
        if (!writeFile(src, f.content, f.mode, error)) return false;
        if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            *error = errnoText("bind mount " + src + " on " + dst);
            return false;
        }
    }
    g_fixtureDir = dir;
    return true;
}

bool writeAccountFiles(const std::string &passwd, const std::string &shadow, const std::string &group,
                       std::string *error) {
    if (refuseOutside("write account files", error)) return false;
    return writeFile(g_fixtureDir + "/passwd", passwd, 0644, error) &&
           writeFile(g_fixtureDir + "/shadow", shadow, 0640, error) &&
           writeFile(g_fixtureDir + "/group", group, 0644, error);
}

bool bindOver(const std::string &source, const std::string &target, std::string *error) {
    if (refuseOutside("cover " + target, error)) return false;
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        *error = errnoText("bind mount " + source + " on " + target);
        return false;
    }
    return true;
}

bool overrideNsswitch(const std::string &text, std::string *error) {
    if (refuseOutside("replace nsswitch.conf", error)) return false;
    const std::string src = g_fixtureDir + "/nsswitch.conf";
    return writeFile(src, text, 0644, error) && bindOver(src, "/etc/nsswitch.conf", error);
}

void restoreNsswitch() {
    if (sandboxReady()) umount2("/etc/nsswitch.conf", MNT_DETACH);
}

bool privatePamDir(std::string *dir, std::string *error) {
    static std::mutex lock;
    static std::string made;
    std::lock_guard<std::mutex> guard(lock);
    if (made.empty()) {
        if (refuseOutside("cover /etc/pam.d", error)) return false;
        const std::string d = g_fixtureDir + "/pam.d";
        if (mkdir(d.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = errnoText("mkdir " + d);
            return false;
        }
        if (!bindOver(d, "/etc/pam.d", error)) return false;
        made = d;
    }
    *dir = made;
    return true;
}

std::string reachableCopy(const std::string &path, std::string *error) {
    if (refuseOutside("stage " + path, error)) return "";
    static std::mutex lock;
    static std::map<std::string, std::string> copies;
    std::lock_guard<std::mutex> guard(lock);
    auto known = copies.find(path);
    if (known != copies.end()) return known->second;
    const std::string dir = "/run/kivtest-staged";
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = errnoText("mkdir " + dir);
        return "";
    }
    // A numbered name per source, so two sources with one file name never meet.
    const std::string copy =
        dir + "/" + std::to_string(copies.size()) + "-" + std::filesystem::path(path).filename().string();
    std::error_code ec;
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec || chmod(dir.c_str(), 0755) != 0 || chmod(copy.c_str(), 0755) != 0) {
        *error = "staging " + path + ": " + (ec ? ec.message() : std::strerror(errno));
        return "";
    }
    copies[path] = copy;
    return copy;
}

} // namespace kivtest
