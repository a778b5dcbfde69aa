// One client exchange, from the opening message to the close.
#pragma once

extern "C" {
// Bound, in seconds, on the client's I/O of one connection ("clientTimeout").
extern int clientTimeout;
void processRequest(int fd);
}
