// The daemon's side of one exchange, fed arbitrary client bytes: the opening
// message, the request header, the scrambled name and secret.  The bytes go
// into one end of a socket pair, processRequest serves the other end, and the
// reply is decoded with the client library.  Besides memory errors, it stops on
// any reply that is malformed or that grants access to credentials the
// scripted methods do not accept.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "methods.h"
#include "protocol.h"
#include "request.h"

namespace {

// Two password methods: "one" knows alice (and lets the next method try after a wrong
// password), "two" knows carol and maps her to a local account name.
int oneAuthenticate(void *, const char *user, const char *password, int *uid, int *gid, char **, AuthLog *,
                    char **message) {
    if (strcmp(user, "alice") != 0) return AUTH_UNKNOWN_USER;
    if (strcmp(password, "secret") != 0) {
        static char wrong[] = "wrong password";
        *message = wrong;
        return AUTH_NOAUTH;
    }
    *uid = 1001;
    *gid = 1001;
    return AUTH_OK;
}

int twoAuthenticate(void *, const char *user, const char *password, int *uid, int *gid, char **unixName,
                    AuthLog *, char **) {
    if (strcmp(user, "carol") != 0) return AUTH_UNKNOWN_USER;
    if (strcmp(password, "pw2") != 0) return AUTH_NOAUTH;
    *uid = 1003;
    *gid = 1003;
    *unixName = strdup("carol-local");
    return AUTH_OK;
}

// The GSS method accepts one token for alice.
int gssAuthenticate(void *, const char *user, const char *credential, int *uid, int *gid, char **, AuthLog *,
                    char **) {
    const auto *token = reinterpret_cast<const KivGssBuffer *>(credential);
    static const char good[] = "good-token";
    if (strcmp(user, "alice") != 0) return AUTH_UNKNOWN_USER;
    if (token->length != sizeof good - 1 || memcmp(token->value, good, sizeof good - 1) != 0) return AUTH_NOAUTH;
    *uid = 1001;
    *gid = 1001;
    return AUTH_OK;
}

int getGroups(void *, const char *, int gid, int **groups, int *count, AuthLog *, int) {
    *groups = static_cast<int *>(malloc(2 * sizeof(int)));
    if (*groups == nullptr) return -1;
    (*groups)[0] = gid;
    (*groups)[1] = 50;
    *count = 2;
    return 0;
}

int continueAlways(void *, AuthLog *) { return 1; }

void *initMethod(ConfigEntry *, int, int *status, AuthLog *, char **) {
    *status = 0;
    return nullptr;
}

void fail(const char *why) {
    fprintf(stderr, "request harness: %s\n", why);
    abort();
}

// The type and credentials a well-formed request carries, or 0.
int parseRequest(std::span<const uint8_t> data, std::string &name, std::string &password) {
    constexpr size_t bodyAt = wire::kHelloSize + wire::kHeaderSize;
    if (data.size() < bodyAt || !wire::decodeHello(data.first<wire::kHelloSize>())) return 0;
    const wire::RequestHeader h = wire::decodeHeader(data.subspan<wire::kHelloSize, wire::kHeaderSize>());
    if (!wire::requestTypeKnown(h.type) || !wire::nameLengthValid(h.nameLength) ||
        !wire::secretLengthValid(h.type, h.secretLength) ||
        data.size() < bodyAt + static_cast<size_t>(h.nameLength) + static_cast<size_t>(h.secretLength))
        return 0;
    name.assign(reinterpret_cast<const char *>(&data[bodyAt]), static_cast<size_t>(h.nameLength));
    password.assign(reinterpret_cast<const char *>(&data[bodyAt + static_cast<size_t>(h.nameLength)]),
                    static_cast<size_t>(h.secretLength));
    wire::scramble({reinterpret_cast<uint8_t *>(name.data()), name.size()}, wire::NAME_SCRAMBLE);
    wire::scramble({reinterpret_cast<uint8_t *>(password.data()), password.size()}, wire::SECRET_SCRAMBLE);
    return h.type;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char *message = nullptr;
    authLog = AuthLog{debugMessage, accessMessage, warningMessage, errorMessage, nullptr, 0};
    if (addMethod("one", nullptr, 0, initMethod, nullptr, oneAuthenticate, getGroups, continueAlways, &message) != 0 ||
        addMethod("two", nullptr, 0, initMethod, nullptr, twoAuthenticate, getGroups, nullptr, &message) != 0)
        fail("could not set up the methods");
    for (int i = 0; i < numMethods; ++i) authMethods[i].log = &authLog;
    gssMethod = MethodRecord{initMethod, nullptr, gssAuthenticate, getGroups, nullptr, "gss", nullptr, nullptr, &authLog};
    gssAvailable = 1;
    clientTimeout = 2;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Everything must fit the socket buffer: the harness writes before it serves.
    if (size > 100000) return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair");
    const int buffer = 256 * 1024;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    size_t sent = 0;
    while (sent < size) {
        ssize_t w = send(pair[0], data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w <= 0) fail("could not queue the input");
        sent += static_cast<size_t>(w);
    }
    shutdown(pair[0], SHUT_WR);

    processRequest(pair[1]);   // closes its end

    std::vector<uint8_t> out;
    uint8_t chunk[4096];
    for (;;) {
        ssize_t r = recv(pair[0], chunk, sizeof chunk, MSG_DONTWAIT);
        if (r <= 0) break;
        out.insert(out.end(), chunk, chunk + r);
    }
    close(pair[0]);

    std::string name, secret;
    const std::span<const uint8_t> input(data, size);
    const int type = parseRequest(input, name, secret);
    const bool goodCredentials =
        (type == wire::REQUEST_PASSWORD &&
         ((name == "alice" && secret == "secret") || (name == "carol" && secret == "pw2"))) ||
        (type == wire::REQUEST_GSS_TOKEN && name == "alice" && secret == "good-token");

    if (out.empty()) {
        // Only a bad opening message goes unanswered.
        if (size >= wire::kHelloSize && wire::decodeHello(input.first<wire::kHelloSize>()))
            fail("a valid opening message got no answer");
        return 0;
    }
    const std::span<const uint8_t> answer(out);
    int32_t status = 0;
    std::string error;
    if (out.size() < wire::kResultFrameSize ||
        wire::decodeHandshakeReply(answer.first<wire::kResultFrameSize>(), status, error) != wire::Decoded::Ok ||
        status != (geteuid() == 0 ? AUTH_OK : AUTH_NOT_PRIVILEGED))
        fail("malformed handshake reply");
    if (geteuid() != 0) return 0;
    if (out.size() == 8) {
        // No answer only when the header itself did not arrive whole.
        if (size >= 24) fail("a complete request header got no answer");
        return 0;
    }

    const std::span<const uint8_t> replied = answer.subspan(wire::kResultFrameSize);
    if (replied.size() < static_cast<size_t>(wire::kReplyHeadSize)) fail("truncated reply head");
    wire::Reply reply;
    int64_t follow = 0;
    if (wire::decodeReplyHead(replied.first<wire::kReplyHeadSize>(), reply, follow, error) != wire::Decoded::Ok)
        fail(("malformed reply head: " + error).c_str());
    const std::span<const uint8_t> body = replied.subspan(wire::kReplyHeadSize);
    if (body.size() != static_cast<size_t>(follow)) fail("reply size differs from what its head announces");
    if (follow > 0 && wire::decodeReplyBody(body, reply, error) != wire::Decoded::Ok)
        fail(("malformed success reply: " + error).c_str());

    if (reply.ok()) {
        if (!goodCredentials) fail("AUTH_OK for credentials no method accepts");
        if (reply.name != name) fail("success reply echoes another name");
        const int id = name == "alice" ? 1001 : 1003;
        if (reply.uid != id || reply.groups != std::vector<int>{id, 50}) fail("wrong uid or groups");
    } else if (goodCredentials) {
        fail("accepted credentials were refused");
    }
    return 0;
}
