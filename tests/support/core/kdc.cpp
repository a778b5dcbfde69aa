// Private KDC instances for the GSS tests.
#include "kdc.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "files.h"
#include "private_namespace.h"
#include "process.h"
#include "slapd.h"

namespace kivtest {

namespace {


bool writeText(const std::string &path, const std::string &text) {
    std::string ignored;
    return writeFile(path, text, 0644, &ignored);
}

} // namespace

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

std::string Kdc::logText() const { return dir_.empty() ? std::string() : readFile(dir_ + "/kdc.log"); }

bool Kdc::run(const std::vector<std::string> &argv, std::string *output) {
    std::string out;
    const int rc = runProgramEnv(argv, environment(), 30000, &out);
    if (output != nullptr) *output = out;
    if (rc != 0) error_ = argv[0] + " failed (" + std::to_string(rc) + "): " + out;
    return rc == 0;
}

bool Kdc::createRealm() {
    dir_ = makeTempDir("kdc", &error_);   // mode 0700: keytabs live here
    if (dir_.empty()) return false;
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
    const std::string logPath = dir_ + "/krb5kdc.out";
    // It dies with the test.
    SpawnOptions options;
    options.environment = &env;
    pid_ = spawnProcess(argv, logPath, options, &error_);
    if (pid_ < 0) return false;
    const Startup up = awaitStartup(pid_, timeoutMs, [&] { return loopbackAccepts(port_); });
    if (up == Startup::Ready) return true;
    if (up == Startup::Exited) {
        pid_ = -1;
        error_ = "krb5kdc exited: " + readFile(logPath) + logText();
        return false;
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
    stopProcess(pid_, timeoutMs);
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
    // /etc/krb5.conf must exist (package krb5-config) to be covered.
    return bindOver(krb5Conf(), "/etc/krb5.conf", &error_);
}

} // namespace kivtest
