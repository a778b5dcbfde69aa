// Client side of the daemon's socket protocol: the exchanges and a connection
// whose every wait is bounded.  The frames come from the wire library.
#include "kivclient.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

std::string sysError(const std::string &what) { return what + ": " + std::strerror(errno); }

// Milliseconds left until deadline, never negative.
int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until deadline: 1 ready, 0 timeout, -1 error.
int waitFd(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        return r > 0 ? 1 : r;
    }
}

// Wipes a buffer that held a secret; the call cannot be optimised away.
void wipe(void *p, size_t n) {
    if (n) explicit_bzero(p, n);
}

std::string checkName(const std::string &user) {
    if (user.empty()) return "user name is empty";
    if (user.size() > static_cast<size_t>(wire::kMaxNameLength))
        return "user name is longer than " + std::to_string(wire::kMaxNameLength) + " bytes";
    // The daemon reads the name as a C string: a NUL would make it check a
    // different (shorter) name than the one the reply echoes.
    if (user.find('\0') != std::string::npos) return "user name contains a NUL byte";
    return "";
}

Result exchange(int type, const std::string &user, const std::string &secret, const Options &opts) {
    Result res;
    Connection c(opts);
    auto failWith = [&res](Failure f, std::string why) {
        res.failure = f;
        res.error = std::move(why);
        return res;
    };
    if (!c.connect()) return failWith(c.failure(), c.error());
    if (opts.refuseOwnProcess) {
        ucred peer{};
        socklen_t len = sizeof peer;
        if (getsockopt(c.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0)
            return failWith(Failure::Io, sysError("reading the daemon's credentials"));
        if (peer.pid == getpid())
            return failWith(Failure::Loop, opts.socketPath +
                                               " is served by this process itself: a request would wait for itself");
    }
    auto status = c.handshake();
    if (!status) return failWith(c.failure(), c.error());
    if (*status != AUTH_OK) {
        if (*status == AUTH_NOT_PRIVILEGED) {
            Reply r;
            r.code = AUTH_NOT_PRIVILEGED;
            res.reply = r;
            return res;
        }
        return failWith(Failure::Protocol, "handshake refused with " + resultName(*status));
    }
    std::vector<uint8_t> req = wire::encodeRequest(type, user, secret);
    // The lengths were checked before: only memory can be missing.
    if (req.empty()) throw std::bad_alloc();
    bool sent = c.sendBytes(req);
    wipe(req.data(), req.size());
    if (!sent) return failWith(c.failure(), c.error());
    auto reply = c.readReply();
    if (!reply) return failWith(c.failure(), c.error());
    // A success that names someone else is not this request's answer.
    if (reply->ok() && reply->name != user)
        return failWith(Failure::Protocol, "malformed reply: success for a different user name");
    res.reply = std::move(reply);
    return res;
}

} // namespace

std::string resultName(int code) {
    const char *name = wire::resultCodeName(code);
    return name ? name : "UNKNOWN(" + std::to_string(code) + ")";
}

Result authenticatePassword(const std::string &user, const std::string &password, const Options &opts) {
    Result res;
    res.error = checkName(user);
    if (res.error.empty() && password.size() > static_cast<size_t>(wire::kMaxPasswordLength))
        res.error = "password is longer than " + std::to_string(wire::kMaxPasswordLength) + " bytes";
    // The daemon reads the password as a C string: everything after a NUL
    // would be silently ignored.
    if (res.error.empty() && password.find('\0') != std::string::npos)
        res.error = "password contains a NUL byte";
    if (!res.error.empty()) {
        res.failure = Failure::Invalid;
        return res;
    }
    return exchange(wire::REQUEST_PASSWORD, user, password, opts);
}

Result authenticateToken(const std::string &user, const std::string &token, const Options &opts) {
    Result res;
    res.error = checkName(user);
    if (res.error.empty() && token.size() > static_cast<size_t>(wire::kMaxTokenLength))
        res.error = "token is longer than " + std::to_string(wire::kMaxTokenLength) + " bytes";
    if (!res.error.empty()) {
        res.failure = Failure::Invalid;
        return res;
    }
    return exchange(wire::REQUEST_GSS_TOKEN, user, token, opts);
}

// ---------------------------------------------------------------- Connection

Connection::Connection(const Options &opts) : opts_(opts) {}

Connection::~Connection() { close(); }

