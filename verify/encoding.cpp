// Base64 decoding, salt extraction and hex dumps for the password checks.
//
// Buffers handed out here are released by the caller with free(), possibly
// from C code or another module, so they come from malloc.
#include "verify.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of one character: its index in the alphabet; "=" and anything outside
// the alphabet count as 0, so malformed stored values never fail to decode.
unsigned base64Value(unsigned char c) {
    if (c == 0) return 0;
    const void *hit = std::memchr(base64Alphabet, c, 64);
    return hit ? static_cast<unsigned>(static_cast<const char *>(hit) - base64Alphabet) : 0;
}

} // namespace

extern "C" unsigned char *decodeBase64(const char *text, int *length) {
    if (!text) text = "";
    size_t n = std::strlen(text);
    size_t groups = n / 4 + (n % 4 ? 1 : 0);
    // The decoded length has to fit the int interface; a stored password this
    // large is not a password.
    if (groups > (static_cast<size_t>(INT_MAX) - 1) / 3) return nullptr;

    size_t size = groups * 3 + 1;
    unsigned char *out = static_cast<unsigned char *>(std::calloc(size, 1));
    if (!out) return nullptr;

    for (size_t g = 0; g < groups; ++g) {
        unsigned v[4] = {0, 0, 0, 0};
        for (size_t i = 0; i < 4; ++i) {
            size_t pos = g * 4 + i;
            if (pos < n) v[i] = base64Value(static_cast<unsigned char>(text[pos]));
        }
        out[g * 3] = static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4));
        out[g * 3 + 1] = static_cast<unsigned char>(((v[1] << 4) | (v[2] >> 2)) & 0xff);
        out[g * 3 + 2] = static_cast<unsigned char>(((v[2] << 6) | v[3]) & 0xff);
    }

    size_t pad = 0;
    while (pad < n && text[n - 1 - pad] == '=') ++pad;
    size_t decoded = (n - pad) * 6 / 8;
    if (length) *length = static_cast<int>(decoded);
    return out;
}

extern "C" unsigned char *getSalt(int start, const unsigned char *value, int length) {
    if (start < 0 || start >= length || !value) return nullptr;
    size_t n = static_cast<size_t>(length - start);
    unsigned char *salt = static_cast<unsigned char *>(std::malloc(n + 1));
    if (!salt) return nullptr;
    std::memcpy(salt, value + start, n);
    salt[n] = 0;
    return salt;
}

extern "C" char *keyToHex(const unsigned char *key, int count, const char *prefix) {
    static const char digits[] = "0123456789abcdef";
    if (!prefix) prefix = "";
    if (!key || count < 0) count = 0;
    size_t plen = std::strlen(prefix);
    size_t size = 2 * static_cast<size_t>(count) + plen + 4;
    char *text = static_cast<char *>(std::malloc(size));
    if (!text) return nullptr;
    std::memcpy(text, prefix, plen);
    char *p = text + plen;
    *p++ = '0';
    *p++ = 'x';
    for (int i = 0; i < count; ++i) {
        *p++ = digits[key[i] >> 4];
        *p++ = digits[key[i] & 0x0f];
    }
    *p = 0;
    return text;
}
