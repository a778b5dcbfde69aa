// pamInit, pamTerminate, pamContinueOnNoAuth: the module's keys.
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "pammod.h"

extern "C" {
__attribute__((visibility("default"))) const char *pamBuildVersion = "buildVersion=kivmodpam-1.0";
}

namespace {

char initReason[384];

// Yes/no words as the daemon's other switches accept them.  -1: neither.
int yesNo(const char *value) {
    for (const char *w : {"yes", "y", "1", "true"})
        if (strcasecmp(value, w) == 0) return 1;
    for (const char *w : {"no", "n", "0", "false"})
        if (strcasecmp(value, w) == 0) return 0;
    return -1;
}

bool validServiceName(const char *name) {
    size_t n = strnlen(name, kMaxPamServiceLength + 1);
    if (n == 0 || n > kMaxPamServiceLength) return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    // A service name is a file name below /etc/pam.d.
    for (const char *p = name; *p; ++p)
        if (*p == '/' || static_cast<unsigned char>(*p) <= ' ' || *p == 0x7f) return false;
    return true;
}

} // namespace

const char *parsePamSettings(const ConfigEntry *config, int count, PamSettings *out, char *reason,
                             size_t reasonSize) {
    // The last entry of each key wins, as for the daemon's other method keys.
    for (int i = 1; config && i < count; ++i) {
        const char *key = config[i].key, *value = config[i].value;
        if (!key || !value) continue;
        if (strcasecmp(key, "PAM_SERVICE") == 0) {
            if (!validServiceName(value)) {
                std::snprintf(reason, reasonSize, "PAM_SERVICE must be a file name below /etc/pam.d.");
                return reason;
            }
            out->service = value;
        } else if (strcasecmp(key, "PAM_CONTINUE_ON_NOAUTH") == 0 || strcasecmp(key, "PAM_ACCOUNT_CHECK") == 0) {
            int v = yesNo(value);
            if (v < 0) {
                std::snprintf(reason, reasonSize, "%s must be yes or no.",
                              strcasecmp(key, "PAM_ACCOUNT_CHECK") == 0 ? "PAM_ACCOUNT_CHECK"
                                                                         : "PAM_CONTINUE_ON_NOAUTH");
                return reason;
            }
            (strcasecmp(key, "PAM_ACCOUNT_CHECK") == 0 ? out->accountCheck : out->continueOnNoAuth) = v == 1;
        }
    }
    return nullptr;
}

namespace {

void *initialise(ConfigEntry *config, int count, int *status, AuthLog *log, char **message) {
    auto settings = std::make_unique<PamSettings>();
    if (const char *why = parsePamSettings(config, count, settings.get(), initReason, sizeof initReason)) {
        if (message) *message = const_cast<char *>(why);
        return nullptr;
    }
    // Without its own file libpam silently uses the "other" stack, which
    // on most systems refuses everyone: say so now rather than per request.
    // (/etc/pam.conf is ignored while /etc/pam.d exists.)
    std::string file = "/etc/pam.d/" + settings->service;
    struct stat st;
    if (stat(file.c_str(), &st) != 0)
        PAM_LOG(log, logWarning, "PAM: %s does not exist; libpam will use the 'other' stack.", file.c_str());
    PAM_LOG(log, logDebug, "PAM: service '%s', account check %s, continue on NOAUTH %s.",
            settings->service.c_str(), settings->accountCheck ? "on" : "off",
            settings->continueOnNoAuth ? "on" : "off");
    *status = 0;
    return settings.release();
}

} // namespace

KIV_EXPORT void *pamInit(ConfigEntry *config, int count, int *status, AuthLog *log, char **message) {
    *status = -1;
    PAM_LOG(log, logDebug, "pamInit [ENTER]");
    void *context = nullptr;
    try {
        context = initialise(config, count, status, log, message);
    } catch (...) {
        // Only allocation can throw; nothing may unwind into the daemon.
        *status = -1;
        if (message) *message = const_cast<char *>("Out of memory.");
    }
    PAM_LOG(log, logDebug, "pamInit [EXIT]: status:<%d>", *status);
    return context;
}

KIV_EXPORT void pamTerminate(void *context, AuthLog *log) {
    PAM_LOG(log, logDebug, "pamTerminate");
    delete static_cast<PamSettings *>(context);
}

KIV_EXPORT int pamContinueOnNoAuth(void *context, AuthLog *) {
    auto *settings = static_cast<const PamSettings *>(context);
    return settings && settings->continueOnNoAuth ? 1 : 0;
}
