// Connections to directory servers and the simple bind.
//
// The protocol version and the TLS files are library-wide defaults that every
// new handle copies when it is created.  Workers set them on every connection,
// so setting them and creating the handle happen under one lock: a handle
// never copies half-written defaults.  Time limits are per handle.
#include <cstring>
#include <mutex>
#include <optional>

#include "ldapmod.h"
#include "runtime.h"

namespace {

std::mutex globalOptionsMutex;

// The TLS files last written to the library defaults (guarded by
// globalOptionsMutex).  The library builds its TLS context from them once; when
// they change (several configurations in one process) it must build a new one.
struct TlsFiles {
    std::optional<std::string> caDir, cert, key, caFile;
    bool operator==(const TlsFiles &) const = default;
};
std::optional<TlsFiles> appliedTls;

std::optional<std::string> optionalText(const char *text)
{
    if (text == nullptr) return std::nullopt;
    return std::string(text);
}

std::string buildUri(const char *scheme, const char *host, int port)
{
    std::string uri = scheme;
    uri += host;
    // A host that carries its own port is used verbatim.
    if (std::strchr(host, ':') == nullptr) uri += ":" + std::to_string(port);
    return uri;
}

// Creates the handle; the caller holds globalOptionsMutex.
LDAP *createHandle(const std::string &uri, const char *host, AuthLog *log, char **message)
{
    LDAP_DEBUG(log, "LDAP: Connecting to %s", host);
    LDAP *ld = nullptr;
    int rc = ldap_initialize(&ld, uri.c_str());
    if (rc == LDAP_SUCCESS && ld != nullptr && !watchHandle(ld)) rc = LDAP_NO_MEMORY;
    if (rc != LDAP_SUCCESS || ld == nullptr) {
        LDAP_DEBUG(log, "Could not connect to LDAP server: %s", ldap_err2string(rc));
        setMessage(message, "Could not connect to LDAP server.");
        if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    return ld;
}

// The hard limit of one blocking call: the library's own limits come first.
int hardLimit(const LDAPConfig *config)
{
    return (config->timeout > 0 ? config->timeout : LDAP_DEFAULT_TIMEOUT) + 1;
}

// Bounds connecting and every synchronous operation on the handle.
void finishHandle(const LDAPConfig *config, LDAP *ld, AuthLog *log)
{
    timeval limit{config->timeout > 0 ? config->timeout : LDAP_DEFAULT_TIMEOUT, 0};
    if (ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_TIMEOUT, &limit) != LDAP_OPT_SUCCESS)
        LDAP_DEBUG(log, "LDAP: Could not set a time limit of %ld seconds.",
                   static_cast<long>(limit.tv_sec));
    int version = 0;
    ldap_get_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    LDAP_DEBUG(log, "LDAP: Using protocol version %d", version);
}

// Only LDAP_HOST_LIST configured: there is no server this module may use.
void noHost(AuthLog *log, char **message)
{
    LDAP_DEBUG(log, "LDAP: No server to connect to: LDAP_HOST is not set.");
    setMessage(message, "Could not connect to LDAP server.");
}

// ldap_simple_bind_s, through its non-deprecated equivalent.  Connecting
// (and the TLS handshake) happens here too.
int simpleBind(const LDAPConfig *config, LDAP *ld, const char *dn, const char *password,
               AuthLog *log)
{
    berval cred;
    cred.bv_val = const_cast<char *>(password);
    cred.bv_len = std::strlen(password);
    OperationDeadline deadline(ld, hardLimit(config));
    const int rc = ldap_sasl_bind_s(ld, dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (deadline.expired())
        LDAP_DEBUG(log, "LDAP: No answer within %d seconds. Connection closed.", hardLimit(config));
    return rc;
}

int bindOnce(LDAPConfig *config, LDAP *connection, const char *dn, const char *password,
             AuthLog *log, char **message);

struct TlsOption {
    int option;
    const char *LDAPConfig::*field;
    const char *logText;
    const char *messageText;
};

} // namespace

void LdapUnbind::operator()(LDAP *ld) const
{
    if (ld == nullptr || !owned) return;
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    unwatchHandle(ld);
}

const char *ldapErrorText(int rc) { return ldap_err2string(rc); }

LdapHandle openConnection(LDAPConfig *config, const char *host, AuthLog *log, char **message,
                          ConnRole role)
{
    auto open = config->bindSecurity == SECURITY_SSL ? ldapSSLConnectionInit : ldapConnectionInit;
    // Connections to LDAP_DOMAIN servers are never kept.
    if (role != ConnRole::Own && host == nullptr && config->connectionReuse)
        return lendKeptConnection(config, role, log, message, open);
    return LdapHandle(open(config, host, log, message));
}

int searchSubtree(const LDAPConfig *config, LDAP *ld, const std::string &base,
                  const std::string &filter, const char **attrs, LdapResult *result,
                  AuthLog *log)
{
    timeval limit{config->timeout > 0 ? config->timeout : LDAP_DEFAULT_TIMEOUT, 0};
    LDAPMessage *msg = nullptr;
    OperationDeadline deadline(ld, hardLimit(config));
    const int rc = ldap_search_ext_s(ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                                     const_cast<char **>(attrs), 0, nullptr, nullptr, &limit,
                                     LDAP_NO_LIMIT, &msg);
    if (deadline.expired())
        LDAP_DEBUG(log, "LDAP: No answer within %d seconds. Connection closed.", hardLimit(config));
    keptOperationDone(ld, rc);
    // A failed search may still hand back a result that must be released.
    result->reset(msg);
    return rc;
}

namespace {

// A handle for one server; the library-wide defaults are set first.
LDAP *plainHandle(LDAPConfig *config, const char *server, AuthLog *log, char **message)
{
    try {
        LDAP *ld = nullptr;
        {
            std::lock_guard<std::mutex> lock(globalOptionsMutex);
            if (config->protocolVersion != 0) {
                LDAP_DEBUG(log, "Set LDAP to version %d.", config->protocolVersion);
                int version = config->protocolVersion == 2 ? LDAP_VERSION2 : LDAP_VERSION3;
                if (ldap_set_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version) !=
                    LDAP_OPT_SUCCESS) {
                    LDAP_DEBUG(log, "Could not use version %d protocol.", config->protocolVersion);
                    setMessage(message, "Could not use specified LDAP protocol.");
                    return nullptr;
                }
            }
            ld = createHandle(buildUri("ldap://", server, config->port), server, log, message);
        }
        if (ld != nullptr) finishHandle(config, ld, log);
        return ld;
    } catch (...) {
        LDAP_DEBUG(log, "Cannot alloc memory for LDAP server URI.");
        setMessage(message, "Out of memory connecting LDAPS.");
        return nullptr;
    }
}

LDAP *sslHandle(LDAPConfig *config, const char *server, AuthLog *log, char **message)
{
    static const TlsOption tlsOptions[] = {
        {LDAP_OPT_X_TLS_CACERTDIR, &LDAPConfig::sslCertificateFile,
         "Could not set certificate directory.", "Could not set certificate directory."},
        {LDAP_OPT_X_TLS_CERTFILE, &LDAPConfig::sslCertificateName,
         "Could not set certificate file.", "Could not set certificate file."},
        {LDAP_OPT_X_TLS_KEYFILE, &LDAPConfig::sslKeyFile, "Could not set key file.",
         "Could not set key file."},
        {LDAP_OPT_X_TLS_CACERTFILE, &LDAPConfig::sslCACertificateName,
         "Could not set certficate authority certificate file.",
         "Could not set certificate authority certificate file."},
    };
    try {
        LDAP *ld = nullptr;
        {
            std::lock_guard<std::mutex> lock(globalOptionsMutex);
            LDAP_DEBUG(log, "Certificate directory: %s",
                       config->sslCertificateFile ? config->sslCertificateFile : "(null)");
            bool first = true;
            for (const TlsOption &o : tlsOptions) {
                const char *value = config->*o.field;
                // The CA directory is always set, possibly to nothing.
                if (!first && value == nullptr) continue;
                first = false;
                const int rc = ldap_set_option(nullptr, o.option, value);
                if (rc != LDAP_OPT_SUCCESS) {
                    LDAP_DEBUG(log, "%s", o.logText);
                    LDAP_DEBUG(log, "%s", ldap_err2string(rc));
                    setMessage(message, o.messageText);
                    return nullptr;
                }
            }
            TlsFiles files{optionalText(config->sslCertificateFile),
                           optionalText(config->sslCertificateName),
                           optionalText(config->sslKeyFile),
                           optionalText(config->sslCACertificateName)};
            if (!appliedTls || !(*appliedTls == files)) {
                // New files: the library's TLS context must be rebuilt from them.
                int client = 0;
                const int rc = ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &client);
                if (rc != LDAP_OPT_SUCCESS)
                    LDAP_DEBUG(log, "LDAP: Could not load the TLS files: %s", ldap_err2string(rc));
                appliedTls = std::move(files);
            }
            LDAP_DEBUG(log, "Set LDAP to version 3 (bind type not 'simple').");
            int version = LDAP_VERSION3;
            if (ldap_set_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS) {
                LDAP_DEBUG(log, "Could not use LDAPv3 protocol.");
                setMessage(message, "Could not use LDAPv3 protocol.");
                return nullptr;
            }
            ld = createHandle(buildUri("ldaps://", server, config->sslPort), server, log, message);
        }
        if (ld != nullptr) finishHandle(config, ld, log);
        return ld;
    } catch (...) {
        LDAP_DEBUG(log, "Cannot alloc memory for LDAP server URI.");
        setMessage(message, "Out of memory connecting LDAPS.");
        return nullptr;
    }
}


