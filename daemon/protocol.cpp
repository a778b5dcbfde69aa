// Bounded socket I/O of the daemon's side of the protocol.
#include "protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// The I/O budget of the connection this worker is serving.
struct IoBudget {
    bool active = false;
    bool paused = false;
    Clock::time_point deadline{};
    Clock::duration leftWhilePaused{};
};
thread_local IoBudget budget;
thread_local IntakeHandoff *intake = nullptr;

// Copies up to n bytes the intake stage received; returns the count.
int takeIntakeBytes(void *buffer, int n) {
    if (intake == nullptr || n <= 0) return 0;
    size_t left = intake->bytes.size() - intake->consumed;
    size_t take = left < static_cast<size_t>(n) ? left : static_cast<size_t>(n);
    if (take == 0) return 0;
    if (buffer != nullptr) std::memcpy(buffer, intake->bytes.data() + intake->consumed, take);
    intake->consumed += take;
    return static_cast<int>(take);
}

// Waits until fd is ready for `events` within the budget.  True when ready.
bool waitReady(int fd, short events) {
    int ms = ioBudgetRemainingMs();
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, ms);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
        ms = ioBudgetRemainingMs();
        if (ms == 0) return false;
    }
}

} // namespace

void ioBudgetStart(int seconds) {
    budget.active = true;
    budget.paused = false;
    budget.deadline = Clock::now() + (intake != nullptr ? intake->left : std::chrono::seconds(seconds));
}

void ioAdoptIntake(IntakeHandoff *handoff) { intake = handoff; }

int sendHandshake(int *fd, const void *buffer) {
    if (intake != nullptr && intake->handshakeSent >= 0) return intake->handshakeSent;
    return sendResp(fd, buffer, wire::kResultFrameSize);
}

void ioBudgetPause() {
    if (!budget.active || budget.paused) return;
    auto left = budget.deadline - Clock::now();
    budget.leftWhilePaused = left > Clock::duration::zero() ? left : Clock::duration::zero();
    budget.paused = true;
}

void ioBudgetResume() {
    if (!budget.active || !budget.paused) return;
    budget.deadline = Clock::now() + budget.leftWhilePaused;
    budget.paused = false;
}

int ioBudgetRemainingMs() {
    if (!budget.active) return -1;
    auto left = budget.paused ? budget.leftWhilePaused : budget.deadline - Clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    if (ms < 0) return 0;
    if (ms > 0x7fffffff) return 0x7fffffff;
    return static_cast<int>(ms);
}

extern "C" int readinput(int *fd, void *buffer, int n) {
    if (n <= 0) return 0;
    auto *p = static_cast<uint8_t *>(buffer);
    int got = takeIntakeBytes(p, n);
    ssize_t last = got;
    while (got < n) {
        // Try first: the bytes are usually there already, and a poll per
        // read is a system call the common case does not need.
        last = recv(*fd, p + got, static_cast<size_t>(n - got), MSG_DONTWAIT);
        if (last < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitReady(*fd, POLLIN)) continue;
            return 0;
        }
        if (last == 0) return 0;
        got += static_cast<int>(last);
    }
    return static_cast<int>(last);
}

extern "C" void draininput(int *fd, int n) {
    char scratch[50];
    n -= takeIntakeBytes(nullptr, n);
    while (n > 0) {
        ssize_t r = recv(*fd, scratch, n < 50 ? static_cast<size_t>(n) : sizeof scratch, MSG_DONTWAIT);
        if (r < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitReady(*fd, POLLIN)) continue;
            return;
        }
        if (r == 0) return;
        n -= static_cast<int>(r);
    }
}

extern "C" int sendResp(int *fd, const void *buffer, int n) {
    const auto *p = static_cast<const uint8_t *>(buffer);
    int sent = 0;
    while (sent < n) {
        // MSG_NOSIGNAL: a client that went away must not raise SIGPIPE.
        ssize_t w = send(*fd, p + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitReady(*fd, POLLOUT)) continue;
            break;
        }
        sent += static_cast<int>(w);
    }
    return sent;
}
