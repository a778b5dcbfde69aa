// Peer daemon: saslauthd (shadow mechanism), with and without its cache.
#include "saslauthd_peer.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "harness.h"
#include "kivmod.h"

namespace kivbench {

namespace {

using Clock = std::chrono::steady_clock;

bool executable(const std::string &path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

// Whether `pid` still runs (a zombie left to us counts as gone, and is reaped).
bool alive(pid_t pid) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return false;
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

int connectTo(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Every wait on the peer is bounded.
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        ::close(fd);
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readAll(int fd, char *buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// saslauthd's request: four strings, each after its length as two bytes in
// network order.
void counted(std::string &out, const std::string &s) {
    out.push_back(static_cast<char>((s.size() >> 8) & 0xFF));
    out.push_back(static_cast<char>(s.size() & 0xFF));
    out += s;
}

} // namespace

std::string findSaslauthd(const std::string &binDir) {
    if (const char *env = getenv("KIVBENCH_SASLAUTHD"); env != nullptr && executable(env)) return env;
    for (const std::string &p : {binDir + "/../peers/usr/sbin/saslauthd", std::string("/usr/sbin/saslauthd")})
        if (executable(p)) return p;
    return "";
}

bool Saslauthd::start(const std::string &program, const std::string &dir, bool cache, std::string *error) {
    stop();
    dir_ = dir;
    mkdir(dir.c_str(), 0755);
    const std::string pidFile = dir + "/saslauthd.pid";
    unlink(pidFile.c_str());
    unlink(socketPath().c_str());
    std::vector<std::string> argv = {program, "-a", "shadow", "-m", dir, "-n", "5"};
    if (cache) argv.push_back("-c");
    // The parent exits once the service has detached.
    if (int rc = runToEnd(argv, dir + "/saslauthd.log", 15000, error); rc != 0) {
        *error = "saslauthd status " + std::to_string(rc) + ": " + *error + readFile(dir + "/saslauthd.log");
        return false;
    }
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < end) {
        pid_ = static_cast<pid_t>(atol(readFile(pidFile).c_str()));
        if (pid_ > 0) {
            int fd = connectTo(socketPath());
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error = "saslauthd did not listen on " + socketPath() + ": " + readFile(dir + "/saslauthd.log");
    stop();
    return false;
}

void Saslauthd::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (alive(pid_) && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (alive(pid_)) kill(pid_, SIGKILL);
    pid_ = -1;
}

OperationFactory saslauthdOperation(Accounts accounts, std::string socketPath) {
    return [accounts, socketPath](int) -> Operation {
        return [accounts, socketPath](uint64_t seq) {
            const Account &a = (*accounts)[seq % accounts->size()];
            Outcome o;
            std::string request;
            counted(request, a.name);
            counted(request, a.password);
            counted(request, "kivbench");
            counted(request, "");
            int fd = connectTo(socketPath);
            char head[2];
            if (fd < 0 || !writeAll(fd, request) || !readAll(fd, head, 2)) {
                o.transportError = true;
                o.error = std::string("saslauthd: ") + strerror(errno);
                if (fd >= 0) close(fd);
                return o;
            }
            size_t length = (static_cast<unsigned char>(head[0]) << 8) | static_cast<unsigned char>(head[1]);
            std::string verdict(length, '\0');
            bool ok = length >= 2 && length < 1024 && readAll(fd, verdict.data(), length);
            close(fd);
            if (!ok) {
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
