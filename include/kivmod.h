/*
 * kivmod.h - the contract between kiv-services-daemon and its method modules.
 *
 * A method module is a shared library named kivmod<name>.so (kivmodlib.so for
 * the "custom" method) in the daemon's directory.  It exports entry points whose
 * names are the method's symbol prefix followed by the suffixes below, e.g.
 * ldapInit, ldapAuthenticate.  Everything a module author needs is in this file.
 *
 * Rules of the road:
 *   - Entry points are called from many worker threads at once with the same
 *     context and no lock held by the daemon: they must be thread-safe.
 *   - Strings and arrays a method hands out through unixName and groups are
 *     allocated with malloc and freed by the daemon with free.
 *   - Reason messages (the message out-parameters) stay owned by the method;
 *     the daemon never frees them.
 *   - Nothing may unwind across these functions (no C++ exceptions).
 */
#ifndef KIVMOD_H
#define KIVMOD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes: the value of every Authenticate call and the first word of
 * every reply frame sent to a client. */
#define AUTH_OK             ((int)0x92042300)
#define AUTH_ERROR          2
#define AUTH_NOT_PRIVILEGED 3
#define AUTH_EXPIRED        4
#define AUTH_NOAUTH         5
#define AUTH_UNKNOWN_USER   6
#define AUTH_REQUEST_FAILED 7

/* printf-style logging callback. */
typedef void (*kivLogFn)(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/* Host services handed to every entry point.  Field order is part of the ABI. */
typedef struct AuthLog {
    kivLogFn logDebug;   /* debug log */
    kivLogFn logAccess;  /* access log (and debug log) */
    kivLogFn logWarning; /* error log or syslog (and debug log) */
    kivLogFn logError;   /* error log or syslog (and debug log) */
    void *reserved;      /* always null */
    int showPasswords;   /* 1: secrets may be written to the debug log */
} AuthLog;

/* One key=value line of kiv-services-daemon.conf.  Entry 0 of the list handed
 * to Init is always {"program", "<host program name>"}.  Keys are compared
 * case-insensitively. */
typedef struct ConfigEntry {
    char *key;
    char *value;
} ConfigEntry;

/* The credential of a GSS token request: Authenticate of the "gss" method
 * receives a pointer to this record (cast to const char *) instead of a
 * password.  Layout matches gss_buffer_desc. */
typedef struct KivGssBuffer {
    uint64_t length;
    void *value;
} KivGssBuffer;

/* <prefix>Init: returns the method's context.  *status = 0 on success; on
 * failure a non-zero status and optionally *message = a reason the module keeps. */
typedef void *(*kivInitFn)(ConfigEntry *config, int count, int *status,
                           AuthLog *log, char **message);

/* <prefix>Terminate */
typedef void (*kivTerminateFn)(void *context, AuthLog *log);

/* <prefix>Authenticate: returns a result code.  On AUTH_OK *uid and *gid are
 * set; *unixName may be set to a malloc'ed local account name used for the group
 * lookup in place of the request's name; *message may point at a reason text
 * owned by the module. */
typedef int (*kivAuthenticateFn)(void *context, const char *user,
                                 const char *credential, int *uid, int *gid,
                                 char **unixName, AuthLog *log, char **message);

/* <prefix>GetGroups, standard form: *groups = malloc'ed array of *count group
 * ids, primary gid first.  Returns -1 on failure. */
typedef int (*kivGetGroupsFn)(void *context, const char *user, int gid,
                              int **groups, int *count, AuthLog *log, int nocase);

/* <prefix>GetGroups, form required of every module loaded under the prefix
 * "ldap": also receives the request's password and a message out-parameter. */
typedef int (*kivLdapGetGroupsFn)(void *context, const char *user,
                                  const char *password, int gid, int **groups,
                                  int *count, AuthLog *log, int nocase,
                                  char **message);

/* <prefix>ContinueOnNoAuth: 1 = try the next method after AUTH_NOAUTH. */
typedef int (*kivContinueOnNoAuthFn)(void *context, AuthLog *log);

/* <prefix>BuildVersion is optional data: `const char *<prefix>BuildVersion`. */

#ifdef __cplusplus
}
#endif

#endif /* KIVMOD_H */
