// Failed-attempt limiting ("maxtries").
//
// One record per user name counts failed password authentications; once the
// count reaches maxtries the name is refused without asking any method until
// it has stayed quiet for maxtriesWait seconds.  authAttempLock guards the
// list and every record; it is never held while a method runs.
//
// Each request reserves its attempt (pending) before the methods run and
// settles it afterwards, so parallel guesses cannot all slip past the check.
// With a directory among the methods, names that the directory takes for the
// same account ("Bob", "bob ") share one record.
#include "maxtries.h"

#include <strings.h>
#include <wctype.h>
#include <locale.h>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "log.h"
#include "methods.h"
#include "request.h"

extern "C" {
int maxtries = 0;
int maxperiod = 0;
int maxtriesWait = 0;
int maxtriesNocase = 0;
AttemptRecord *attempts = nullptr;
pthread_mutex_t authAttempLock = PTHREAD_MUTEX_INITIALIZER;
}

int maxtriesInflightWaitMs = -1;

namespace {

constexpr size_t kMaxName = sizeof(AttemptRecord::name) - 1;

// Signalled, with authAttempLock, whenever an attempt settles or records go.
pthread_cond_t attemptSettled = PTHREAD_COND_INITIALIZER;

// Scoped holder of authAttempLock.
class AttemptLock {
public:
    AttemptLock() { pthread_mutex_lock(&authAttempLock); }
    ~AttemptLock() { pthread_mutex_unlock(&authAttempLock); }
    AttemptLock(const AttemptLock &) = delete;
    AttemptLock &operator=(const AttemptLock &) = delete;
};

// Byte-for-byte comparison of a record with a key.
bool sameKey(const AttemptRecord *record, const char *key) { return strcmp(record->name, key) == 0; }

// atol, truncated to 32 bits.
int toInt(const char *value) {
    return static_cast<int32_t>(static_cast<uint32_t>(strtol(value, nullptr, 10)));
}

// One more counted event; the 16-bit count stops at its maximum so that it
// can never wrap to a small number and lift a lock-out.
void bump(AttemptRecord *record) {
    if (record->count < INT16_MAX) ++record->count;
}

void settle(AttemptRecord *record) {
    if (record->pending > 0) --record->pending;
    pthread_cond_broadcast(&attemptSettled);
}

void unlink(AttemptRecord *record) {
    for (AttemptRecord **link = &attempts; *link != nullptr; link = &(*link)->next) {
        if (*link == record) {
            *link = record->next;
            delete record;
            return;
        }
    }
}

AttemptRecord *findKey(const char *key) {
    for (AttemptRecord *r = attempts; r != nullptr; r = r->next)
        if (sameKey(r, key)) return r;
    return nullptr;
}

// A new record at the head of the list, or null after the out-of-memory
// handling (error line, every record discarded).
AttemptRecord *newRecord(const char *key, int64_t now, int16_t count, int16_t pending) {
    auto *r = new (std::nothrow) AttemptRecord{};
    if (r == nullptr) {
        errorMessage("Out of memory. (Allocating maxtries record.)");
        freeAttempts();
        return nullptr;
    }
    memcpy(r->name, key, strlen(key) + 1);
    r->time = now;
    r->count = count;
    r->pending = pending;
    r->next = attempts;
    attempts = r;
    return r;
}

void purgeLocked(int64_t now) {
    AttemptRecord **link = &attempts;
    while (*link != nullptr) {
        AttemptRecord *r = *link;
        int64_t quiet = now - r->time;
        // A record that holds attempts in flight stays until they settle.
        bool expired = r->pending == 0 &&
                       ((maxperiod != 0 && r->count < maxtries && quiet > maxperiod) || quiet > maxtriesWait ||
                        r->count == 0);
        if (expired) {
            *link = r->next;
            delete r;
        } else {
            link = &r->next;
        }
    }
}

// ---- keys of case-insensitive directories ----

// The locale whose tables give Unicode lower case; null: ASCII only.
locale_t foldLocale() {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
}

// One UTF-8 sequence at s (n bytes left): its code point and length, or
// length 0 when the bytes are not valid UTF-8.
size_t decodeUtf8(const unsigned char *s, size_t n, uint32_t *cp) {
    if (s[0] < 0x80) {
        *cp = s[0];
        return 1;
    }
    size_t len = s[0] >= 0xF0 && s[0] <= 0xF4 ? 4 : s[0] >= 0xE0 ? (s[0] <= 0xEF ? 3 : 0) : s[0] >= 0xC2 ? 2 : 0;
    if (len == 0 || len > n) return 0;
    uint32_t v = s[0] & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

size_t encodeUtf8(uint32_t cp, char *out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Characters that directory string matching (RFC 4518) maps to nothing.
bool ignoredByDirectory(uint32_t cp) {
    return cp <= 0x08 || (cp >= 0x0E && cp <= 0x1F) || (cp >= 0x7F && cp <= 0x84) || (cp >= 0x86 && cp <= 0x9F) ||
           cp == 0xAD || cp == 0x34F || cp == 0x1806 || (cp >= 0x180B && cp <= 0x180D) ||
           (cp >= 0x200B && cp <= 0x200D) || cp == 0x2060 || (cp >= 0xFE00 && cp <= 0xFE0F) || cp == 0xFEFF;
}

// Characters it maps to a space.
bool spaceForDirectory(uint32_t cp, locale_t loc) {
    if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0) return true;
    return loc != nullptr && cp > 0x7F && iswspace_l(static_cast<wint_t>(cp), loc);
}

void foldedKey(const char *name, char *key) {
    const locale_t loc = foldLocale();
    const auto *s = reinterpret_cast<const unsigned char *>(name);
    size_t n = strlen(name);
    size_t out = 0;
    bool spacePending = false;
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        size_t len = decodeUtf8(s + i, n - i, &cp);
        char bytes[4];
        size_t blen;
        if (len == 0) {
            // Not UTF-8: the byte stands for itself.
            bytes[0] = static_cast<char>(s[i]);
            blen = 1;
            len = 1;
        } else if (ignoredByDirectory(cp)) {
            i += len;
            continue;
        } else if (spaceForDirectory(cp, loc)) {
            spacePending = out > 0;  // leading spaces vanish
            i += len;
            continue;
        } else {
            if (cp < 0x80)
                cp = static_cast<uint32_t>(tolower(static_cast<int>(cp)));
            else if (loc != nullptr)
                cp = static_cast<uint32_t>(towlower_l(static_cast<wint_t>(cp), loc));
            blen = encodeUtf8(cp, bytes);
        }
        i += len;
        // Inner runs of spaces count as one; trailing spaces vanish.
        if (spacePending) {
            if (out + 1 > kMaxName) break;
            key[out++] = ' ';
            spacePending = false;
        }
        if (out + blen > kMaxName) break;
        memcpy(key + out, bytes, blen);
        out += blen;
    }
    key[out] = '\0';
}

// The methods that compare names the way a directory does: all but pw,
// which looks names up in the local databases byte for byte.
bool directoryMethodConfigured() {
    for (int i = 0; i < numMethods; ++i)
        if (authMethods[i].name != nullptr && strcasecmp(authMethods[i].name, "pw") != 0) return true;
    return false;
}

} // namespace

