// A private OpenLDAP slapd for tests: its own configuration, mdb database and
// certificates in a temporary directory, listening on free loopback ports.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "process.h"

namespace kivtest {

struct SlapdOptions {
    std::string suffix = "dc=example,dc=com";
    // Entries loaded with slapadd before the server starts (the suffix entry
    // included).
    std::string ldif;
    // Also listen for ldaps:// with a certificate signed by a generated CA.
    bool tls = true;
    // Extra global slapd.conf lines (e.g. "allow bind_anon_dn").
    std::string globalConfig;
    // Access rules of the database; empty = userPassword readable by the
    // entry itself and by "cn=reader,<suffix>", everything else by everyone.
    std::string access;
};

class Slapd {
public:
    explicit Slapd(SlapdOptions opts);
    ~Slapd();   // stops the server and removes its directory
    Slapd(const Slapd &) = delete;
    Slapd &operator=(const Slapd &) = delete;

    // Generates certificates, loads the database and starts slapd; waits up to
    // timeoutMs for it to accept connections.  False (and error()) on failure.
    bool start(int timeoutMs = 20000);
    // SIGTERM, then SIGKILL after timeoutMs; reaps the process.
    void stop(int timeoutMs = 5000);
    // Stops the server and starts it again on the same ports with the same
    // database (clients see their connections dropped).
    bool restart(int timeoutMs = 20000);
    bool running();

    int port() const { return port_; }
    int sslPort() const { return sslPort_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string sslHostPort() const { return "127.0.0.1:" + std::to_string(sslPort_); }
    pid_t pid() const { return pid_; }
    const std::string &dir() const { return dir_; }
    // The CA that signed the server certificate, and one that did not.
    std::string caFile() const { return dir_ + "/ca.crt"; }
    std::string foreignCaFile() const { return dir_ + "/foreign-ca.crt"; }
    const std::string &error() const { return error_; }
    std::string logText() const;

private:
    bool prepare();
    bool launch(int timeoutMs, bool samePorts);

    SlapdOptions opts_;
    std::string dir_;
    std::string error_;
    pid_t pid_ = -1;
    int port_ = 0;
    int sslPort_ = 0;
};

// A loopback TCP port that nothing listens on right now.
int freeLoopbackPort();

// Whether something accepts TCP connections on 127.0.0.1:port.
bool loopbackAccepts(int port);

// slappasswd's encoding of `secret` in `scheme` ("{SSHA}", "{SHA}", ...), made
// independently of the code under test.  Empty on failure.
std::string slappasswdHash(const std::string &scheme, const std::string &secret);

// A listening loopback socket that never answers: stands for a hung server.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer &) = delete;
    SilentServer &operator=(const SilentServer &) = delete;
    int port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace kivtest
