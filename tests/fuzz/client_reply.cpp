// The reply decoder on arbitrary bytes from the socket.  Besides memory
// errors, it checks that a reply is taken as a success only when it is
// exactly what the encoder produces for the decoded uid, groups and name, and
// that a result frame never decodes as a success.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frames.h"

namespace wire = kiv::wire;

namespace {

void fail(const char *why) {
    fprintf(stderr, "client_reply harness: %s\n", why);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < static_cast<size_t>(wire::kReplyHeadSize)) return 0;
    const std::span<const uint8_t> input(data, size);
    wire::Reply reply;
    std::string error;
    int64_t follow = -1;
    const wire::Decoded head = wire::decodeReplyHead(input.first<wire::kReplyHeadSize>(), reply, follow, error);
    if (head != wire::Decoded::Ok) {
        if (head == wire::Decoded::Malformed && error.empty()) fail("refused without a reason");
        return 0;
    }
    if (follow == 0) {
        if (reply.ok()) fail("a result frame decoded as a success");
        return 0;
    }
    if (!reply.ok()) fail("a failure announced a body");
    if (size - wire::kReplyHeadSize < static_cast<size_t>(follow)) return 0;   // the read would wait for more
    const wire::Decoded body =
        wire::decodeReplyBody(input.subspan(wire::kReplyHeadSize, static_cast<size_t>(follow)), reply, error);
    if (body != wire::Decoded::Ok) {
        if (body == wire::Decoded::Malformed && error.empty()) fail("refused without a reason");
        return 0;
    }
    const std::vector<uint8_t> expected = wire::encodeSuccessReply(reply.uid, reply.groups, reply.name);
    if (expected.empty()) fail("accepted a reply the encoder refuses");
    // The reserved word (offset 24) is the only field the decoder may ignore.
    std::vector<uint8_t> got(data, data + wire::kReplyHeadSize + follow);
    if (got.size() != expected.size()) fail("accepted a reply of another size");
    memset(got.data() + 24, 0, 4);
    if (got != expected) fail("accepted a reply the daemon would not send");
    return 0;
}
