// gssAuthenticate: one gss_accept_sec_context per token request, then the
// initiator's principal is mapped to the local account the reply speaks for.
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <pwd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gssmod.h"

namespace {

// Owns what one acceptance hands out.
struct Acceptance {
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_name_t source = GSS_C_NO_NAME;
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    ~Acceptance() {
        OM_uint32 minor = 0;
        if (output.value != nullptr) gss_release_buffer(&minor, &output);
        if (source != GSS_C_NO_NAME) gss_release_name(&minor, &source);
        if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    }
};

std::string bufferText(const gss_buffer_desc &b) {
    return b.value ? std::string(static_cast<const char *>(b.value), b.length) : std::string();
}

int refuse(int code, char **message, const std::string &text) {
    *message = threadMessage(text);
    return code;
}

int authenticate(GssContext *ctx, const char *user, const KivGssBuffer *token, int *uid, int *gid,
                 char **unixName, AuthLog *log, char **message) {
    if (token->length == 0 || token->value == nullptr)
        return refuse(AUTH_NOAUTH, message, "The GSS token is empty.");

    Acceptance acc;
    gss_buffer_desc input{static_cast<size_t>(token->length), token->value};
    gss_OID mech = GSS_C_NO_OID;
    OM_uint32 flags = 0, minor = 0;
    OM_uint32 major = gss_accept_sec_context(&minor, &acc.context, ctx->cred, &input, GSS_C_NO_CHANNEL_BINDINGS,
                                             &acc.source, &mech, &acc.output, &flags, nullptr, nullptr);
    if (GSS_ERROR(major))
        return refuse(AUTH_NOAUTH, message, "GSS token refused: " + gssStatusText(major, minor));
    // The protocol carries one token in and none back.
    if ((major & GSS_S_CONTINUE_NEEDED) != 0)
        return refuse(AUTH_NOAUTH, message,
                      "GSS negotiation needs another round, which this service cannot carry; "
                      "use the Kerberos mechanism directly.");
    // Local-name rules are Kerberos rules; SPNEGO reports the inner mechanism.
    if (mech == GSS_C_NO_OID || gss_oid_equal(mech, gss_mech_krb5) == 0)
        return refuse(AUTH_NOAUTH, message, "GSS token of an unsupported mechanism.");
    if ((flags & GSS_C_ANON_FLAG) != 0) return refuse(AUTH_NOAUTH, message, "Anonymous GSS token refused.");

    gss_buffer_desc shown = GSS_C_EMPTY_BUFFER;
    OM_uint32 ignored = 0;
    std::string principal;
    if (!GSS_ERROR(gss_display_name(&minor, acc.source, &shown, nullptr))) principal = bufferText(shown);
    gss_release_buffer(&ignored, &shown);

    gss_buffer_desc local = GSS_C_EMPTY_BUFFER;
    major = gss_localname(&minor, acc.source, mech, &local);
    std::string localName = GSS_ERROR(major) ? std::string() : bufferText(local);
    gss_release_buffer(&ignored, &local);
    if (localName.empty() || localName.size() > 255 || localName.find('\0') != std::string::npos) {
        log->logDebug("gssAuthenticate: principal '%s' has no local name: %s", printable(principal).c_str(),
                      GSS_ERROR(major) ? gssStatusText(major, minor).c_str() : "empty or invalid");
        return refuse(AUTH_UNKNOWN_USER, message, "Principal " + principal + " has no local account.");
    }
    // The reply speaks for the request's name: it must be this principal's.
    if (localName != user && principal != user) {
        log->logDebug("gssAuthenticate: principal '%s' (local '%s') does not match the request's user",
                      printable(principal).c_str(), printable(localName).c_str());
        return refuse(AUTH_NOAUTH, message, "The GSS token belongs to another user.");
    }

    struct passwd entry {};
    struct passwd *found = nullptr;
    std::vector<char> buffer(16384);
    int rc;
    while ((rc = getpwnam_r(localName.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (rc != 0 && rc != ENOENT && rc != ESRCH)
        return refuse(AUTH_ERROR, message, "Could not read the password database.");
    if (found == nullptr)
        return refuse(AUTH_UNKNOWN_USER, message, "Principal " + principal + " has no local account.");

    char *name = strdup(entry.pw_name);
    if (name == nullptr) return refuse(AUTH_ERROR, message, "Out of memory.");
    *uid = static_cast<int>(entry.pw_uid);
    *gid = static_cast<int>(entry.pw_gid);
    *unixName = name;
    log->logDebug("gssAuthenticate: principal '%s' authenticated as '%s'", printable(principal).c_str(), name);
    return AUTH_OK;
}

} // namespace

extern "C" int gssAuthenticate(void *context, const char *user, const char *credential, int *uid, int *gid,
                               char **unixName, AuthLog *log, char **message) {
    if (message == nullptr || log == nullptr) return AUTH_ERROR;
    auto *ctx = static_cast<GssContext *>(context);
    if (ctx == nullptr || user == nullptr || credential == nullptr || uid == nullptr || gid == nullptr ||
        unixName == nullptr)
        return refuse(AUTH_ERROR, message, "GSS method called without its arguments.");
    try {
        return authenticate(ctx, user, reinterpret_cast<const KivGssBuffer *>(credential), uid, gid, unixName,
                            log, message);
    } catch (...) {
        return refuse(AUTH_ERROR, message, "Out of memory.");
    }
}
