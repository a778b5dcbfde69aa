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

// Upper bound in seconds on one maprlogin run (feeding stdin, reading its
// output, waiting for its exit); a tool still running then is killed with its
// process group and reaped.  Values below 1 mean the default of 60.  Tests
// shorten it.
extern int maprTimeoutSeconds;
