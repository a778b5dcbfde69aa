// The client library's reply decoder on arbitrary bytes from the socket.
// Besides memory errors, it checks that a reply is taken as a success only
// when it is exactly what the daemon's encoder produces for the decoded uid,
// groups and name, and that a result frame never decodes as a success.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kivclient.hpp"
#include "protocol.h"

namespace {

void fail(const char *why) {
    fprintf(stderr, "client_reply harness: %s\n", why);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    kiv::Reply reply;
    std::string error;
    const int64_t follow = kiv::decodeReplyHead(data, reply, error);
    if (follow < 0) {
        if (error.empty()) fail("refused without a reason");
        return 0;
    }
    if (follow == 0) {
        if (reply.ok()) fail("a result frame decoded as a success");
        return 0;
    }
    if (!reply.ok()) fail("a failure announced a body");
    if (size - 8 < static_cast<size_t>(follow)) return 0;   // the read would wait for more
    if (!kiv::decodeReplyBody(data + 8, static_cast<size_t>(follow), reply, error)) {
        if (error.empty()) fail("refused without a reason");
        return 0;
    }
    const std::vector<uint8_t> expected =
        encodeSuccessReply(reply.uid, reply.groups.data(), static_cast<int>(reply.groups.size()),
                           reply.name.data(), static_cast<int>(reply.name.size()));
    // The reserved word (offset 24) is the only field the decoder may ignore.
    std::vector<uint8_t> got(data, data + 8 + follow);
    if (got.size() != expected.size()) fail("accepted a reply of another size");
    memset(got.data() + 24, 0, 4);
    if (got != expected) fail("accepted a reply the daemon would not send");
    return 0;
}
