// Private slapd instances for the LDAP tests.
#include "slapd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "files.h"
#include "process.h"

namespace kivtest {

namespace {

// Fixture text for a private directory: failures show up when the tool reads it.
bool writeFileOk(const std::string &path, const std::string &text)
{
    std::string ignored;
    return writeFile(path, text, 0644, &ignored);
}


const char *const kOpenssl = "/usr/bin/openssl";

bool makeCa(const std::string &dir, const std::string &name, const std::string &cn, std::string *err)
{
    const std::string cnf = dir + "/" + name + ".cnf";
    writeFileOk(cnf, "[req]\ndistinguished_name = dn\nprompt = no\nx509_extensions = v3_ca\n"
                   "[dn]\nCN = " + cn + "\n"
                   "[v3_ca]\nbasicConstraints = critical,CA:TRUE\n"
                   "keyUsage = critical,keyCertSign,cRLSign\nsubjectKeyIdentifier = hash\n");
    std::string out;
    const int rc = runProgram({kOpenssl, "req", "-x509", "-new", "-newkey", "ec", "-pkeyopt",
                               "ec_paramgen_curve:prime256v1", "-nodes", "-days", "3", "-config",
                               cnf, "-keyout", dir + "/" + name + ".key", "-out",
                               dir + "/" + name + ".crt"},
                              20000, &out);
    if (rc != 0) *err = "openssl CA: " + out;
    return rc == 0;
}

bool makeServerCert(const std::string &dir, std::string *err)
{
    writeFileOk(dir + "/server.cnf",
              "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nCN = localhost\n");
    writeFileOk(dir + "/server.ext",
              "subjectAltName = IP:127.0.0.1,DNS:localhost\nbasicConstraints = CA:FALSE\n"
              "keyUsage = critical,digitalSignature,keyEncipherment\n"
              "extendedKeyUsage = serverAuth\n");
    std::string out;
    int rc = runProgram({kOpenssl, "req", "-new", "-newkey", "ec", "-pkeyopt",
                         "ec_paramgen_curve:prime256v1", "-nodes", "-config", dir + "/server.cnf",
                         "-keyout", dir + "/server.key", "-out", dir + "/server.csr"},
                        20000, &out);
    if (rc == 0) {
        rc = runProgram({kOpenssl, "x509", "-req", "-in", dir + "/server.csr", "-CA",
                         dir + "/ca.crt", "-CAkey", dir + "/ca.key", "-set_serial", "2", "-days",
                         "3", "-extfile", dir + "/server.ext", "-out", dir + "/server.crt"},
                        20000, &out);
    }
    if (rc != 0) *err = "openssl server certificate: " + out;
    return rc == 0;
}

} // namespace

bool loopbackAccepts(int port)
{
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

int freeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

std::string slappasswdHash(const std::string &scheme, const std::string &secret)
{
    std::string out;
    if (runProgram({"/usr/sbin/slappasswd", "-h", scheme, "-s", secret}, 10000, &out) != 0) return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

Slapd::Slapd(SlapdOptions opts) : opts_(std::move(opts)) {}

Slapd::~Slapd()
{
    stop();
    if (!dir_.empty() && std::getenv("KIVTEST_KEEP") == nullptr) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string Slapd::logText() const { return dir_.empty() ? std::string() : readFile(dir_ + "/slapd.log"); }

bool Slapd::prepare()
{
    dir_ = makeTempDir("slapd", &error_);
    if (dir_.empty()) return false;
    std::filesystem::create_directory(dir_ + "/db");
    if (opts_.tls &&
        (!makeCa(dir_, "ca", "kivtest CA", &error_) ||
         !makeCa(dir_, "foreign-ca", "kivtest foreign CA", &error_) || !makeServerCert(dir_, &error_)))
        return false;

    std::string access = opts_.access;
    if (access.empty()) {
        access = "access to attrs=userPassword\n"
                 "  by self read\n"
                 "  by dn.exact=\"cn=reader," + opts_.suffix + "\" read\n"
                 "  by anonymous auth\n"
                 "  by * none\n"
                 "access to * by * read\n";
    }
    std::string conf =
        "include /etc/ldap/schema/core.schema\n"
        "include /etc/ldap/schema/cosine.schema\n"
        "include /etc/ldap/schema/nis.schema\n"
        "include /etc/ldap/schema/inetorgperson.schema\n"
        "modulepath /usr/lib/ldap\n"
        "moduleload back_mdb\n"
        "pidfile " + dir_ + "/slapd.pid\n"
        "argsfile " + dir_ + "/slapd.args\n";
    if (opts_.tls) {
        conf += "TLSCACertificateFile " + dir_ + "/ca.crt\n"
                "TLSCertificateFile " + dir_ + "/server.crt\n"
                "TLSCertificateKeyFile " + dir_ + "/server.key\n";
    }
    conf += opts_.globalConfig + "\n";
    conf += "database mdb\n"
            "suffix \"" + opts_.suffix + "\"\n"
            "rootdn \"cn=admin," + opts_.suffix + "\"\n"
            "rootpw kivtest-root\n"
            "directory " + dir_ + "/db\n"
            "maxsize 10485760\n" + access;
    if (!writeFileOk(dir_ + "/slapd.conf", conf) || !writeFileOk(dir_ + "/data.ldif", opts_.ldif)) {
        error_ = "cannot write the configuration";
        return false;
    }
    std::string out;
    if (runProgram({"/usr/sbin/slapadd", "-q", "-f", dir_ + "/slapd.conf", "-l", dir_ + "/data.ldif"},
                   30000, &out) != 0) {
        error_ = "slapadd failed: " + out;
        return false;
    }
    return true;
}

bool Slapd::launch(int timeoutMs, bool samePorts)
{
    if (!samePorts) {
        port_ = freeLoopbackPort();
        sslPort_ = opts_.tls ? freeLoopbackPort() : 0;
    }
    if (port_ <= 0 || (opts_.tls && (sslPort_ <= 0 || sslPort_ == port_))) {
        error_ = "no free port";
        return false;
    }
    std::string urls = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
    if (opts_.tls) urls += " ldaps://127.0.0.1:" + std::to_string(sslPort_) + "/";
    const std::string logPath = dir_ + "/slapd.log";
    const std::string confPath = dir_ + "/slapd.conf";

    // -d keeps slapd in the foreground, so this pid is the server's; it dies
    // with the test.
    pid_ = spawnProcess({"/usr/sbin/slapd", "-d", "0", "-h", urls, "-f", confPath}, logPath, {}, &error_);
    if (pid_ < 0) return false;
    const Startup up = awaitStartup(pid_, timeoutMs, [&] { return loopbackAccepts(port_) && (!opts_.tls || loopbackAccepts(sslPort_)); });
    if (up == Startup::Ready) return true;
    if (up == Startup::Exited) {
        pid_ = -1;
        error_ = "slapd exited: " + logText();
        return false;
    }
    error_ = "slapd did not listen in time: " + logText();
    stop();
    return false;
}

bool Slapd::start(int timeoutMs)
{
    if (dir_.empty() && !prepare()) return false;
    // A port taken between choosing and binding it makes slapd exit; try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (launch(timeoutMs, false)) return true;
    }
    return false;
}

bool Slapd::restart(int timeoutMs)
{
    stop();
    if (dir_.empty()) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (launch(timeoutMs, true)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

void Slapd::stop(int timeoutMs)
{
    stopProcess(pid_, timeoutMs);
    pid_ = -1;
}

bool Slapd::running()
{
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

SilentServer::SilentServer()
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    // The kernel completes connections into the backlog; nobody ever reads.
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(fd_, 64) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port_ = ntohs(addr.sin_port);
}

SilentServer::~SilentServer()
{
    if (fd_ >= 0) close(fd_);
}

} // namespace kivtest
