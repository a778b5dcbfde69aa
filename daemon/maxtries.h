// Failed-attempt limiting ("maxtries").
#pragma once
#include <pthread.h>
#include <cstdint>
#include <ctime>
#include "kivmod.h"

extern "C" {
struct AttemptRecord {
    char name[256];     // the name's key (see attemptKey)
    int64_t time;
    int16_t count;
    AttemptRecord *next;
    int16_t pending;    // attempts let through to the methods, not yet settled
};

extern int maxtries;
extern int maxperiod;
extern int maxtriesWait;
// 1: records are keyed by the name as a directory compares it (case and
// insignificant spaces ignored); 0: by the exact bytes.  From "maxtriesNocase";
// by default on whenever a method other than pw is configured.
extern int maxtriesNocase;
extern AttemptRecord *attempts;
extern pthread_mutex_t authAttempLock;

int initMaxtries(ConfigEntry *list, int count);   // 0, or -1 after logging
AttemptRecord *findAttempts(const char *name);     // caller holds authAttempLock
void clearAttempts(const char *name);              // name, or null = purge; caller holds lock
void freeAttempts(void);
}

// The record key of a user name: the name itself (at most 255 bytes), or with
// maxtriesNocase its case-folded form without leading, trailing or repeated
// spaces and without the characters a directory ignores.  `key` holds 256.
void attemptKey(const char *name, char *key);

// Decision steps used by the request flow.  Each takes authAttempLock itself
// and takes "now" as a parameter so tests can drive the clock.
//
// An attempt is reserved before the methods run and settled afterwards, so
// that requests arriving together cannot all pass the check: at most
// `maxtries` unsettled or counted attempts exist for a name at any time.
// How long a request waits for attempts in flight to settle when they hold
// every attempt left, before it is refused (milliseconds; -1: clientTimeout).
extern int maxtriesInflightWaitMs;
enum class Precheck {
    Go,           // reserved: try the methods, then settle with one call below
    Refused,      // locked out, or the limit stayed taken by attempts in flight
    OutOfMemory,  // no record could be made: list discarded, error logged
};
Precheck maxtriesPrecheck(const char *user, int64_t now);
// A failed authentication.  Returns 0, or -1 when a record could not be
// allocated (the whole list has then been discarded and the error logged).
int maxtriesRecordFailure(const char *user, int64_t now);
// A successful authentication: the count starts afresh.
void maxtriesRecordSuccess(const char *user);
// An outcome that is no guess (unknown user, a method's own failure).
void maxtriesRelease(const char *user);
// The purge of clearAttempts(nullptr) with an explicit clock.
void purgeAttempts(int64_t now);