using HandleMaker = LDAP *(*)(LDAPConfig *, const char *, AuthLog *, char **);

// `host` when given; otherwise the configured servers.  A single server is
// connected to by the first operation, as the library does.  With several,
// each is connected to here, in order, until one answers; one that does not
// is passed over by later connections for a while.
LDAP *connectToServers(LDAPConfig *config, const char *host, AuthLog *log, char **message,
                       HandleMaker make)
{
    if (host != nullptr) return make(config, host, log, message);
    LdapRuntime *runtime = config->runtime;
    if (runtime == nullptr || runtime->servers.size() <= 1) {
        const char *server = config->host;
        if (server == nullptr && runtime != nullptr && runtime->servers.size() == 1)
            server = runtime->servers.at(0).c_str();
        if (server == nullptr) {
            noHost(log, message);
            return nullptr;
        }
        return make(config, server, log, message);
    }
    bool madeHandle = false;
    try {
        for (size_t i : runtime->servers.order()) {
            const char *server = runtime->servers.at(i).c_str();
            LdapHandle ld(make(config, server, log, message));
            if (!ld) continue;
            madeHandle = true;
            int rc = LDAP_SUCCESS;
            {
                OperationDeadline deadline(ld.get(), hardLimit(config));
                rc = ldap_connect(ld.get());
                if (deadline.expired()) rc = LDAP_TIMEOUT;
            }
            if (rc == LDAP_SUCCESS) {
                runtime->servers.markWorking(i);
                return ld.release();
            }
            LDAP_DEBUG(log, "LDAP: Could not reach %s: %s", server, ldap_err2string(rc));
            runtime->servers.markFailed(i);
        }
    } catch (...) {
        madeHandle = true;
    }
    LDAP_DEBUG(log, "LDAP: No configured server could be reached.");
    // A failure to make any handle keeps its own message.
    if (madeHandle) setMessage(message, "Could not connect to LDAP server.");
    return nullptr;
}

} // namespace

