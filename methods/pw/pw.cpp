// The built-in method "pw": local passwd and shadow databases.
#include "pw.h"

#include <errno.h>
#include <pthread.h>
#include <pwd.h>
#include <shadow.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "groups.h"
#include "verify.h"

#define KIV_DEBUG(log, ...)                                        \
    do {                                                           \
        if ((log) && (log)->logDebug) (log)->logDebug(__VA_ARGS__); \
    } while (0)

extern "C" {
const char *pwBuildVersion = "buildVersion=v100k1a";
char pwInitMsgBuf[64];
}

namespace {

// Scratch size for the reentrant lookups when the system gives no hint, and
// the most we grow to before giving up on an entry.
constexpr size_t kDefaultLookupBuffer = 16384;
constexpr size_t kMaxLookupBuffer = 16u << 20;

bool flagValue(const char *value) {
    return value && (strcasecmp(value, "true") == 0 || strcasecmp(value, "yes") == 0);
}

// Heap buffer for one reentrant lookup.  Shadow entries carry password hashes,
// so the storage is wiped before it is released.
class LookupBuffer {
public:
    LookupBuffer() = default;
    LookupBuffer(const LookupBuffer &) = delete;
    LookupBuffer &operator=(const LookupBuffer &) = delete;
    ~LookupBuffer() { release(); }

    bool resize(size_t size) {
        release();
        data_ = static_cast<char *>(std::malloc(size));
        size_ = data_ ? size : 0;
        return data_ != nullptr;
    }
    char *data() { return data_; }
    size_t size() const { return size_; }

private:
    void release() {
        if (data_) {
            explicit_bzero(data_, size_);
            std::free(data_);
        }
        data_ = nullptr;
        size_ = 0;
    }
    char *data_ = nullptr;
    size_t size_ = 0;
};

enum class Lookup { Found, NotFound, NoMemory };

size_t initialLookupSize() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    return hint > 0 ? static_cast<size_t>(hint) : kDefaultLookupBuffer;
}

// Runs a getXXnam_r style lookup, growing the buffer while the entry does not
// fit, so that a long entry is found rather than reported as unknown.
template <class Entry, class Fn>
Lookup lookupEntry(Fn fn, Entry *entry, Entry **result, LookupBuffer &buffer) {
    size_t size = initialLookupSize();
    for (;;) {
        if (!buffer.resize(size)) return Lookup::NoMemory;
        *result = nullptr;
        int rc = fn(entry, buffer.data(), buffer.size(), result);
        if (rc == 0) return *result ? Lookup::Found : Lookup::NotFound;
        if (rc == EINTR) continue;
        if (rc != ERANGE || size >= kMaxLookupBuffer) return Lookup::NotFound;
        size *= 2;
    }
}

bool passwordInShadow(const char *field) {
    return field == nullptr || strcasecmp(field, "x") == 0 || std::strcmp(field, "*") == 0;
}

int fail(void *context, const char *user, int reason, AuthLog *log) {
    reportFailure(context, user, reason, log);
    return AUTH_NOAUTH;
}

} // namespace

extern "C" int reportSuccess(void *, const char *, AuthLog *) { return 0; }

extern "C" int reportFailure(void *, const char *, int, AuthLog *) { return 0; }

extern "C" void *pwInit(ConfigEntry *config, int count, int *status, AuthLog *log,
                        char **message) {
    int localStatus = 0;
    if (!status) status = &localStatus;
    *status = 0;
    const char *program =
        (config && count > 0 && config[0].value) ? config[0].value : "kiv-services-daemon";

    // A setuid-root binary started by another user has real uid != 0; make both
    // ids root so later lookups (shadow) and child processes run privileged.
    if (setreuid(0, 0) != 0) {
        // Checked below through the effective uid.
    }
    if (geteuid() != 0) {
        std::snprintf(pwInitMsgBuf, sizeof pwInitMsgBuf, "%s is not setuid root.", program);
        if (message) *message = pwInitMsgBuf;
        *status = -1;
        return nullptr;
    }

    if (pthread_mutex_init(&grpSearchLock, nullptr) != 0) {
        std::snprintf(pwInitMsgBuf, sizeof pwInitMsgBuf,
                      "%s could not create lock for Group Search", program);
        if (message) *message = pwInitMsgBuf;
        *status = -1;
        return nullptr;
    }
    grpSearchLockInit = 1;

    PwContext *ctx = new (std::nothrow) PwContext{};
    if (!ctx) {
        if (message) *message = const_cast<char *>("Insufficient memory to create password auth context.");
        *status = 2;
        return nullptr;
    }
    ctx->loginCheck = 1;
    ctx->reportResults = 0;
    ctx->useAuthenticate = 0;
    ctx->useLoginRestrictions = 0;
    ctx->authMode = 1;
    ctx->authTty = "KIV";
    ctx->skipPwExpCheck = 0;
    ctx->skipAccExpCheck = 0;
    ctx->skipAdminLockCheck = 0;
    ctx->skipChangeCheck = 0;
    ctx->denyEmptyPasswords = 0;

    for (int i = 0; config && i < count; ++i) {
        const char *key = config[i].key;
        const char *value = config[i].value;
        if (!key) continue;
        const bool on = flagValue(value);
        if (strcasecmp(key, "AIX_LOGIN_CHECK") == 0) {
            ctx->loginCheck = on;
            if (on) KIV_DEBUG(log, "PW: AIX login flag checking enabled.");
        } else if (strcasecmp(key, "AIX_REPORT_RESULT") == 0) {
            ctx->reportResults = on;
            if (on) KIV_DEBUG(log, "PW: Reporting authentication results to AIX.");
        } else if (strcasecmp(key, "AIX_USE_AUTHENTICATE") == 0) {
            ctx->useAuthenticate = on;
            if (on) KIV_DEBUG(log, "PW: AIX authenticate() enabled.");
        } else if (strcasecmp(key, "AIX_USE_LOGINRESTRICTIONS") == 0) {
            ctx->useLoginRestrictions = on;
        } else if (strcasecmp(key, "AIX_LOGIN_AUTHMODE") == 0) {
            ctx->authMode = (value && strcasecmp(value, "LOCAL") == 0) ? 0 : 1;
        } else if (strcasecmp(key, "AIX_AUTH_TTY") == 0) {
            ctx->authTty = value;
        } else if (strcasecmp(key, "SKIP_PW_EXP_CHECK") == 0) {
            ctx->skipPwExpCheck = on;
            if (on) KIV_DEBUG(log, "PW: 'Skip expired password check' enabled.");
        } else if (strcasecmp(key, "SKIP_ACC_EXP_CHECK") == 0) {
            ctx->skipAccExpCheck = on;
            if (on) KIV_DEBUG(log, "PW: 'Skip expired account check' enabled.");
        } else if (strcasecmp(key, "SKIP_ADMIN_LOCK_CHECK") == 0) {
            ctx->skipAdminLockCheck = on;
            if (on) KIV_DEBUG(log, "PW: 'Skip admin lock check' enabled.");
        } else if (strcasecmp(key, "SKIP_CHANGE_CHECK") == 0) {
            ctx->skipChangeCheck = on;
            if (on) KIV_DEBUG(log, "PW: 'Skip password change check' enabled.");
        } else if (strcasecmp(key, "DENY_EMPTY_PASSWORDS") == 0) {
            ctx->denyEmptyPasswords = on;
            if (on) KIV_DEBUG(log, "PW: Deny empty passwords enabled.");
        }
    }
    return ctx;
}

