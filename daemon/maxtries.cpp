// Failed-attempt limiting ("maxtries").
//
// One record per user name counts failed password authentications; once the
// count reaches maxtries the name is refused without asking any method until
// it has stayed quiet for maxtriesWait seconds.  authAttempLock guards the
// list and every record; it is never held while a method runs.
#include "maxtries.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "log.h"

extern "C" {
int maxtries = 0;
int maxperiod = 0;
int maxtriesWait = 0;
AttemptRecord *attempts = nullptr;
pthread_mutex_t authAttempLock = PTHREAD_MUTEX_INITIALIZER;
}

namespace {

constexpr size_t kMaxName = sizeof(AttemptRecord::name) - 1;

// Scoped holder of authAttempLock.
class AttemptLock {
public:
    AttemptLock() { pthread_mutex_lock(&authAttempLock); }
    ~AttemptLock() { pthread_mutex_unlock(&authAttempLock); }
    AttemptLock(const AttemptLock &) = delete;
    AttemptLock &operator=(const AttemptLock &) = delete;
};

// Byte-for-byte, case-sensitive.  Records keep at most 255 bytes of a name,
// so a longer name is compared by that prefix.
bool sameName(const AttemptRecord *record, const char *name) {
    size_t n = strnlen(name, kMaxName);
    return memcmp(record->name, name, n) == 0 && record->name[n] == '\0';
}

// atol, truncated to 32 bits.
int toInt(const char *value) {
    return static_cast<int32_t>(static_cast<uint32_t>(strtol(value, nullptr, 10)));
}

// One more counted event; the 16-bit count stops at its maximum so that it
// can never wrap to a small number and lift a lock-out.
void bump(AttemptRecord *record) {
    if (record->count < INT16_MAX) ++record->count;
}

bool listed(const AttemptRecord *record) {
    for (const AttemptRecord *r = attempts; r != nullptr; r = r->next)
        if (r == record) return true;
    return false;
}

void purgeLocked(int64_t now) {
    AttemptRecord **link = &attempts;
    while (*link != nullptr) {
        AttemptRecord *r = *link;
        int64_t quiet = now - r->time;
        bool expired = (maxperiod != 0 && r->count < maxtries && quiet > maxperiod) ||
                       quiet > maxtriesWait;
        if (expired) {
            *link = r->next;
            delete r;
        } else {
            link = &r->next;
        }
    }
}

} // namespace

extern "C" int initMaxtries(ConfigEntry *list, int count) {
    maxtries = 0;
    maxperiod = 0;
    maxtriesWait = 0;
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
    return 0;
}

extern "C" AttemptRecord *findAttempts(const char *name) {
    if (name == nullptr) return nullptr;
    for (AttemptRecord *r = attempts; r != nullptr; r = r->next)
        if (sameName(r, name)) return r;
    return nullptr;
}

extern "C" void clearAttempts(const char *name) {
    if (name == nullptr) {
        purgeLocked(time(nullptr));
        return;
    }
    AttemptRecord **link = &attempts;
    while (*link != nullptr) {
        AttemptRecord *r = *link;
        if (sameName(r, name)) {
            *link = r->next;
            delete r;
            return;
        }
        link = &r->next;
    }
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
    debugMessage("freeAttempts [EXIT]");
}

bool maxtriesPrecheck(const char *user, int64_t now, AttemptRecord **record) {
    if (record != nullptr) *record = nullptr;
    if (maxtries < 1 || user == nullptr) return true;

    AttemptLock lock;
    AttemptRecord *r = findAttempts(user);
    if (r == nullptr) return true;
    if (r->count < maxtries) {
        if (now - r->time > maxperiod) {
            clearAttempts(user);  // the counting period is over: start afresh
        } else if (record != nullptr) {
            *record = r;
        }
        return true;
    }
    if (now - r->time > maxtriesWait) {
        clearAttempts(user);  // quiet long enough: the lock-out ends
        return true;
    }
    bump(r);
    r->time = now;
    accessMessage("User %s exceeded maxtries (#/max):%d/%d", user, r->count, maxtries);
    return false;
}

int maxtriesRecordFailure(const char *user, AttemptRecord *record, int64_t now) {
    if (maxtries < 1 || user == nullptr) return 0;

    AttemptLock lock;
    // The pre-check's record may have been removed meanwhile (a success, a
    // purge) and its memory reused for another name: trust it only if it is
    // still listed under this name.  Failing that, a record another request
    // made for the same name in the meantime takes the count, so parallel
    // failures add up in one record instead of splitting over duplicates.
    AttemptRecord *r = record != nullptr && listed(record) && sameName(record, user) ? record : nullptr;
    if (r == nullptr) r = findAttempts(user);
    if (r != nullptr) {
        bump(r);
        r->time = now;
        return 0;
    }
    r = new (std::nothrow) AttemptRecord{};
    if (r == nullptr) {
        errorMessage("Out of memory. (Allocating maxtries record.)");
        freeAttempts();
        return -1;
    }
    size_t n = strnlen(user, kMaxName);
    memcpy(r->name, user, n);
    r->name[n] = '\0';
    r->time = now;
    r->count = 1;
    r->next = attempts;
    attempts = r;
    return 0;
}

void maxtriesRecordSuccess(const char *user, AttemptRecord *record) {
    // Only the pointer's presence is used: it may be stale by now.
    if (record == nullptr || user == nullptr) return;
    AttemptLock lock;
    clearAttempts(user);
}

void purgeAttempts(int64_t now) {
    AttemptLock lock;
    purgeLocked(now);
}
