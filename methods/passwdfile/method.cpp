// customInit, customTerminate, customAuthenticate of the password-file method.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "passwdfile.h"
#include "verify.h"

extern "C" {
__attribute__((visibility("default"))) const char *customBuildVersion = "buildVersion=kivmodlib-passwdfile-1.0";
}

namespace {

char initReason[1200];

void *initialise(ConfigEntry *config, int count, int *status, AuthLog *log, char **message) {
    std::string path = kDefaultPasswdFile;
    for (int i = 1; config && i < count; ++i)   // the last entry wins
        if (config[i].key && config[i].value && strcasecmp(config[i].key, "PASSWDFILE_PATH") == 0)
            path = config[i].value;
    if (path.empty() || path[0] != '/') {
        std::snprintf(initReason, sizeof initReason, "PASSWDFILE_PATH must be an absolute path.");
        if (message) *message = initReason;
        return nullptr;
    }
    auto file = std::make_unique<PasswdFile>(path);
    const char *why = nullptr;
    if (!file->load(log, &why)) {
        std::snprintf(initReason, sizeof initReason, "%.1000s: %s", path.c_str(), why ? why : "unusable.");
        if (message) *message = initReason;
        return nullptr;
    }
    PF_LOG(log, logDebug, "PASSWDFILE: using %s.", path.c_str());
    *status = 0;
    return file.release();
}

int authenticate(PasswdFile &file, const char *user, const char *password, int *uid, int *gid, AuthLog *log,
                 char **message) {
    const char *why = nullptr;
    std::shared_ptr<const PasswdTable> table = file.current(log, &why);
    if (!table) {
        *message = const_cast<char *>(why ? why : "The password file cannot be used.");
        return AUTH_ERROR;
    }
    auto it = table->find(user);
    if (it == table->end()) return AUTH_UNKNOWN_USER;
    const PasswdEntry &e = it->second;
    // A service account always has a password; "!" or "*" lock it.
    if (password[0] == '\0') {
        *message = const_cast<char *>("Empty password rejected.");
        return AUTH_NOAUTH;
    }
    if (e.stored[0] == '!' || e.stored[0] == '*') {
        *message = const_cast<char *>("Account is locked.");
        return AUTH_NOAUTH;
    }
    int code = authenticatePassword(password, e.stored.c_str(), log, message);
    if (code == AUTH_OK) {
        *uid = e.uid;
        *gid = e.gid;
    }
    return code;
}

} // namespace

KIV_EXPORT void *customInit(ConfigEntry *config, int count, int *status, AuthLog *log, char **message) {
    *status = -1;
    PF_LOG(log, logDebug, "customInit [ENTER]");
    void *context = nullptr;
    try {
        context = initialise(config, count, status, log, message);
    } catch (...) {
        *status = -1;
        if (message) *message = const_cast<char *>("Out of memory.");
    }
    PF_LOG(log, logDebug, "customInit [EXIT]: status:<%d>", *status);
    return context;
}

KIV_EXPORT void customTerminate(void *context, AuthLog *log) {
    PF_LOG(log, logDebug, "customTerminate");
    delete static_cast<PasswdFile *>(context);
}

KIV_EXPORT int customAuthenticate(void *context, const char *user, const char *credential, int *uid, int *gid,
                                  char ** /*unixName*/, AuthLog *log, char **message) {
    char *ignored = nullptr;
    if (!message) message = &ignored;
    PF_LOG(log, logDebug, "customAuthenticate [ENTER]: username:<%s>", user ? user : "");
    if (!context || !user || !credential || !uid || !gid) return AUTH_ERROR;
    int code = AUTH_ERROR;
    try {
        code = authenticate(*static_cast<PasswdFile *>(context), user, credential, uid, gid, log, message);
    } catch (...) {
        *message = const_cast<char *>("Out of memory.");
        code = AUTH_ERROR;
    }
    PF_LOG(log, logDebug, "customAuthenticate [EXIT]: result:<%d>", code);
    return code;
}
