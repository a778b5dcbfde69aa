/*
 * verify.h - stored-password verification, digests, encodings and the
 * shadow-style ageing check.
 *
 * This code is linked into both the daemon and the LDAP module; each gets its
 * own private copy (the module binds to its own with -Bsymbolic), so nothing
 * here may rely on state shared between the two.
 *
 * All functions are safe to call from many threads at once: every call keeps
 * its state on its own stack or in buffers it allocates, and the tables are
 * read-only.  None of them throws.
 */
#ifndef KIV_VERIFY_H
#define KIV_VERIFY_H

#include "kivmod.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- digests and encodings ---- */

/* SHA-1 of `length` bytes at `message` into `out` (at least 21 bytes): the 20
 * digest bytes followed by one zero byte.  Returns `out`, or null when the work
 * buffer cannot be allocated or the arguments are invalid (out untouched). */
unsigned char *sha1Crypt(const unsigned char *message, int length, unsigned char *out);

/* SHA-256, same contract; `out` holds at least 33 bytes (32 + zero byte). */
unsigned char *sha256Crypt(const unsigned char *message, int length, unsigned char *out);

/* Decodes the zero-terminated base64 text.  Returns a malloc'ed buffer (caller
 * frees) holding the decoded bytes followed by at least one zero byte, and sets
 * *length to the decoded length; null when out of memory.  Characters outside
 * the alphabet (and "=") count as 0; nothing is reported as an error. */
unsigned char *decodeBase64(const char *text, int *length);

/* Bytes start..length-1 of `value`, malloc'ed and zero-terminated (caller
 * frees); null when start is not below length (or is negative) or out of
 * memory. */
unsigned char *getSalt(int start, const unsigned char *value, int length);

/* "<prefix>0x<lower-case hex of the bytes>", malloc'ed (caller frees); a null
 * prefix counts as empty; count <= 0 gives "<prefix>0x".  Null when out of
 * memory. */
char *keyToHex(const unsigned char *key, int count, const char *prefix);

/* ---- stored-password verification ---- */

/* Does `password` match the stored value?  The stored value is a crypt() hash
 * or a "{scheme}"-tagged directory value.  Returns AUTH_OK, AUTH_NOAUTH, or
 * AUTH_ERROR when out of memory while decoding.  On some failures *message is
 * pointed at a static text (never freed by the caller); otherwise it is left
 * untouched.  `log` may be null. */
int authenticatePassword(const char *password, const char *stored, AuthLog *log,
                         char **message);

/* crypt_r comparison of `password` against the crypt() hash `stored`; with
 * trySalted set, a failed comparison falls back to reading `stored` as a
 * base64 salted SHA value.  Returns AUTH_OK or AUTH_NOAUTH. */
int authenticateCrypt(const char *password, const char *stored, int trySalted,
                      AuthLog *log, char **message);

/* Salted SHA-256 / SHA-1 check of `password` against the base64 text
 * `encoded` (digest followed by salt).  Returns 1 on a match, 0 on no match,
 * 2 when out of memory.  Sets no message. */
int authenticateSSHA(const char *password, const char *encoded, AuthLog *log);

/* ---- ageing ---- */

/* "The user's password has expired" */
extern const char *EXPMSG;

/* Shadow-style ageing check.  lastChange, maxAge and expire are days since
 * 1970-01-01 as in the shadow database, -1 meaning "not set".  The skip flags
 * disable the password-age, account-expiry and must-change checks.  Returns
 * AUTH_OK or AUTH_EXPIRED (then *message points at static text). */
int shadowExpired(int lastChange, int maxAge, int expire, int skipPasswordAge,
                  int skipAccountExpiry, int skipChangeCheck, AuthLog *log,
                  char **message);

/* The same check against an explicit "today" (days since 1970-01-01);
 * shadowExpired calls it with the current day. */
int shadowExpiredOn(long long today, int lastChange, int maxAge, int expire,
                    int skipPasswordAge, int skipAccountExpiry, int skipChangeCheck,
                    AuthLog *log, char **message);

/* Test hook: makes shadowExpired use `today` (days since 1970-01-01) instead of
 * the clock; a negative value restores the clock. */
void setShadowTodayForTesting(long long today);

#ifdef __cplusplus
}
#endif

#endif /* KIV_VERIFY_H */
