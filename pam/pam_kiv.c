/*
 * pam_kiv.so: PAM service module (auth, account) that asks kiv-services-daemon.
 *
 *   auth     sends PAM_USER and the password to the daemon
 *   account  answers from what auth learnt in the same PAM handle
 *
 * Options: socket=PATH, timeout=SECONDS, debug, use_first_pass,
 * try_first_pass, expired=password|account.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <security/pam_ext.h>
#include <security/pam_modules.h>

#include <kivclient.h>

#define DATA_KEY "pam_kiv_outcome"

enum pass_mode { PASS_DEFAULT, PASS_USE_FIRST, PASS_TRY_FIRST };

struct options {
    const char *socket;
    int timeout_ms;
    int debug;
    enum pass_mode pass;
    int expired_account; /* expired=account: PAM_ACCT_EXPIRED, else PAM_NEW_AUTHTOK_REQD */
};

/* What auth learnt, kept in the handle for account. */
struct outcome {
    int code;
    char user[KIVCLIENT_MAX_NAME + 1];
};

static int parse_options(pam_handle_t *pamh, int argc, const char **argv, struct options *o)
{
    o->socket = NULL;
    o->timeout_ms = KIVCLIENT_DEFAULT_TIMEOUT_MS;
    o->debug = 0;
    o->pass = PASS_DEFAULT;
    o->expired_account = 0;
    for (int i = 0; i < argc; ++i) {
        const char *a = argv[i];
        if (strncmp(a, "socket=", 7) == 0 && a[7] == '/') {
            o->socket = a + 7;
        } else if (strncmp(a, "timeout=", 8) == 0) {
            char *end = NULL;
            errno = 0;
            long v = strtol(a + 8, &end, 10);
            if (errno || end == a + 8 || *end || v < 1 || v > 3600) {
                pam_syslog(pamh, LOG_ERR, "invalid option %s (1 to 3600 seconds)", a);
                return -1;
            }
            o->timeout_ms = (int)(v * 1000);
        } else if (strcmp(a, "debug") == 0) {
            o->debug = 1;
        } else if (strcmp(a, "use_first_pass") == 0) {
            o->pass = PASS_USE_FIRST;
        } else if (strcmp(a, "try_first_pass") == 0) {
            o->pass = PASS_TRY_FIRST;
        } else if (strcmp(a, "expired=account") == 0) {
            o->expired_account = 1;
        } else if (strcmp(a, "expired=password") == 0) {
            o->expired_account = 0;
        } else {
            /* A misspelt option must not silently weaken the stack. */
            pam_syslog(pamh, LOG_ERR, "unknown option %s", a);
            return -1;
        }
    }
    return 0;
}

static void free_outcome(pam_handle_t *pamh, void *data, int status)
{
    (void)pamh;
    (void)status;
    explicit_bzero(data, sizeof(struct outcome));
    free(data);
}

static void remember(pam_handle_t *pamh, const char *user, int code)
{
    struct outcome *o = calloc(1, sizeof *o);
    if (!o) return;
    o->code = code;
    strncpy(o->user, user, sizeof o->user - 1);
    if (pam_set_data(pamh, DATA_KEY, o, free_outcome) != PAM_SUCCESS) free(o);
}

/* Asks through the conversation; the answer also becomes PAM_AUTHTOK for the
 * modules stacked after this one. */
static int prompt_password(pam_handle_t *pamh, const char **out)
{
    char *resp = NULL;
    int rc = pam_prompt(pamh, PAM_PROMPT_ECHO_OFF, &resp, "Password: ");
    if (rc != PAM_SUCCESS) return rc;
    if (!resp) return PAM_CONV_ERR;
    rc = pam_set_item(pamh, PAM_AUTHTOK, resp);
    explicit_bzero(resp, strlen(resp));
    free(resp);
    if (rc != PAM_SUCCESS) return rc;
    const void *item = NULL;
    rc = pam_get_item(pamh, PAM_AUTHTOK, &item);
    if (rc != PAM_SUCCESS || !item) return PAM_AUTHTOK_ERR;
    *out = item;
    return PAM_SUCCESS;
}

