// Client library for kiv-services-daemon: speaks the local socket protocol.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include "frames.h"
#include "kivmod.h"

namespace kiv {

inline constexpr const char *kDefaultSocketPath = "/var/run/kiv-services-daemon_socket";

// A decoded reply.  code is AUTH_OK on success; uid/groups/name are only
// meaningful then.
using Reply = wire::Reply;

// Why an exchange gave no reply.
enum class Failure {
    None,
    Invalid,    // refused before sending: bad name, password or token
    Connect,    // no connection to the socket
    Timeout,    // a connect, write or read ran out of time
    Io,         // the connection failed or closed mid-exchange
    Protocol,   // the daemon's answer was malformed
    Loop,       // the socket is served by this very process
};

// Outcome of one exchange: either a reply, or a transport failure described
// in `error` (connect refused, timeout, short read, bad frame...).
struct Result {
    std::optional<Reply> reply;
    std::string error;
    Failure failure = Failure::None;
    bool ok() const { return reply && reply->ok(); }
};

struct Options {
    std::string socketPath = kDefaultSocketPath;
    int timeoutMs = 10000;   // bound on every connect/read/write
    // Refuse (Failure::Loop) when the listening socket belongs to the calling
    // process: a client running inside the daemon (its PAM stack calling
    // pam_kiv) would otherwise wait on a worker that waits on it.
    bool refuseOwnProcess = false;
};

// Name of a result code: "AUTH_OK", "AUTH_NOAUTH", ... or "UNKNOWN(<decimal>)".
std::string resultName(int code);

// ---- exchanges ----
// Full password exchange.  Refuses (error set, nothing sent) a name that is
// empty or longer than 255 bytes, or a password longer than 255 bytes, and a
// name or password holding a NUL byte (the daemon would cut it there).  An
// empty password is sent with length 0.  A handshake answered with
// AUTH_NOT_PRIVILEGED gives a Reply with that code.  A success reply that is
// malformed or names another user is an error, never a success.
Result authenticatePassword(const std::string &user, const std::string &password,
                            const Options &opts = {});
// Full token exchange (type REQUEST_GSS_TOKEN); same checks on the name, and
// a token longer than wire::kMaxTokenLength is refused.
Result authenticateToken(const std::string &user, const std::string &token,
                         const Options &opts = {});

// A raw connection for tests and tools: every call is bounded by timeoutMs.
class Connection {
public:
    explicit Connection(const Options &opts = {});
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool connect();                              // false + error() on failure
    bool sendBytes(const void *data, size_t n);
    bool sendBytes(std::span<const uint8_t> b) { return sendBytes(b.data(), b.size()); }
    // Reads exactly n bytes; false on EOF/timeout/error.
    bool readExact(void *data, size_t n);
    // Reads until EOF or timeout; returns what arrived.
    std::vector<uint8_t> readAll();
    // True when the peer closed (EOF seen) within the timeout.
    bool waitForClose();
    // Sends the hello and reads the 8-byte handshake reply; returns its status
    // word or nullopt on transport failure.
    std::optional<int> handshake();
    // Reads a reply (result frame or success reply).  Every field of a
    // success reply is checked; anything inconsistent (counts out of range, a
    // size that does not add up, no terminator, a result frame whose second
    // word is not 0) gives nullopt and error().
    std::optional<Reply> readReply();
    void close();
    int fd() const { return fd_; }
    const std::string &error() const { return error_; }
    Failure failure() const { return failure_; }

private:
    Options opts_;
    int fd_ = -1;
    std::string error_;
    Failure failure_ = Failure::None;
    // True for Ok; Malformed marks a protocol failure (the decoder wrote
    // error_); NoMemory throws std::bad_alloc.
    bool decoded(wire::Decoded d);
    void fail(Failure f, std::string why) {
        failure_ = f;
        error_ = std::move(why);
    }
};

} // namespace kiv
