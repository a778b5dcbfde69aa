// pamAuthenticate: one PAM transaction per request.
#include <dlfcn.h>
#include <link.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "pammod.h"

namespace {

struct HandleCloser {
    int *status;
    void operator()(pam_handle_t *h) const { pam_end(h, *status); }
};

// libpam loads the stack's modules at pam_start and unloads them at pam_end.
// Keeping one reference of our own spares every later transaction the
// mapping and relocation (and the loader's unload work racing with other
// threads' loads).  Called once, while the first transaction's modules are
// loaded.
void pinLoadedModules(AuthLog *log) {
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) -> int {
            const char *name = info->dlpi_name;
            if (name && std::strstr(name, "/security/pam_") &&
                dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr)
                PAM_LOG(static_cast<AuthLog *>(data), logDebug, "PAM: keeping %s loaded.", name);
            return 0;
        },
        log);
}

struct PinOnExit {
    bool active;
    AuthLog *log;
    ~PinOnExit() {
        if (active) pinLoadedModules(log);
    }
};

// Passwd entry of the account PAM settled on (modules may rewrite PAM_USER).
bool lookupAccount(const char *name, int *uid, int *gid, bool *found) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    for (;;) {
        passwd pw{}, *result = nullptr;
        int rc = getpwnam_r(name, &pw, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && buffer.size() < (16u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0) return false;
        *found = result != nullptr;
        if (result) {
            *uid = static_cast<int>(pw.pw_uid);
            *gid = static_cast<int>(pw.pw_gid);
        }
        return true;
    }
}

// Which stage failed and why, for the client and the access log.  Texts the
// modules sent through the conversation say most ("Your account has
// expired..."), so they come first.
char *reason(const PamExchange &x, const char *stage, int pamResult, int code) {
    char *buf = pamMessageBuffer();
    char text[kPamMessageSize];
    const char *what = pam_strerror(nullptr, pamResult);
    if (code == AUTH_ERROR)
        std::snprintf(text, sizeof text, "PAM %s failed: %s%s%s", stage, what ? what : "unknown error",
                      x.notes.empty() ? "" : ": ", x.notes.c_str());
    else
        std::snprintf(text, sizeof text, "%s", x.notes.empty() ? (what ? what : "PAM refused.") : x.notes.c_str());
    copyLogSafe(buf, kPamMessageSize, text);
    return buf;
}

int authenticate(const PamSettings &settings, const char *user, const char *password, int *uid, int *gid,
                 char **unixName, AuthLog *log, char **message, bool first) {
    PamExchange x;
    x.password = password;
    x.log = log;
    pam_conv conv{pamConverse, &x};
    pam_handle_t *raw = nullptr;
    int status = pam_start(settings.service.c_str(), user, &conv, &raw);
    if (status != PAM_SUCCESS || !raw) {
        PAM_LOG(log, logError, "PAM: pam_start for service %s failed: %s", settings.service.c_str(),
                pam_strerror(raw, status));
        if (raw) pam_end(raw, status);
        *message = reason(x, "start", status, AUTH_ERROR);
        return AUTH_ERROR;
    }
    std::unique_ptr<pam_handle_t, HandleCloser> handle(raw, HandleCloser{&status});
    PinOnExit pin{first, log};   // runs before pam_end
    // Without this, pam_unix would hold this worker for about two seconds
    // after every wrong password.
    status = pam_set_item(raw, PAM_FAIL_DELAY, reinterpret_cast<const void *>(&pamNoDelay));
    if (status != PAM_SUCCESS) {
        *message = reason(x, "set-up", status, AUTH_ERROR);
        return AUTH_ERROR;
    }

    const char *stage = "authentication";
    status = pam_authenticate(raw, PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS && settings.accountCheck) {
        stage = "account check";
        status = pam_acct_mgmt(raw, PAM_DISALLOW_NULL_AUTHTOK);
    }
    if (x.requestedDelayUs)
        PAM_LOG(log, logDebug, "PAM: a module asked for a %u ms delay after the failure; not sleeping.",
                x.requestedDelayUs / 1000);
    int code = pamResultCode(status);
    if (code != AUTH_OK) {
        PAM_LOG(log, logDebug, "PAM: %s for %s: %s (%d)", stage, user, pam_strerror(raw, status), status);
        *message = reason(x, stage, status, code);
        return code;
    }

    const void *item = nullptr;
    if (pam_get_item(raw, PAM_USER, &item) != PAM_SUCCESS || !item) item = user;
    const char *account = static_cast<const char *>(item);
    bool found = false;
    if (!lookupAccount(account, uid, gid, &found) || !found) {
        // PAM said yes, but there is no uid to give the client.
        PAM_LOG(log, logError, "PAM accepted %s, but account %s has no passwd entry.", user, account);
        char *buf = pamMessageBuffer();
        copyLogSafe(buf, kPamMessageSize, "PAM accepted the user, but the account has no passwd entry.");
        *message = buf;
        status = PAM_USER_UNKNOWN;
        return AUTH_ERROR;
    }
    if (std::strcmp(account, user) != 0) {
        *unixName = strdup(account);
        if (!*unixName) {
            status = PAM_BUF_ERR;
            return AUTH_ERROR;
        }
        PAM_LOG(log, logDebug, "PAM: user %s is account %s.", user, account);
    }
    return AUTH_OK;
}

