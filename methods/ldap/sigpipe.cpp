// Keeps a directory server that drops its connection from killing the daemon
// with SIGPIPE: the library writes to its sockets with plain write().
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

#include "ldapmod.h"

PipeSignalGuard::PipeSignalGuard()
{
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &pipeSet, &previous) != 0) return;
    // Already blocked by the caller: leave the mask and any pending signal alone.
    if (sigismember(&previous, SIGPIPE) == 1) return;
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    active_ = true;
}

PipeSignalGuard::~PipeSignalGuard()
{
    if (!active_) return;
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    if (!wasPending_) {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            while (sigtimedwait(&pipeSet, nullptr, &now) == -1 && errno == EINTR) {
            }
        }
    }
    pthread_sigmask(SIG_UNBLOCK, &pipeSet, nullptr);
}
