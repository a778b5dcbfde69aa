/* A "pam" method that runs a real PAM transaction on the service named by the
 * key PAM_STACK_SERVICE: lets the tests put pam_kiv into the daemon's own PAM
 * stack and see the loop refused. */
#define _GNU_SOURCE
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <security/pam_appl.h>

#include "kivmod.h"

struct stack_ctx {
    char service[64];
};

static int answer(int n, const struct pam_message **msg, struct pam_response **resp, void *password)
{
    struct pam_response *r = calloc((size_t)n, sizeof *r);
    if (!r) return PAM_BUF_ERR;
    for (int i = 0; i < n; ++i)
        if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF) r[i].resp = strdup(password);
    *resp = r;
    return PAM_SUCCESS;
}

void *pamInit(ConfigEntry *config, int count, int *status, AuthLog *log, char **message)
{
    (void)log;
    (void)message;
    struct stack_ctx *c = calloc(1, sizeof *c);
    *status = c ? 0 : 2;
    if (!c) return NULL;
    strcpy(c->service, "kiv-loop");
    for (int i = 0; i < count; ++i)
        if (strcasecmp(config[i].key, "PAM_STACK_SERVICE") == 0)
            snprintf(c->service, sizeof c->service, "%s", config[i].value);
    return c;
}

void pamTerminate(void *context, AuthLog *log)
{
    (void)log;
    free(context);
}

int pamAuthenticate(void *context, const char *user, const char *password, int *uid, int *gid, char **unixName,
                    AuthLog *log, char **message)
{
    (void)unixName;
    (void)log;
    (void)message;
    struct stack_ctx *c = context;
    struct pam_conv conv = {answer, (void *)password};
    pam_handle_t *h = NULL;
    if (pam_start(c->service, user, &conv, &h) != PAM_SUCCESS) return AUTH_ERROR;
    int rc = pam_authenticate(h, 0);
    pam_end(h, rc);
    if (rc == PAM_AUTH_ERR) return AUTH_NOAUTH;
    if (rc == PAM_USER_UNKNOWN) return AUTH_UNKNOWN_USER;
    if (rc != PAM_SUCCESS) return AUTH_ERROR;
    struct passwd pw, *found = NULL;
    char buf[1024];
    if (getpwnam_r(user, &pw, buf, sizeof buf, &found) != 0 || !found) return AUTH_UNKNOWN_USER;
    *uid = (int)found->pw_uid;
    *gid = (int)found->pw_gid;
    return AUTH_OK;
}
