// The listening socket and the accept loop.
#pragma once
#include <setjmp.h>
#include <mutex>
#include "threadpool.h"

extern "C" {
extern int listenSocket;
extern ThreadPool *threadpool;
extern sigjmp_buf env;
}

inline constexpr const char *kSocketPath = "/var/run/kiv-services-daemon_socket";

// Creates, binds, applies socketMode and socketGroup (accessSettings) and
// listens; on failure logs and returns the errno value.
int openListenSocket();
// True when a daemon accepts connections on the socket path now.  A socket
// file nobody listens on (or no file) is false.
bool daemonAnswers();
// Accepts connections and queues one processRequest job each, until the
// stop sequence begins.  Releases `startup` (the lifecycle lock) once the
// loop is ready, so a SIGTERM during start-up waits for it.
void acceptLoop(std::unique_lock<std::mutex> &startup);
