// The built-in password-database method "pw".
#pragma once
#include "kivmod.h"

extern "C" {
extern const char *pwBuildVersion;

void *pwInit(ConfigEntry *config, int count, int *status, AuthLog *log, char **message);
void pwTerminate(void *context, AuthLog *log);
int pwAuthenticate(void *context, const char *user, const char *password,
                   int *uid, int *gid, char **unixName, AuthLog *log, char **message);
}
