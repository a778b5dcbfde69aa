// The listening Unix-domain socket and the accept loop of the main thread.
#include "listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "log.h"
#include "request.h"
#include "signals.h"

extern "C" {
int listenSocket = -1;
ThreadPool *threadpool = nullptr;
sigjmp_buf env;
}

namespace {

void runRequest(intptr_t argument) { processRequest(static_cast<int>(argument)); }

// Out of descriptors or memory: accept() would fail again at once, so give
// the workers a moment to close connections instead of spinning a core.
bool isResourceShortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

} // namespace

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
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    static_assert(sizeof address.sun_path >= 36, "socket path must fit");
    strncpy(address.sun_path, kSocketPath, 36);
    struct stat st;
    if (lstat(kSocketPath, &st) == 0) unlink(kSocketPath);
    if (bind(listenSocket, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
        int err = errno;
        errorMessage("kiv-services-daemon bind failed.");
        return err;
    }
    if (listen(listenSocket, 100) != 0) {
        int err = errno;
        errorMessage("kiv-services-daemon listen failed.");
        return err;
    }
    return 0;
}

void acceptLoop(std::unique_lock<std::mutex> &startup) {
    debugMessage("calling accept().");
    // Read once while start-up still holds the lifecycle lock; the stop
    // sequence closes it and resets the global later.
    const int listener = listenSocket;
    startup.unlock();
    for (;;) {
        unsigned char peer[16];
        socklen_t peerLength = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<struct sockaddr *>(peer), &peerLength, SOCK_CLOEXEC);
        int err = errno;
        // Everything after accept() happens under queueLock, and only while no
        // stop has begun: the stop sequence takes the same lock before it
        // drains the pool and closes the logs, so nothing here can race it.
        std::unique_lock<std::mutex> guard(queueLock);
        if (stopRequested() || threadpool == nullptr) {
            if (fd >= 0) close(fd);
            return;
        }
        if (fd < 0) {
            debugMessage("accept failed: <%d>.", err);
            guard.unlock();
            if (isResourceShortage(err)) {
                struct timespec pauseTime = {0, 50 * 1000 * 1000};
                nanosleep(&pauseTime, nullptr);
            }
            continue;
        }
        debugMessage("kiv-services-daemon connection accepted.");
        ThreadPoolJob job = {runRequest, static_cast<intptr_t>(fd)};
        if (ThreadPoolAddJob(threadpool, job) != 0) {
            // The job would have owned the descriptor; nobody else will close it.
            errorMessage("Could not queue connection %d; closing it.", fd);
            close(fd);
        }
    }
}
