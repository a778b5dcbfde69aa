// processRequest: one client exchange on a worker thread.  Handshake, request,
// failed-attempt check, the methods in order, groups, the optional credential
// step, the reply, the access line, and the wait for the client to close.
#include "request.h"

#include <strings.h>
#include <syslog.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "authcache.h"
#include "groups.h"
#include "log.h"
#include "mapr.h"
#include "maxtries.h"
#include "methods.h"
#include "protocol.h"

extern "C" {
int clientTimeout = 5;
}

namespace {

enum class Tail {
    Finish,     // purge, wait for the client to close, close
    WaitClose,  // wait for the client to close, close
    End,        // close
};

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <class T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// A password or name buffer that is wiped when the request is done.
struct SecretBuffer {
    char bytes[wire::kMaxPasswordLength + 1] = {};
    ~SecretBuffer() { explicit_bzero(bytes, sizeof bytes); }
};

int64_t now() { return static_cast<int64_t>(time(nullptr)); }

// Sends frame 6 with `code`, after the debug line naming the reason.
void reply(int fd, int code, const char *text) {
    debugMessage("Request failed: '%s'", text);
    const auto frame = wire::encodeResultFrame(code);
    sendResp(&fd, frame.data(), static_cast<int>(frame.size()));
}

bool isLdapForm(const MethodRecord *method) { return strcasecmp(method->name, "ldap") == 0; }

// Everything known about the request once its header, name and secret are in.
struct Request {
    int fd;
    char userName[wire::kMaxNameLength + 1] = {};
    int nameLength = 0;
    SecretBuffer password;
    bool isToken = false;
    MallocPtr<uint8_t> token;
    KivGssBuffer tokenDescriptor{0, nullptr};
};

// The methods take C strings: an embedded NUL would cut the text short and
// let them check another name or password than the one that was sent.
bool hasNul(const char *bytes, int length) { return memchr(bytes, '\0', static_cast<size_t>(length)) != nullptr; }

// Not every failure is a wrong guess: a method that could not do its work
// (directory unreachable, timeout, no memory) says nothing about the password.
bool isGuess(int result) { return result != AUTH_ERROR && result != AUTH_REQUEST_FAILED; }

// Credential step, access line and success reply, once the groups are known.
// The I/O budget is paused on entry (the credential step is not the client's
// time) and resumed here.
Tail sendSuccess(Request &req, const char *methodName, bool cached, const char *lookupName, int uid,
                 const int *groups, int groupCount) {
    if (generateMapRCreds)
        generateMapRCredentials(maprLogin, lookupName, const_cast<int *>(groups), groupCount,
                                req.isToken ? nullptr : req.password.bytes, &authLog);
    ioBudgetResume();

    if (cached)
        accessMessage("Authenticated user %s (%s, cached).", req.userName, methodName);
    else
        accessMessage("Authenticated user %s (%s).", req.userName, methodName);
    const auto frame = wire::encodeSuccessReply(uid, {groups, static_cast<size_t>(groupCount)},
                                                {req.userName, static_cast<size_t>(req.nameLength)});
    // The lengths were checked on the way in: only memory can be missing.
    if (frame.empty()) throw std::bad_alloc();
    sendResp(&req.fd, frame.data(), static_cast<int>(frame.size()));
    debugMessage("Authentication results returned.");
    return Tail::Finish;
}

// A repeat of a remembered success: no method, no group lookup.
Tail cachedSuccess(Request &req, const CachedAnswer &answer) {
    debugMessage("User %s answered from the authentication cache (%s)", req.userName, answer.method->name);
    const char *lookupName = answer.unixName.empty() ? req.userName : answer.unixName.c_str();
    ioBudgetPause();
    return sendSuccess(req, answer.method->name, true, lookupName, answer.uid, answer.groups.data(),
                       static_cast<int>(answer.groups.size()));
}

// Groups, credential step and the success reply.  A password request's
// answer is remembered when the cache is on (`cacheTicket` from before the
// methods ran).
Tail successPath(Request &req, const MethodRecord *method, int uid, int gid, MallocPtr<char> unixName,
                 uint64_t cacheTicket = 0) {
    const char *lookupName = unixName ? unixName.get() : req.userName;
    if (unixName)
        debugMessage("Getting user's group memberships using UNIX username '%s'", unixName.get());
    else
        debugMessage("Getting user's group memberships");

    int *rawGroups = nullptr;
    int groupCount = 0;
    char *message = nullptr;
    ioBudgetPause();
    int rc;
    if (isLdapForm(method)) {
        auto ldapForm = reinterpret_cast<kivLdapGetGroupsFn>(reinterpret_cast<void (*)()>(method->getGroups));
        rc = ldapForm(method->context, lookupName, req.isToken ? "" : req.password.bytes, gid, &rawGroups,
                      &groupCount, method->log, groupNocase, &message);
    } else {
        rc = method->getGroups(method->context, lookupName, gid, &rawGroups, &groupCount, method->log,
                               groupNocase);
    }
    MallocPtr<int> groups(rawGroups);
    // A list the reply cannot carry is as good as no list.
    if (rc != -1 && (groupCount < 0 || groupCount > wire::kMaxGroups || (groupCount > 0 && !groups))) rc = -1;
    if (rc == -1) {
        ioBudgetResume();
        errorMessage("Could not get groups for user '%s'.", lookupName);
        reply(req.fd, AUTH_ERROR, "Could not get group memberships for user.");
        return Tail::Finish;
    }

    if (!req.isToken && authCacheOn()) {
        CachedAnswer answer;
        answer.method = method;
        answer.uid = uid;
        answer.gid = gid;
        answer.groups.assign(groups.get(), groups.get() + groupCount);
        if (unixName) answer.unixName = unixName.get();
        authCacheStore(cacheTicket, req.userName, req.password.bytes, authCacheNowMs(), answer);
    }
    return sendSuccess(req, method->name, false, lookupName, uid, groups.get(), groupCount);
}

Tail tokenRequest(Request &req, int tokenLength) {
    debugMessage("GSS token length:%d", tokenLength);
    if (!wire::secretLengthValid(wire::REQUEST_GSS_TOKEN, tokenLength)) {
        // Refused before anything is allocated or read.
        accessMessage("Token length %d for user %s is invalid.", tokenLength, req.userName);
        reply(req.fd, AUTH_REQUEST_FAILED, "invalid token_length");
        return Tail::Finish;
    }
    req.token.reset(static_cast<uint8_t *>(malloc(static_cast<size_t>(tokenLength) + 1)));
    if (!req.token) {
        draininput(&req.fd, tokenLength);
        reply(req.fd, AUTH_ERROR, "Insufficient memory for GSS token.");
        return Tail::Finish;
    }
    if (readinput(&req.fd, req.token.get(), tokenLength) == 0) {
        errorMessage("IPC failure: Could not read token. Abort.");
        accessMessage("Session aborted.");
        reply(req.fd, AUTH_REQUEST_FAILED, "Could not read token.");
        return Tail::End;
    }
    wire::scramble({req.token.get(), static_cast<size_t>(tokenLength)}, wire::SECRET_SCRAMBLE);
    req.tokenDescriptor = {static_cast<uint64_t>(tokenLength), req.token.get()};

    if (!gssAvailable) {
        req.token.reset();
        errorMessage("GSS is not available to process authenticate request.");
        reply(req.fd, AUTH_ERROR, "GSS is not available.");
        return Tail::Finish;
    }

    int uid = -1, gid = -1;
    char *rawUnixName = nullptr;
    char *message = nullptr;
    ioBudgetPause();
    int result = gssMethod.authenticate(gssMethod.context, req.userName,
                                        reinterpret_cast<const char *>(&req.tokenDescriptor), &uid, &gid,
                                        &rawUnixName, gssMethod.log, &message);
    ioBudgetResume();
    MallocPtr<char> unixName(rawUnixName);
    if (result != AUTH_OK) {
        accessMessage("User %s did not authenticate. Reason: '%s' (gss)", req.userName,
                      message ? message : "Unspecified reason.");
        reply(req.fd, result, message ? message : "User did not authenticate.");
        return Tail::Finish;
    }
    return successPath(req, &gssMethod, uid, gid, std::move(unixName));
}

Tail passwordRequest(Request &req, int passwordLength) {
    if (!wire::secretLengthValid(wire::REQUEST_PASSWORD, passwordLength)) {
        accessMessage("Password length %ld for user %s is invalid.", static_cast<long>(passwordLength),
                      req.userName);
        reply(req.fd, AUTH_REQUEST_FAILED, "invalid password_length");
        return Tail::Finish;
    }
    // An empty password is handed to the methods, which decide about it
    // (DENY_EMPTY_PASSWORDS and friends).
    if (passwordLength > 0 && readinput(&req.fd, req.password.bytes, passwordLength) == 0) {
        errorMessage("IPC failure: Could not read password. Abort.");
        accessMessage("Session aborted.");
        reply(req.fd, AUTH_REQUEST_FAILED, "could not read password");
        return Tail::End;
    }
    wire::scramble({reinterpret_cast<uint8_t *>(req.password.bytes), static_cast<size_t>(passwordLength)},
                   wire::SECRET_SCRAMBLE);
    req.password.bytes[passwordLength] = '\0';
    if (hasNul(req.password.bytes, passwordLength)) {
        accessMessage("Password for user %s contains a NUL byte.", req.userName);
        reply(req.fd, AUTH_REQUEST_FAILED, "invalid password");
        return Tail::Finish;
    }

    // From here on an attempt is reserved and must be settled exactly once.
    const bool limitOn = maxtries >= 1;
    if (limitOn) {
        // A wait for attempts in flight is not the client's time.
        ioBudgetPause();
        const Precheck decision = maxtriesPrecheck(req.userName, now());
        ioBudgetResume();
        switch (decision) {
        case Precheck::Go:
            break;
        case Precheck::Refused:
            authCacheForget(req.userName);
            reply(req.fd, AUTH_NOAUTH, "maxtries exceeded.");
            return Tail::Finish;
        case Precheck::OutOfMemory:
            return Tail::End;
        }
    }

    // The cache answers only after the attempt limit has let the request in.
    uint64_t cacheTicket = 0;
    if (authCacheOn()) {
        CachedAnswer hit;
        if (authCacheLookup(req.userName, req.password.bytes, authCacheNowMs(), &hit)) {
            if (limitOn) maxtriesRecordSuccess(req.userName);
            return cachedSuccess(req, hit);
        }
        cacheTicket = authCacheTicket(req.userName);
    }

    int uid = -1, gid = -1;
    char *message = nullptr;
    MallocPtr<char> unixName;
    const MethodRecord *method = nullptr;
    int result = AUTH_UNKNOWN_USER;
    // A method that knew the user refused the password, even if a later one
    // did not know the user at all.
    bool refusedByAMethod = false;
    ioBudgetPause();
    for (int i = 0; i < numMethods; ++i) {
        const MethodRecord *m = &authMethods[i];
        debugMessage("Authenticating user %s via %s", req.userName, m->name);
        char *rawUnixName = nullptr;
        result = m->authenticate(m->context, req.userName, req.password.bytes, &uid, &gid, &rawUnixName, m->log,
                                 &message);
        unixName.reset(rawUnixName);
        if (result == AUTH_UNKNOWN_USER) continue;
        if (result == AUTH_NOAUTH) refusedByAMethod = true;
        if (result == AUTH_NOAUTH && m->continueOnNoAuth != nullptr && m->continueOnNoAuth(m->context, m->log) == 1) {
            debugMessage("Method %s returned NOAUTH, but specified continueOnNoAuth. Continuing to next "
                         "authentication method.",
                         m->name);
            continue;
        }
        method = m;
        break;
    }
    ioBudgetResume();

    // Whatever did not succeed ends what was remembered for the name.
    if (method == nullptr || result != AUTH_OK) authCacheForget(req.userName);

    if (method == nullptr) {
        accessMessage("Unknown user %s.", req.userName);
        if (message) debugMessage("%s", message);
        // The reply stays "unknown", but a wrong password is still a failed
        // attempt: otherwise a continue-on-no-auth method (LDAP BIND, say)
        // could be guessed at without ever reaching the lock-out.
        if (limitOn) {
            if (!refusedByAMethod)
                maxtriesRelease(req.userName);
            else if (maxtriesRecordFailure(req.userName, now()) != 0)
                return Tail::End;
        }
        reply(req.fd, AUTH_UNKNOWN_USER, "Unknown user.");
        return Tail::Finish;
    }

    if (result == AUTH_OK) {
        if (limitOn) maxtriesRecordSuccess(req.userName);
        return successPath(req, method, uid, gid, std::move(unixName), cacheTicket);
    }

    const char *text = message ? message : "";
    if (result == AUTH_EXPIRED) {
        accessMessage("User %s password or account expired. '%s' (%s)", req.userName, text, method->name);
        if (!message) text = "User account or password expired.";
    } else if (result == AUTH_NOAUTH) {
        accessMessage("User %s did not authenticate. Reason: '%s' (%s)", req.userName,
                      message ? message : "Unspecified reason.", method->name);
        if (!message) text = "User did not authenticate.";
    }
    // A wrong password that an earlier method refused stays a guess.
    if (limitOn && !isGuess(result) && !refusedByAMethod) {
        maxtriesRelease(req.userName);
    } else if (limitOn && maxtriesRecordFailure(req.userName, now()) != 0) {
        return Tail::End;
    }
    reply(req.fd, result, text);
    return Tail::Finish;
}

Tail serve(Request &req) {
    uint8_t hello[wire::kHelloSize];
    if (readinput(&req.fd, hello, wire::kHelloSize) == 0) {
        systemLogMessage(LOG_ERR, "Could not read startup message.");
        return Tail::End;
    }
    if (!wire::decodeHello(hello)) {
        systemLogMessage(LOG_ERR, "Incorrect initial request.");
        return Tail::End;
    }

    const int status = geteuid() == 0 ? AUTH_OK : AUTH_NOT_PRIVILEGED;
    const auto answer = wire::encodeResultFrame(status);
    if (sendHandshake(&req.fd, answer.data()) != wire::kResultFrameSize) {
        errorMessage("Could not send init response.");
        return Tail::End;
    }
    if (status == AUTH_NOT_PRIVILEGED) {
        errorMessage("kiv-services-daemon is not setuid. Abort.");
        return Tail::End;
    }

    uint8_t rawHeader[wire::kHeaderSize];
    if (readinput(&req.fd, rawHeader, wire::kHeaderSize) == 0) return Tail::WaitClose;
    const wire::RequestHeader header = wire::decodeHeader(rawHeader);

    if (!wire::requestTypeKnown(header.type)) {
        debugMessage("Unknown IPC request %d", header.type);
        reply(req.fd, AUTH_REQUEST_FAILED, "Unknown IPC request.");
        return Tail::Finish;
    }
    if (!wire::nameLengthValid(header.nameLength)) {
        accessMessage("Username length %ld is invalid.", static_cast<long>(header.nameLength));
        reply(req.fd, AUTH_REQUEST_FAILED, "invalid username_length");
        return Tail::Finish;
    }
    if (readinput(&req.fd, req.userName, header.nameLength) == 0) {
        reply(req.fd, AUTH_REQUEST_FAILED, "could not read username");
        errorMessage("IPC failure: Could not read username. Abort.");
        accessMessage("Session aborted.");
        return Tail::End;
    }
    wire::scramble({reinterpret_cast<uint8_t *>(req.userName), static_cast<size_t>(header.nameLength)},
                   wire::NAME_SCRAMBLE);
    req.userName[header.nameLength] = '\0';
    req.nameLength = header.nameLength;
    if (hasNul(req.userName, header.nameLength)) {
        accessMessage("Username of length %ld contains a NUL byte.", static_cast<long>(header.nameLength));
        reply(req.fd, AUTH_REQUEST_FAILED, "invalid username");
        return Tail::Finish;
    }

    if (header.type == wire::REQUEST_GSS_TOKEN) {
        req.isToken = true;
        return tokenRequest(req, header.secretLength);
    }
    return passwordRequest(req, header.secretLength);
}

} // namespace

