// The listening Unix-domain socket and the accept loop of the main thread.
//
// The main thread accepts and runs the intake stage (intake.h) on one epoll
// set: a connection reaches the pool only with its request read, so clients
// that connect and then idle or trickle cannot hold the workers.  Once a
// worker has answered, the connection comes back to the same set to wait for
// the client's close, so clients that never close cannot hold them either.
#include "listener.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <queue>
#include <unordered_map>
#include <vector>

#include "intake.h"
#include "log.h"
#include "peer.h"
#include "request.h"
#include "signals.h"

extern "C" {
int listenSocket = -1;
ThreadPool *threadpool = nullptr;
sigjmp_buf env;
}

namespace {

using Clock = std::chrono::steady_clock;

// Most connections taken from the backlog per wake-up, so connections
// already in the intake are not starved by a flood of new ones.
constexpr int kAcceptBurst = 64;
constexpr int kEventBatch = 64;

// A request on its way to a worker: the connection and what the intake read.
struct PendingRequest {
    int fd;
    PeerCredentials peer;
    IntakeHandoff handoff;
};

// The end of a connection: it stops counting for its account only now.
void closeConnection(int fd, uid_t uid) {
    close(fd);
    debugMessage("processRequest [EXIT]: socket: <%d>", fd);
    releaseConnection(uid);
}

// An answered connection waiting for its client to close.
struct Closing {
    int fd;
    uid_t uid;
    Clock::time_point deadline;
    int strayLeft;  // client bytes still accepted before closing anyway
};

// Workers hand answered connections back to the accept loop through this
// queue; the loop's epoll set watches `wake`.  Outlives the loop: a worker
// that finishes after the loop has ended finds it closed and closes at once.
class HandBack {
public:
    void open(int wake) {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_ = wake;
    }
    // False when the connection must be closed by the caller: the loop has
    // ended or there is no memory to queue it.
    bool put(const Closing &c) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wake_ < 0) return false;
        try {
            pending_.push_back(c);
        } catch (const std::bad_alloc &) {
            return false;
        }
        eventfd_write(wake_, 1);
        return true;
    }
    // Swapping allocates nothing, so taking never fails.
    void take(std::vector<Closing> &out) {
        std::lock_guard<std::mutex> lock(mutex_);
        out.clear();
        out.swap(pending_);
    }
    void shut(std::vector<Closing> &out) {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_ = -1;
        out.clear();
        out.swap(pending_);
    }

private:
    std::mutex mutex_;
    int wake_ = -1;
    std::vector<Closing> pending_;
};

// Never destroyed: workers may still use it while exit() runs.
HandBack &handBack() {
    static HandBack *queue = new HandBack;
    return *queue;
}

void runRequest(intptr_t argument) {
    std::unique_ptr<PendingRequest> request(reinterpret_cast<PendingRequest *>(argument));
    ioAdoptIntake(&request->handoff);
    setCurrentPeer(&request->peer);
    const AfterReply after = serveRequest(request->fd);
    // Bytes the intake read beyond what the exchange used count as stray.
    const size_t unread = request->handoff.bytes.size() - request->handoff.consumed;
    setCurrentPeer(nullptr);
    ioAdoptIntake(nullptr);
    const int stray = unread >= static_cast<size_t>(kStrayBytesAtClose)
                          ? 0
                          : kStrayBytesAtClose - static_cast<int>(unread);
    const Closing closing{request->fd, request->peer.uid,
                          Clock::now() + std::chrono::milliseconds(after.leftMs), stray};
    if (!after.awaitClose || stray == 0 || !handBack().put(closing))
        closeConnection(request->fd, request->peer.uid);
}

// Out of descriptors or memory: accept() would fail again at once, so give
// the workers a moment to close connections instead of spinning a core.
bool isResourceShortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

struct sockaddr_un socketAddress() {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    static_assert(sizeof address.sun_path >= 36, "socket path must fit");
    strncpy(address.sun_path, kSocketPath, 36);
    return address;
}

// The accept loop's state: the epoll set and the connections in the intake.
class Intake {
public:
    explicit Intake(int listener) : listener_(listener) {}
    ~Intake() {
        // Only at a stop: the process is about to exit, and exit() may be
        // destroying the per-account counts and closing the logs right now,
        // so nothing here logs or touches the counts.
        for (auto &[fd, entry] : connections_) close(fd);
        std::vector<Closing> pending;
        if (wake_ >= 0) handBack().shut(pending);
        for (const Closing &c : pending) close(c.fd);
        for (auto &[fd, entry] : closing_) close(fd);
        if (wake_ >= 0) close(wake_);
        if (epoll_ >= 0) close(epoll_);
    }

