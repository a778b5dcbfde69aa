// kivtest-gss-token: makes real GSS-API initiator tokens from a Kerberos
// credential cache, for the tests and load runs of the GSS method.
//
//   kivtest-gss-token --ccache FILE --target SERVICE@HOST --out PATH
//                     [--count N] [--spnego] [--stretch-endtime]
//
// One token is written to PATH; with --count N, N tokens (each with its own
// authenticator) go to PATH.0 ... PATH.<N-1>.  --spnego wraps the Kerberos
// token in SPNEGO.  --stretch-endtime copies the cache into memory with every
// ticket's end time (the client's cleartext copy only) moved an hour ahead:
// the client then still uses an expired ticket, whose sealed end time the
// acceptor sees.  Exit status 0 on success, 1 on a GSS failure, 64 on usage.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

namespace {

std::string statusText(OM_uint32 major, OM_uint32 minor) {
    std::string out;
    for (auto [value, type] : {std::pair{major, GSS_C_GSS_CODE}, std::pair{minor, GSS_C_MECH_CODE}}) {
        OM_uint32 more = 0, m = 0;
        do {
            gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
            if (GSS_ERROR(gss_display_status(&m, value, type, GSS_C_NO_OID, &more, &text))) break;
            out += std::string(static_cast<char *>(text.value), text.length) + "; ";
            gss_release_buffer(&m, &text);
        } while (more != 0);
    }
    return out;
}

// Copies `ccache` into a memory cache with every end time an hour ahead;
// returns the memory cache's name, "" on failure.
std::string stretchedCopy(const std::string &ccache) {
    krb5_context kc = nullptr;
    if (krb5_init_context(&kc) != 0) return {};
    krb5_ccache in = nullptr, out = nullptr;
    krb5_principal client = nullptr;
    const std::string name = "MEMORY:kivtest-stretched";
    bool ok = krb5_cc_resolve(kc, ("FILE:" + ccache).c_str(), &in) == 0 &&
              krb5_cc_resolve(kc, name.c_str(), &out) == 0 && krb5_cc_get_principal(kc, in, &client) == 0 &&
              krb5_cc_initialize(kc, out, client) == 0;
    krb5_cc_cursor cursor = nullptr;
    if (ok && krb5_cc_start_seq_get(kc, in, &cursor) == 0) {
        krb5_creds creds;
        while (krb5_cc_next_cred(kc, in, &cursor, &creds) == 0) {
            if (creds.times.endtime != 0) creds.times.endtime = static_cast<krb5_timestamp>(time(nullptr) + 3600);
            ok = ok && krb5_cc_store_cred(kc, out, &creds) == 0;
            krb5_free_cred_contents(kc, &creds);
        }
        krb5_cc_end_seq_get(kc, in, &cursor);
    } else {
        ok = false;
    }
    if (client) krb5_free_principal(kc, client);
    if (in) krb5_cc_close(kc, in);
    // The memory cache lives on in the process after its handle is closed.
    if (out) krb5_cc_close(kc, out);
    krb5_free_context(kc);
    return ok ? name : std::string();
}

int usage(const char *why) {
    std::fprintf(stderr,
                 "kivtest-gss-token: %s\nusage: kivtest-gss-token --ccache FILE --target SERVICE@HOST --out PATH "
                 "[--count N] [--spnego] [--stretch-endtime]\n",
                 why);
    return 64;
}

} // namespace

int main(int argc, char **argv) {
    std::string ccache, target, out;
    long count = 1;
    bool spnego = false, stretch = false, many = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (a == "--ccache" && (v = value())) ccache = v;
        else if (a == "--target" && (v = value())) target = v;
        else if (a == "--out" && (v = value())) out = v;
        else if (a == "--count" && (v = value())) {
            count = std::strtol(v, nullptr, 10);
            many = true;
        } else if (a == "--spnego") spnego = true;
        else if (a == "--stretch-endtime") stretch = true;
        else return usage(("unknown or incomplete argument " + a).c_str());
    }
    if (ccache.empty() || target.empty() || out.empty() || count < 1 || count > 1000000)
        return usage("--ccache, --target and --out are required");

    std::string store = "FILE:" + ccache;
    if (stretch && (store = stretchedCopy(ccache)).empty()) {
        std::fprintf(stderr, "kivtest-gss-token: cannot copy %s\n", ccache.c_str());
        return 1;
    }
    OM_uint32 minor = 0;
    gss_key_value_element_desc element{"ccache", store.c_str()};
    gss_key_value_set_desc cstore{1, &element};
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    OM_uint32 major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, GSS_C_NO_OID_SET,
                                            GSS_C_INITIATE, &cstore, &cred, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        std::fprintf(stderr, "kivtest-gss-token: acquire: %s\n", statusText(major, minor).c_str());
        return 1;
    }
    gss_buffer_desc targetText{target.size(), target.data()};
    gss_name_t targetName = GSS_C_NO_NAME;
    major = gss_import_name(&minor, &targetText, GSS_C_NT_HOSTBASED_SERVICE, &targetName);
    if (GSS_ERROR(major)) {
        std::fprintf(stderr, "kivtest-gss-token: target: %s\n", statusText(major, minor).c_str());
        return 1;
    }
    static gss_OID_desc spnegoOid{6, const_cast<char *>("\x2b\x06\x01\x05\x05\x02")};
    gss_OID mech = spnego ? &spnegoOid : const_cast<gss_OID>(gss_mech_krb5);
    for (long k = 0; k < count; ++k) {
        gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
        gss_buffer_desc token = GSS_C_EMPTY_BUFFER;
        major = gss_init_sec_context(&minor, cred, &ctx, targetName, mech, 0, GSS_C_INDEFINITE,
                                     GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &token, nullptr,
                                     nullptr);
        if (GSS_ERROR(major) || token.length == 0) {
            std::fprintf(stderr, "kivtest-gss-token: init: %s\n", statusText(major, minor).c_str());
            return 1;
        }
        const std::string path = many ? out + "." + std::to_string(k) : out;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(static_cast<const char *>(token.value), static_cast<std::streamsize>(token.length));
        if (!file) {
            std::fprintf(stderr, "kivtest-gss-token: cannot write %s\n", path.c_str());
            return 1;
        }
        gss_release_buffer(&minor, &token);
        gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
    }
    gss_release_name(&minor, &targetName);
    gss_release_cred(&minor, &cred);
    return 0;
}
