// kivmodgss.so: the GSS-API method of kiv-services-daemon.  Token requests
// are accepted with MIT Kerberos from a keytab and the initiator's principal
// is mapped to a local account with the library's auth_to_local rules.
#pragma once

#include <gssapi/gssapi.h>

#include <string>

#include "kivmod.h"

#define KIV_EXPORT __attribute__((visibility("default")))

// Everything gssInit sets up; read-only while requests run.  The credential
// handle is shared by all workers: MIT krb5 locks it internally.
struct GssContext {
    std::string keytab;     // resolved keytab name handed to the library
    std::string acceptor;   // GSS_ACCEPTOR, empty = any key of the keytab
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
};

// Text of a GSS major/minor status pair, e.g. "Unspecified GSS failure.
// Minor code may provide more information: Request is a replay".
std::string gssStatusText(OM_uint32 major, OM_uint32 minor);

// Copies `text` into a buffer of the calling thread and returns it: reason
// texts must outlive the call, and the daemon never frees them.  Control
// characters become '?', so principal names cannot break a log line.
char *threadMessage(const std::string &text);
// `text` with control characters replaced by '?'.
std::string printable(const std::string &text);

// Resolves the keytab name to use (`configured`, or the library's default
// when empty) into *resolved, and checks that the file is one only root
// controls.  False with *why set when it is not.
bool resolveKeytab(const std::string &configured, std::string *resolved, std::string *why);

extern "C" {
KIV_EXPORT extern const char *gssBuildVersion;
KIV_EXPORT void *gssInit(ConfigEntry *config, int count, int *status, AuthLog *log, char **message);
KIV_EXPORT void gssTerminate(void *context, AuthLog *log);
KIV_EXPORT int gssAuthenticate(void *context, const char *user, const char *credential, int *uid,
                               int *gid, char **unixName, AuthLog *log, char **message);
}
