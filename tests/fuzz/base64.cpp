// decodeBase64 (and the salt and hex helpers behind the salted schemes) on
// arbitrary text.  Besides memory errors, it checks the decoded length rule,
// the zero byte after the decoded bytes, and that a well-formed text decodes
// to bytes that encode back to the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "verify.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void fail(const char *why) {
    fprintf(stderr, "base64 harness: %s\n", why);
    abort();
}

std::string encode(const unsigned char *p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = static_cast<uint32_t>(p[i]) << 16;
        if (i + 1 < n) v |= static_cast<uint32_t>(p[i + 1]) << 8;
        if (i + 2 < n) v |= p[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < n ? kAlphabet[v & 63] : '=';
    }
    return out;
}

// Canonical RFC 4648 text: whole groups, alphabet only, padding only at the
// end, and unused bits zero (so re-encoding gives the same text).
bool wellFormed(const std::string &text) {
    if (text.size() % 4 != 0) return false;
    size_t pad = 0;
    while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
    for (size_t i = 0; i + pad < text.size(); ++i)
        if (strchr(kAlphabet, text[i]) == nullptr || text[i] == '\0') return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    int length = -1;
    unsigned char *decoded = decodeBase64(text.c_str(), &length);
    if (decoded == nullptr) fail("no buffer");
    size_t trailing = 0;
    while (trailing < text.size() && text[text.size() - 1 - trailing] == '=') ++trailing;
    if (length != static_cast<int>((text.size() - trailing) * 6 / 8)) fail("decoded length");
    // Some zero byte must follow inside the buffer (ASan stops a scan that
    // runs past it); decoded[length] itself is zero only for canonical text.
    for (int i = length; decoded[i] != 0; ++i) {
    }
    if (wellFormed(text)) {
        const std::string again = encode(decoded, static_cast<size_t>(length));
        // Texts whose unused bits are not zero decode the same as the
        // canonical one; compare those through a second round.
        int length2 = -1;
        unsigned char *decoded2 = decodeBase64(again.c_str(), &length2);
        if (decoded2 == nullptr) fail("no buffer");
        if (length2 != length || memcmp(decoded, decoded2, static_cast<size_t>(length)) != 0)
            fail("round trip changed the bytes");
        free(decoded2);
    }

    // The salt after a SHA-1 digest, and the hex dump of the value.
    unsigned char *salt = getSalt(20, decoded, length);
    if ((salt == nullptr) != (length <= 20)) fail("getSalt refused a salt or made one from nothing");
    if (salt != nullptr) {
        if (memcmp(salt, decoded + 20, static_cast<size_t>(length - 20)) != 0 || salt[length - 20] != 0)
            fail("salt bytes");
        free(salt);
    }
    char *hex = keyToHex(decoded, length, "p ");
    if (hex == nullptr || strlen(hex) != 4 + 2 * static_cast<size_t>(length)) fail("hex dump length");
    free(hex);
    free(decoded);
    return 0;
}
