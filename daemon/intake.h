// The intake stage: reads a connection's opening message, answers it, and
// reads the request frames without blocking, so that only connections with
// a complete request (or one that ended, failed or ran out of time) take a
// worker.  An idle or trickling client costs a descriptor, not a thread.
#pragma once
#include <chrono>
#include <memory>
#include "peer.h"
#include "protocol.h"

class IntakeConnection {
public:
    using Clock = std::chrono::steady_clock;

    IntakeConnection(int fd, const PeerCredentials &peer, Clock::time_point deadline);

    // Receives what the socket holds (never more than the request needs) and
    // answers a good opening message.  True once a worker should take over:
    // the request is complete, or the client closed, failed or sent a frame
    // the worker will refuse.
    bool advance();

    int fd() const { return fd_; }
    const PeerCredentials &peer() const { return peer_; }
    Clock::time_point deadline() const { return handoff_.deadline; }
    const IntakeHandoff &handoff() const { return handoff_; }
    // Hands the received bytes and the time left over; the connection is
    // then spent.
    IntakeHandoff release() {
        auto left = handoff_.deadline - Clock::now();
        handoff_.left = left > Clock::duration::zero() ? left : Clock::duration::zero();
        return std::move(handoff_);
    }

private:
    int fd_;
    PeerCredentials peer_;
    IntakeHandoff handoff_;
    size_t need_ = 8;  // bytes of the request known to be due so far
    bool awaitingRequest_ = false;  // the handshake answer has just been sent

    // Looks at the bytes once `need_` of them are in; false when no more are due.
    bool moreDue();
};
