// The built-in password-database method "pw".
#pragma once
#include "kivmod.h"

extern "C" {
// Settings of one pw method instance; written by pwInit only, read-only after.
// The AIX fields are parsed and kept for configuration compatibility; nothing
// reads them on Linux.
struct PwContext {
    int loginCheck;            // AIX_LOGIN_CHECK
    int reportResults;         // AIX_REPORT_RESULT
    int useAuthenticate;       // AIX_USE_AUTHENTICATE
    int useLoginRestrictions;  // AIX_USE_LOGINRESTRICTIONS
    int authMode;              // AIX_LOGIN_AUTHMODE: 0 = "LOCAL", else 1
    const char *authTty;       // AIX_AUTH_TTY, points into the configuration
    int skipPwExpCheck;        // SKIP_PW_EXP_CHECK
    int skipAccExpCheck;       // SKIP_ACC_EXP_CHECK
    int skipAdminLockCheck;    // SKIP_ADMIN_LOCK_CHECK
    int skipChangeCheck;       // SKIP_CHANGE_CHECK
    int denyEmptyPasswords;    // DENY_EMPTY_PASSWORDS
};

extern const char *pwBuildVersion;
extern char pwInitMsgBuf[64];

void *pwInit(ConfigEntry *config, int count, int *status, AuthLog *log, char **message);
void pwTerminate(void *context, AuthLog *log);
int pwAuthenticate(void *context, const char *user, const char *password,
                   int *uid, int *gid, char **unixName, AuthLog *log, char **message);

// Result-reporting hooks of the AIX flavour; no-ops returning 0 on Linux.
int reportSuccess(void *context, const char *user, AuthLog *log);
int reportFailure(void *context, const char *user, int reason, AuthLog *log);
}
