// Base64 decoding (RFC 4648 vectors, padding, malformed text, bounds), salt
// extraction and hex dumps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "verify.h"

namespace {

struct Freer {
    void operator()(void *p) const { std::free(p); }
};
using Owned = std::unique_ptr<unsigned char, Freer>;
using OwnedText = std::unique_ptr<char, Freer>;

struct Decoded {
    std::string bytes;  // the decoded value
    std::string raw;    // the whole buffer, tail included
};

// Decodes and returns the value plus the allocated buffer's full contents
// (3 bytes per group of four + 1).
Decoded decode(const std::string &text) {
    int len = -1;
    Owned buf(decodeBase64(text.c_str(), &len));
    EXPECT_NE(buf, nullptr);
    if (!buf) return {};
    size_t groups = (text.size() + 3) / 4;
    EXPECT_GE(len, 0);
    EXPECT_LE(static_cast<size_t>(len), groups * 3);
    const char *p = reinterpret_cast<const char *>(buf.get());
    return {std::string(p, static_cast<size_t>(len)), std::string(p, groups * 3 + 1)};
}

TEST(VerifyBase64, Rfc4648Vectors) {
    const std::pair<const char *, const char *> cases[] = {
        {"", ""},          {"Zg==", "f"},         {"Zm8=", "fo"},        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"},
    };
    for (const auto &[text, expected] : cases) {
        SCOPED_TRACE(text);
        Decoded d = decode(text);
        EXPECT_EQ(d.bytes, expected);
        // Everything after the decoded bytes is zero, terminator included.
        for (size_t i = d.bytes.size(); i < d.raw.size(); ++i) EXPECT_EQ(d.raw[i], '\0') << i;
    }
}

TEST(VerifyBase64, PaddingDecidesLength) {
    EXPECT_EQ(decode("Zm8=").bytes.size(), 2u);
    EXPECT_EQ(decode("Zg==").bytes.size(), 1u);
    // Unpadded short groups: missing characters count as zero bits.
    EXPECT_EQ(decode("Zg").bytes, "f");
    EXPECT_EQ(decode("Zg=").bytes, "f");
    EXPECT_EQ(decode("Z").bytes, "");
    EXPECT_EQ(decode("Zm9vY").bytes, std::string("foo"));
}

TEST(VerifyBase64, AlphabetEdgesAndBinary) {
    // "+/" and all-ones bytes; zero bytes decode like any other byte.
    Decoded d = decode("+/8AAP//");
    EXPECT_EQ(d.bytes, std::string("\xfb\xff\x00\x00\xff\xff", 6));
    EXPECT_EQ(decode("AAAA").bytes, std::string(3, '\0'));
}

TEST(VerifyBase64, CharactersOutsideAlphabetCountAsZeroInPlace) {
    // A line break is not skipped: it takes a slot and shifts what follows.
    Decoded d = decode("Zm9v\nYmFy");
    EXPECT_EQ(d.bytes, std::string("foo\x01\x89\x85", 6));
    // A trailing break only adds zero bits.
    EXPECT_EQ(decode("Zm9vYmFy\n").bytes, "foobar");
    EXPECT_EQ(decode("a*b-").bytes, std::string("\x68\x06\xc0", 3));
    // "=" in the middle counts as 0 as well.
    EXPECT_EQ(decode("Zg==Zm8=").bytes.substr(0, 4), std::string("f\0\0f", 4));
}

TEST(VerifyBase64, LongTextsStayInBounds) {
    // 4k+1 characters: the last group has one real character.  The text is an
    // exactly sized heap copy so that ASan catches reads past it.
    for (size_t k : {0u, 1u, 1024u}) {
        SCOPED_TRACE(k);
        std::string text(4 * k + 1, 'A');
        text.back() = '/';
        auto *heap = static_cast<char *>(std::malloc(text.size() + 1));
        std::memcpy(heap, text.c_str(), text.size() + 1);
        int len = -1;
        Owned buf(decodeBase64(heap, &len));
        std::free(heap);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(len, static_cast<int>((4 * k + 1) * 6 / 8));
        // The lone last character contributes its top six bits to one byte.
        EXPECT_EQ(buf.get()[3 * k], 0xfc);
        EXPECT_EQ(buf.get()[3 * k + 3], 0);  // terminating zero inside the block
    }
}

TEST(VerifyBase64, NullTextIsEmpty) {
    int len = -1;
    Owned buf(decodeBase64(nullptr, &len));
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf.get()[0], 0);
}

TEST(VerifySalt, TailCopiedWithTerminator) {
    unsigned char value[24];
    for (int i = 0; i < 24; ++i) value[i] = static_cast<unsigned char>(i + 1);
    value[21] = 0;  // zero bytes inside the salt are kept
    Owned salt(getSalt(20, value, 24));
    ASSERT_NE(salt, nullptr);
    EXPECT_EQ(0, std::memcmp(salt.get(), value + 20, 4));
    EXPECT_EQ(salt.get()[4], 0);

    EXPECT_EQ(getSalt(20, value, 20), nullptr);
    EXPECT_EQ(getSalt(21, value, 20), nullptr);
    EXPECT_EQ(getSalt(-1, value, 20), nullptr);
    EXPECT_EQ(getSalt(0, nullptr, 20), nullptr);

    Owned whole(getSalt(0, value, 24));
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(0, std::memcmp(whole.get(), value, 24));
}

TEST(VerifyHex, FormatsBytesWithPrefix) {
    const unsigned char two[] = {0x0a, 0xff};
    OwnedText a(keyToHex(two, 2, "Comparing shaKey "));
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a.get(), "Comparing shaKey 0x0aff");

    const unsigned char low[] = {0x00, 0x01};
    OwnedText b(keyToHex(low, 2, nullptr));
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b.get(), "0x0001");

    OwnedText c(keyToHex(low, 0, "p"));
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c.get(), "p0x");
    OwnedText d(keyToHex(low, -5, nullptr));
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d.get(), "0x");

    unsigned char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    OwnedText e(keyToHex(all, 256, ""));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(std::strlen(e.get()), 2u + 512u);
    EXPECT_EQ(std::string(e.get() + 2, 6), "000102");
    EXPECT_EQ(std::string(e.get() + 2 + 508), "feff");
}

} // namespace
