// Captures what syslog() sends, without touching the host's logging.
//
// The action runs in a child process that gets a private mount namespace with
// a fresh tmpfs on /dev, where a datagram socket stands in for /dev/log.
// Needs root (tests run as root).
#pragma once
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace kivtest {

struct SyslogCapture {
    bool ok = false;            // the child set up its namespace and ran the action
    std::string error;          // why not
    std::vector<std::string> messages;  // raw datagrams: "<PRI>timestamp ident: text"
};

inline SyslogCapture captureSyslog(const std::function<void()> &action, int timeoutMs = 10000) {
    SyslogCapture result;
    int fds[2];
    if (pipe(fds) != 0) {
        result.error = "pipe failed";
        return result;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        result.error = "fork failed";
        return result;
    }
    if (pid == 0) {
        close(fds[0]);
        auto fail = [&](const char *what) {
            std::string msg = std::string("!") + what + ": " + strerror(errno);
            uint32_t len = msg.size();
            (void)!write(fds[1], &len, sizeof len);
            (void)!write(fds[1], msg.data(), len);
            _exit(2);
        };
        // Private propagation first: the tmpfs must never reach the host's /dev.
        if (unshare(CLONE_NEWNS) != 0) fail("unshare");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("make-private");
        if (mount("none", "/dev", "tmpfs", 0, "mode=0755") != 0) fail("mount /dev");
        int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
        if (sock < 0) fail("socket");
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, "/dev/log");
        if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) fail("bind");
        action();
        char buf[65536];
        ssize_t n;
        while ((n = recv(sock, buf, sizeof buf, MSG_DONTWAIT)) >= 0) {
            uint32_t len = static_cast<uint32_t>(n);
            if (write(fds[1], &len, sizeof len) != sizeof len) _exit(3);
            if (write(fds[1], buf, len) != static_cast<ssize_t>(len)) _exit(3);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) {
            result.error = "timeout";
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    for (size_t pos = 0; pos + 4 <= data.size();) {
        uint32_t len;
        memcpy(&len, data.data() + pos, 4);
        pos += 4;
        if (pos + len > data.size()) break;
        std::string msg = data.substr(pos, len);
        pos += len;
        if (!msg.empty() && msg[0] == '!') {
            result.error = msg.substr(1);
            return result;
        }
        result.messages.push_back(msg);
    }
    if (result.error.empty() && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        result.ok = true;
    else if (result.error.empty())
        result.error = "child exit status " + std::to_string(status);
    return result;
}

// The text of a datagram: everything after the "ident[pid]: " or "ident: "
// header.  Empty if the datagram has no such header.
inline std::string syslogText(const std::string &msg) {
    size_t pos = msg.find(": ");
    return pos == std::string::npos ? std::string() : msg.substr(pos + 2);
}

} // namespace kivtest