AfterReply serveRequest(int fd) {
    debugMessage("processRequest [ENTER]: socket: <%d>", fd);
    ioBudgetStart(clientTimeout);
    Tail tail;
    try {
        Request req;
        req.fd = fd;
        tail = serve(req);
    } catch (const std::bad_alloc &) {
        // A frame or text could not be allocated.  Whatever was decided is
        // dropped unsent (never a success by accident) and the connection is
        // closed; an exception must not end the worker, and the daemon with it.
        errorMessage("Out of memory while serving a request; connection closed.");
        tail = Tail::End;
    }
    if (tail == Tail::Finish) {
        pthread_mutex_lock(&authAttempLock);
        clearAttempts(nullptr);
        pthread_mutex_unlock(&authAttempLock);
    }
    if (tail == Tail::End) return {false, 0};
    debugMessage("waiting for socket to close on client side.");
    return {true, ioBudgetRemainingMs()};
}

bool answerCachedOnIntake(int fd, const IntakeHandoff &received, AfterReply *after) {
    // Each could wait: the limit on attempts in flight, the credential step,
    // a syslog daemon that has stopped reading.
    if (!authCacheOn() || maxtries >= 1 || generateMapRCreds || accessLinesToSyslog()) return false;
    const auto &bytes = received.bytes;
    constexpr size_t kFrames = wire::kHelloSize + wire::kHeaderSize;
    if (received.handshakeSent != wire::kResultFrameSize || received.consumed != 0 || bytes.size() < kFrames)
        return false;
    const std::span<const uint8_t> all(bytes);
    if (!wire::decodeHello(all.first<wire::kHelloSize>())) return false;
    const wire::RequestHeader header = wire::decodeHeader(all.subspan<wire::kHelloSize, wire::kHeaderSize>());
    if (header.type != wire::REQUEST_PASSWORD || !wire::nameLengthValid(header.nameLength) ||
        header.secretLength < 1 || !wire::secretLengthValid(header.type, header.secretLength))
        return false;
    const size_t nameLength = static_cast<size_t>(header.nameLength);
    const size_t secretLength = static_cast<size_t>(header.secretLength);
    if (bytes.size() != kFrames + nameLength + secretLength) return false;

    try {
        Request req;
        req.fd = fd;
        memcpy(req.userName, bytes.data() + kFrames, nameLength);
        wire::scramble({reinterpret_cast<uint8_t *>(req.userName), nameLength}, wire::NAME_SCRAMBLE);
        req.nameLength = header.nameLength;
        memcpy(req.password.bytes, bytes.data() + kFrames + nameLength, secretLength);
        wire::scramble({reinterpret_cast<uint8_t *>(req.password.bytes), secretLength}, wire::SECRET_SCRAMBLE);
        if (hasNul(req.userName, header.nameLength) || hasNul(req.password.bytes, header.secretLength)) return false;

        CachedAnswer hit;
        if (!authCacheLookup(req.userName, req.password.bytes, authCacheNowMs(), &hit)) return false;
        auto frame = wire::encodeSuccessReply(hit.uid, hit.groups,
                                              std::string_view(req.userName, req.nameLength));
        if (frame.empty()) return false;
        // Far below the smallest send buffer Linux gives a socket, so the
        // one send below never finds it full.
        if (frame.size() > 4096) return false;

        // From here on, the lines and the reply of a worker's cache hit.
        debugMessage("processRequest [ENTER]: socket: <%d>", fd);
        debugMessage("User %s answered from the authentication cache (%s)", req.userName, hit.method->name);
        accessMessage("Authenticated user %s (%s, cached).", req.userName, hit.method->name);
        ssize_t sent;
        do sent = send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (sent < 0 && errno == EINTR);
        debugMessage("Authentication results returned.");
    } catch (const std::bad_alloc &) {
        // Only before the first line: a worker serves it the usual way.
        return false;
    }
    pthread_mutex_lock(&authAttempLock);
    clearAttempts(nullptr);
    pthread_mutex_unlock(&authAttempLock);
    debugMessage("waiting for socket to close on client side.");
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(received.deadline -
                                                                            std::chrono::steady_clock::now());
    after->awaitClose = true;
    after->leftMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    return true;
}

extern "C" void processRequest(int fd) {
    if (serveRequest(fd).awaitClose) {
        uint8_t rest[kStrayBytesAtClose];
        readinput(&fd, rest, sizeof rest);
    }
    close(fd);
    debugMessage("processRequest [EXIT]: socket: <%d>", fd);
}
