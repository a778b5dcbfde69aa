// SHA-1 and SHA-256 against the standard example digests and the padding
// boundaries (55/56 bytes: one or two blocks; 63/64/65: block edges).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "verify.h"

namespace {

std::string hex(const unsigned char *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// Deterministic bytes covering every value, zero included.
std::vector<unsigned char> pattern(size_t n) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 7 + 3) % 256);
    return v;
}

std::vector<unsigned char> bytes(const std::string &s) { return {s.begin(), s.end()}; }

struct Vector {
    const char *name;
    std::vector<unsigned char> message;
    const char *sha1;
    const char *sha256;
};

std::vector<Vector> vectors() {
    return {
        {"empty", {}, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc (one block)", bytes("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448-bit (two blocks)", bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896-bit",
         bytes("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
         "a49b2446a02c645bf419f995b67091253a04a259",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"55 bytes", pattern(55), "ddf57317ef34bfee3b6df83d359098930eb278bc",
         "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
        {"56 bytes", pattern(56), "a0d492bb0fc889d0eca3bc137066ab6f4f74f369",
         "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
        {"63 bytes", pattern(63), "c55856749bef509bdfe6bfebfc7bf4e793e82132",
         "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
        {"64 bytes", pattern(64), "bede92be29c3874e1b54ddc77988d606fc857a8e",
         "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
        {"65 bytes", pattern(65), "b05a80522b053d6dc7e0a517d0e70212c7dad11f",
         "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
        {"119 bytes", pattern(119), "504e27376a6e0f0dba8295b85cb25dc4dfa17d23",
         "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
        {"120 bytes", pattern(120), "82134b02fb3f702491be9bed581eeab59334acb2",
         "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
        {"640 bytes", pattern(640), "5fef3d9d660a85b4acb15f76f83280495c79501f",
         "71e7205daee27db1b3057d8527a3cd8097991bd6b94e6fa3c70cb28cf9d20eed"},
        {"embedded zero bytes", {'a', 0, 'b', 0}, "5b4085401e259f3918fb1701d3d9399c2c8cce73",
         "8fb20ef63ced4145fc2e983ffe597d1dcff39154c3bf21f0fa9dde6a0c50fdc9"},
        {"one million 'a'", std::vector<unsigned char>(1000000, 'a'),
         "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
}

// The messages live in exactly sized heap blocks (vectors), so ASan reports
// any read past the end while the last block is padded.
TEST(VerifyDigest, StandardVectorsAndBlockBoundaries) {
    for (const Vector &v : vectors()) {
        SCOPED_TRACE(v.name);
        const int len = static_cast<int>(v.message.size());
        // Guard bytes after the terminating zero catch writes past the digest.
        unsigned char out1[24];
        std::memset(out1, 0xaa, sizeof out1);
        ASSERT_EQ(sha1Crypt(v.message.data(), len, out1), out1);
        EXPECT_EQ(hex(out1, 20), v.sha1);
        EXPECT_EQ(out1[20], 0);
        EXPECT_EQ(out1[21], 0xaa);

        unsigned char out256[36];
        std::memset(out256, 0xaa, sizeof out256);
        ASSERT_EQ(sha256Crypt(v.message.data(), len, out256), out256);
        EXPECT_EQ(hex(out256, 32), v.sha256);
        EXPECT_EQ(out256[32], 0);
        EXPECT_EQ(out256[33], 0xaa);
    }
}

TEST(VerifyDigest, InvalidArgumentsLeaveOutputUntouched) {
    unsigned char out[33];
    std::memset(out, 0x5c, sizeof out);
    const unsigned char msg[] = "abc";
    EXPECT_EQ(sha1Crypt(msg, -1, out), nullptr);
    EXPECT_EQ(sha256Crypt(msg, -1, out), nullptr);
    EXPECT_EQ(sha1Crypt(nullptr, 3, out), nullptr);
    EXPECT_EQ(sha256Crypt(msg, 3, nullptr), nullptr);
    for (unsigned char c : out) EXPECT_EQ(c, 0x5c);
    // A null message of length 0 is the empty message.
    ASSERT_EQ(sha1Crypt(nullptr, 0, out), out);
    EXPECT_EQ(hex(out, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

} // namespace
