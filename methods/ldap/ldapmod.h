// Internal interface of the LDAP method module kivmodldapnss.so.
//
// The module authenticates users against LDAP directories and reads their
// groups from there.  The daemon hands every entry point the LDAPConfig that
// ldapInit returned; it is read-only after ldapInit, so worker threads share it
// without a lock.
#pragma once

#include <ldap.h>

#include <memory>
#include <string>
#include <string_view>

#include "kivmod.h"

// The module contract; exports.map decides what the linked module shows.
#define KIV_EXPORT __attribute__((visibility("default")))

enum LdapAuthMethod { BIND = 0, MATCH = 1, QUERY = 2 };
enum LdapGroupMethod { USER = 0, HOST = 1 };
enum LdapBindSecurity { SECURITY_SIMPLE = 0, SECURITY_SSL = 1 };
enum LdapDomainFormat {
    DOMAIN_WITH_SEARCHBASE = 1,
    DOMAIN_AFTER_USERBASE = 2,
    DOMAIN_BEFORE_USERBASE = 3
};

inline constexpr int LDAP_MAX_DOMAINS = 100;
inline constexpr int LDAP_DEFAULT_TIMEOUT = 10;   // seconds
inline constexpr int LDAP_MAX_TIMEOUT = 3600;
inline constexpr size_t LDAP_MAX_USERNAME = 1024;
inline constexpr int LDAP_DEFAULT_IDLE_TIMEOUT = 60;   // seconds
inline constexpr int LDAP_MAX_IDLE_TIMEOUT = 86400;
// A server that could not be reached is passed over for this long.
inline constexpr int LDAP_SERVER_BACKOFF = 30;   // seconds

struct LdapRuntime;

extern "C" {

// Copy fields are owned (made with strclone); borrowed ones point into the
// daemon's configuration list, which lives as long as the process.
typedef struct LDAPConfig {
    char *host;
    int32_t port;
    int32_t sslPort;
    int authMethod;
    int groupMethod;
    char *hostDN;
    char *hostUsername;
    char *hostPassword;
    int protocolVersion;
    const char *hostList;
    int bindSecurity;
    const char *sslCertificateFile;
    const char *sslCertificatePassword;
    const char *sslCertificateName;
    const char *sslCACertificateName;
    const char *sslKeyFile;
    const char *sslKeyName;
    const char *sslKeyPassword;
    const char *sslSecmodFile;
    char *dnSearchAttr;
    char *searchBase;
    char *userBase;
    char *userFilter;
    char *groupBase;
    char *bindAttribute;
    int domainFormat;
    char *domainAttribute;
    char *defaultDomain;
    int ignoreUserDomain;
    int groupUseDN;
    char *usernameAttr;
    char *uidAttr;
    char *gidAttr;
    char *passwdAttr;
    char *lastChangeAttr;
    char *maxAgeAttr;
    char *acctExpireAttr;
    char *groupsAttr;
    char *groupGidAttr;
    char *groupMemberAttr;
    char *domains[LDAP_MAX_DOMAINS];
    int domainCount;
    int skipPwExpCheck;
    int skipAccExpCheck;
    int skipChangeCheck;
    int denyEmptyPasswords;
    // Seconds allowed for connecting and for each operation (LDAP_TIMEOUT).
    int timeout;
    // LDAP_CONNECTION_REUSE: each worker keeps its connections between
    // requests; LDAP_IDLE_TIMEOUT: seconds after which a kept connection that
    // nobody used is closed.
    int connectionReuse;
    int idleTimeout;
    // Run-time state of this instance (server back-off, kept connections);
    // made by ldapInit, released by freeLDAPConfig.
    struct LdapRuntime *runtime;
} LDAPConfig;

KIV_EXPORT extern char *programName;
KIV_EXPORT extern const char *ldapBuildVersion;

KIV_EXPORT void *ldapInit(ConfigEntry *config, int count, int *status, AuthLog *log,
                          char **message);
KIV_EXPORT void ldapTerminate(void *context, AuthLog *log);
void freeLDAPConfig(LDAPConfig *config);
char *strclone(const char *text);
int parseSecurity(const char *text, int *security);

LDAP *ldapConnectionInit(LDAPConfig *config, const char *host, AuthLog *log, char **message);
LDAP *ldapSSLConnectionInit(LDAPConfig *config, const char *host, AuthLog *log,
                             char **message);
int ldapBind(LDAPConfig *config, LDAP *connection, const char *dn, const char *name,
             const char *password, AuthLog *log, char **message);

KIV_EXPORT int ldapAuthenticate(void *context, const char *user, const char *password,
                                int *uid, int *gid, char **unixName, AuthLog *log,
                                char **message);
int queryEntryDN(LDAPConfig *config, const char *user, int *domainIndex, AuthLog *log,
                 char **message);
KIV_EXPORT int ldapContinueOnNoAuth(void *context, AuthLog *log);
KIV_EXPORT int ldapGetGroups(void *context, const char *user, const char *password, int gid,
                             int **groups, int *count, AuthLog *log, int nocase,
                             char **message);

} // extern "C"