extern "C" {

LDAP *ldapConnectionInit(LDAPConfig *config, const char *host, AuthLog *log, char **message)
{
    if (config == nullptr) return nullptr;
    return connectToServers(config, host, log, message, plainHandle);
}

LDAP *ldapSSLConnectionInit(LDAPConfig *config, const char *host, AuthLog *log, char **message)
{
    if (config == nullptr) return nullptr;
    return connectToServers(config, host, log, message, sslHandle);
}

int ldapBind(LDAPConfig *config, LDAP *connection, const char *dn, const char *,
             const char *password, AuthLog *log, char **message)
{
    if (config == nullptr || connection == nullptr) {
        setMessage(message, "Could not bind as user.");
        return LDAP_PARAM_ERROR;
    }
    if (dn == nullptr) dn = "";
    if (password == nullptr) password = "";
    if (keptBindSatisfied(config, connection, dn, password)) {
        LDAP_DEBUG(log, "LDAP: Kept connection is already bound with this identity.");
        return 0;
    }
    const int rc = bindOnce(config, connection, dn, password, log, message);
    keptBindDone(config, connection, dn, password, rc);
    return rc;
}

} // extern "C"

namespace {

int bindOnce(LDAPConfig *config, LDAP *connection, const char *dn, const char *password,
             AuthLog *log, char **message)
{

    if (config->bindSecurity == SECURITY_SSL) {
        const int rc = simpleBind(config, connection, dn, password, log);
        if (rc == LDAP_SUCCESS) return 0;
        setMessage(message, "Could not bind as user via SSL.");
        LDAP_DEBUG(log, "Could not bind as user via SSL: %s", ldap_err2string(rc));
        return rc;
    }

    int rc = simpleBind(config, connection, dn, password, log);
    if (rc == LDAP_SUCCESS) return 0;
    if (rc == LDAP_PROTOCOL_ERROR && config->protocolVersion == 0) {
        LDAP_DEBUG(log, "Got LDAP protocol error on bind. Switch to LDAPv3 and retry.");
        int version = LDAP_VERSION3;
        if (ldap_set_option(connection, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS) {
            setMessage(message, "Could not bind as user. (Switch to LDAPv3 failed.)");
            return rc;
        }
        rc = simpleBind(config, connection, dn, password, log);
        if (rc == LDAP_SUCCESS) return 0;
        setMessage(message, "Could not bind as user.");
        LDAP_DEBUG(log, "%s", ldap_err2string(rc));
        return rc;
    }
    setMessage(message, "Could not bind as user.");
    LDAP_DEBUG(log, "Could not bind as user: %s", ldap_err2string(rc));
    return rc;
}

} // namespace
