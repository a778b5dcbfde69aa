// MapR credential step: runs maprlogin as the authenticated user.
#pragma once
#include "kivmod.h"

extern "C" {
extern int generateMapRCreds;
extern char *maprLogin;

char *concatenateFilename(const char *directory, const char *file);
int generateMapRCredentials(const char *maprLoginPath, const char *user,
                            int *groups, int count, const char *password,
                            AuthLog *log);
}

// Start-up pass over the "mapr_generate_credentials" and "mapr_home" keys.
void initMapR(ConfigEntry *list, int count);
