// Authentication cache ("authCacheSeconds", "authCacheSize").
//
// A successful password authentication is remembered for a while so that a
// repeat with the same name and password is answered without the methods.
// Nothing secret is kept: an entry holds a keyed MAC of name and password
// (HMAC-SHA-256 under a random key made at start-up and never written out)
// beside the answer (method, uid, gid, groups, local account name).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "kivmod.h"

struct MethodRecord;

extern "C" {
extern int authCacheSeconds;  // 0: off
extern int authCacheSize;     // most entries kept; the least recently used goes

// Reads the two keys and makes the key of the MAC.  0, or -1 after logging.
int initAuthCache(ConfigEntry *list, int count);
// Drops every entry (SIGHUP, stop).
void authCacheFlush(void);
}

inline bool authCacheOn() { return authCacheSeconds > 0; }

// What a cached success answers with.
struct CachedAnswer {
    const MethodRecord *method = nullptr;
    int uid = -1;
    int gid = -1;
    std::vector<int> groups;
    std::string unixName;  // empty: the method reported none
};

// Milliseconds of a clock that never goes back (wall-clock changes neither
// stretch nor cut an entry's life).
int64_t authCacheNowMs();

// Taken before the methods run and handed to authCacheStore: a success is
// only stored if no failure, lock-out or flush touched that name meanwhile,
// so an answer that is already stale never lands in the cache.
uint64_t authCacheTicket(const char *user);
// True, with *answer filled, when a live entry matches name and password.
bool authCacheLookup(const char *user, const char *password, int64_t nowMs, CachedAnswer *answer);
void authCacheStore(uint64_t ticket, const char *user, const char *password, int64_t nowMs,
                    const CachedAnswer &answer);
// Drops the entry of a name (a failed attempt, a lock-out).
void authCacheForget(const char *user);
// Entries held now (tests, debug).
size_t authCacheEntries();
