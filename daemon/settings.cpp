// Start-up settings of main(): numThreads and clientTimeout.
#include "settings.h"

#include <strings.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>

#include "log.h"
#include "methods.h"

const char *firstValue(ConfigEntry *list, int count, const char *key) {
    for (int i = 0; i < count; ++i)
        if (strcasecmp(list[i].key, key) == 0) return list[i].value;
    return nullptr;
}

void readStartupSettings(ConfigEntry *list, int count, StartupSettings *out, SettingProblems *problems) {
    if (const char *value = firstValue(list, count, "numThreads")) {
        // atol, truncated to int: "4x" is 4, "abc" is 0 (refused).
        int n = static_cast<int>(atol(value));
        if (n < 1)
            problems->push_back({kExitBadNumThreads, "numThreads", value,
                                 std::string("Invalid value for numThreads: ") + value});
        else if (n > 32)
            problems->push_back(
                {kExitPoolFailed, "numThreads", value, "more than 32 worker threads: the pool cannot be created"});
        out->poolSize = n;
    }
    if (const char *value = firstValue(list, count, "clientTimeout")) {
        char *end = nullptr;
        errno = 0;
        long n = strtol(value, &end, 10);
        if (errno != 0 || end == value || *end != '\0' || n < 1 || n > 3600)
            problems->push_back({kExitBadClientTimeout, "clientTimeout", value,
                                 std::string("Invalid value for clientTimeout: ") + value});
        else
            out->clientTimeout = static_cast<int>(n);
    }
}

void initHostServices() {
    authLog.logDebug = debugMessage;
    authLog.logAccess = accessMessage;
    authLog.logWarning = warningMessage;
    authLog.logError = errorMessage;
    authLog.reserved = nullptr;
    authLog.showPasswords = 0;
    disableGSS = 0;
    for (auto &record : authMethods) record.log = &authLog;
    gssMethod.log = &authLog;
}

std::string exposedSecretWarning(const char *path, ConfigEntry *list, int count) {
    if (firstValue(list, count, "LDAP_HOST_PW") == nullptr) return "";
    // The link beside the binary may point elsewhere: judge the file itself.
    struct stat st;
    if (stat(path, &st) != 0) return "";
    std::string why;
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) why = "readable by group or others";
    if (st.st_uid != 0) why += std::string(why.empty() ? "" : " and ") + "not owned by root";
    if (why.empty()) return "";
    return std::string("Configuration file ") + path + " holds LDAP_HOST_PW but is " + why +
           "; make it owned by root with mode 0600.";
}