void Connection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Connection::connect() {
    close();
    error_.clear();
    failure_ = Failure::None;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (opts_.socketPath.empty() || opts_.socketPath.size() >= sizeof addr.sun_path) {
        fail(Failure::Connect, "socket path is empty or too long: " + opts_.socketPath);
        return false;
    }
    std::memcpy(addr.sun_path, opts_.socketPath.data(), opts_.socketPath.size());
    auto deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
    for (;;) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            fail(Failure::Connect, sysError("socket"));
            return false;
        }
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return true;
        int e = errno;
        if (e == EINPROGRESS) {
            if (waitFd(fd_, POLLOUT, deadline) > 0) {
                int soErr = 0;
                socklen_t len = sizeof soErr;
                if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soErr, &len) == 0 && soErr == 0) return true;
                e = soErr ? soErr : e;
            } else {
                e = ETIMEDOUT;
            }
        }
        close();
        // A full listen backlog: the daemon is busy, retry until the deadline.
        if ((e == EAGAIN || e == EINTR) && remainingMs(deadline) > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(5, remainingMs(deadline))));
            continue;
        }
        errno = e;
        fail(e == ETIMEDOUT ? Failure::Timeout : Failure::Connect, sysError("connect " + opts_.socketPath));
        return false;
    }
}

bool Connection::sendBytes(const void *data, size_t n) {
    if (fd_ < 0) {
        fail(Failure::Io, "not connected");
        return false;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
    const char *p = static_cast<const char *>(data);
    size_t off = 0;
    while (off < n) {
        ssize_t w = ::send(fd_, p + off, n - off, MSG_NOSIGNAL);
        if (w > 0) {
            off += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int r = waitFd(fd_, POLLOUT, deadline);
            if (r > 0) continue;
            if (r == 0)
                fail(Failure::Timeout, "timed out sending (" + std::to_string(off) + " of " + std::to_string(n) +
                                           " bytes sent)");
            else
                fail(Failure::Io, sysError("poll"));
            return false;
        }
        fail(Failure::Io, sysError("send"));
        return false;
    }
    return true;
}

bool Connection::readExact(void *data, size_t n) {
    if (fd_ < 0) {
        fail(Failure::Io, "not connected");
        return false;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
    char *p = static_cast<char *>(data);
    size_t off = 0;
    while (off < n) {
        ssize_t r = ::recv(fd_, p + off, n - off, 0);
        if (r > 0) {
            off += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) {
            fail(Failure::Io, "connection closed after " + std::to_string(off) + " of " + std::to_string(n) + " bytes");
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int w = waitFd(fd_, POLLIN, deadline);
            if (w > 0) continue;
            if (w == 0)
                fail(Failure::Timeout, "timed out reading (" + std::to_string(off) + " of " + std::to_string(n) + " bytes)");
            else
                fail(Failure::Io, sysError("poll"));
            return false;
        }
        fail(Failure::Io, sysError("recv"));
        return false;
    }
    return true;
}

std::vector<uint8_t> Connection::readAll() {
    std::vector<uint8_t> out;
    if (fd_ < 0) return out;
    auto deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
    uint8_t buf[4096];
    for (;;) {
        ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r > 0) {
            out.insert(out.end(), buf, buf + r);
            continue;
        }
        if (r == 0) return out;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFd(fd_, POLLIN, deadline) > 0) continue;
        return out;
    }
}

bool Connection::waitForClose() {
    if (fd_ < 0) return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
    uint8_t buf[256];
    for (;;) {
        ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r == 0) return true;
        if (r > 0) continue;
        if (errno == EINTR) continue;
        if (errno == ECONNRESET) return true;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFd(fd_, POLLIN, deadline) > 0) continue;
        return false;
    }
}

// A decoder that ran out of memory ends the exchange the way any other
// allocation failure does.
bool Connection::decoded(wire::Decoded d) {
    if (d == wire::Decoded::NoMemory) throw std::bad_alloc();
    if (d == wire::Decoded::Malformed) failure_ = Failure::Protocol;
    return d == wire::Decoded::Ok;
}

std::optional<int> Connection::handshake() {
    if (!sendBytes(wire::encodeHello())) return std::nullopt;
    uint8_t b[wire::kResultFrameSize];
    if (!readExact(b, sizeof b)) {
        error_ = "handshake: " + error_;
        return std::nullopt;
    }
    int32_t status = 0;
    if (!decoded(wire::decodeHandshakeReply(b, status, error_))) return std::nullopt;
    return status;
}

std::optional<Reply> Connection::readReply() {
    uint8_t head[wire::kReplyHeadSize];
    if (!readExact(head, sizeof head)) {
        error_ = "reading reply: " + error_;
        return std::nullopt;
    }
    Reply r;
    int64_t n = 0;
    if (!decoded(wire::decodeReplyHead(head, r, n, error_))) return std::nullopt;
    if (n == 0) return r;
    std::vector<uint8_t> body(static_cast<size_t>(n));
    if (!readExact(body.data(), body.size())) {
        error_ = "reading success reply: " + error_;
        return std::nullopt;
    }
    if (!decoded(wire::decodeReplyBody(body, r, error_))) return std::nullopt;
    return r;
}

} // namespace kiv
