// Debug, access and error logs, and the syslog fallbacks.
#pragma once
#include <cstdio>
#include "kivmod.h"

#define KIV_PRINTF(a, b) __attribute__((format(printf, a, b)))

extern "C" {
extern FILE *debugLog;
extern FILE *accessLog;
extern FILE *errorLog;

struct PathPrefix {
    const char *prefix;
    int length;
};
// Directories in which no log may be created; ends with a zero-length entry.
extern const PathPrefix pathPrefixList[];

void debugMessage(const char *format, ...) KIV_PRINTF(1, 2);
void accessMessage(const char *format, ...) KIV_PRINTF(1, 2);
void warningMessage(const char *format, ...) KIV_PRINTF(1, 2);
void errorMessage(const char *format, ...) KIV_PRINTF(1, 2);
// The system log only, under the process's default identity: for the few
// messages that must reach syslog whatever logs are open (the configuration
// reader runs before any is).  Escaped like every log line.
void systemLogMessage(int priority, const char *format, ...) KIV_PRINTF(2, 3);

void initLogs(ConfigEntry *list, int count, AuthLog *log);
// 0 when allowed, else the 1-based index of the first matching prefix.
int validateLogPath(const char *path);
// Opens each open log again by its path (after a rename by logrotate), with
// the same checks, mode and owner, never truncating.  A log that cannot be
// reopened keeps its old file.  Call from one thread at a time.
void reopenLogs(void);
// Whether access lines also go to syslog, which may block for a while.
bool accessLinesToSyslog(void);
void closeLogs(void);
}
