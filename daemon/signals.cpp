// Signal handling.  The handlers themselves only write one byte to a pipe;
// a dedicated signal thread reads it and does the work, so the stop sequence
// (which takes locks, closes files and calls into modules) never runs in
// asynchronous signal context, and runs exactly once.
#include "signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "authcache.h"
#include "listener.h"
#include "log.h"
#include "maxtries.h"
#include "methods.h"
#include "notify.h"
#include "threadpool.h"

std::mutex lifecycleLock;
std::mutex queueLock;

namespace {

int wakePipe[2] = {-1, -1};
std::atomic<bool> stopping{false};

constexpr char kTermByte = 'T';
constexpr char kReloadByte = 'U';
constexpr char kReopenByte = 'H';

void notify(char byte) {
    int saved = errno;
    if (wakePipe[1] >= 0) {
        ssize_t ignored = write(wakePipe[1], &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

void onTerm(int, siginfo_t *, void *) { notify(kTermByte); }
void onReload(int, siginfo_t *, void *) { notify(kReloadByte); }
void onHangup(int, siginfo_t *, void *) { notify(kReopenByte); }

void *signalThread(void *) {
    for (;;) {
        char byte;
        ssize_t r = read(wakePipe[0], &byte, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return nullptr;
        if (byte == kTermByte) kivsdShutdown(SIGTERM);
        if (byte == kReloadByte) kivsdReload(SIGUSR1);
        if (byte == kReopenByte) kivsdReopenLogs(SIGHUP);
    }
}

// Installs an SA_SIGINFO handler with an empty mask; SA_RESTART is left out
// on purpose so a blocked accept() returns EINTR.
void installHandler(int signum, void (*action)(int, siginfo_t *, void *), int flags) {
    debugMessage("int signal handler: %d.", signum);
    struct sigaction current;
    if (sigaction(signum, nullptr, &current) != 0) exit(1);
    struct sigaction sa {};
    sa.sa_sigaction = action;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flags | SA_SIGINFO;
    if (sigaction(signum, &sa, nullptr) != 0) debugMessage("Could not set signal handler for <%d>.", signum);
}

} // namespace

bool stopRequested() { return stopping.load(); }

extern "C" void setupSignalHandler(int signum, void (*handler)(int), int flags) {
    debugMessage("int signal handler: %d.", signum);
    struct sigaction current;
    if (sigaction(signum, nullptr, &current) != 0) exit(1);
    struct sigaction sa {};
    // The handlers take only the signal number; the extra SA_SIGINFO
    // arguments are ignored by them.
    sa.sa_sigaction = reinterpret_cast<void (*)(int, siginfo_t *, void *)>(reinterpret_cast<void *>(handler));
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flags | SA_SIGINFO;
    if (sigaction(signum, &sa, nullptr) != 0) debugMessage("Could not set signal handler for <%d>.", signum);
}

extern "C" int setupSignalState(void) {
    if (wakePipe[0] < 0) {
        if (pipe2(wakePipe, O_CLOEXEC) != 0) {
            errorMessage("Could not create the signal pipe: %d", errno);
            exit(1);
        }
        // The signal thread must never take the signals itself: the main
        // thread does, so an accept() in progress sees EINTR.
        sigset_t block, old;
        sigemptyset(&block);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &block, &old);
        pthread_t thread;
        int rc = pthread_create(&thread, nullptr, signalThread, nullptr);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (rc != 0) {
            errorMessage("Could not start the signal thread: %d", rc);
            exit(1);
        }
        pthread_detach(thread);
    }
    installHandler(SIGTERM, onTerm, 0);
    // SIGCHLD keeps its default action: the credential step waits for each
    // child it starts by process id, which an ignored SIGCHLD would defeat.
    signal(SIGCHLD, SIG_DFL);
    installHandler(SIGUSR1, onReload, 0);
    // SIGHUP (logrotate) is taken by the signal thread alone: the calling
    // thread, and every thread it starts later, keep it blocked, so no
    // accept() or client I/O is interrupted by a rotation.
    installHandler(SIGHUP, onHangup, SA_RESTART);
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
    return 0;
}

extern "C" void kivsdShutdown(int) {
    bool expected = false;
    if (!stopping.compare_exchange_strong(expected, true)) {
        // Only one stop sequence runs; a second caller just waits for the exit.
        for (;;) pause();
    }
    notifyStopping();
    // Let start-up finish first: the steps below concern what it creates.
    std::lock_guard<std::mutex> life(lifecycleLock);
    debugMessage("kiv-services-daemon shutting down.");
    {
        // No job may be queued once the pool is being drained.
        std::lock_guard<std::mutex> queue(queueLock);
        if (listenSocket > 0) {
            shutdown(listenSocket, SHUT_RDWR);  // wakes a blocked accept()
            close(listenSocket);
        }
        listenSocket = 0;
    }
    if (threadpool != nullptr) {
        ThreadPoolWait(threadpool);
        ThreadPoolDestroy(threadpool);
        threadpool = nullptr;
    }
    termMethods();
    freeAttempts();
    authCacheFlush();
    closeLogs();
    unlink(kSocketPath);
    exit(0);
}

extern "C" void kivsdReload(int) { debugMessage("Got a reload signal!"); }

extern "C" void kivsdReopenLogs(int) {
    // Runs on the signal thread, as the stop sequence does, so the two never
    // overlap and closeLogs cannot race with the reopening.
    if (stopping.load()) return;
    debugMessage("Got a hangup signal: reopening logs.");
    reopenLogs();
    debugMessage("Logs reopened.");
    // Rotation is also the administrator's way to drop remembered answers.
    if (authCacheOn()) {
        authCacheFlush();
        debugMessage("Got a hangup signal: authentication cache flushed.");
    }
}

extern "C" void kivsdChildHandler(int) {
    debugMessage("kivsdChildHandler - handling child death/exit.");
    for (;;) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            debugMessage("child died <%d>.", pid);
            continue;
        }
        if (pid < 0 && errno == EINTR) {
            debugMessage("kivsdChildHandler continue.");
            continue;
        }
        break;
    }
    setupSignalHandler(SIGCHLD, kivsdChildHandler, 0);
}
