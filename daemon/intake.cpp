// The intake stage's per-connection reader.
#include "intake.h"

#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

IntakeConnection::IntakeConnection(int fd, const PeerCredentials &peer, Clock::time_point deadline)
    : fd_(fd), peer_(peer) {
    handoff_.deadline = deadline;
    handoff_.bytes.reserve(kHelloSize + kHeaderSize);
}

bool IntakeConnection::moreDue() {
    auto &bytes = handoff_.bytes;
    if (bytes.size() == static_cast<size_t>(kHelloSize)) {
        // The worker logs a bad opening message; only a good one is answered here.
        if (!decodeHello(bytes.data())) return false;
        const int status = geteuid() == 0 ? AUTH_OK : AUTH_NOT_PRIVILEGED;
        auto answer = encodeResultFrame(status);
        // Eight bytes on a fresh connection always fit the socket buffer; the
        // listener thread must never wait on one client.
        ssize_t sent;
        do sent = send(fd_, answer.data(), kHelloSize, MSG_NOSIGNAL | MSG_DONTWAIT);
        while (sent < 0 && errno == EINTR);
        handoff_.handshakeSent = sent > 0 ? static_cast<int>(sent) : 0;
        if (handoff_.handshakeSent != kHelloSize || status != AUTH_OK) return false;
        need_ += kHeaderSize;
        // The client sends its request only once it has read this answer, so
        // a receive now would find nothing: wait for the socket instead.
        awaitingRequest_ = true;
        return true;
    }
    const size_t headerEnd = kHelloSize + kHeaderSize;
    const RequestHeader header = decodeHeader(bytes.data() + kHelloSize);
    if (bytes.size() == headerEnd) {
        if (header.type != REQUEST_PASSWORD && header.type != REQUEST_GSS_TOKEN) return false;
        if (header.nameLength < 1 || header.nameLength > kMaxNameLength) return false;
        // Name and secret are due together, so one receive usually takes
        // both.  A secret the worker will refuse is left unread, as before.
        const int limit = header.type == REQUEST_PASSWORD ? kMaxPasswordLength : kMaxTokenLength;
        need_ += static_cast<size_t>(header.nameLength);
        if (header.secretLength > 0 && header.secretLength <= limit)
            need_ += static_cast<size_t>(header.secretLength);
        return true;
    }
    return false;  // name (and secret, if one is due) are in: the request is complete
}

bool IntakeConnection::advance() {
    auto &bytes = handoff_.bytes;
    for (;;) {
        while (bytes.size() == need_)
            if (!moreDue()) return true;
        if (awaitingRequest_) {
            awaitingRequest_ = false;
            return false;
        }
        const size_t have = bytes.size();
        bytes.resize(need_);
        ssize_t r = recv(fd_, bytes.data() + have, need_ - have, MSG_DONTWAIT);
        bytes.resize(have + (r > 0 ? static_cast<size_t>(r) : 0));
        if (r > 0) continue;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        return true;  // end of stream or error: the worker meets it too
    }
}
