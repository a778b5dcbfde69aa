// The C entry points of libkivclient.so.1: argument checks and the result
// record around the C++ exchange.  Nothing may unwind out of these functions.
#include <kivclient.h>

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "kivclient.hpp"

static_assert(KIV_AUTH_OK == AUTH_OK && KIV_AUTH_ERROR == AUTH_ERROR &&
                  KIV_AUTH_NOT_PRIVILEGED == AUTH_NOT_PRIVILEGED && KIV_AUTH_EXPIRED == AUTH_EXPIRED &&
                  KIV_AUTH_NOAUTH == AUTH_NOAUTH && KIV_AUTH_UNKNOWN_USER == AUTH_UNKNOWN_USER &&
                  KIV_AUTH_REQUEST_FAILED == AUTH_REQUEST_FAILED,
              "public result codes must match the daemon's");
static_assert(KIVCLIENT_MAX_NAME == kiv::wire::kMaxNameLength &&
                  KIVCLIENT_MAX_PASSWORD == kiv::wire::kMaxPasswordLength &&
                  KIVCLIENT_MAX_TOKEN == kiv::wire::kMaxTokenLength,
              "public limits must match the protocol's");

namespace {

int errorFor(kiv::Failure f) {
    switch (f) {
    case kiv::Failure::Invalid: return KIV_EINVAL;
    case kiv::Failure::Connect: return KIV_ECONNECT;
    case kiv::Failure::Timeout: return KIV_ETIMEDOUT;
    case kiv::Failure::Protocol: return KIV_EPROTO;
    case kiv::Failure::Loop: return KIV_ELOOP;
    case kiv::Failure::Io:
    case kiv::Failure::None: break;
    }
    return KIV_EIO;
}

// The std::string copy of the secret is wiped before its storage is released.
struct SecretCopy {
    std::string bytes;
    SecretCopy(const void *p, size_t n) : bytes(static_cast<const char *>(p), n) {}
    ~SecretCopy() {
        if (!bytes.empty()) explicit_bzero(bytes.data(), bytes.size());
    }
};

kiv_result *toRecord(const kiv::Reply &r) {
    auto *out = static_cast<kiv_result *>(std::calloc(1, sizeof(kiv_result)));
    if (!out) return nullptr;
    out->code = r.code;
    out->uid = static_cast<uid_t>(r.uid);
    if (r.ok()) {
        out->name = strndup(r.name.data(), r.name.size());
        if (!r.groups.empty()) {
            out->groups = static_cast<gid_t *>(std::calloc(r.groups.size(), sizeof(gid_t)));
            for (size_t i = 0; out->groups && i < r.groups.size(); ++i)
                out->groups[i] = static_cast<gid_t>(r.groups[i]);
        }
        if (!out->name || (!r.groups.empty() && !out->groups)) {
            kiv_result_free(out);
            return nullptr;
        }
        out->ngroups = r.groups.size();
    } else {
        out->uid = static_cast<uid_t>(-1);
    }
    return out;
}

} // namespace

extern "C" {

int kiv_authenticate(const char *socket_path, const char *user, const void *secret, size_t secret_len, int flags,
                     int timeout_ms, kiv_result **result) {
    if (!result) return KIV_EINVAL;
    *result = nullptr;
    if (!user || (!secret && secret_len > 0) || (flags & ~KIV_FLAG_TOKEN)) return KIV_EINVAL;
    // Reject before copying anything: the limits are far below what a size_t
    // could make the copy cost.
    size_t limit = (flags & KIV_FLAG_TOKEN) ? KIVCLIENT_MAX_TOKEN : KIVCLIENT_MAX_PASSWORD;
    if (secret_len > limit || strnlen(user, KIVCLIENT_MAX_NAME + 1) > KIVCLIENT_MAX_NAME) return KIV_EINVAL;
    try {
        kiv::Options opts;
        if (socket_path) opts.socketPath = socket_path;
        opts.timeoutMs = timeout_ms > 0 ? timeout_ms : KIVCLIENT_DEFAULT_TIMEOUT_MS;
        opts.refuseOwnProcess = true;
        SecretCopy copy(secret ? secret : "", secret_len);
        kiv::Result res = (flags & KIV_FLAG_TOKEN) ? kiv::authenticateToken(user, copy.bytes, opts)
                                                   : kiv::authenticatePassword(user, copy.bytes, opts);
        if (!res.reply) return errorFor(res.failure);
        *result = toRecord(*res.reply);
        return *result ? 0 : KIV_ENOMEM;
    } catch (const std::bad_alloc &) {
        return KIV_ENOMEM;
    } catch (...) {
        return KIV_EIO;
    }
}

void kiv_result_free(kiv_result *result) {
    if (!result) return;
    std::free(result->groups);
    std::free(result->name);
    std::free(result);
}

const char *kiv_strresult(int code) {
    const char *name = kiv::wire::resultCodeName(code);
    return name ? name : "unknown result code";
}

const char *kiv_strerror(int error) {
    switch (error) {
    case 0: return "no error";
    case KIV_EINVAL: return "invalid argument (name, password or token empty, too long or holding a NUL byte)";
    case KIV_ECONNECT: return "cannot connect to kiv-services-daemon";
    case KIV_ETIMEDOUT: return "timed out waiting for kiv-services-daemon";
    case KIV_EIO: return "the connection to kiv-services-daemon failed";
    case KIV_EPROTO: return "malformed answer from kiv-services-daemon";
    case KIV_ENOMEM: return "out of memory";
    case KIV_ELOOP: return "refusing to call kiv-services-daemon from inside itself";
    default: return "unknown error";
    }
}

} // extern "C"