    bool open() {
        // accept() runs under queueLock and must never wait for a client.
        int flags = fcntl(listener_, F_GETFL);
        if (flags < 0 || fcntl(listener_, F_SETFL, flags | O_NONBLOCK) != 0) return false;
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) return false;
        struct epoll_event ev {};
        ev.events = EPOLLIN;
        ev.data.fd = listener_;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &ev) != 0) return false;
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) return false;
        ev.data.fd = wake_;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) != 0) return false;
        handBack().open(wake_);
        return true;
    }

    // Milliseconds until the nearest deadline; -1 without one.
    int timeoutMs() {
        while (!deadlines_.empty() && !current(deadlines_.front())) deadlines_.pop_front();
        while (!closeDeadlines_.empty() && !closingCurrent(closeDeadlines_.top())) closeDeadlines_.pop();
        if (deadlines_.empty() && closeDeadlines_.empty()) return -1;
        Clock::time_point next = deadlines_.empty() ? closeDeadlines_.top().at : deadlines_.front().at;
        if (!closeDeadlines_.empty() && closeDeadlines_.top().at < next) next = closeDeadlines_.top().at;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
    }

    bool isListener(int fd) const { return fd == listener_; }
    bool isWake(int fd) const { return fd == wake_; }

    // Takes the connections workers have answered into the epoll set.
    void adoptHandedBack() {
        eventfd_t count;
        eventfd_read(wake_, &count);
        handBack().take(taken_);
        for (const Closing &c : taken_) awaitClose(c);
        taken_.clear();
    }

    int wait(struct epoll_event *events, int max) { return epoll_wait(epoll_, events, max, timeoutMs()); }

    // Returns false when accepting should pause (out of descriptors).
    bool acceptReady() {
        for (int i = 0; i < kAcceptBurst; ++i) {
            // Left blocking: every receive and send on it, here and in the
            // workers, asks not to wait (MSG_DONTWAIT) and polls with its own
            // time limit, so no mode switch is needed at the hand-over.
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                int err = errno;
                if (err == EAGAIN || err == EWOULDBLOCK) return true;
                debugMessage("accept failed: <%d>.", err);
                if (err == EINTR || err == ECONNABORTED) continue;
                return !isResourceShortage(err);
            }
            admit(fd);
        }
        return true;
    }

    void readReady(int fd) {
        auto it = connections_.find(fd);
        if (it == connections_.end()) {
            drainClosing(fd);
            return;
        }
        bool complete = false;
        try {
            complete = it->second.connection->advance();
        } catch (const std::bad_alloc &) {
            // Without memory for the request, this client cannot be served.
            const uid_t uid = it->second.connection->peer().uid;
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            connections_.erase(it);
            drop(fd, uid, true);
            return;
        }
        if (complete) handOff(it);
    }

    // Connections out of time go to a worker, which answers them as a
    // client that stopped sending.
    void expire() {
        const auto now = Clock::now();
        while (!deadlines_.empty() && deadlines_.front().at <= now) {
            Deadline d = deadlines_.front();
            deadlines_.pop_front();
            auto it = connections_.find(d.fd);
            if (it != connections_.end() && it->second.serial == d.serial) handOff(it);
        }
        while (!closeDeadlines_.empty() && closeDeadlines_.top().at <= now) {
            Deadline d = closeDeadlines_.top();
            closeDeadlines_.pop();
            if (closingCurrent(d)) finishClosing(d.fd);
        }
    }

