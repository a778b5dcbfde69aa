// The frames of the daemon's socket protocol: layouts, limits, and pure
// encoders and decoders.  Shared by the daemon and the client library, so the
// two sides cannot drift apart.  Nothing here does I/O, logs, or lets an
// exception out: every failure is a return value.
//
// Every number is a 32-bit word in the host's byte order (both peers are on
// the same machine).  One exchange, in order:
//   client: hello (8)                    daemon: handshake reply (8)
//   client: header (16), name, secret    daemon: result frame (8) or success reply
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kivmod.h"   // the result codes carried in the first word of a reply

namespace kiv::wire {

inline constexpr int32_t HELLO_MAGIC = static_cast<int32_t>(0x92042301);
inline constexpr int32_t PROTOCOL_VERSION = 3;
inline constexpr int32_t REQUEST_PASSWORD = 1;
inline constexpr int32_t REQUEST_GSS_TOKEN = 4;
// XORed into every byte of the user name and of the password or token.
inline constexpr uint8_t NAME_SCRAMBLE = 0x0A;
inline constexpr uint8_t SECRET_SCRAMBLE = 0x0B;

inline constexpr int kHelloSize = 8;         // magic, version
inline constexpr int kResultFrameSize = 8;   // code, 0: handshake reply and every failure
inline constexpr int kHeaderSize = 16;       // reserved, type, nameLength, secretLength
inline constexpr int kReplyHeadSize = 8;     // AUTH_OK, bytes that follow
inline constexpr int kReplyFixedSize = 20;   // AUTH_OK, uid, groupCount, nameLength, reserved

inline constexpr int kMaxNameLength = 255;
inline constexpr int kMaxPasswordLength = 255;
// Largest GSS token accepted; anything larger (or negative) is refused unread.
inline constexpr int kMaxTokenLength = 64 * 1024;
// Largest group list a success reply carries (Linux's NGROUPS_MAX).
inline constexpr int kMaxGroups = 65536;
// Bytes after the head of the largest success reply.
inline constexpr int64_t kMaxReplyBody = kReplyFixedSize + 4 * int64_t{kMaxGroups} + kMaxNameLength + 1;

using Hello = std::array<uint8_t, kHelloSize>;
using ResultFrame = std::array<uint8_t, kResultFrameSize>;
using Header = std::array<uint8_t, kHeaderSize>;

struct RequestHeader {
    int32_t reserved = 0;   // not examined by the daemon
    int32_t type = 0;
    int32_t nameLength = 0;
    int32_t secretLength = 0;
};

// A decoded reply.  uid, groups and name mean something only on AUTH_OK.
struct Reply {
    int code = 0;
    int uid = -1;
    std::vector<int> groups;
    std::string name;
    bool ok() const { return code == AUTH_OK; }
};

// What a decoder made of its bytes.
enum class Decoded {
    Ok,
    Malformed,   // `why` says what is wrong
    NoMemory,    // the decoded reply could not be stored
};

// ---- client to daemon ----
Hello encodeHello() noexcept;
// True when the 8 bytes are the opening message of this protocol version.
bool decodeHello(std::span<const uint8_t, kHelloSize> bytes) noexcept;

// Any field values, also out-of-range ones (tests send those on purpose).
Header encodeHeader(const RequestHeader &header) noexcept;
RequestHeader decodeHeader(std::span<const uint8_t, kHeaderSize> bytes) noexcept;
// The daemon checks these in this order and answers each failure separately.
bool requestTypeKnown(int32_t type) noexcept;
bool nameLengthValid(int32_t nameLength) noexcept;
// 0 up to the limit of the request type (password or token).
bool secretLengthValid(int32_t type, int32_t secretLength) noexcept;

// XOR with `key`; applying it twice restores the bytes.
void scramble(std::span<uint8_t> bytes, uint8_t key) noexcept;
// Header, scrambled name and scrambled secret.  Lengths are not checked
// against the protocol's limits (tests build refused requests with it); empty
// only when a length does not fit a word or memory ran out.
std::vector<uint8_t> encodeRequest(int32_t type, std::string_view name, std::string_view secret) noexcept;

// ---- daemon to client ----
// Handshake reply (AUTH_OK or AUTH_NOT_PRIVILEGED) and the reply to every
// request that did not succeed.
ResultFrame encodeResultFrame(int32_t code) noexcept;
// Head, fixed part, groups, and the name with its terminator.  Empty when
// the name is not 1 to 255 bytes, the list longer than kMaxGroups, or memory
// ran out.
std::vector<uint8_t> encodeSuccessReply(int32_t uid, std::span<const int32_t> groups,
                                        std::string_view name) noexcept;

// Handshake reply: Ok with *status set, or Malformed when the second word is not 0.
Decoded decodeHandshakeReply(std::span<const uint8_t, kResultFrameSize> bytes, int32_t &status,
                             std::string &why) noexcept;
// First 8 bytes of a reply.  Ok sets reply.code and `following`: 0 for a
// result frame, else the size of the success reply's body, within
// kReplyFixedSize + 2 .. kMaxReplyBody.
Decoded decodeReplyHead(std::span<const uint8_t, kReplyHeadSize> head, Reply &reply, int64_t &following,
                        std::string &why) noexcept;
// The body announced by a success head.  Every field must agree before the
// reply counts: inner code, group count, name length, total size, terminator.
// Ok fills uid, groups and name.
Decoded decodeReplyBody(std::span<const uint8_t> body, Reply &reply, std::string &why) noexcept;

// "AUTH_OK", "AUTH_NOAUTH", ...; null for a code without a name.
const char *resultCodeName(int code) noexcept;

} // namespace kiv::wire