void attemptKey(const char *name, char *key) {
    if (maxtriesNocase) {
        foldedKey(name, key);
        return;
    }
    size_t n = strnlen(name, kMaxName);
    memcpy(key, name, n);
    key[n] = '\0';
}

extern "C" int initMaxtries(ConfigEntry *list, int count) {
    maxtries = 0;
    maxperiod = 0;
    maxtriesWait = 0;
    int nocase = -1;  // auto
    for (int i = 0; list != nullptr && i < count; ++i) {
        const char *key = list[i].key;
        const char *value = list[i].value;
        if (key == nullptr || value == nullptr) continue;
        if (strcasecmp(key, "maxtries") == 0) {
            int v = toInt(value);
            if (v < 0) {
                errorMessage("Invalid value for maxtries: %s", value);
                return -1;
            }
            maxtries = v;
            debugMessage("Using maxtries: %d", v);
        } else if (strcasecmp(key, "maxtriesPeriod") == 0) {
            int v = toInt(value);
            if (v < 1) {
                errorMessage("Invalid value for maxtriesPeriod: %s", value);
                return -1;
            }
            maxperiod = v;
            debugMessage("Using maxtries period: %d", v);
        } else if (strcasecmp(key, "maxtriesWait") == 0) {
            int v = toInt(value);
            if (v < 1) {
                errorMessage("Invalid value for maxtriesWait: %s", value);
                return -1;
            }
            maxtriesWait = v;
            debugMessage("Using maxtries wait: %d", v);
        } else if (strcasecmp(key, "maxtriesNocase") == 0) {
            if (strcasecmp(value, "yes") == 0 || strcasecmp(value, "true") == 0 || strcasecmp(value, "on") == 0 ||
                strcmp(value, "1") == 0) {
                nocase = 1;
            } else if (strcasecmp(value, "no") == 0 || strcasecmp(value, "false") == 0 ||
                       strcasecmp(value, "off") == 0 || strcmp(value, "0") == 0) {
                nocase = 0;
            } else if (strcasecmp(value, "auto") == 0) {
                nocase = -1;
            } else {
                errorMessage("Invalid value for maxtriesNocase: %s", value);
                return -1;
            }
        }
    }
    if (maxtries >= 1) {
        if (maxperiod == 0 && maxtriesWait == 0) {
            errorMessage("maxtriesPeriod and maxtriesWait settings are required when using maxtries.");
            return -1;
        }
        if (maxperiod == 0) {
            errorMessage("maxtriesPeriod setting required when using maxtries.");
            return -1;
        }
        if (maxtriesWait == 0) {
            errorMessage("maxtriesWait setting required when using maxtries.");
            return -1;
        }
    }
    maxtriesNocase = nocase >= 0 ? nocase : directoryMethodConfigured() ? 1 : 0;
    if (maxtries >= 1 && maxtriesNocase) debugMessage("maxtries: user names compared without regard to case.");
    return 0;
}

