// The daemon's side of the socket protocol: bounded socket I/O.  The frames
// themselves are encoded and decoded by the wire library.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>
#include "frames.h"
#include "kivmod.h"

namespace wire = kiv::wire;

extern "C" {
// Exact-length receive; > 0 on success, 0 on EOF, error, timeout or n == 0.
int readinput(int *fd, void *buffer, int n);
// Receives and discards n bytes in pieces of at most 50.
void draininput(int *fd, int n);
// Writes all n bytes; returns the count written (!= n means failure).
int sendResp(int *fd, const void *buffer, int n);
}

// Per-connection I/O budget.  Every client read or write of the calling thread
// is bounded by the time left; time spent while paused (the methods) is not
// charged.  Counted from ioBudgetStart.
void ioBudgetStart(int seconds);
void ioBudgetPause();
void ioBudgetResume();
// Milliseconds left (>= 0), or -1 when no budget is running on this thread.
int ioBudgetRemainingMs();

// What the listener's intake stage already did on a connection before a
// worker took it: the client bytes it received (never more than the request
// needs), whether it answered the opening message, and how much of the
// client's I/O time it used.  Adopted by the worker's thread, the bytes are
// read again through readinput/draininput, and ioBudgetStart grants only the
// time left (the wait in the pool's queue is not the client's).
struct IntakeHandoff {
    std::vector<uint8_t> bytes;
    size_t consumed = 0;
    int handshakeSent = -1;  // -1: not answered; else the count sent for it
    std::chrono::steady_clock::time_point deadline{};  // while in the intake
    std::chrono::steady_clock::duration left{};        // set at the hand-over
};
// For the calling thread's next connection; null ends the adoption.
void ioAdoptIntake(IntakeHandoff *handoff);
// The 8-byte handshake reply: sent here, unless the intake stage sent it,
// in which case that send's count is returned.
int sendHandshake(int *fd, const void *buffer);
