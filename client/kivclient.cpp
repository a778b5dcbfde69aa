// Client side of the daemon's socket protocol: frame codec and a connection
// whose every wait is bounded.
#include "kivclient.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

// Largest group list a success reply may announce (Linux's NGROUPS_MAX).
constexpr int64_t kMaxGroups = 65536;
constexpr int64_t kReplyFixed = 20;   // frame 7b
constexpr int64_t kMaxReplyBody = kReplyFixed + 4 * kMaxGroups + kMaxNameLength + 1;

void putWord(std::vector<uint8_t> &out, int32_t v) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);   // native byte order, like the daemon
    out.insert(out.end(), b, b + 4);
}

int32_t getWord(const uint8_t *p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

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
    if (user.size() > static_cast<size_t>(kMaxNameLength))
        return "user name is longer than " + std::to_string(kMaxNameLength) + " bytes";
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
    std::vector<uint8_t> req = encodeRequest(type, user, secret);
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
    switch (code) {
    case AUTH_OK: return "AUTH_OK";
    case AUTH_ERROR: return "AUTH_ERROR";
    case AUTH_NOT_PRIVILEGED: return "AUTH_NOT_PRIVILEGED";
    case AUTH_EXPIRED: return "AUTH_EXPIRED";
    case AUTH_NOAUTH: return "AUTH_NOAUTH";
    case AUTH_UNKNOWN_USER: return "AUTH_UNKNOWN_USER";
    case AUTH_REQUEST_FAILED: return "AUTH_REQUEST_FAILED";
    default: return "UNKNOWN(" + std::to_string(code) + ")";
    }
}

std::vector<uint8_t> encodeHello() {
    std::vector<uint8_t> out;
    putWord(out, HELLO_MAGIC);
    putWord(out, PROTOCOL_VERSION);
    return out;
}

std::vector<uint8_t> encodeHeader(int reserved, int type, int nameLength, int secretLength) {
    std::vector<uint8_t> out;
    putWord(out, reserved);
    putWord(out, type);
    putWord(out, nameLength);
    putWord(out, secretLength);
    return out;
}

void scramble(std::string &bytes, uint8_t key) {
    for (char &c : bytes) c = static_cast<char>(static_cast<uint8_t>(c) ^ key);
}

std::vector<uint8_t> encodeRequest(int type, const std::string &user, const std::string &secret) {
    std::vector<uint8_t> out = encodeHeader(0, type, static_cast<int>(user.size()),
                                            static_cast<int>(secret.size()));
    out.reserve(out.size() + user.size() + secret.size());
    for (char c : user) out.push_back(static_cast<uint8_t>(c) ^ NAME_SCRAMBLE);
    for (char c : secret) out.push_back(static_cast<uint8_t>(c) ^ SECRET_SCRAMBLE);
    return out;
}

Result authenticatePassword(const std::string &user, const std::string &password, const Options &opts) {
    Result res;
    res.error = checkName(user);
    if (res.error.empty() && password.size() > static_cast<size_t>(kMaxPasswordLength))
        res.error = "password is longer than " + std::to_string(kMaxPasswordLength) + " bytes";
    // The daemon reads the password as a C string: everything after a NUL
    // would be silently ignored.
    if (res.error.empty() && password.find('\0') != std::string::npos)
        res.error = "password contains a NUL byte";
    if (!res.error.empty()) {
        res.failure = Failure::Invalid;
        return res;
    }
    return exchange(REQUEST_PASSWORD, user, password, opts);
}

Result authenticateToken(const std::string &user, const std::string &token, const Options &opts) {
    Result res;
    res.error = checkName(user);
    if (res.error.empty() && token.size() > static_cast<size_t>(kMaxTokenLength))
        res.error = "token is longer than " + std::to_string(kMaxTokenLength) + " bytes";
    if (!res.error.empty()) {
        res.failure = Failure::Invalid;
        return res;
    }
    return exchange(REQUEST_GSS_TOKEN, user, token, opts);
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

std::optional<int> Connection::handshake() {
    if (!sendBytes(encodeHello())) return std::nullopt;
    uint8_t b[8];
    if (!readExact(b, sizeof b)) {
        error_ = "handshake: " + error_;
        return std::nullopt;
    }
    if (getWord(b + 4) != 0) {
        fail(Failure::Protocol, "malformed handshake reply: second word is " + std::to_string(getWord(b + 4)));
        return std::nullopt;
    }
    return getWord(b);
}

std::optional<Reply> Connection::readReply() {
    uint8_t head[8];
    if (!readExact(head, sizeof head)) {
        error_ = "reading reply: " + error_;
        return std::nullopt;
    }
    Reply r;
    const int64_t n = decodeReplyHead(head, r, error_);
    if (n < 0) {
        fail(Failure::Protocol, error_);
        return std::nullopt;
    }
    if (n == 0) return r;
    std::vector<uint8_t> body(static_cast<size_t>(n));
    if (!readExact(body.data(), body.size())) {
        error_ = "reading success reply: " + error_;
        return std::nullopt;
    }
    if (!decodeReplyBody(body.data(), body.size(), r, error_)) {
        fail(Failure::Protocol, error_);
        return std::nullopt;
    }
    return r;
}

int64_t decodeReplyHead(const uint8_t *head, Reply &r, std::string &error) {
    r.code = getWord(head);
    const int64_t n = getWord(head + 4);
    if (r.code != AUTH_OK) {
        if (n != 0) {
            error = "malformed result frame: second word is " + std::to_string(n);
            return -1;
        }
        return 0;
    }
    // Everything must check out before the reply counts as a success.
    if (n < kReplyFixed + 2 || n > kMaxReplyBody) {
        error = "malformed success reply: announces " + std::to_string(n) + " bytes";
        return -1;
    }
    return n;
}

bool decodeReplyBody(const uint8_t *body, size_t n, Reply &r, std::string &error) {
    if (n < static_cast<size_t>(kReplyFixed + 2) || n > static_cast<size_t>(kMaxReplyBody)) {
        error = "malformed success reply: " + std::to_string(n) + " bytes";
        return false;
    }
    int32_t code2 = getWord(&body[0]);
    int32_t uid = getWord(&body[4]);
    int64_t groupCount = getWord(&body[8]);
    int64_t nameLength = getWord(&body[12]);
    if (code2 != AUTH_OK) {
        error = "malformed success reply: inner code " + resultName(code2);
        return false;
    }
    if (groupCount < 0 || groupCount > kMaxGroups) {
        error = "malformed success reply: group count " + std::to_string(groupCount);
        return false;
    }
    if (nameLength < 1 || nameLength > kMaxNameLength) {
        error = "malformed success reply: name length " + std::to_string(nameLength);
        return false;
    }
    if (static_cast<int64_t>(n) != kReplyFixed + 4 * groupCount + nameLength + 1) {
        error = "malformed success reply: " + std::to_string(n) + " bytes announced for " +
                std::to_string(groupCount) + " groups and a " + std::to_string(nameLength) + "-byte name";
        return false;
    }
    if (body[n - 1] != 0) {
        error = "malformed success reply: name is not terminated";
        return false;
    }
    r.uid = uid;
    r.groups.clear();
    r.groups.reserve(static_cast<size_t>(groupCount));
    for (int64_t i = 0; i < groupCount; ++i)
        r.groups.push_back(getWord(&body[static_cast<size_t>(kReplyFixed + 4 * i)]));
    const char *name = reinterpret_cast<const char *>(&body[static_cast<size_t>(kReplyFixed + 4 * groupCount)]);
    r.name.assign(name, static_cast<size_t>(nameLength));
    return true;
}

} // namespace kiv