// ---- logging through the host's callbacks ----
// Macros keep the printf format checking of the callback type.
#define LDAP_DEBUG(log, ...)                                                  \
    do {                                                                      \
        if ((log) != nullptr && (log)->logDebug != nullptr)                   \
            (log)->logDebug(__VA_ARGS__);                                     \
    } while (0)
#define LDAP_ERROR(log, ...)                                                  \
    do {                                                                      \
        if ((log) != nullptr && (log)->logError != nullptr)                   \
            (log)->logError(__VA_ARGS__);                                     \
    } while (0)

// The secret itself when the host allows it, else "XXXX".
inline const char *shownSecret(const AuthLog *log, const char *secret)
{
    if (log != nullptr && log->showPasswords == 1 && secret != nullptr) return secret;
    return "XXXX";
}

// Messages handed to the daemon are static texts; the contract types them char*.
inline char *staticText(const char *text) { return const_cast<char *>(text); }

inline void setMessage(char **message, const char *text)
{
    if (message != nullptr) *message = staticText(text);
}

// ---- text helpers (escape.cpp) ----
// RFC 4515: a value placed in a search filter can never change its structure.
std::string escapeFilterValue(std::string_view value);
// RFC 4514: a value placed in a DN can never add an RDN or change its shape.
std::string escapeDnValue(std::string_view value);
// Text safe for one log line: control bytes become \xNN.
std::string loggable(std::string_view text);
// The trimming of strclone, on a std::string.
std::string trimmedLikeStrclone(std::string_view text);
// The leading number of a text, as atol reads it; false when it does not fit
// into 32 bits.
bool leadingNumber(std::string_view text, int *out);
// A uid or gid: an optional minus sign and decimal digits, nothing else, that
// fit into 32 bits.  False for anything else ("12abc", "", " 7", "0x10").
bool parseId(std::string_view text, int *out);

// "UID is not numeric. ..." formatted with the host program's name by ldapInit.
const char *uidNotNumericMessage();

// ---- per-request user DN (userdn.cpp) ----
// The DN an authentication leaves for the group lookup of the same request.
// Kept per worker thread, together with the user name it belongs to.
void setUserDN(const std::string &user, const std::string &dn);
void clearUserDN();
// The DN left for `user` by this thread's last authentication, or "".
std::string currentUserDN(const char *user);
// Releases the DNs of every thread (module termination).
void releaseAllUserDNs();

// ---- connections (connection.cpp) ----
// A handle kept between requests is lent to an operation, not owned by it:
// its deleter leaves it open.
struct LdapUnbind {
    bool owned = true;
    void operator()(LDAP *ld) const;
};
using LdapHandle = std::unique_ptr<LDAP, LdapUnbind>;
struct LdapMsgFree {
    void operator()(LDAPMessage *msg) const { ldap_msgfree(msg); }
};
using LdapResult = std::unique_ptr<LDAPMessage, LdapMsgFree>;
struct LdapValuesFree {
    void operator()(berval **values) const { ldap_value_free_len(values); }
};
using LdapValues = std::unique_ptr<berval *, LdapValuesFree>;
struct LdapMemFree {
    void operator()(char *p) const { ldap_memfree(p); }
};
using LdapString = std::unique_ptr<char, LdapMemFree>;

// ---- hard time limit (watchdog.cpp) ----
// Registers a new handle with the watchdog (installs its connect callback).
bool watchHandle(LDAP *ld);
void unwatchHandle(LDAP *ld);
// Stops the watchdog thread (module termination); it restarts when needed.
void stopWatchdog();
// While it lives, the handle's socket is shut down once `seconds` have passed.
class OperationDeadline {
public:
    OperationDeadline(LDAP *ld, int seconds);
    ~OperationDeadline();
    OperationDeadline(const OperationDeadline &) = delete;
    OperationDeadline &operator=(const OperationDeadline &) = delete;
    // Ends the deadline; true when it had passed.
    bool expired();

private:
    LDAP *ld_;
};