/* One request; returns the PAM answer and stores the daemon's code. */
static int ask_daemon(pam_handle_t *pamh, const struct options *o, const char *user, const char *password,
                      int *code)
{
    kiv_result *r = NULL;
    *code = 0;
    int rc = kiv_authenticate(o->socket, user, password, strlen(password), 0, o->timeout_ms, &r);
    if (rc != 0) {
        /* A loop is a configuration error worth an error line every time. */
        pam_syslog(pamh, rc == KIV_ELOOP ? LOG_ERR : LOG_WARNING, "user %s: %s", user, kiv_strerror(rc));
        if (rc == KIV_ELOOP)
            pam_syslog(pamh, LOG_ERR, "the daemon's own PAM service must not use pam_kiv");
        return PAM_AUTHINFO_UNAVAIL;
    }
    *code = r->code;
    kiv_result_free(r);
    if (o->debug) pam_syslog(pamh, LOG_DEBUG, "user %s: %s", user, kiv_strresult(*code));
    switch (*code) {
    case KIV_AUTH_OK:
    case KIV_AUTH_EXPIRED: /* the daemon's methods report expiry only for a matching password */
        return PAM_SUCCESS;
    case KIV_AUTH_NOAUTH: return PAM_AUTH_ERR;
    case KIV_AUTH_UNKNOWN_USER: return PAM_USER_UNKNOWN;
    default:
        pam_syslog(pamh, LOG_WARNING, "user %s: the daemon answered %s (%d)", user, kiv_strresult(*code), *code);
        return PAM_AUTHINFO_UNAVAIL;
    }
}

PAM_EXTERN int pam_sm_authenticate(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)flags;
    struct options o;
    if (parse_options(pamh, argc, argv, &o) != 0) return PAM_SERVICE_ERR;

    const char *user = NULL;
    int rc = pam_get_user(pamh, &user, NULL);
    if (rc != PAM_SUCCESS) return rc == PAM_CONV_AGAIN ? PAM_INCOMPLETE : rc;
    if (!user || !*user || strnlen(user, KIVCLIENT_MAX_NAME + 1) > KIVCLIENT_MAX_NAME) {
        if (o.debug) pam_syslog(pamh, LOG_DEBUG, "user name empty or longer than %d bytes", KIVCLIENT_MAX_NAME);
        return PAM_USER_UNKNOWN;
    }

    const void *item = NULL;
    rc = pam_get_item(pamh, PAM_AUTHTOK, &item);
    if (rc != PAM_SUCCESS) return rc;
    const char *password = item;
    int stacked = password != NULL;
    if (!password) {
        if (o.pass == PASS_USE_FIRST) {
            if (o.debug) pam_syslog(pamh, LOG_DEBUG, "use_first_pass: no password from an earlier module");
            return PAM_AUTH_ERR;
        }
        rc = prompt_password(pamh, &password);
        if (rc != PAM_SUCCESS) return rc;
    }

    int code = 0;
    for (;;) {
        /* The daemon cannot check an empty or over-long password: no answer
         * would be yes, so say no without asking. */
        size_t len = strnlen(password, KIVCLIENT_MAX_PASSWORD + 1);
        if (len == 0 || len > KIVCLIENT_MAX_PASSWORD) {
            if (o.debug) pam_syslog(pamh, LOG_DEBUG, "user %s: password empty or too long", user);
            rc = PAM_AUTH_ERR;
        } else {
            rc = ask_daemon(pamh, &o, user, password, &code);
        }
        /* try_first_pass: an earlier module's password that fails here gets
         * one fresh prompt. */
        if (rc != PAM_AUTH_ERR || !stacked || o.pass != PASS_TRY_FIRST) break;
        stacked = 0;
        int prc = prompt_password(pamh, &password);
        if (prc != PAM_SUCCESS) return prc;
    }
    if (rc == PAM_SUCCESS) remember(pamh, user, code);
    return rc;
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)pamh;
    (void)flags;
    (void)argc;
    (void)argv;
    return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_acct_mgmt(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)flags;
    struct options o;
    if (parse_options(pamh, argc, argv, &o) != 0) return PAM_SERVICE_ERR;
    const void *data = NULL;
    const char *user = NULL;
    /* Without a password there is nothing to ask the daemon: only an answer
     * that auth got for this same user counts. */
    if (pam_get_data(pamh, DATA_KEY, &data) != PAM_SUCCESS || !data ||
        pam_get_item(pamh, PAM_USER, (const void **)&user) != PAM_SUCCESS || !user ||
        strcmp(user, ((const struct outcome *)data)->user) != 0) {
        if (o.debug) pam_syslog(pamh, LOG_DEBUG, "no answer from auth for this user; ignored");
        return PAM_IGNORE;
    }
    const struct outcome *out = data;
    if (out->code == KIV_AUTH_OK) return PAM_SUCCESS;
    if (o.debug) pam_syslog(pamh, LOG_DEBUG, "user %s: password or account expired", user);
    return o.expired_account ? PAM_ACCT_EXPIRED : PAM_NEW_AUTHTOK_REQD;
}
