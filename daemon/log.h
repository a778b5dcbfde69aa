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

void initLogs(ConfigEntry *list, int count, AuthLog *log);
// 0 when allowed, else the 1-based index of the first matching prefix.
int validateLogPath(const char *path);
void closeLogs(void);
}
