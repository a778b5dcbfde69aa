// Decoders: bytes in, values out, with every field checked before use.
#include <cstring>
#include <new>

#include "frames.h"

namespace kiv::wire {

namespace {

int32_t getWord(const uint8_t *at) noexcept {
    int32_t v;
    std::memcpy(&v, at, 4);
    return v;
}

std::string codeText(int code) {
    const char *name = resultCodeName(code);
    return name ? name : "UNKNOWN(" + std::to_string(code) + ")";
}

// Runs a check that builds its complaint in `why`; an allocation failure
// becomes a result rather than an exception.
template <class Check> Decoded guarded(Check check) noexcept {
    try {
        return check();
    } catch (const std::bad_alloc &) {
        return Decoded::NoMemory;
    }
}

} // namespace

bool decodeHello(std::span<const uint8_t, kHelloSize> bytes) noexcept {
    return getWord(&bytes[0]) == HELLO_MAGIC && getWord(&bytes[4]) == PROTOCOL_VERSION;
}

RequestHeader decodeHeader(std::span<const uint8_t, kHeaderSize> bytes) noexcept {
    return {getWord(&bytes[0]), getWord(&bytes[4]), getWord(&bytes[8]), getWord(&bytes[12])};
}

bool requestTypeKnown(int32_t type) noexcept { return type == REQUEST_PASSWORD || type == REQUEST_GSS_TOKEN; }

bool nameLengthValid(int32_t nameLength) noexcept { return nameLength >= 1 && nameLength <= kMaxNameLength; }

bool secretLengthValid(int32_t type, int32_t secretLength) noexcept {
    const int limit = type == REQUEST_PASSWORD ? kMaxPasswordLength : kMaxTokenLength;
    return secretLength >= 0 && secretLength <= limit;
}

Decoded decodeHandshakeReply(std::span<const uint8_t, kResultFrameSize> bytes, int32_t &status,
                             std::string &why) noexcept {
    return guarded([&] {
        const int32_t zero = getWord(&bytes[4]);
        if (zero != 0) {
            why = "malformed handshake reply: second word is " + std::to_string(zero);
            return Decoded::Malformed;
        }
        status = getWord(&bytes[0]);
        return Decoded::Ok;
    });
}

Decoded decodeReplyHead(std::span<const uint8_t, kReplyHeadSize> head, Reply &reply, int64_t &following,
                        std::string &why) noexcept {
    return guarded([&] {
        reply.code = getWord(&head[0]);
        const int64_t n = getWord(&head[4]);
        if (reply.code != AUTH_OK) {
            if (n != 0) {
                why = "malformed result frame: second word is " + std::to_string(n);
                return Decoded::Malformed;
            }
            following = 0;
            return Decoded::Ok;
        }
        // Everything must check out before the reply counts as a success.
        if (n < kReplyFixedSize + 2 || n > kMaxReplyBody) {
            why = "malformed success reply: announces " + std::to_string(n) + " bytes";
            return Decoded::Malformed;
        }
        following = n;
        return Decoded::Ok;
    });
}

Decoded decodeReplyBody(std::span<const uint8_t> body, Reply &reply, std::string &why) noexcept {
    return guarded([&] {
        const size_t n = body.size();
        if (n < static_cast<size_t>(kReplyFixedSize + 2) || n > static_cast<size_t>(kMaxReplyBody)) {
            why = "malformed success reply: " + std::to_string(n) + " bytes";
            return Decoded::Malformed;
        }
        const int32_t innerCode = getWord(&body[0]);
        const int32_t uid = getWord(&body[4]);
        const int64_t groupCount = getWord(&body[8]);
        const int64_t nameLength = getWord(&body[12]);
        if (innerCode != AUTH_OK) {
            why = "malformed success reply: inner code " + codeText(innerCode);
            return Decoded::Malformed;
        }
        if (groupCount < 0 || groupCount > kMaxGroups) {
            why = "malformed success reply: group count " + std::to_string(groupCount);
            return Decoded::Malformed;
        }
        if (nameLength < 1 || nameLength > kMaxNameLength) {
            why = "malformed success reply: name length " + std::to_string(nameLength);
            return Decoded::Malformed;
        }
        if (static_cast<int64_t>(n) != kReplyFixedSize + 4 * groupCount + nameLength + 1) {
            why = "malformed success reply: " + std::to_string(n) + " bytes announced for " +
                  std::to_string(groupCount) + " groups and a " + std::to_string(nameLength) + "-byte name";
            return Decoded::Malformed;
        }
        if (body[n - 1] != 0) {
            why = "malformed success reply: name is not terminated";
            return Decoded::Malformed;
        }
        const size_t nameAt = static_cast<size_t>(kReplyFixedSize + 4 * groupCount);
        std::vector<int> groups(static_cast<size_t>(groupCount));
        for (size_t i = 0; i < groups.size(); ++i) groups[i] = getWord(&body[kReplyFixedSize + 4 * i]);
        std::string name(reinterpret_cast<const char *>(&body[nameAt]), static_cast<size_t>(nameLength));
        reply.uid = uid;
        reply.groups = std::move(groups);
        reply.name = std::move(name);
        return Decoded::Ok;
    });
}

const char *resultCodeName(int code) noexcept {
    switch (code) {
    case AUTH_OK: return "AUTH_OK";
    case AUTH_ERROR: return "AUTH_ERROR";
    case AUTH_NOT_PRIVILEGED: return "AUTH_NOT_PRIVILEGED";
    case AUTH_EXPIRED: return "AUTH_EXPIRED";
    case AUTH_NOAUTH: return "AUTH_NOAUTH";
    case AUTH_UNKNOWN_USER: return "AUTH_UNKNOWN_USER";
    case AUTH_REQUEST_FAILED: return "AUTH_REQUEST_FAILED";
    default: return nullptr;
    }
}

} // namespace kiv::wire
