// Failed-attempt limiting ("maxtries").
#pragma once
#include <pthread.h>
#include <cstdint>
#include <ctime>
#include "kivmod.h"

extern "C" {
struct AttemptRecord {
    char name[256];
    int64_t time;
    int16_t count;
    AttemptRecord *next;
};

extern int maxtries;
extern int maxperiod;
extern int maxtriesWait;
extern AttemptRecord *attempts;
extern pthread_mutex_t authAttempLock;

int initMaxtries(ConfigEntry *list, int count);   // 0, or -1 after logging
AttemptRecord *findAttempts(const char *name);     // caller holds authAttempLock
void clearAttempts(const char *name);              // name, or null = purge; caller holds lock
void freeAttempts(void);
}

// Decision steps used by the request flow.  Each takes authAttempLock itself
// and takes "now" as a parameter so tests can drive the clock.

// Pre-check before the methods run.  Returns true when the methods may be
// tried; *record is the user's surviving record or null.  Returns false when
// the user is locked out (the refusal is counted and logged).
bool maxtriesPrecheck(const char *user, int64_t now, AttemptRecord **record);
// A failed authentication.  Returns 0, or -1 when a record could not be
// allocated (the whole list has then been discarded and the error logged).
int maxtriesRecordFailure(const char *user, AttemptRecord *record, int64_t now);
// A successful authentication: drops the pre-check's record if still listed.
void maxtriesRecordSuccess(const char *user, AttemptRecord *record);
// The purge of clearAttempts(nullptr) with an explicit clock.
void purgeAttempts(int64_t now);
