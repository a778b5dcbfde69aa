// SHA-1 and SHA-256 (FIPS 180-4), written here so that the only library
// cryptography the system uses is crypt_r.
//
// The message is streamed through a 64-byte block on the stack instead of
// being copied into a padded heap buffer: a password is never duplicated on the
// heap, and nothing can fail for lack of memory.  The block is wiped before
// returning because it held password bytes.
#include "verify.h"

#include <cstdint>
#include <cstring>

namespace {

// Round constants, FIPS 180-4 section 4.2.2.
const uint32_t sha256Constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t loadBe32(const unsigned char *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void storeBe32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Overwrites memory the compiler must not consider dead.
void wipe(void *p, size_t n) {
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    while (n--) *v++ = 0;
}

void sha1Block(uint32_t h[5], const unsigned char *block) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = loadBe32(block + 4 * t);
    for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        uint32_t tmp = rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = tmp;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    wipe(w, sizeof w);
}

void sha256Block(uint32_t h[8], const unsigned char *block) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = loadBe32(block + 4 * t);
    for (int t = 16; t < 64; ++t) {
        uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }

    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int t = 0; t < 64; ++t) {
        uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = hh + S1 + ch + sha256Constants[t] + w[t];
        uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = S0 + maj;
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
    wipe(w, sizeof w);
}

// Feeds the message and the standard padding (0x80, zeros, 64-bit big-endian
// bit count) through `compress`, one 64-byte block at a time.
template <class Compress>
void digestStream(const unsigned char *message, size_t length, uint32_t *h, Compress compress) {
    size_t whole = length - length % 64;
    for (size_t off = 0; off < whole; off += 64) compress(h, message + off);

    unsigned char block[64];
    size_t rest = length - whole;
    if (rest) std::memcpy(block, message + whole, rest);
    block[rest] = 0x80;
    if (rest + 1 > 56) {
        // No room left for the length: this block is finished by zeros and a
        // further block carries the bit count.
        std::memset(block + rest + 1, 0, 64 - rest - 1);
        compress(h, block);
        std::memset(block, 0, 56);
    } else {
        std::memset(block + rest + 1, 0, 56 - rest - 1);
    }
    uint64_t bits = static_cast<uint64_t>(length) * 8u;
    storeBe32(block + 56, static_cast<uint32_t>(bits >> 32));
    storeBe32(block + 60, static_cast<uint32_t>(bits));
    compress(h, block);
    wipe(block, sizeof block);
}

bool validArgs(const unsigned char *message, int length, const unsigned char *out) {
    return out != nullptr && length >= 0 && (message != nullptr || length == 0);
}

} // namespace

extern "C" unsigned char *sha1Crypt(const unsigned char *message, int length, unsigned char *out) {
    if (!validArgs(message, length, out)) return nullptr;
    uint32_t h[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    digestStream(message, static_cast<size_t>(length), h, sha1Block);
    for (int i = 0; i < 5; ++i) storeBe32(out + 4 * i, h[i]);
    out[20] = 0;
    return out;
}

extern "C" unsigned char *sha256Crypt(const unsigned char *message, int length, unsigned char *out) {
    if (!validArgs(message, length, out)) return nullptr;
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    digestStream(message, static_cast<size_t>(length), h, sha256Block);
    for (int i = 0; i < 8; ++i) storeBe32(out + 4 * i, h[i]);
    out[32] = 0;
    return out;
}