extern "C" AttemptRecord *findAttempts(const char *name) {
    if (name == nullptr) return nullptr;
    char key[sizeof(AttemptRecord::name)];
    attemptKey(name, key);
    return findKey(key);
}

extern "C" void clearAttempts(const char *name) {
    if (name == nullptr) {
        purgeLocked(time(nullptr));
        return;
    }
    if (AttemptRecord *r = findAttempts(name)) unlink(r);
}

extern "C" void freeAttempts(void) {
    debugMessage("freeAttempts [ENTER]");
    AttemptRecord *r = attempts;
    attempts = nullptr;
    while (r != nullptr) {
        AttemptRecord *next = r->next;
        delete r;
        r = next;
    }
    pthread_cond_broadcast(&attemptSettled);
    debugMessage("freeAttempts [EXIT]");
}

Precheck maxtriesPrecheck(const char *user, int64_t now) {
    if (maxtries < 1 || user == nullptr) return Precheck::Go;
    char key[sizeof(AttemptRecord::name)];
    attemptKey(user, key);

    // Bounded like the client's own I/O, so a stop is not held up longer.
    const int waitMs = maxtriesInflightWaitMs >= 0 ? maxtriesInflightWaitMs : clientTimeout * 1000;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    const time_t started = deadline.tv_sec;
    deadline.tv_sec += waitMs / 1000;
    deadline.tv_nsec += static_cast<long>(waitMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }

    AttemptLock lock;
    for (bool waited = false;; waited = true) {
        if (waited) now += time(nullptr) - started;
        AttemptRecord *r = findKey(key);
        if (r == nullptr) return newRecord(key, now, 0, 1) != nullptr ? Precheck::Go : Precheck::OutOfMemory;

        if (r->count >= maxtries) {
            if (now - r->time <= maxtriesWait) {
                bump(r);
                r->time = now;
                accessMessage("User %s exceeded maxtries (#/max):%d/%d", user, r->count, maxtries);
                return Precheck::Refused;
            }
            r->count = 0;  // quiet long enough: the lock-out ends
        } else if (r->count > 0 && now - r->time > maxperiod) {
            r->count = 0;  // the counting period is over: start afresh
        }
        if (r->count + r->pending < maxtries) {
            ++r->pending;
            return Precheck::Go;
        }
        // Every attempt left is in flight and each may still fail: wait for
        // one to settle rather than let another guess through, or turn away
        // the right password of a user who logs in several times at once.
        if (pthread_cond_timedwait(&attemptSettled, &authAttempLock, &deadline) != 0) {
            r = findKey(key);
            if (r != nullptr && r->count + r->pending >= maxtries) {
                accessMessage("User %s exceeded maxtries (#/max):%d/%d", user, r->count + r->pending, maxtries);
                return Precheck::Refused;
            }
        }
    }
}

int maxtriesRecordFailure(const char *user, int64_t now) {
    if (maxtries < 1 || user == nullptr) return 0;
    char key[sizeof(AttemptRecord::name)];
    attemptKey(user, key);

    AttemptLock lock;
    // The reservation's record may be gone (the whole list discarded after a
    // failed allocation): then the failure starts a new one.
    AttemptRecord *r = findKey(key);
    if (r == nullptr) return newRecord(key, now, 1, 0) != nullptr ? 0 : -1;
    settle(r);
    bump(r);
    r->time = now;
    return 0;
}

void maxtriesRecordSuccess(const char *user) {
    if (maxtries < 1 || user == nullptr) return;
    char key[sizeof(AttemptRecord::name)];
    attemptKey(user, key);
    AttemptLock lock;
    AttemptRecord *r = findKey(key);
    if (r == nullptr) return;
    settle(r);
    r->count = 0;
    if (r->pending == 0) unlink(r);
}

void maxtriesRelease(const char *user) {
    if (maxtries < 1 || user == nullptr) return;
    char key[sizeof(AttemptRecord::name)];
    attemptKey(user, key);
    AttemptLock lock;
    AttemptRecord *r = findKey(key);
    if (r == nullptr) return;
    settle(r);
    if (r->pending == 0 && r->count == 0) unlink(r);
}

void purgeAttempts(int64_t now) {
    AttemptLock lock;
    purgeLocked(now);
}
