// The intake stage's per-connection reader.
#include "intake.h"

#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

IntakeConnection::IntakeConnection(int fd, const PeerCredentials &peer, Clock::time_point deadline)
    : fd_(fd), peer_(peer) {
    handoff_.deadline = deadline;
    handoff_.bytes.reserve(wire::kHelloSize + wire::kHeaderSize);
}

bool IntakeConnection::moreDue() {
    auto &bytes = handoff_.bytes;
    const std::span<const uint8_t> received(bytes);
    if (bytes.size() == static_cast<size_t>(wire::kHelloSize)) {
        // The worker logs a bad opening message; only a good one is answered here.
        if (!wire::decodeHello(received.first<wire::kHelloSize>())) return false;
        const int status = geteuid() == 0 ? AUTH_OK : AUTH_NOT_PRIVILEGED;
        const auto answer = wire::encodeResultFrame(status);
        // Eight bytes on a fresh connection always fit the socket buffer; the
        // listener thread must never wait on one client.
        ssize_t sent;
        do sent = send(fd_, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (sent < 0 && errno == EINTR);
        handoff_.handshakeSent = sent > 0 ? static_cast<int>(sent) : 0;
        if (handoff_.handshakeSent != wire::kResultFrameSize || status != AUTH_OK) return false;
        need_ += wire::kHeaderSize;
        // The client sends its request only once it has read this answer, so
        // a receive now would find nothing: wait for the socket instead.
        awaitingRequest_ = true;
        return true;
    }
    const size_t headerEnd = wire::kHelloSize + wire::kHeaderSize;
    const wire::RequestHeader header = wire::decodeHeader(received.subspan<wire::kHelloSize, wire::kHeaderSize>());
    if (bytes.size() == headerEnd) {
        if (!wire::requestTypeKnown(header.type) || !wire::nameLengthValid(header.nameLength)) return false;
        // Name and secret are due together, so one receive usually takes
        // both.  A secret the worker will refuse is left unread, as before.
        need_ += static_cast<size_t>(header.nameLength);
        if (header.secretLength > 0 && wire::secretLengthValid(header.type, header.secretLength))
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
