// Encoders: values in, frame bytes out.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "frames.h"

namespace kiv::wire {

namespace {

// Native byte order, like the peer on the same machine.
void putWord(uint8_t *at, int32_t v) noexcept { std::memcpy(at, &v, 4); }

bool fitsWord(size_t n) noexcept { return n <= static_cast<size_t>(std::numeric_limits<int32_t>::max()); }

} // namespace

Hello encodeHello() noexcept {
    Hello out;
    putWord(&out[0], HELLO_MAGIC);
    putWord(&out[4], PROTOCOL_VERSION);
    return out;
}

Header encodeHeader(const RequestHeader &header) noexcept {
    Header out;
    putWord(&out[0], header.reserved);
    putWord(&out[4], header.type);
    putWord(&out[8], header.nameLength);
    putWord(&out[12], header.secretLength);
    return out;
}

void scramble(std::span<uint8_t> bytes, uint8_t key) noexcept {
    for (uint8_t &b : bytes) b ^= key;
}

std::vector<uint8_t> encodeRequest(int32_t type, std::string_view name, std::string_view secret) noexcept {
    if (!fitsWord(name.size()) || !fitsWord(secret.size())) return {};
    std::vector<uint8_t> out;
    try {
        out.resize(kHeaderSize + name.size() + secret.size());
    } catch (const std::bad_alloc &) {
        return {};
    }
    const Header header =
        encodeHeader({0, type, static_cast<int32_t>(name.size()), static_cast<int32_t>(secret.size())});
    uint8_t *at = std::copy(header.begin(), header.end(), out.data());
    for (char c : name) *at++ = static_cast<uint8_t>(c) ^ NAME_SCRAMBLE;
    for (char c : secret) *at++ = static_cast<uint8_t>(c) ^ SECRET_SCRAMBLE;
    return out;
}

ResultFrame encodeResultFrame(int32_t code) noexcept {
    ResultFrame out;
    putWord(&out[0], code);
    putWord(&out[4], 0);
    return out;
}

std::vector<uint8_t> encodeSuccessReply(int32_t uid, std::span<const int32_t> groups,
                                        std::string_view name) noexcept {
    if (name.empty() || name.size() > static_cast<size_t>(kMaxNameLength) ||
        groups.size() > static_cast<size_t>(kMaxGroups))
        return {};
    const auto groupCount = static_cast<int32_t>(groups.size());
    const auto nameLength = static_cast<int32_t>(name.size());
    const int32_t following = kReplyFixedSize + 4 * groupCount + nameLength + 1;
    std::vector<uint8_t> out;
    try {
        out.resize(static_cast<size_t>(kReplyHeadSize + following));
    } catch (const std::bad_alloc &) {
        return {};
    }
    uint8_t *at = out.data();
    for (int32_t word : {AUTH_OK, following, AUTH_OK, uid, groupCount, nameLength, 0 /* reserved */}) {
        putWord(at, word);
        at += 4;
    }
    for (int32_t gid : groups) {
        putWord(at, gid);
        at += 4;
    }
    at = std::copy(name.begin(), name.end(), at);
    *at = 0;
    return out;
}

} // namespace kiv::wire