extern "C" void pwTerminate(void *context, AuthLog *) {
    if (grpSearchLockInit) {
        pthread_mutex_destroy(&grpSearchLock);
        grpSearchLockInit = 0;
    }
    delete static_cast<PwContext *>(context);
}

extern "C" int pwAuthenticate(void *context, const char *user, const char *password, int *uid,
                              int *gid, char **, AuthLog *log, char **message) {
    static const PwContext defaults{1, 0, 0, 0, 1, "KIV", 0, 0, 0, 0, 0};
    const PwContext *ctx = context ? static_cast<const PwContext *>(context) : &defaults;
    if (!user) user = "";

    KIV_DEBUG(log, "pwAuthenticate [ENTER]: username:<%s>", user);
    KIV_DEBUG(log, "Authenticating user %s via password database", user);

    int rc = AUTH_NOAUTH;
    do {
        if (!password) {
            rc = fail(context, user, 1, log);
            break;
        }
        if (ctx->denyEmptyPasswords && password[0] == '\0') {
            if (message) *message = const_cast<char *>("Empty password rejected.");
            rc = fail(context, user, 5, log);
            break;
        }

        // Separate storage for the two entries: the uid and gid of the passwd
        // entry must survive the shadow lookup.
        LookupBuffer pwBuffer;
        struct passwd pwEntry;
        struct passwd *pw = nullptr;
        Lookup found = lookupEntry(
            [user](struct passwd *e, char *b, size_t n, struct passwd **r) {
                return getpwnam_r(user, e, b, n, r);
            },
            &pwEntry, &pw, pwBuffer);
        if (found == Lookup::NoMemory) {
            rc = AUTH_NOAUTH;
            break;
        }
        if (found == Lookup::NotFound) {
            KIV_DEBUG(log, "User not in /etc/passwd.");
            rc = AUTH_UNKNOWN_USER;
            break;
        }

        LookupBuffer spBuffer;
        struct spwd spEntry;
        struct spwd *sp = nullptr;
        const char *stored = pw->pw_passwd;
        if (passwordInShadow(stored)) {
            found = lookupEntry(
                [user](struct spwd *e, char *b, size_t n, struct spwd **r) {
                    return getspnam_r(user, e, b, n, r);
                },
                &spEntry, &sp, spBuffer);
            if (found == Lookup::NoMemory) {
                rc = AUTH_NOAUTH;
                break;
            }
            if (found == Lookup::NotFound) {
                KIV_DEBUG(log, "User not in /etc/shadow.");
                rc = AUTH_UNKNOWN_USER;
                break;
            }
            KIV_DEBUG(log, "Using password from shadow password database.");
            KIV_DEBUG(log, "name: %s last change: %ld  max: %ld expire: %ld", sp->sp_namp,
                      sp->sp_lstchg, sp->sp_max, sp->sp_expire);
            stored = sp->sp_pwdp;
        }

        rc = authenticatePassword(password, stored, log, message);
        if (rc != AUTH_OK) {
            reportFailure(context, user, 1, log);
            break;
        }

        KIV_DEBUG(log, "Checking for password expiration.");
        if (sp) {
            int aged = shadowExpired(static_cast<int>(sp->sp_lstchg), static_cast<int>(sp->sp_max),
                                     static_cast<int>(sp->sp_expire), ctx->skipPwExpCheck,
                                     ctx->skipAccExpCheck, ctx->skipChangeCheck, log, message);
            if (aged == AUTH_EXPIRED) {
                rc = AUTH_EXPIRED;
                break;
            }
        }

        if (uid) *uid = static_cast<int>(pw->pw_uid);
        if (gid) *gid = static_cast<int>(pw->pw_gid);
        reportSuccess(context, user, log);
        rc = AUTH_OK;
    } while (false);

    KIV_DEBUG(log, "pwAuthenticate [EXIT]: username:<%s> rc:<0x%x>", user,
              static_cast<unsigned>(rc));
    return rc;
}