// libaudit, which libpam calls after every stage, fills a static cache (the
// executable's name) on its first message without a lock.  The first
// transaction of the process therefore runs alone; once it has finished
// the cache is only read, and transactions overlap freely.  It also pins
// the stack's modules (above).
std::atomic<bool> firstDone{false};
std::mutex firstLock;

int authenticateOnce(const PamSettings &settings, const char *user, const char *password, int *uid, int *gid,
                     char **unixName, AuthLog *log, char **message) {
    if (!firstDone.load(std::memory_order_acquire)) {
        std::unique_lock<std::mutex> lock(firstLock);
        if (!firstDone.load(std::memory_order_relaxed)) {
            int code = authenticate(settings, user, password, uid, gid, unixName, log, message, true);
            firstDone.store(true, std::memory_order_release);
            return code;
        }
    }
    return authenticate(settings, user, password, uid, gid, unixName, log, message, false);
}

} // namespace

char *pamMessageBuffer() {
    static thread_local char buffer[kPamMessageSize];
    return buffer;
}

void copyLogSafe(char *dst, size_t size, const char *text) {
    size_t i = 0;
    for (; text && text[i] && i + 1 < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        dst[i] = (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
    }
    dst[i] = '\0';
}

int pamResultCode(int pamResult) {
    switch (pamResult) {
    case PAM_SUCCESS:
        return AUTH_OK;
    case PAM_NEW_AUTHTOK_REQD:
    case PAM_AUTHTOK_EXPIRED:
    case PAM_ACCT_EXPIRED:
    case PAM_CRED_EXPIRED:
        return AUTH_EXPIRED;
    case PAM_USER_UNKNOWN:
        return AUTH_UNKNOWN_USER;
    case PAM_AUTH_ERR:
    case PAM_PERM_DENIED:
    case PAM_MAXTRIES:
        return AUTH_NOAUTH;
    default:
        // Module not loadable, buffer, conversation, unavailable
        // authentication information, service and system errors.
        return AUTH_ERROR;
    }
}

KIV_EXPORT int pamAuthenticate(void *context, const char *user, const char *credential, int *uid, int *gid,
                               char **unixName, AuthLog *log, char **message) {
    auto *settings = static_cast<const PamSettings *>(context);
    char *ignored = nullptr;
    if (!message) message = &ignored;
    PAM_LOG(log, logDebug, "pamAuthenticate [ENTER]: username:<%s>", user ? user : "");
    if (!settings || !user || !credential || !uid || !gid || !unixName) return AUTH_ERROR;
    int code = AUTH_ERROR;
    try {
        code = authenticateOnce(*settings, user, credential, uid, gid, unixName, log, message);
    } catch (...) {
        // Only allocation can throw here; nothing may unwind into the daemon.
        *message = const_cast<char *>("Out of memory.");
        code = AUTH_ERROR;
    }
    PAM_LOG(log, logDebug, "pamAuthenticate [EXIT]: result:<%d>", code);
    return code;
}