private:
    struct Entry {
        std::unique_ptr<IntakeConnection> connection;
        uint64_t serial;
    };
    struct Deadline {
        Clock::time_point at;
        int fd;
        uint64_t serial;
        bool operator>(const Deadline &o) const { return at > o.at; }
    };
    struct ClosingEntry {
        uid_t uid;
        int strayLeft;
        uint64_t serial;
    };

    int listener_;
    int epoll_ = -1;
    uint64_t nextSerial_ = 0;
    std::unordered_map<int, Entry> connections_;
    // Every deadline is accept time + clientTimeout, so the queue is sorted.
    std::deque<Deadline> deadlines_;
    int wake_ = -1;
    std::vector<Closing> taken_;
    // Answered connections waiting for the client's close.  Their deadlines
    // are not in order (time spent in the methods is not the client's).
    std::unordered_map<int, ClosingEntry> closing_;
    std::priority_queue<Deadline, std::vector<Deadline>, std::greater<Deadline>> closeDeadlines_;

    bool closingCurrent(const Deadline &d) const {
        auto it = closing_.find(d.fd);
        return it != closing_.end() && it->second.serial == d.serial;
    }

    // `watched`: the descriptor is in the epoll set already (closing it
    // takes it out).
    void awaitClose(const Closing &c, bool watched = false) {
        if (c.deadline <= Clock::now()) {
            closeConnection(c.fd, c.uid);
            return;
        }
        const uint64_t serial = nextSerial_++;
        bool listed = false;
        try {
            closing_.emplace(c.fd, ClosingEntry{c.uid, c.strayLeft, serial});
            listed = true;
            closeDeadlines_.push({c.deadline, c.fd, serial});
        } catch (const std::bad_alloc &) {
            // Cannot keep track of it: close now rather than lose it.
            if (listed) closing_.erase(c.fd);
            closeConnection(c.fd, c.uid);
            return;
        }
        if (watched) return;
        struct epoll_event ev {};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = c.fd;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev) != 0) finishClosing(c.fd);
    }

    // Reads what the client sends until it closes, as the worker did; more
    // than a few stray bytes end the wait too.
    void drainClosing(int fd) {
        auto it = closing_.find(fd);
        if (it == closing_.end()) return;
        uint8_t scratch[kStrayBytesAtClose];
        for (;;) {
            ssize_t r = recv(fd, scratch, static_cast<size_t>(it->second.strayLeft), MSG_DONTWAIT);
            if (r > 0) {
                it->second.strayLeft -= static_cast<int>(r);
                if (it->second.strayLeft > 0) continue;
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            }
            finishClosing(fd);
            return;
        }
    }

    void finishClosing(int fd) {
        auto it = closing_.find(fd);
        if (it == closing_.end()) return;
        const uid_t uid = it->second.uid;
        closing_.erase(it);
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        closeConnection(fd, uid);
    }

    bool current(const Deadline &d) const {
        auto it = connections_.find(d.fd);
        return it != connections_.end() && it->second.serial == d.serial;
    }

    // Out of memory anywhere in the intake costs that one connection, never
    // the daemon: the accept loop has no one to hand an exception to.
    void admit(int fd) {
        PeerCredentials peer;
        bool reserved = false;
        try {
            admit(fd, peer, reserved);
        } catch (const std::bad_alloc &) {
            // The table insertion is the last step, so the descriptor is
            // not in it; it may be in the epoll set already.
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            drop(fd, peer.uid, reserved);
        }
    }

    void drop(int fd, uid_t uid, bool reserved) {
        errorMessage("Out of memory in the intake; closing connection %d.", fd);
        close(fd);
        if (reserved) releaseConnection(uid);
    }

    void admit(int fd, PeerCredentials &peer, bool &reserved) {
        debugMessage("kiv-services-daemon connection accepted.");
        const bool known = readPeerCredentials(fd, !accessSettings.allowedGroups.empty(), &peer);
        debugMessage("Connection %d from peer uid %d pid %d.", fd, static_cast<int>(peer.uid),
                     static_cast<int>(peer.pid));
        if (!known && accessSettings.restricted) {
            accessMessage("Connection refused: the peer's credentials are unknown.");
            close(fd);
            return;
        }
        if (!peerAllowed(accessSettings, peer)) {
            accessMessage("Connection refused: peer uid %u pid %d is not in allowedUsers or allowedGroups.",
                          static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
            close(fd);
            return;
        }
        reserved = reserveConnection(peer.uid, accessSettings.maxConnectionsPerUser);
        if (!reserved) {
            accessMessage("Connection refused: peer uid %u pid %d already holds %d connections "
                          "(maxConnectionsPerUser).",
                          static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid),
                          accessSettings.maxConnectionsPerUser);
            close(fd);
            return;
        }
        auto deadline = Clock::now() + std::chrono::seconds(clientTimeout);
        Entry entry{std::make_unique<IntakeConnection>(fd, peer, deadline), nextSerial_++};
        // Clients usually send the opening message with the connect.
        if (entry.connection->advance()) {
            handOff(std::move(entry));
            return;
        }
        struct epoll_event ev {};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = fd;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            // Cannot watch it: let a worker serve it the old way.
            handOff(std::move(entry));
            return;
        }
        deadlines_.push_back({deadline, fd, entry.serial});
        connections_.emplace(fd, std::move(entry));
    }

    void handOff(std::unordered_map<int, Entry>::iterator it) {
        const int fd = it->first;
        Entry entry = std::move(it->second);
        connections_.erase(it);
        // Still watched for the events a closing connection waits for.
        if (answeredHere(*entry.connection, true)) return;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        handOff(std::move(entry));
    }

    // A repeat the authentication cache answers, when nothing on its way
    // could wait, is answered here: a worker would only add two thread
    // switches to an exchange that costs a few microseconds.
    bool answeredHere(IntakeConnection &c, bool watched) {
        AfterReply after{};
        setCurrentPeer(&c.peer());
        const bool answered = answerCachedOnIntake(c.fd(), c.handoff(), &after);
        setCurrentPeer(nullptr);
        if (answered)
            awaitClose({c.fd(), c.peer().uid, Clock::now() + std::chrono::milliseconds(after.leftMs),
                        kStrayBytesAtClose},
                       watched);
        return answered;
    }

    void handOff(Entry entry) {
        IntakeConnection &c = *entry.connection;
        if (answeredHere(c, false)) return;
        auto *request = new (std::nothrow) PendingRequest{c.fd(), c.peer(), c.release()};
        ThreadPoolJob job = {runRequest, reinterpret_cast<intptr_t>(request)};
        if (request == nullptr || ThreadPoolAddJob(threadpool, job) != 0) {
            // The job would have owned the descriptor; nobody else will close it.
            errorMessage("Could not queue connection %d; closing it.", c.fd());
            close(c.fd());
            releaseConnection(c.peer().uid);
            delete request;
        }
    }
};

} // namespace

