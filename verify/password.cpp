// Stored-password verification: crypt() hashes and the "{scheme}" values that
// directory servers keep (SHA-1, SHA-256, their salted forms, tagged crypt).
//
// Every buffer lives for one call; buffers that held password bytes are wiped
// before they are released.  Digest comparisons look at every byte so that the
// time taken does not reveal how much of a guess was right.
#include "verify.h"

#include <crypt.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#define KIV_DEBUG(log, ...)                                        \
    do {                                                           \
        if ((log) && (log)->logDebug) (log)->logDebug(__VA_ARGS__); \
    } while (0)

namespace {

constexpr int kSha1Len = 20;
constexpr int kSha256Len = 32;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Bytes = std::unique_ptr<unsigned char, FreeDeleter>;
using Text = std::unique_ptr<char, FreeDeleter>;

// Owns a buffer that holds secret material: wiped, then freed.
struct SecretBuffer {
    unsigned char *data = nullptr;
    size_t size = 0;
    SecretBuffer() = default;
    SecretBuffer(const SecretBuffer &) = delete;
    SecretBuffer &operator=(const SecretBuffer &) = delete;
    ~SecretBuffer() {
        if (data) {
            explicit_bzero(data, size);
            std::free(data);
        }
    }
};

void setMessage(char **message, const char *text) {
    if (message) *message = const_cast<char *>(text);
}

bool showPasswords(const AuthLog *log) { return log && log->showPasswords == 1; }

bool constantTimeEqual(const unsigned char *a, const unsigned char *b, size_t n) {
    unsigned char diff = 0;
    for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// Whole-string comparison of crypt() output; the length of a hash is not a
// secret, its bytes are.
bool constantTimeStrEqual(const char *a, const char *b) {
    size_t la = std::strlen(a), lb = std::strlen(b);
    if (la != lb) return false;
    return constantTimeEqual(reinterpret_cast<const unsigned char *>(a),
                             reinterpret_cast<const unsigned char *>(b), la);
}

// Dump lines reach the log as an argument, never as the format: their text is
// not ours to trust with '%' signs (the prefix may one day be data).
void logDump(AuthLog *log, const unsigned char *bytes, int count, const char *prefix) {
    if (!showPasswords(log) || !log->logDebug) return;
    Text dump(keyToHex(bytes, count, prefix));
    if (dump) log->logDebug("%s", dump.get());
}

void logDumpPair(AuthLog *log, const unsigned char *digest, int digestLen,
                 const unsigned char *stored, int storedLen) {
    if (!showPasswords(log) || !log->logDebug) return;
    Text left(keyToHex(digest, digestLen, "Comparing shaKey "));
    Text right(keyToHex(stored, storedLen, " to db key "));
    if (left && right) log->logDebug("%s%s", left.get(), right.get());
}

// Password length as the int the digests take; false for absurd lengths.
bool passwordLength(const char *password, int *length) {
    size_t n = std::strlen(password);
    if (n > static_cast<size_t>(INT_MAX)) return false;
    *length = static_cast<int>(n);
    return true;
}

enum class Digest { Sha1, Sha256 };

// Digest of password || salt into `out`.  False when memory runs out.
bool saltedDigest(Digest kind, const char *password, const unsigned char *salt, int saltLen,
                  unsigned char *out) {
    size_t pwLen = std::strlen(password);
    size_t total = pwLen + static_cast<size_t>(saltLen);
    if (total > static_cast<size_t>(INT_MAX)) return false;
    SecretBuffer joined;
    joined.size = total + 1;
    joined.data = static_cast<unsigned char *>(std::malloc(joined.size));
    if (!joined.data) return false;
    std::memcpy(joined.data, password, pwLen);
    if (saltLen > 0) std::memcpy(joined.data + pwLen, salt, static_cast<size_t>(saltLen));
    joined.data[total] = 0;
    const int len = static_cast<int>(total);
    return (kind == Digest::Sha256 ? sha256Crypt(joined.data, len, out)
                                   : sha1Crypt(joined.data, len, out)) != nullptr;
}

// One salted attempt: the decoded value is a digest of `digestLen` bytes
// followed by the salt.  Returns 1 match, 0 no match, 2 out of memory, -1 when
// the salt could not be made (the caller moves on).
int saltedAttempt(Digest kind, const char *password, const unsigned char *decoded, int decodedLen,
                  AuthLog *log) {
    const int digestLen = kind == Digest::Sha256 ? kSha256Len : kSha1Len;
    Bytes salt(getSalt(digestLen, decoded, decodedLen));
    if (!salt) {
        KIV_DEBUG(log, kind == Digest::Sha256 ? "Could not determine salt for SSHA-256."
                                              : "Could not determine salt for SSHA-1.");
        return -1;
    }
    const int saltLen = decodedLen - digestLen;
    KIV_DEBUG(log, kind == Digest::Sha256 ? "SSHA trying SHA-256." : "SSHA trying SSHA-1.");
    KIV_DEBUG(log, "salt length is %d", saltLen);

    unsigned char digest[kSha256Len + 1];
    bool ok = saltedDigest(kind, password, salt.get(), saltLen, digest);
    if (!ok) return 2;
    logDumpPair(log, digest, digestLen, decoded, digestLen);
    bool match = constantTimeEqual(digest, decoded, static_cast<size_t>(digestLen));
    explicit_bzero(digest, sizeof digest);
    return match ? 1 : 0;
}

int shaScheme(const char *password, const char *encoded, AuthLog *log, char **message) {
    KIV_DEBUG(log, "Using SHA encryption.");
    unsigned char digest[kSha1Len + 1];
    int pwLen = 0;
    if (!passwordLength(password, &pwLen) ||
        !sha1Crypt(reinterpret_cast<const unsigned char *>(password), pwLen, digest)) {
        setMessage(message, "SHA1 encryption failed.");
        return AUTH_NOAUTH;
    }
    int len = 0;
    Bytes decoded(decodeBase64(encoded, &len));
    if (!decoded) return AUTH_ERROR;
    logDump(log, decoded.get(), len, "decoded DB password is ");
    logDumpPair(log, digest, kSha1Len, decoded.get(), len);

    // Only the first 20 bytes are the digest; anything after them is ignored.
    bool match = len >= kSha1Len &&
                 constantTimeEqual(digest, decoded.get(), static_cast<size_t>(kSha1Len));
    explicit_bzero(digest, sizeof digest);
    if (!match) {
        KIV_DEBUG(log, "SSA password mismatch.");
        return AUTH_NOAUTH;
    }
    return AUTH_OK;
}

int sha256Scheme(const char *password, const char *encoded, AuthLog *log, char **message) {
    KIV_DEBUG(log, "Using SHA256 encryption.");
    unsigned char digest[kSha256Len + 1];
    int pwLen = 0;
    if (!passwordLength(password, &pwLen) ||
        !sha256Crypt(reinterpret_cast<const unsigned char *>(password), pwLen, digest)) {
        setMessage(message, "SHA256 encryption failed.");
        return AUTH_NOAUTH;
    }
    int len = 0;
    Bytes decoded(decodeBase64(encoded, &len));
    if (!decoded) return AUTH_ERROR;
    logDump(log, decoded.get(), len, "decoded DB password is ");
    logDumpPair(log, digest, kSha256Len, decoded.get(), len);

    if (len != kSha256Len) {
        explicit_bzero(digest, sizeof digest);
        KIV_DEBUG(log, "SHA256 password mismatch. Lengths differ.");
        return AUTH_NOAUTH;
    }
    bool match = constantTimeEqual(digest, decoded.get(), static_cast<size_t>(kSha256Len));
    explicit_bzero(digest, sizeof digest);
    if (!match) {
        KIV_DEBUG(log, "SHA256 password mismatch.");
        return AUTH_NOAUTH;
    }
    return AUTH_OK;
}

int saltedScheme(const char *password, const char *encoded, bool sha256Spelling, AuthLog *log,
                 char **message) {
    KIV_DEBUG(log, sha256Spelling ? "Using SSHA-256 encryption." : "Using SSHA encryption.");
    int r = authenticateSSHA(password, encoded, log);
    if (r == 0) {
        KIV_DEBUG(log, "SSHA password mismatch.");
        return AUTH_NOAUTH;
    }
    if (r == 2) {
        setMessage(message, "SSHA encryption failed.");
        return AUTH_NOAUTH;
    }
    return AUTH_OK;
}

enum class Scheme { Sha1, Sha256, Salted, Salted256, Crypt };

struct Prefix {
    const char *text;
    size_t length;
    Scheme scheme;
};

// Matched byte for byte, in this order; each scheme in exactly two spellings.
const Prefix prefixes[] = {
    {"{sha}", 5, Scheme::Sha1},        {"{SHA}", 5, Scheme::Sha1},
    {"{sha256}", 8, Scheme::Sha256},   {"{SHA256}", 8, Scheme::Sha256},
    {"{SSHA}", 6, Scheme::Salted},     {"{ssha}", 6, Scheme::Salted},
    {"{ssha256}", 9, Scheme::Salted256}, {"{SSHA256}", 9, Scheme::Salted256},
    {"{crypt}", 7, Scheme::Crypt},     {"{CRYPT}", 7, Scheme::Crypt},
};

} // namespace

extern "C" int authenticateSSHA(const char *password, const char *encoded, AuthLog *log) {
    if (!password || !encoded) return 0;
    if (showPasswords(log))
        KIV_DEBUG(log, "SSHA authenticating %s to db %s", password, encoded);
    else
        KIV_DEBUG(log, "SSHA authenticating user credentials.");

    int len = 0;
    Bytes decoded(decodeBase64(encoded, &len));
    if (!decoded) return 2;
    logDump(log, decoded.get(), len, "decoded DB password is ");

    // Try SHA-256 first when there is room for its digest and a salt; a value
    // that fails it may still be a SHA-1 digest with a longer salt.
    if (len > kSha256Len) {
        int r = saltedAttempt(Digest::Sha256, password, decoded.get(), len, log);
        if (r == 2) return 2;
        if (r == 1) {
            KIV_DEBUG(log, "User authenticated via SSHA-256.");
            return 1;
        }
    }
    if (len > kSha1Len) {
        int r = saltedAttempt(Digest::Sha1, password, decoded.get(), len, log);
        if (r == 2) return 2;
        if (r == 1) {
            KIV_DEBUG(log, "User authenticated via SSHA-1.");
            return 1;
        }
    }
    KIV_DEBUG(log, "Password not valid for SSHA.");
    return 0;
}

extern "C" int authenticateCrypt(const char *password, const char *stored, int trySalted,
                                 AuthLog *log, char **message) {
    if (!password || !stored) {
        setMessage(message, "Password mismatch.");
        return AUTH_NOAUTH;
    }
    KIV_DEBUG(log, "Using crypt()/bigcrypt()/crypt16() encryption.");

    // The crypt_r work area is large (tens to hundreds of KiB depending on the
    // library); it goes on the heap so that callers on small thread stacks are
    // safe.  Zeroed memory is the "not initialised" state crypt_r expects.
    bool match = false;
    {
        std::unique_ptr<crypt_data, FreeDeleter> work(
            static_cast<crypt_data *>(std::calloc(1, sizeof(crypt_data))));
        const char *h = work ? crypt_r(password, stored, work.get()) : nullptr;
        if (showPasswords(log))
            KIV_DEBUG(log, "Matching user password %s to database password %s", h ? h : "(null)",
                      stored);
        // A null or failure result ("*0"/"*1") never equals a stored value it
        // was computed from, so it cannot match.
        match = h != nullptr && constantTimeStrEqual(h, stored);
        if (work) explicit_bzero(work.get(), sizeof(crypt_data));
    }
    if (match) return AUTH_OK;

    const bool bothEmpty = stored[0] == '\0' && password[0] == '\0';
    if (trySalted) {
        KIV_DEBUG(log, "crypt did not match. Trying SSHA encryption.");
        int r = authenticateSSHA(password, stored, log);
        if (r == 1) return AUTH_OK;
        if (r == 2) {
            setMessage(message, "SSHA1 encryption failed.");
            return AUTH_NOAUTH;
        }
        KIV_DEBUG(log, "passwords did not match via SSHA.\n");
        setMessage(message, bothEmpty ? "SSHA1 encryption failed." : "Password mismatch.");
        return AUTH_NOAUTH;
    }
    // A tagged "{crypt}" with no hash stands for "no password".
    if (bothEmpty) return AUTH_OK;
    setMessage(message, "Password mismatch.");
    return AUTH_NOAUTH;
}

extern "C" int authenticatePassword(const char *password, const char *stored, AuthLog *log,
                                    char **message) {
    if (!password || !stored) {
        setMessage(message, "Password mismatch.");
        return AUTH_NOAUTH;
    }
    if (stored[0] != '{') return authenticateCrypt(password, stored, 1, log, message);

    for (const Prefix &p : prefixes) {
        if (std::strncmp(stored, p.text, p.length) != 0) continue;
        const char *encoded = stored + p.length;
        switch (p.scheme) {
        case Scheme::Sha1:
            return shaScheme(password, encoded, log, message);
        case Scheme::Sha256:
            return sha256Scheme(password, encoded, log, message);
        case Scheme::Salted:
            return saltedScheme(password, encoded, false, log, message);
        case Scheme::Salted256:
            return saltedScheme(password, encoded, true, log, message);
        case Scheme::Crypt:
            return authenticateCrypt(password, encoded, 0, log, message);
        }
    }
    setMessage(message, "User password uses unknown/unsupported encryption.");
    return AUTH_NOAUTH;
}
