// Start-up settings read by main(): their values and the problems found in
// them, kept apart so that --check-config can list every problem while a
// real start stops at the first.
#pragma once
#include <string>
#include <vector>
#include "kivmod.h"

// One configuration value that would stop start-up (or, with status 0, a
// value that is ignored but worth telling the administrator about).
struct SettingProblem {
    int status;           // exit status start-up would end with; 0 = warning only
    std::string key;
    std::string value;
    std::string message;  // the error-log text start-up writes
};
using SettingProblems = std::vector<SettingProblem>;

// Exit statuses of settings owned here.
inline constexpr int kExitBadNumThreads = 30;
inline constexpr int kExitPoolFailed = 31;
inline constexpr int kExitBadClientTimeout = 32;
// Another daemon already answers on the socket.
inline constexpr int kExitAlreadyRunning = 36;
// socketGroup, socketMode, allowedUsers, allowedGroups, maxConnectionsPerUser
// or accessLogPeer cannot be used.
inline constexpr int kExitBadAccessSettings = 37;
// "authCacheSeconds" or "authCacheSize" invalid.
inline constexpr int kExitBadAuthCache = 38;

// First entry with this key (case-insensitive), or null.
const char *firstValue(ConfigEntry *list, int count, const char *key);

struct StartupSettings {
    int poolSize = 4;
    int clientTimeout = 5;
};

// "numThreads" and "clientTimeout".
void readStartupSettings(ConfigEntry *list, int count, StartupSettings *out, SettingProblems *problems);

// Start-up step 1: the host services handed to every method (authLog, the
// log field of every method record), with showPasswords and disableGSS off.
void initHostServices();

// Warns (error log) when the configuration holds LDAP_HOST_PW and the file
// is readable by group or others or not owned by root.  Returns the
// warning's text, empty when there is nothing to say.
std::string exposedSecretWarning(const char *path, ConfigEntry *list, int count);
