// Method framework: the method list, module loading, GSS, termination.
#pragma once
#include "kivmod.h"

extern "C" {
// One authentication method: entry points plus the state that goes with them.
struct MethodRecord {
    kivInitFn init;
    kivTerminateFn terminate;
    kivAuthenticateFn authenticate;
    kivGetGroupsFn getGroups;  // the LDAP form when name is "ldap" (any case)
    kivContinueOnNoAuthFn continueOnNoAuth;
    const char *name;
    void *library;
    void *context;
    AuthLog *log;
};

extern AuthLog authLog;
extern MethodRecord authMethods[4];
extern int numMethods;
extern MethodRecord gssMethod;
extern int gssAvailable;
extern int disableGSS;  // set by initLogs from "disableGSS"

int loadMethod(MethodRecord *record, const char *name, ConfigEntry *list, int count,
               int reportErrors, char **message);
int addMethod(const char *name, ConfigEntry *list, int count, kivInitFn init,
              kivTerminateFn terminate, kivAuthenticateFn authenticate,
              kivGetGroupsFn getGroups, kivContinueOnNoAuthFn continueOnNoAuth,
              char **message);
int initMethods(ConfigEntry *list, int count, char **message);
void enableGSS(ConfigEntry *list, int count, char **message);
void termMethods(void);
}
