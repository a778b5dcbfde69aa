// Hard time limit on blocking directory calls.
//
// The library's own limits do not cover everything: a server that accepts the
// TCP connection of an ldaps:// URI and then never answers keeps the TLS
// handshake waiting (or spinning) for ever.  Every handle the module creates
// reports its socket through a connect callback; while a call is in progress
// its handle carries a deadline, and one watchdog thread shuts the socket down
// when a deadline passes, which makes the blocked call fail at once.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "ldapmod.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Watched {
    int fd = -1;
    bool armed = false;
    bool fired = false;
    Clock::time_point deadline;
};

class Watchdog {
public:
    ~Watchdog() { stop(); }

    void add(LDAP *ld)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handles_[ld] = Watched{};
    }
    void remove(LDAP *ld)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handles_.erase(ld);
    }
    void connected(LDAP *ld, int fd)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(ld);
        if (it != handles_.end()) it->second.fd = fd;
    }
    // Called before the library closes the socket, so the watchdog never
    // touches a descriptor number that may already belong to someone else.
    void disconnected(LDAP *ld)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(ld);
        if (it != handles_.end()) it->second.fd = -1;
    }
    void arm(LDAP *ld, int seconds)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(ld);
        if (it == handles_.end()) return;
        it->second.armed = true;
        it->second.fired = false;
        it->second.deadline = Clock::now() + std::chrono::seconds(seconds);
        if (!thread_.joinable()) {
            stopping_ = false;
            owner_ = getpid();
            sleepsUntil_ = Clock::time_point::max();
            thread_ = std::thread([this] { run(); });
        }
        // Wake the thread only when it would otherwise sleep past this
        // deadline.  Deadlines are mostly "now + the same limit", so under
        // load the thread already waits for an earlier one and a wake-up per
        // call (a context switch each) is saved.
        if (it->second.deadline < sleepsUntil_) {
            sleepsUntil_ = it->second.deadline;
            cv_.notify_one();
        }
    }
    // Returns true when the deadline passed during the call.
    bool disarm(LDAP *ld)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(ld);
        if (it == handles_.end()) return false;
        it->second.armed = false;
        return it->second.fired;
    }
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!thread_.joinable()) return;
            stopping_ = true;
        }
        cv_.notify_one();
        // A forked child has no watchdog thread to wait for.
        if (owner_ == getpid())
            thread_.join();
        else
            thread_.detach();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            const Clock::time_point now = Clock::now();
            bool any = false;
            Clock::time_point next = Clock::time_point::max();
            for (auto &[ld, w] : handles_) {
                if (!w.armed) continue;
                if (w.deadline <= now) {
                    w.armed = false;
                    w.fired = true;
                    if (w.fd >= 0) shutdown(w.fd, SHUT_RDWR);
                } else {
                    any = true;
                    if (w.deadline < next) next = w.deadline;
                }
            }
            sleepsUntil_ = next;
            if (any)
                cv_.wait_until(lock, next);
            else
                cv_.wait(lock);
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::unordered_map<LDAP *, Watched> handles_;
    std::thread thread_;
    bool stopping_ = false;
    pid_t owner_ = 0;
    // When the thread wakes next by itself (max: only when notified).
    Clock::time_point sleepsUntil_ = Clock::time_point::max();
};

Watchdog &watchdog()
{
    static Watchdog instance;
    return instance;
}

int onConnect(LDAP *ld, Sockbuf *sb, LDAPURLDesc *, struct sockaddr *, struct ldap_conncb *)
{
    int fd = -1;
    if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd) == 1 && fd >= 0) watchdog().connected(ld, fd);
    // Connected: from here on the watchdog bounds the call.  Without the
    // network time limit the library performs the TLS handshake on a blocking
    // socket, which it otherwise busy-waits on.
    timeval none{-1, 0};
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &none);
    return 0;
}

void onDisconnect(LDAP *ld, Sockbuf *, struct ldap_conncb *) { watchdog().disconnected(ld); }

ldap_conncb connectCallbacks{onConnect, onDisconnect, nullptr};

} // namespace

bool watchHandle(LDAP *ld)
{
    watchdog().add(ld);
    if (ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &connectCallbacks) == LDAP_OPT_SUCCESS) return true;
    watchdog().remove(ld);
    return false;
}

void unwatchHandle(LDAP *ld) { watchdog().remove(ld); }

void stopWatchdog() { watchdog().stop(); }

OperationDeadline::OperationDeadline(LDAP *ld, int seconds) : ld_(ld)
{
    watchdog().arm(ld_, seconds);
}

OperationDeadline::~OperationDeadline() { watchdog().disarm(ld_); }

bool OperationDeadline::expired() { return watchdog().disarm(ld_); }
