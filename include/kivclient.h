/*
 * kivclient.h - C client library of kiv-services-daemon (libkivclient.so.1).
 *
 * One call asks the daemon whether a user's password (or GSS token) is good
 * and returns the answer as a record.  The library keeps no global state, is
 * safe to call from any number of threads at once, never logs, and wipes every
 * copy it makes of the secret.  Build with `pkg-config --cflags --libs
 * kivclient`.  See kivclient(3).
 */
#ifndef KIVCLIENT_H
#define KIVCLIENT_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KIVCLIENT_DEFAULT_SOCKET "/var/run/kiv-services-daemon_socket"
#define KIVCLIENT_DEFAULT_TIMEOUT_MS 10000
#define KIVCLIENT_MAX_NAME 255      /* bytes of a user name */
#define KIVCLIENT_MAX_PASSWORD 255  /* bytes of a password */
#define KIVCLIENT_MAX_TOKEN 65536   /* bytes of a GSS token */

/* Result codes the daemon answers with (kiv_result.code).  A daemon method may
 * answer other values; they are passed through unchanged. */
#define KIV_AUTH_OK             ((int)0x92042300)
#define KIV_AUTH_ERROR          2   /* the daemon failed internally */
#define KIV_AUTH_NOT_PRIVILEGED 3   /* the daemon does not run as root */
#define KIV_AUTH_EXPIRED        4   /* password or account expired */
#define KIV_AUTH_NOAUTH         5   /* wrong credentials, or too many failures */
#define KIV_AUTH_UNKNOWN_USER   6   /* no method knows the user */
#define KIV_AUTH_REQUEST_FAILED 7   /* the daemon could not use the request */

/* flags of kiv_authenticate */
#define KIV_FLAG_TOKEN 1   /* the secret is a GSS token, not a password */

/* Values of kiv_authenticate when the daemon gave no answer. */
#define KIV_EINVAL    (-1)   /* bad argument; nothing was sent */
#define KIV_ECONNECT  (-2)   /* could not connect to the socket */
#define KIV_ETIMEDOUT (-3)   /* a connect, write or read ran out of time */
#define KIV_EIO       (-4)   /* the connection failed or closed mid-exchange */
#define KIV_EPROTO    (-5)   /* the answer was malformed; never a success */
#define KIV_ENOMEM    (-6)   /* out of memory */
#define KIV_ELOOP     (-7)   /* the socket is served by the calling process */

typedef struct kiv_result {
    int code;          /* KIV_AUTH_OK or another result code */
    uid_t uid;         /* on KIV_AUTH_OK: the uid the daemon reported ((uid_t)-1: none) */
    size_t ngroups;    /* on KIV_AUTH_OK: number of entries in groups */
    gid_t *groups;     /* on KIV_AUTH_OK: the user's groups, else NULL */
    char *name;        /* on KIV_AUTH_OK: the user name, NUL-terminated, else NULL */
} kiv_result;

/*
 * Sends one request to the daemon at socket_path (NULL: the default socket).
 * secret holds secret_len bytes: a password (at most 255 bytes, no NUL byte)
 * or, with KIV_FLAG_TOKEN, a GSS token (at most 65536 bytes).  timeout_ms
 * bounds the connect, the write and each read (0 or less: 10 seconds).
 * Returns 0 and sets *result (free it with kiv_result_free) when the daemon
 * answered, whatever the answer; otherwise one of the KIV_E values above, with
 * *result set to NULL.
 */
int kiv_authenticate(const char *socket_path, const char *user, const void *secret,
                     size_t secret_len, int flags, int timeout_ms, kiv_result **result);

/* Frees a record from kiv_authenticate; NULL is allowed. */
void kiv_result_free(kiv_result *result);

/* Name of a result code, e.g. "AUTH_NOAUTH"; "unknown result code" for others.
 * The text is static. */
const char *kiv_strresult(int code);

/* Text of a KIV_E value returned by kiv_authenticate.  The text is static. */
const char *kiv_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif /* KIVCLIENT_H */