// What a connection is for.  With LDAP_CONNECTION_REUSE the worker keeps one
// connection bound as the service account and one for user binds; `Own` is a
// connection for this operation alone.
enum class ConnRole { Own, Service, User };

// Opens a connection to `host` (null: the configured servers) with the
// routine that bindSecurity selects.  For Service and User, with reuse on and
// inside a ReuseScope, the worker's kept connection to the configured servers
// is lent instead (opened first when there is none).
LdapHandle openConnection(LDAPConfig *config, const char *host, AuthLog *log, char **message,
                          ConnRole role = ConnRole::Own);
// ---- kept connections (reuse.cpp) ----
struct WorkerConnections;
class ConnectionPools;
// Brackets one entry-point call on this worker.  With reuse on it holds the
// worker's kept connections for the call, so the idle closer leaves them
// alone; when the outermost scope ends, connections that failed are closed
// and the others start their idle time.  Scopes nest (queryEntryDN inside
// ldapAuthenticate).
class ReuseScope {
public:
    ReuseScope(LDAPConfig *config, AuthLog *log);
    ~ReuseScope();
    ReuseScope(const ReuseScope &) = delete;
    ReuseScope &operator=(const ReuseScope &) = delete;
    // True (once) when a connection kept from an earlier request failed
    // during this call: the call should run once more on new connections.
    // Only the outermost scope answers.
    bool retryWanted();
    // This ldapAuthenticate call succeeded for `user` with `password`: the
    // group lookup that follows for the same name and password may search on
    // the user connection as this call bound it.
    void authenticated(const char *user, const char *password);
    // This call is the group lookup of `user`.
    void groupLookup(const char *user);

private:
    WorkerConnections *worker_ = nullptr;
    ConnectionPools *pools_ = nullptr;
    AuthLog *log_ = nullptr;
    bool outermost_ = false;
};
// Hooks of ldapBind and searchSubtree for kept connections (no-ops for any
// other handle).  A bind that may be skipped: the service connection already
// bound as the service account, or the user connection bound by the
// successful authentication of the same request.
bool keptBindSatisfied(const LDAPConfig *config, LDAP *ld, const char *dn, const char *password);
// After a bind: a success records the identity; a failure closes the
// connection at the end of the call, so no identity outlives it.
void keptBindDone(const LDAPConfig *config, LDAP *ld, const char *dn, const char *password, int rc);
// After any other operation: a connection-level failure drops the connection.
void keptOperationDone(LDAP *ld, int rc);
// The worker's kept connection for `role`, opened with `open` when needed.
LdapHandle lendKeptConnection(LDAPConfig *config, ConnRole role, AuthLog *log, char **message,
                              LDAP *(*open)(LDAPConfig *, const char *, AuthLog *, char **));
// The server cannot be used through this handle any more (down, timed out,
// TLS failure).
bool connectionLevelFailure(int rc);

// Per-instance state (reuse.cpp): made by ldapInit, released with the config.
LdapRuntime *createRuntime(const LDAPConfig *config);
void destroyRuntime(LdapRuntime *runtime);

// Synchronous subtree search bounded by the configured time limit.
int searchSubtree(const LDAPConfig *config, LDAP *ld, const std::string &base,
                  const std::string &filter, const char **attrs, LdapResult *result,
                  AuthLog *log);
// The library's text for a result code.
const char *ldapErrorText(int rc);

// ---- SIGPIPE guard (sigpipe.cpp) ----
// A directory server that drops the connection must not raise SIGPIPE in the
// daemon: while a guard lives, SIGPIPE is blocked on this thread, and one that
// arrived meanwhile is discarded when the guard ends.
class PipeSignalGuard {
public:
    PipeSignalGuard();
    ~PipeSignalGuard();
    PipeSignalGuard(const PipeSignalGuard &) = delete;
    PipeSignalGuard &operator=(const PipeSignalGuard &) = delete;

private:
    bool active_ = false;
    bool wasPending_ = false;
};

// ---- entry DN (authenticate.cpp) ----
// Splits the user name into a name part and a domain and builds the base DN
// under which the user's entry lies.  A domain taken from the user name is
// escaped as a DN value; the name part is returned raw.
void buildEntryDN(const LDAPConfig *config, const char *user, std::string &namePart,
                  std::string &entryBase, AuthLog *log);
