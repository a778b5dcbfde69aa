// Authentication cache.
//
// One entry per user name (as the failed-attempt limit keys it), so a failure
// or lock-out for a name drops exactly what was cached for it, and a success
// with a new password replaces the entry of the old one.  The entry holds a
// MAC of the exact name and the password; a lookup recomputes it and compares
// in constant time.  Entries live authCacheSeconds from the method's success
// (a hit does not extend them); the least recently used goes when
// authCacheSize entries are held.  One mutex guards everything; it is held
// for the map operations only, never while a MAC is computed or a method runs.
#include "authcache.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <strings.h>
#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <mutex>
#include <unordered_map>

#include "log.h"
#include "maxtries.h"

extern "C" {
int authCacheSeconds = 0;
int authCacheSize = 1000;
}

namespace {

constexpr size_t kMacSize = 32;
constexpr long kMaxSeconds = 86400;
constexpr long kMaxSize = 1000000;
// Generations are counted per bucket of names rather than per name, so that
// a forgotten name leaves nothing behind; a collision only costs a store.
constexpr size_t kBuckets = 256;

using Mac = std::array<unsigned char, kMacSize>;

struct Entry {
    std::string key;  // attemptKey of the name
    Mac mac;
    int64_t expiresMs;
    CachedAnswer answer;
};

std::mutex cacheLock;
std::list<Entry> lru;  // most recently used first
std::unordered_map<std::string, std::list<Entry>::iterator> byKey;
std::array<uint64_t, kBuckets> generation{};
// HMAC-SHA-256 keyed once at start-up; each MAC works on a copy of it.  The
// copy needs no algorithm look-up, so workers leave no per-thread library
// state behind (which the library could no longer free at exit).
EVP_MAC_CTX *keyedMac = nullptr;

std::string keyOf(const char *user) {
    char key[sizeof(AttemptRecord::name)];
    attemptKey(user, key);
    return key;
}

size_t bucketOf(const std::string &key) { return std::hash<std::string>{}(key) % kBuckets; }

// The MAC over the name's length, the name and the password, so that no two
// (name, password) pairs share an input.
bool computeMac(const char *user, const char *password, Mac *out) {
    if (keyedMac == nullptr) return false;
    const size_t nameLength = strnlen(user, 255);
    const unsigned char lengthByte = static_cast<unsigned char>(nameLength);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_dup(keyedMac);
    if (ctx == nullptr) return false;
    size_t length = 0;
    const bool ok = EVP_MAC_update(ctx, &lengthByte, 1) == 1 &&
                    EVP_MAC_update(ctx, reinterpret_cast<const unsigned char *>(user), nameLength) == 1 &&
                    EVP_MAC_update(ctx, reinterpret_cast<const unsigned char *>(password), strnlen(password, 255)) ==
                        1 &&
                    EVP_MAC_final(ctx, out->data(), &length, kMacSize) == 1 && length == kMacSize;
    EVP_MAC_CTX_free(ctx);
    return ok;
}

// A fresh random key, used only inside the library's MAC state.
bool makeKeyedMac() {
    unsigned char key[kMacSize];
    size_t got = 0;
    while (got < sizeof key) {
        ssize_t n = getrandom(key + got, sizeof key - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX *ctx = hmac != nullptr ? EVP_MAC_CTX_new(hmac) : nullptr;
    EVP_MAC_free(hmac);  // the context holds its own reference
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    const bool ok = ctx != nullptr && EVP_MAC_init(ctx, key, sizeof key, params) == 1;
    explicit_bzero(key, sizeof key);
    if (!ok) {
        EVP_MAC_CTX_free(ctx);
        return false;
    }
    EVP_MAC_CTX_free(keyedMac);
    keyedMac = ctx;
    return true;
}

void dropLocked(const std::string &key) {
    ++generation[bucketOf(key)];
    auto it = byKey.find(key);
    if (it == byKey.end()) return;
    explicit_bzero(it->second->mac.data(), kMacSize);
    lru.erase(it->second);
    byKey.erase(it);
}

// A whole number in [min, max], or false.
bool parseSetting(const char *value, long min, long max, int *out) {
    char *end = nullptr;
    errno = 0;
    long n = strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || n < min || n > max) return false;
    *out = static_cast<int>(n);
    return true;
}

} // namespace

extern "C" int initAuthCache(ConfigEntry *list, int count) {
    authCacheSeconds = 0;
    authCacheSize = 1000;
    for (int i = 0; list != nullptr && i < count; ++i) {
        const char *key = list[i].key;
        const char *value = list[i].value;
        if (key == nullptr || value == nullptr) continue;
        if (strcasecmp(key, "authCacheSeconds") == 0) {
            if (!parseSetting(value, 0, kMaxSeconds, &authCacheSeconds)) {
                errorMessage("Invalid value for authCacheSeconds: %s", value);
                return -1;
            }
        } else if (strcasecmp(key, "authCacheSize") == 0) {
            if (!parseSetting(value, 1, kMaxSize, &authCacheSize)) {
                errorMessage("Invalid value for authCacheSize: %s", value);
                return -1;
            }
        }
    }
    authCacheFlush();
    if (!authCacheOn()) return 0;
    if (!makeKeyedMac()) {
        errorMessage("Could not make the authentication cache key.");
        return -1;
    }
    debugMessage("Authentication cache: %d seconds, at most %d entries.", authCacheSeconds, authCacheSize);
    return 0;
}

extern "C" void authCacheFlush(void) {
    std::lock_guard<std::mutex> guard(cacheLock);
    for (Entry &e : lru) explicit_bzero(e.mac.data(), kMacSize);
    lru.clear();
    byKey.clear();
    for (uint64_t &g : generation) ++g;
}

int64_t authCacheNowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t authCacheTicket(const char *user) {
    if (!authCacheOn() || user == nullptr) return 0;
    const std::string key = keyOf(user);
    std::lock_guard<std::mutex> guard(cacheLock);
    return generation[bucketOf(key)];
}

bool authCacheLookup(const char *user, const char *password, int64_t nowMs, CachedAnswer *answer) {
    if (!authCacheOn() || user == nullptr || password == nullptr) return false;
    const std::string key = keyOf(user);
    Mac mac;
    if (!computeMac(user, password, &mac)) return false;
    std::lock_guard<std::mutex> guard(cacheLock);
    auto it = byKey.find(key);
    if (it == byKey.end()) return false;
    Entry &e = *it->second;
    if (nowMs >= e.expiresMs) {
        dropLocked(key);
        return false;
    }
    if (CRYPTO_memcmp(e.mac.data(), mac.data(), kMacSize) != 0) return false;
    lru.splice(lru.begin(), lru, it->second);
    *answer = e.answer;
    return true;
}

void authCacheStore(uint64_t ticket, const char *user, const char *password, int64_t nowMs,
                    const CachedAnswer &answer) {
    if (!authCacheOn() || user == nullptr || password == nullptr || answer.method == nullptr) return;
    const std::string key = keyOf(user);
    Entry entry{key, {}, nowMs + static_cast<int64_t>(authCacheSeconds) * 1000, answer};
    if (!computeMac(user, password, &entry.mac)) return;
    std::lock_guard<std::mutex> guard(cacheLock);
    if (generation[bucketOf(key)] != ticket) return;
    auto it = byKey.find(key);
    if (it != byKey.end()) {
        lru.erase(it->second);
        byKey.erase(it);
    }
    while (!lru.empty() && lru.size() >= static_cast<size_t>(authCacheSize)) {
        byKey.erase(lru.back().key);
        lru.pop_back();
    }
    lru.push_front(std::move(entry));
    byKey[key] = lru.begin();
}

void authCacheForget(const char *user) {
    if (!authCacheOn() || user == nullptr) return;
    const std::string key = keyOf(user);
    std::lock_guard<std::mutex> guard(cacheLock);
    dropLocked(key);
}

size_t authCacheEntries() {
    std::lock_guard<std::mutex> guard(cacheLock);
    return lru.size();
}
