// The protocol's frames: exact bytes against hand-written words, round trips
// through the decoders, and the limits both sides rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame_bytes.h"
#include "frames.h"

namespace {

namespace wire = kiv::wire;

template <class Frame> Bytes bytes(const Frame &f) { return Bytes(f.begin(), f.end()); }

TEST(WireFrames, FixedFramesAreNativeWords) {
    EXPECT_EQ(Bytes({0x01, 0x23, 0x04, 0x92, 3, 0, 0, 0}), bytes(wire::encodeHello()));
    EXPECT_EQ(words({-7, 9, -1, 70000}), bytes(wire::encodeHeader({-7, 9, -1, 70000})));
    EXPECT_EQ(words({AUTH_NOT_PRIVILEGED, 0}), bytes(wire::encodeResultFrame(AUTH_NOT_PRIVILEGED)));

    const auto hello = wire::encodeHello();
    EXPECT_TRUE(wire::decodeHello(hello));
    const Bytes oldVersion = words({wire::HELLO_MAGIC, 2});
    EXPECT_FALSE(wire::decodeHello(std::span(oldVersion).first<wire::kHelloSize>()));
    const Bytes noMagic = words({0, wire::PROTOCOL_VERSION});
    EXPECT_FALSE(wire::decodeHello(std::span(noMagic).first<wire::kHelloSize>()));
}

TEST(WireFrames, RequestScramblesNameAndSecretAndDecodesBack) {
    Bytes req = wire::encodeRequest(wire::REQUEST_PASSWORD, "alice", "pw");
    ASSERT_EQ(16u + 5 + 2, req.size());
    EXPECT_EQ(words({0, wire::REQUEST_PASSWORD, 5, 2}), Bytes(req.begin(), req.begin() + 16));
    EXPECT_EQ(Bytes({0x6B, 0x66, 0x63, 0x69, 0x6F}), Bytes(req.begin() + 16, req.begin() + 21));
    EXPECT_EQ(Bytes({'p' ^ 0x0B, 'w' ^ 0x0B}), Bytes(req.begin() + 21, req.end()));

    const std::string token("\x00\xff\x0b", 3);
    req = wire::encodeRequest(wire::REQUEST_GSS_TOKEN, "a", token);
    const auto header = wire::decodeHeader(std::span(req).first<wire::kHeaderSize>());
    EXPECT_EQ(0, header.reserved);
    EXPECT_EQ(wire::REQUEST_GSS_TOKEN, header.type);
    ASSERT_EQ(1, header.nameLength);
    ASSERT_EQ(3, header.secretLength);
    std::span<uint8_t> name = std::span(req).subspan(16, 1), secret = std::span(req).subspan(17);
    wire::scramble(name, wire::NAME_SCRAMBLE);
    wire::scramble(secret, wire::SECRET_SCRAMBLE);
    EXPECT_EQ(Bytes({'a'}), Bytes(name.begin(), name.end()));
    EXPECT_EQ(Bytes(token.begin(), token.end()), Bytes(secret.begin(), secret.end()));
}

TEST(WireFrames, RequestLimits) {
    EXPECT_TRUE(wire::requestTypeKnown(wire::REQUEST_PASSWORD));
    EXPECT_TRUE(wire::requestTypeKnown(wire::REQUEST_GSS_TOKEN));
    for (int type : {0, 2, 3, 5, -1}) EXPECT_FALSE(wire::requestTypeKnown(type)) << type;

    EXPECT_FALSE(wire::nameLengthValid(0));
    EXPECT_TRUE(wire::nameLengthValid(1));
    EXPECT_TRUE(wire::nameLengthValid(255));
    EXPECT_FALSE(wire::nameLengthValid(256));
    EXPECT_FALSE(wire::nameLengthValid(-1));

    EXPECT_TRUE(wire::secretLengthValid(wire::REQUEST_PASSWORD, 0));
    EXPECT_TRUE(wire::secretLengthValid(wire::REQUEST_PASSWORD, 255));
    EXPECT_FALSE(wire::secretLengthValid(wire::REQUEST_PASSWORD, 256));
    EXPECT_FALSE(wire::secretLengthValid(wire::REQUEST_PASSWORD, -1));
    EXPECT_TRUE(wire::secretLengthValid(wire::REQUEST_GSS_TOKEN, 65536));
    EXPECT_FALSE(wire::secretLengthValid(wire::REQUEST_GSS_TOKEN, 65537));
    EXPECT_FALSE(wire::secretLengthValid(wire::REQUEST_GSS_TOKEN, -1));
}

TEST(WireFrames, SuccessReplyLayoutAndRoundTrip) {
    const std::vector<int32_t> groups = {1000, 27, 100};
    const Bytes reply = wire::encodeSuccessReply(1000, groups, "alice");
    // Three groups and a five-byte name announce 20 + 12 + 5 + 1 = 38 bytes.
    EXPECT_EQ(words({AUTH_OK, 38, AUTH_OK, 1000, 3, 5, 0, 1000, 27, 100}) + Bytes({'a', 'l', 'i', 'c', 'e', 0}),
              reply);

    wire::Reply decoded;
    int64_t following = -1;
    std::string why;
    ASSERT_EQ(wire::Decoded::Ok,
              wire::decodeReplyHead(std::span(reply).first<wire::kReplyHeadSize>(), decoded, following, why));
    ASSERT_EQ(38, following);
    ASSERT_EQ(wire::Decoded::Ok, wire::decodeReplyBody(std::span(reply).subspan(8), decoded, why)) << why;
    EXPECT_TRUE(decoded.ok());
    EXPECT_EQ(1000, decoded.uid);
    EXPECT_EQ(groups, decoded.groups);
    EXPECT_EQ("alice", decoded.name);

    // The largest reply still round-trips; one group more or a name out of
    // range is never encoded.
    const std::vector<int32_t> most(wire::kMaxGroups, 7);
    const std::string longest(255, 'n');
    const Bytes big = wire::encodeSuccessReply(-1, most, longest);
    ASSERT_EQ(static_cast<size_t>(8 + wire::kMaxReplyBody), big.size());
    ASSERT_EQ(wire::Decoded::Ok,
              wire::decodeReplyHead(std::span(big).first<wire::kReplyHeadSize>(), decoded, following, why));
    ASSERT_EQ(wire::Decoded::Ok, wire::decodeReplyBody(std::span(big).subspan(8), decoded, why)) << why;
    EXPECT_EQ(-1, decoded.uid);
    EXPECT_EQ(most, decoded.groups);
    EXPECT_EQ(longest, decoded.name);
    EXPECT_TRUE(wire::encodeSuccessReply(0, std::vector<int32_t>(wire::kMaxGroups + 1), "a").empty());
    EXPECT_TRUE(wire::encodeSuccessReply(0, groups, "").empty());
    EXPECT_TRUE(wire::encodeSuccessReply(0, groups, std::string(256, 'n')).empty());
}

TEST(WireFrames, ResultAndHandshakeFramesRoundTrip) {
    for (int code : {AUTH_NOAUTH, AUTH_REQUEST_FAILED, 12345}) {
        const auto frame = wire::encodeResultFrame(code);
        wire::Reply decoded;
        int64_t following = -1;
        std::string why;
        ASSERT_EQ(wire::Decoded::Ok, wire::decodeReplyHead(frame, decoded, following, why));
        EXPECT_EQ(code, decoded.code);
        EXPECT_EQ(0, following);
        EXPECT_FALSE(decoded.ok());
    }
    int32_t status = 0;
    std::string why;
    ASSERT_EQ(wire::Decoded::Ok, wire::decodeHandshakeReply(wire::encodeResultFrame(AUTH_OK), status, why));
    EXPECT_EQ(AUTH_OK, status);
    const Bytes bad = words({AUTH_OK, 1});
    EXPECT_EQ(wire::Decoded::Malformed,
              wire::decodeHandshakeReply(std::span(bad).first<wire::kResultFrameSize>(), status, why));
    EXPECT_NE(std::string::npos, why.find("second word is 1")) << why;
}

TEST(WireFrames, TruncatedOrOversizedBodiesAreRefused) {
    const Bytes reply = wire::encodeSuccessReply(5, std::vector<int32_t>{5}, "bob");
    const std::span<const uint8_t> body = std::span(reply).subspan(8);
    wire::Reply decoded;
    std::string why;
    for (size_t n : {size_t{0}, size_t{21}, body.size() - 1}) {
        why.clear();
        EXPECT_EQ(wire::Decoded::Malformed, wire::decodeReplyBody(body.first(n), decoded, why)) << n;
        EXPECT_FALSE(why.empty()) << n;
    }
    Bytes longer(body.begin(), body.end());
    longer.push_back(0);
    EXPECT_EQ(wire::Decoded::Malformed, wire::decodeReplyBody(longer, decoded, why));
    const Bytes huge(static_cast<size_t>(wire::kMaxReplyBody + 1), 0);
    EXPECT_EQ(wire::Decoded::Malformed, wire::decodeReplyBody(huge, decoded, why));
    EXPECT_TRUE(decoded.name.empty()) << "a refused body leaves the reply alone";
}

} // namespace
