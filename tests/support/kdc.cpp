// Private KDC instances for the GSS tests.
#include "kdc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "slapd.h"

namespace kivtest {

namespace {

using Clock = std::chrono::steady_clock;

bool writeText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string readText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The raw wait status of pid, or -1 when it has not ended within timeoutMs.
int waitPid(pid_t pid, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool canConnect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (std::string &s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

int runProgramEnv(const std::vector<std::string> &argv, const std::vector<std::string> &env, int timeoutMs,
                  std::string *output) {
    if (argv.empty()) return -1;
    char outTempl[] = "/tmp/kivtest-run-XXXXXX";
    const int outFd = mkstemp(outTempl);
    if (outFd < 0) return -1;
    unlink(outTempl);
    std::vector<std::string> argCopy(argv), envCopy(env);
    std::vector<char *> args = pointers(argCopy), envp = pointers(envCopy);
    const pid_t pid = fork();
    if (pid < 0) {
        close(outFd);
        return -1;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(outFd, 1);
        dup2(outFd, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    int status = waitPid(pid, timeoutMs);
    if (status == -1) {
        kill(pid, SIGKILL);
        waitPid(pid, 5000);
    }
    if (output != nullptr) {
        output->clear();
        char buf[4096];
        lseek(outFd, 0, SEEK_SET);
        ssize_t n;
        while ((n = read(outFd, buf, sizeof buf)) > 0) output->append(buf, static_cast<size_t>(n));
    }
    close(outFd);
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

Kdc::Kdc(KdcOptions opts) : opts_(std::move(opts)) {}

Kdc::~Kdc() {
    stop();
    if (!dir_.empty() && std::getenv("KIVTEST_KEEP") == nullptr) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::vector<std::string> Kdc::environment() const {
    const char *path = std::getenv("PATH");
    return {"KRB5_CONFIG=" + dir_ + "/krb5.conf", "KRB5_KDC_PROFILE=" + dir_ + "/kdc.conf",
            std::string("PATH=") + (path ? path : "/usr/sbin:/usr/bin:/sbin:/bin")};
}

std::string Kdc::logText() const { return dir_.empty() ? std::string() : readText(dir_ + "/kdc.log"); }

bool Kdc::run(const std::vector<std::string> &argv, std::string *output) {
    std::string out;
    const int rc = runProgramEnv(argv, environment(), 30000, &out);
    if (output != nullptr) *output = out;
    if (rc != 0) error_ = argv[0] + " failed (" + std::to_string(rc) + "): " + out;
    return rc == 0;
}

bool Kdc::createRealm() {
    char templ[] = "/tmp/kivtest-kdc-XXXXXX";
    const char *made = mkdtemp(templ);   // mode 0700: keytabs live here
    if (made == nullptr) {
        error_ = "mkdtemp failed";
        return false;
    }
    dir_ = made;
    port_ = freeLoopbackPort();
    if (port_ <= 0) {
        error_ = "no free port";
        return false;
    }
    const std::string p = std::to_string(port_);
    const std::string &r = opts_.realm;
    const std::string kdcConf = "[kdcdefaults]\n"
                                " kdc_listen = 127.0.0.1:" + p + "\n"
                                " kdc_tcp_listen = 127.0.0.1:" + p + "\n"
                                "[realms]\n " + r + " = {\n"
                                "  database_name = " + dir_ + "/principal\n"
                                "  key_stash_file = " + dir_ + "/stash\n"
                                "  acl_file = " + dir_ + "/kadm5.acl\n"
                                "  max_life = 10h\n"
                                "  max_renewable_life = 0\n"
                                " }\n"
                                "[logging]\n"
                                " kdc = FILE:" + dir_ + "/kdc.log\n"
                                " admin_server = FILE:" + dir_ + "/kadmin.log\n";
    const std::string krb5Conf = "[libdefaults]\n"
                                 " default_realm = " + r + "\n"
                                 " dns_lookup_kdc = false\n"
                                 " dns_lookup_realm = false\n"
                                 " dns_canonicalize_hostname = false\n"
                                 " rdns = false\n"
                                 " udp_preference_limit = 1\n"
                                 " clockskew = " + std::to_string(opts_.clockSkewSeconds) + "\n"
                                 " default_keytab_name = FILE:" + dir_ + "/krb5.keytab\n"
                                 " default_ccache_name = FILE:" + dir_ + "/ccache.default\n"
                                 "[realms]\n " + r + " = {\n"
                                 "  kdc = 127.0.0.1:" + p + "\n"
                                 " }\n";
    if (!writeText(dir_ + "/kdc.conf", kdcConf) || !writeText(dir_ + "/krb5.conf", krb5Conf) ||
        !writeText(dir_ + "/kadm5.acl", "")) {
        error_ = "cannot write the realm's configuration";
        return false;
    }
    chmod((dir_ + "/krb5.conf").c_str(), 0644);
    return run({"/usr/sbin/kdb5_util", "create", "-s", "-W", "-r", r, "-P", "kivtest-master"}, nullptr);
}

bool Kdc::launch(int timeoutMs) {
    std::vector<std::string> argv{"/usr/sbin/krb5kdc", "-n", "-r", opts_.realm, "-P", dir_ + "/kdc.pid"};
    std::vector<std::string> env = environment();
    std::vector<char *> args = pointers(argv), envp = pointers(env);
    const std::string logPath = dir_ + "/krb5kdc.out";
    pid_ = fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        // A test that dies must not leave its KDC behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        if (logFd >= 0) {
            dup2(logFd, 1);
            dup2(logFd, 2);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "krb5kdc exited: " + readText(logPath) + logText();
            return false;
        }
        if (canConnect(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "krb5kdc did not listen in time: " + logText();
    stop();
    return false;
}

bool Kdc::start(int timeoutMs) {
    if (dir_.empty() && !createRealm()) return false;
    return launch(timeoutMs);
}

void Kdc::stop(int timeoutMs) {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (waitPid(pid_, timeoutMs) == -1) {
        kill(pid_, SIGKILL);
        waitPid(pid_, 5000);
    }
    pid_ = -1;
}

bool Kdc::kadmin(const std::string &query, std::string *output) {
    return run({"/usr/sbin/kadmin.local", "-r", opts_.realm, "-q", query}, output);
}

bool Kdc::addUser(const std::string &principal) {
    return kadmin("addprinc -randkey " + principal) &&
           kadmin("ktadd -k " + dir_ + "/users.keytab " + principal);
}

bool Kdc::addService(const std::string &principal, const std::string &keytab) {
    if (!kadmin("addprinc -randkey " + principal) || !kadmin("ktadd -k " + keytab + " " + principal))
        return false;
    chmod(keytab.c_str(), 0600);
    return true;
}

bool Kdc::kinit(const std::string &principal, const std::string &ccache, const std::string &lifetime) {
    std::vector<std::string> argv{"/usr/bin/kinit", "-k", "-t", dir_ + "/users.keytab", "-c", "FILE:" + ccache};
    if (!lifetime.empty()) argv.insert(argv.end(), {"-l", lifetime});
    argv.push_back(principal);
    return run(argv, nullptr);
}

bool Kdc::installSystemConfig() {
    // Our namespace must differ from our parent's (the test runner's).
    std::error_code ec1, ec2;
    const auto self = std::filesystem::read_symlink("/proc/self/ns/mnt", ec1);
    const auto parent = std::filesystem::read_symlink("/proc/" + std::to_string(getppid()) + "/ns/mnt", ec2);
    if (ec1 || ec2 || self == parent) {
        error_ = "refusing to cover /etc/krb5.conf outside a private mount namespace";
        return false;
    }
    if (mount(krb5Conf().c_str(), "/etc/krb5.conf", nullptr, MS_BIND, nullptr) != 0) {
        // /etc/krb5.conf must exist (package krb5-config) to be covered.
        error_ = std::string("bind mount on /etc/krb5.conf: ") + strerror(errno);
        return false;
    }
    return true;
}

} // namespace kivtest
