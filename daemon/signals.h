// Signal handling: SIGTERM stops the daemon in order, SIGHUP reopens the
// logs, SIGUSR1 is logged.
#pragma once
#include <mutex>

extern "C" {
int setupSignalState(void);
void setupSignalHandler(int signum, void (*handler)(int), int flags);
// The stop sequence; never returns (exit 0).  Runs on the signal thread.
void kivsdShutdown(int signum);
void kivsdReload(int signum);
// SIGHUP: reopens the logs by their paths, so logrotate can rename and signal,
// and drops the authentication cache.
void kivsdReopenLogs(int signum);
void kivsdChildHandler(int signum);
}

// Held by start-up from signal set-up until the listener is ready, so a
// SIGTERM during start-up stops the daemon only once start-up is complete.
extern std::mutex lifecycleLock;
// Held by the listener while it hands an accepted connection to the pool.
extern std::mutex queueLock;
// Set once the stop sequence has begun; read by the accept loop.
bool stopRequested();
