// Peer baseline: in-process PAM with pam_unix.
#include <dlfcn.h>
#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

#include "baselines.h"
#include "kivmod.h"

namespace kivbench {

std::string pamServiceText() {
    // nodelay: a failure must not add pam_unix's sleep to the figures.
    return "auth required pam_unix.so nodelay\n"
           "account required pam_unix.so\n";
}

namespace {

// Answers every prompt with the account's password.
int converse(int n, const pam_message **msg, pam_response **resp, void *appdata) {
    if (n <= 0 || n > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
    auto *password = static_cast<const std::string *>(appdata);
    auto *r = static_cast<pam_response *>(std::calloc(static_cast<size_t>(n), sizeof(pam_response)));
    if (r == nullptr) return PAM_BUF_ERR;
    for (int i = 0; i < n; ++i) {
        int style = msg[i]->msg_style;
        if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) {
            r[i].resp = strdup(password->c_str());
            if (r[i].resp == nullptr) {
                for (int k = 0; k < i; ++k) std::free(r[k].resp);
                std::free(r);
                return PAM_BUF_ERR;
            }
        }
    }
    *resp = r;
    return PAM_SUCCESS;
}

int codeOf(int rc) {
    switch (rc) {
    case PAM_SUCCESS: return AUTH_OK;
    case PAM_AUTH_ERR: return AUTH_NOAUTH;
    case PAM_USER_UNKNOWN: return AUTH_UNKNOWN_USER;
    case PAM_CRED_EXPIRED:
    case PAM_ACCT_EXPIRED:
    case PAM_NEW_AUTHTOK_REQD: return AUTH_EXPIRED;
    default: return AUTH_ERROR;
    }
}

// pam_end unloads pam_unix and its libraries, and the next pam_start maps
// them again.  Holding one reference of our own keeps them mapped, so the
// figures measure authentication rather than library loading; that can
// only make the peer faster.
void pinModule(const std::string &module) {
    if (module[0] == '/') {
        dlopen(module.c_str(), RTLD_NOW | RTLD_NODELETE);
        return;
    }
    for (const char *dir : {"/usr/lib/x86_64-linux-gnu/security", "/lib/x86_64-linux-gnu/security",
                            "/usr/lib64/security", "/usr/lib/security", "/lib/security"})
        if (dlopen((std::string(dir) + "/" + module).c_str(), RTLD_NOW | RTLD_NODELETE) != nullptr) return;
}

} // namespace

OperationFactory pamOperation(Accounts accounts, std::string confDir, std::string service, std::string module) {
    pinModule(module);
    return [accounts, confDir, service](int) -> Operation {
        return [accounts, confDir, service](uint64_t seq) {
            const Account &a = (*accounts)[seq % accounts->size()];
            pam_conv conv{converse, const_cast<std::string *>(&a.password)};
            pam_handle_t *h = nullptr;
            Outcome o;
            // A private configuration directory: the host's /etc/pam.d is
            // neither read nor changed.
            int rc = pam_start_confdir(service.c_str(), a.name.c_str(), &conv, confDir.c_str(), &h);
            if (rc != PAM_SUCCESS) {
                o.transportError = true;
                o.error = "pam_start_confdir failed: " + std::to_string(rc);
                return o;
            }
            rc = pam_authenticate(h, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
            o.code = codeOf(rc);
            pam_end(h, rc);
            return o;
        };
    };
}

} // namespace kivbench