bool daemonAnswers() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    struct sockaddr_un address = socketAddress();
    int rc = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    // EAGAIN: a listener whose backlog is full is still a live daemon.
    bool answers = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    close(fd);
    return answers;
}

int openListenSocket() {
    listenSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenSocket < 0) {
        int err = errno;
        errorMessage("kiv-services-daemon could not create socket.");
        return err;
    }
    int on = 1;
    if (setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        int err = errno;
        errorMessage("setsockopt()");
        return err;
    }
    struct sockaddr_un address = socketAddress();
    struct stat st;
    if (lstat(kSocketPath, &st) == 0) unlink(kSocketPath);
    // The file is created with socketMode already, so it is never wider,
    // and nobody can connect before listen() anyway.
    const mode_t mode = accessSettings.socketMode;
    const mode_t previous = umask(~mode & 0777);
    int rc = bind(listenSocket, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    int err = errno;
    umask(previous);
    if (rc != 0) {
        errorMessage("kiv-services-daemon bind failed.");
        return err;
    }
    // /var/run is writable by root only, so the path is the file just made.
    const bool groupFailed = accessSettings.socketGroupSet &&
                             chown(kSocketPath, static_cast<uid_t>(-1), accessSettings.socketGroup) != 0;
    if (groupFailed || chmod(kSocketPath, mode) != 0) {
        err = errno;
        errorMessage("kiv-services-daemon could not set the socket's mode or group: %s", strerror(err));
        return err;
    }
    if (listen(listenSocket, 100) != 0) {
        err = errno;
        errorMessage("kiv-services-daemon listen failed.");
        return err;
    }
    return 0;
}

void acceptLoop(std::unique_lock<std::mutex> &startup) {
    debugMessage("calling accept().");
    // Read once while start-up still holds the lifecycle lock; the stop
    // sequence closes it and resets the global later.
    Intake intake(listenSocket);
    const bool ready = intake.open();
    startup.unlock();
    if (!ready) {
        errorMessage("kiv-services-daemon could not watch its socket: %s", strerror(errno));
        return;
    }
    bool pausedForResources = false;
    for (;;) {
        if (pausedForResources) {
            struct timespec pauseTime = {0, 50 * 1000 * 1000};
            nanosleep(&pauseTime, nullptr);
        }
        struct epoll_event events[kEventBatch];
        int n = intake.wait(events, kEventBatch);
        int err = errno;
        // Everything after the wait happens under queueLock, and only while no
        // stop has begun: the stop sequence takes the same lock before it
        // drains the pool and closes the logs, so nothing here can race it.
        // The intake's connections are dropped unanswered at a stop.
        std::unique_lock<std::mutex> guard(queueLock);
        if (stopRequested() || threadpool == nullptr) return;
        if (n < 0) {
            debugMessage("accept failed: <%d>.", err);
            continue;
        }
        pausedForResources = false;
        for (int i = 0; i < n; ++i) {
            if (intake.isListener(events[i].data.fd))
                pausedForResources = !intake.acceptReady();
            else if (intake.isWake(events[i].data.fd))
                intake.adoptHandedBack();
            else
                intake.readReady(events[i].data.fd);
        }
        intake.expire();
    }
}
