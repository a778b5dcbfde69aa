// Configuration file: path derivation, reading, the settings dump.
#pragma once
#include <cstddef>
#include "kivmod.h"

extern "C" {
// Directory of the daemon executable, without a trailing '/'.
extern char kivsdDir[1024];

// Derives "<dir of argv[0]>/kiv-services-daemon.conf" into path (1024 bytes)
// and fills kivsdDir.  Returns 0, or 16 when argv[0] has no '/' or its
// directory part is too long for either buffer.
int getConfigPath(char **argv, char *path);

// Reads the file into a new list; returns the entry count (>= 1, entry 0 is
// {"program","kiv-services-daemon"}) or -100..-103.
int getConfiguration(const char *path, ConfigEntry **list);

// The parser behind getConfiguration, fed from memory: the same results and
// syslog messages for the same bytes (the data is cut into pieces exactly as
// fgets with a 1024-byte buffer would read it).  Never -101.
int parseConfiguration(const char *data, size_t size, ConfigEntry **list);

void freeConfiguration(ConfigEntry *list, int count);

// Writes every entry to the debug log as "Config: %s %s", masking ldap_host_pw.
void logConfigSettings(ConfigEntry *list, int count, AuthLog *log);
}
