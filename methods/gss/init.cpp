// gssInit and gssTerminate: the acceptor credential is acquired once, from an
// explicit credential store, so nothing process-wide (KRB5_KTNAME) changes
// while workers run.
#include <gssapi/gssapi_ext.h>
#include <strings.h>

#include <new>

#include "gssmod.h"

extern "C" {
const char *gssBuildVersion = "kivmodgss 1.0 (MIT Kerberos GSS-API)";
}

namespace {

// The first entry of `key` counts; null when there is none.
const char *configValue(ConfigEntry *config, int count, const char *key) {
    for (int i = 0; i < count; ++i)
        if (config[i].key != nullptr && strcasecmp(config[i].key, key) == 0) return config[i].value;
    return nullptr;
}

// Init runs once, on the main thread, before any worker: one buffer will do,
// and it stays valid after a failed Init as the contract asks.
char *initMessage(const std::string &text) {
    static char buffer[512];
    snprintf(buffer, sizeof buffer, "%s", text.c_str());
    return buffer;
}

} // namespace

namespace {

void *initContext(ConfigEntry *config, int count, int *status, AuthLog *log, char **message) {
    auto fail = [&](const std::string &why) -> void * {
        if (log != nullptr) log->logDebug("gssInit: %s", why.c_str());
        if (message != nullptr) *message = initMessage(why);
        return nullptr;
    };
    if (config == nullptr || count < 0) return fail("No configuration.");

    const char *keytabKey = configValue(config, count, "GSS_KEYTAB");
    const char *acceptorKey = configValue(config, count, "GSS_ACCEPTOR");
    std::string keytab, why;
    if (!resolveKeytab(keytabKey ? keytabKey : "", &keytab, &why)) return fail(why);
    std::string acceptor = acceptorKey ? acceptorKey : "";

    OM_uint32 minor = 0;
    gss_name_t name = GSS_C_NO_NAME;
    if (!acceptor.empty()) {
        gss_buffer_desc text{acceptor.size(), acceptor.data()};
        OM_uint32 major = gss_import_name(&minor, &text, GSS_C_NT_HOSTBASED_SERVICE, &name);
        if (GSS_ERROR(major))
            return fail("GSS_ACCEPTOR '" + acceptor + "' is not a service name: " + gssStatusText(major, minor));
    }
    gss_key_value_element_desc element{"keytab", keytab.c_str()};
    gss_key_value_set_desc store{1, &element};
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    OM_uint32 major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, GSS_C_NO_OID_SET, GSS_C_ACCEPT,
                                            &store, &cred, nullptr, nullptr);
    OM_uint32 ignored = 0;
    if (name != GSS_C_NO_NAME) gss_release_name(&ignored, &name);
    if (GSS_ERROR(major))
        return fail("Cannot acquire the acceptor credential from " + keytab + ": " + gssStatusText(major, minor));

    auto *ctx = new (std::nothrow) GssContext;
    if (ctx == nullptr) {
        gss_release_cred(&ignored, &cred);
        return fail("Out of memory.");
    }
    ctx->keytab = keytab;
    ctx->acceptor = acceptor;
    ctx->cred = cred;
    if (log != nullptr)
        log->logDebug("gssInit: accepting %s with keytab %s", acceptor.empty() ? "any key" : acceptor.c_str(),
                      keytab.c_str());
    *status = 0;
    return ctx;
}

} // namespace

extern "C" void *gssInit(ConfigEntry *config, int count, int *status, AuthLog *log, char **message) {
    if (status == nullptr) return nullptr;
    *status = -1;
    try {
        return initContext(config, count, status, log, message);
    } catch (...) {
        if (message != nullptr) *message = initMessage("Out of memory.");
        return nullptr;
    }
}

extern "C" void gssTerminate(void *context, AuthLog *) {
    auto *ctx = static_cast<GssContext *>(context);
    if (ctx == nullptr) return;
    OM_uint32 minor = 0;
    if (ctx->cred != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &ctx->cred);
    delete ctx;
}
