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

void acceptLoop() {
    debugMessage("calling accept().");
    while (!stopRequested()) {
        unsigned char peer[16];
        socklen_t peerLength = sizeof peer;
        int fd = accept4(listenSocket, reinterpret_cast<struct sockaddr *>(peer), &peerLength, SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (stopRequested()) break;
            debugMessage("accept failed: <%d>.", err);
            if (isResourceShortage(err)) {
                struct timespec pauseTime = {0, 50 * 1000 * 1000};
                nanosleep(&pauseTime, nullptr);
            }
            continue;
        }
        debugMessage("kiv-services-daemon connection accepted.");
        std::lock_guard<std::mutex> guard(queueLock);
        if (stopRequested() || threadpool == nullptr) {
            close(fd);
            break;
        }
        ThreadPoolJob job = {runRequest, static_cast<intptr_t>(fd)};
        if (ThreadPoolAddJob(threadpool, job) != 0) {
            // The job would have owned the descriptor; nobody else will close it.
            errorMessage("Could not queue connection %d; closing it.", fd);
            close(fd);
        }
    }
}
