// Peer daemons: saslauthd and nslcd, their configuration and saslauthd's protocol.
#include "peers.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "harness.h"
#include "kivclient.hpp"
#include "kivmod.h"

namespace kivbench {

namespace {

using Clock = std::chrono::steady_clock;

// Whether `pid` still runs (a zombie left to us counts as gone, and is reaped).
bool alive(pid_t pid) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return false;
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

// A bounded connection to a peer's socket: every wait on the peer is limited.
kiv::Options peerSocket(const std::string &path) {
    kiv::Options o;
    o.socketPath = path;
    o.timeoutMs = 5000;
    return o;
}

// saslauthd's request: four strings, each after its length as two bytes in
// network order.
void counted(std::string &out, const std::string &s) {
    out.push_back(static_cast<char>((s.size() >> 8) & 0xFF));
    out.push_back(static_cast<char>(s.size() & 0xFF));
    out += s;
}

} // namespace

std::string findPeer(const std::string &binDir, const std::string &rel) {
    std::vector<std::string> places;
    if (const char *env = getenv("KIVBENCH_PEERS"); env != nullptr) places.push_back(std::string(env) + "/" + rel);
    places.push_back(binDir + "/../peers/" + rel);
    places.push_back("/" + rel);
    for (const std::string &p : places)
        if (access(p.c_str(), R_OK) == 0) return p;
    return "";
}

std::string saslauthdLdapConf(const DirectoryLayout &d) {
    std::string c = "ldap_servers: " + d.uri + "\nldap_version: 3\nldap_auth_method: fastbind\n"
                    "ldap_filter: uid=%u," + d.peopleBase + "\nldap_search_base: " + d.peopleBase + "\n";
    if (!d.caFile.empty()) c += "ldap_tls_check_peer: yes\nldap_tls_cacert_file: " + d.caFile + "\n";
    return c;
}

std::string nslcdConf(const DirectoryLayout &d) {
    // root: the benchmark's accounts have no nslcd user.
    std::string c = "uid root\ngid root\nuri " + d.uri + "\nbase " + d.peopleBase + "\n";
    if (!d.caFile.empty()) c += "tls_reqcert demand\ntls_cacertfile " + d.caFile + "\n";
    return c;
}

std::string pamLdapServiceText(const std::string &module) { return "auth required " + module + "\n"; }

bool PeerDaemon::awaitSocket(const std::string &pidFile, const std::string &log, std::string *error) {
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < end) {
        pid_ = static_cast<pid_t>(atol(readFile(pidFile).c_str()));
        if (pid_ > 0 && kiv::Connection(peerSocket(socket_)).connect()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error = "no answer on " + socket_ + ": " + readFile(log);
    stop();
    return false;
}

bool PeerDaemon::startSaslauthd(const SaslauthdSetup &s, std::string *error) {
    stop();
    mkdir(s.dir.c_str(), 0755);
    const std::string pidFile = s.dir + "/saslauthd.pid", log = s.dir + "/saslauthd.log";
    socket_ = s.dir + "/mux";
    unlink(pidFile.c_str());
    unlink(socket_.c_str());
    std::vector<std::string> argv = {s.program, "-a", s.mechanism, "-m", s.dir, "-n", "5"};
    if (s.cache) argv.push_back("-c");
    if (!s.conf.empty()) {
        if (!writeFile(s.dir + "/saslauthd.conf", s.conf, 0600, error)) return false;
        argv.insert(argv.end(), {"-O", s.dir + "/saslauthd.conf"});
    }
    if (s.mechanism == "pam") {
        // The pam mechanism reads /etc/pam.d/<service>: give this saslauthd
        // a mount namespace of its own with the benchmark's service files
        // there, so neither the host's nor the run's /etc/pam.d changes.
        const std::string pamDir = s.dir + "/pam.d";
        mkdir(pamDir.c_str(), 0755);
        if (!writeFile(pamDir + "/kivbench", pamServiceText(), 0644, error)) return false;
        argv.insert(argv.begin(), {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                   "mount --bind \"$0\" /etc/pam.d && exec \"$@\"", pamDir});
    }
    // The parent exits once the service has detached.
    if (int rc = runToEnd(argv, log, 15000, error); rc != 0) {
        *error = "saslauthd status " + std::to_string(rc) + ": " + *error + readFile(log);
        return false;
    }
    return awaitSocket(pidFile, log, error);
}

bool PeerDaemon::startNslcd(const std::string &program, const std::string &dir, const std::string &conf,
                            std::string *error) {
    stop();
    const std::string upper = dir + "/etc", work = dir + "/work", log = dir + "/nslcd.log";
    for (const std::string &d : {dir, upper, work, std::string("/run/nslcd")}) mkdir(d.c_str(), 0755);
    socket_ = "/run/nslcd/socket";
    unlink(socket_.c_str());
    unlink("/run/nslcd/nslcd.pid");
    if (!writeFile(upper + "/nslcd.conf", conf, 0600, error)) return false;
    const std::vector<std::string> argv = {
        "/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
        "mount -t overlay kivbench-etc -o \"lowerdir=/etc,upperdir=$0,workdir=$1\" /etc && exec \"$2\"", upper, work,
        program};
    if (int rc = runToEnd(argv, log, 15000, error); rc != 0) {
        *error = "nslcd status " + std::to_string(rc) + ": " + *error + readFile(log);
        return false;
    }
    return awaitSocket("/run/nslcd/nslcd.pid", log, error);
}

void PeerDaemon::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (alive(pid_) && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (alive(pid_)) kill(pid_, SIGKILL);
    pid_ = -1;
}

OperationFactory saslauthdOperation(Accounts accounts, std::string socketPath, std::string service) {
    return [accounts, socketPath, service](int) -> Operation {
        return [accounts, socketPath, service](uint64_t seq) {
            const Account &a = (*accounts)[seq % accounts->size()];
            Outcome o;
            std::string request;
            counted(request, a.name);
            counted(request, a.password);
            counted(request, service);
            counted(request, "");
            kiv::Connection conn(peerSocket(socketPath));
            unsigned char head[2];
            if (!conn.connect() || !conn.sendBytes(request.data(), request.size()) || !conn.readExact(head, 2)) {
                o.transportError = true;
                o.error = "saslauthd: " + conn.error();
                return o;
            }
            const size_t length = static_cast<size_t>(head[0] << 8 | head[1]);
            std::string verdict(length, '\0');
            if (length < 2 || length >= 1024 || !conn.readExact(verdict.data(), length)) {
                o.transportError = true;
                o.error = "saslauthd: short or malformed answer";
            } else if (verdict.compare(0, 2, "OK") == 0) {
                o.code = AUTH_OK;
            } else {
                o.code = AUTH_NOAUTH;
            }
            return o;
        };
    };
}

} // namespace kivbench
