// Shadow-style password ageing and account expiry.
#include "verify.h"

#include <atomic>
#include <ctime>

#define KIV_DEBUG(log, ...)                                        \
    do {                                                           \
        if ((log) && (log)->logDebug) (log)->logDebug(__VA_ARGS__); \
    } while (0)

extern "C" {
const char *EXPMSG = "The user's password has expired";
}

namespace {

// Days since 1970-01-01 that tests pin "today" to; negative: use the clock.
std::atomic<long long> pinnedToday{-1};

void setMessage(char **message, const char *text) {
    if (message) *message = const_cast<char *>(text);
}

} // namespace

extern "C" void setShadowTodayForTesting(long long today) {
    pinnedToday.store(today, std::memory_order_relaxed);
}

extern "C" int shadowExpiredOn(long long today, int lastChange, int maxAge, int expire,
                               int skipPasswordAge, int skipAccountExpiry, int skipChangeCheck,
                               AuthLog *log, char **message) {
    // A last-change day of 0 is how the shadow database marks "must change
    // the password at next login".
    if (skipChangeCheck) {
        KIV_DEBUG(log, "Skipped password change check.");
    } else if (lastChange == 0) {
        setMessage(message, "Password change required.");
        KIV_DEBUG(log, "Password expired. (lstchg=0)");
        return AUTH_EXPIRED;
    }

    if (maxAge == -1 || lastChange == -1) {
        KIV_DEBUG(log, "Password not checked for max age. Either lastchange or maxage was not specified.");
    } else if (skipPasswordAge) {
        KIV_DEBUG(log, "Skipped expired password check.");
    } else if (today > static_cast<long long>(lastChange) + static_cast<long long>(maxAge)) {
        setMessage(message, EXPMSG);
        KIV_DEBUG(log, "Password expired. Last change too far in the past.");
        return AUTH_EXPIRED;
    }

    if (expire == -1) {
        KIV_DEBUG(log, "Account not checked for expiration. expire was not specified.");
        return AUTH_OK;
    }
    if (skipAccountExpiry) {
        KIV_DEBUG(log, "Skipped expired account check.");
        return AUTH_OK;
    }
    if (today > expire) {
        setMessage(message, EXPMSG);
        KIV_DEBUG(log, "Password expired. (sp_expire)");
        return AUTH_EXPIRED;
    }
    KIV_DEBUG(log, "accountExpire check passes.");
    return AUTH_OK;
}

extern "C" int shadowExpired(int lastChange, int maxAge, int expire, int skipPasswordAge,
                             int skipAccountExpiry, int skipChangeCheck, AuthLog *log,
                             char **message) {
    long long today = pinnedToday.load(std::memory_order_relaxed);
    if (today < 0) today = static_cast<long long>(std::time(nullptr)) / 86400;
    return shadowExpiredOn(today, lastChange, maxAge, expire, skipPasswordAge,
                           skipAccountExpiry, skipChangeCheck, log, message);
}
