// One client exchange, from the opening message to the close.
#pragma once

// What is left to do on a connection once its exchange is over.
struct AfterReply {
    bool awaitClose;  // wait for the client to close; false: close now
    int leftMs;       // the connection's remaining I/O time for that wait
};
// Client bytes read (and dropped) while waiting for the close; once that
// many arrived the connection is closed as if the client had.
inline constexpr int kStrayBytesAtClose = 16;

// The exchange up to the reply (and the purge); never closes fd, so the
// wait for the client's close can happen off the calling thread.
AfterReply serveRequest(int fd);

struct IntakeHandoff;
// For the accept loop, with a complete request in `received`: answers a
// password request from the authentication cache when that needs nothing
// that could wait (no failed-attempt limit, no credential step, a reply that
// fits the socket's buffer), writing the same lines and reply a worker
// would.  False, with nothing logged or sent, when a worker must serve it.
bool answerCachedOnIntake(int fd, const IntakeHandoff &received, AfterReply *after);

extern "C" {
// Bound, in seconds, on the client's I/O of one connection ("clientTimeout").
extern int clientTimeout;
// The whole exchange on the calling thread, including the wait for the
// close; closes fd.
void processRequest(int fd);
}
