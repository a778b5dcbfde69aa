// Module initialisation and termination: reads the LDAP_ keys of the daemon's
// configuration list into the LDAPConfig record that every entry point gets.
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ldapmod.h"

extern "C" {
KIV_EXPORT char *programName = nullptr;
KIV_EXPORT const char *ldapBuildVersion = "buildVersion=v100k1a";
}

namespace {

// Written only by ldapInit (main thread, before the workers run).
char initMessage[128];
char uidMessage[320] = "UID is not numeric. Check your schema configuration in (null),.conf.";

bool equalsNoCase(const char *a, const char *b)
{
    return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

bool isTrueOneYes(const char *value)
{
    return equalsNoCase(value, "TRUE") || equalsNoCase(value, "YES") || equalsNoCase(value, "1");
}

bool isTrueYes(const char *value)
{
    return equalsNoCase(value, "true") || equalsNoCase(value, "yes");
}

// atol's reading of a port, stored as 32 bits.
int32_t portValue(const char *value)
{
    return static_cast<int32_t>(std::atol(value));
}

// LDAP_TIMEOUT and LDAP_IDLE_TIMEOUT: whole seconds, 1 to `max`, nothing else
// on the line but blanks.
bool parseTimeout(const char *value, int *seconds, int max = LDAP_MAX_TIMEOUT)
{
    const char *p = value;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p < '0' || *p > '9') return false;
    long n = 0;
    while (*p >= '0' && *p <= '9') {
        n = n * 10 + (*p - '0');
        if (n > max) return false;
        ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '\0' || n < 1) return false;
    *seconds = static_cast<int>(n);
    return true;
}

// Replaces an owned text; false when the copy could not be made.
bool storeCopy(char **field, const char *value)
{
    char *copy = strclone(value);
    if (copy == nullptr) return false;
    std::free(*field);
    *field = copy;
    return true;
}

struct SchemaField {
    const char *otherKey;   // the fixed key of LDAP_SCHEMA=OTHER
    const char *suffix;     // LDAP_<schema>_<suffix> otherwise
    char *LDAPConfig::*field;
};

const SchemaField schemaFields[] = {
    {"LDAP_USERNAME_ATTRIBUTE", "USERNAME", &LDAPConfig::usernameAttr},
    {"LDAP_UID_ATTRIBUTE", "UID", &LDAPConfig::uidAttr},
    {"LDAP_GID_ATTRIBUTE", "GID", &LDAPConfig::gidAttr},
    {"LDAP_PASSWD_ATTRIBUTE", "PASSWD", &LDAPConfig::passwdAttr},
    {"LDAP_LASTCHANGE_ATTRIBUTE", "LASTCHANGE", &LDAPConfig::lastChangeAttr},
    {"LDAP_MAXAGE_ATTRIBUTE", "MAXAGE", &LDAPConfig::maxAgeAttr},
    {"LDAP_ACCTEXPIRE_ATTRIBUTE", "ACCTEXPIRE", &LDAPConfig::acctExpireAttr},
    {"LDAP_GROUPS_ATTRIBUTE", "GROUPS", &LDAPConfig::groupsAttr},
    {"LDAP_GROUP_GID_ATTRIBUTE", "GROUP_GID", &LDAPConfig::groupGidAttr},
    {"LDAP_GROUP_MEMBER_ATTRIBUTE", "GROUP_MEMBER", &LDAPConfig::groupMemberAttr},
};
constexpr int schemaFieldCount = sizeof(schemaFields) / sizeof(schemaFields[0]);

// Keys whose value is copied into an owned field of the record.
struct CopyKey {
    const char *key;
    char *LDAPConfig::*field;
};
const CopyKey copyKeys[] = {
    {"LDAP_HOST", &LDAPConfig::host},
    {"LDAP_HOST_DN", &LDAPConfig::hostDN},
    {"LDAP_HOST_USERNAME", &LDAPConfig::hostUsername},
    {"LDAP_HOST_PW", &LDAPConfig::hostPassword},
    {"LDAP_USERBASE", &LDAPConfig::userBase},
    {"LDAP_SEARCHBASE", &LDAPConfig::searchBase},
    {"LDAP_USERFILTER", &LDAPConfig::userFilter},
    {"LDAP_GROUPBASE", &LDAPConfig::groupBase},
    {"LDAP_DN_SEARCH_ATTR", &LDAPConfig::dnSearchAttr},
    {"LDAP_BIND_ATTRIBUTE", &LDAPConfig::bindAttribute},
    {"LDAP_DOMAIN_ATTRIBUTE", &LDAPConfig::domainAttribute},
    {"LDAP_DEFAULT_DOMAIN", &LDAPConfig::defaultDomain},
};

// Keys whose value is kept as a pointer into the configuration list.
struct BorrowKey {
    const char *key;
    const char *LDAPConfig::*field;
};
const BorrowKey borrowKeys[] = {
    {"LDAP_HOST_LIST", &LDAPConfig::hostList},
    {"LDAP_SSL_CERTIFICATE_FILE", &LDAPConfig::sslCertificateFile},
    {"LDAP_SSL_CERTIFICATE_NAME", &LDAPConfig::sslCertificateName},
    {"LDAP_SSL_CA_CERTIFICATE_NAME", &LDAPConfig::sslCACertificateName},
    {"LDAP_SSL_CERTIFICATE_PASSWORD", &LDAPConfig::sslCertificatePassword},
    {"LDAP_SSL_KEY_FILE", &LDAPConfig::sslKeyFile},
    {"LDAP_SSL_KEY_NAME", &LDAPConfig::sslKeyName},
    {"LDAP_SSL_KEY_PASSWORD", &LDAPConfig::sslKeyPassword},
    {"LDAP_SSL_SECMOD_FILE", &LDAPConfig::sslSecmodFile},
};

// Applies one first-pass key.  Returns the failure message, or null.
const char *applyKey(LDAPConfig *cfg, const char *key, const char *value, const char **schema,
                     AuthLog *log)
{
    static const char *const outOfMemory = "Ran out of memory processing LDAP configuration.";
    for (const CopyKey &k : copyKeys) {
        if (strcasecmp(key, k.key) == 0)
            return storeCopy(&(cfg->*k.field), value) ? nullptr : outOfMemory;
    }
    for (const BorrowKey &k : borrowKeys) {
        if (strcasecmp(key, k.key) == 0) {
            cfg->*k.field = value;
            return nullptr;
        }
    }
    if (strcasecmp(key, "LDAP_HOST_PORT") == 0) {
        cfg->port = portValue(value);
        LDAP_DEBUG(log, "LDAP: Using port %d from config file.", cfg->port);
    } else if (strcasecmp(key, "LDAP_SSL_HOST_PORT") == 0) {
        cfg->sslPort = portValue(value);
        LDAP_DEBUG(log, "LDAP: Using SSL port %d from config file.", cfg->sslPort);
    } else if (strcasecmp(key, "LDAP_SCHEMA") == 0) {
        *schema = value;
    } else if (strcasecmp(key, "LDAP_AUTH_METHOD") == 0) {
        LDAP_DEBUG(log, "LDAP_AUTH_METHOD is '%s'", value);
        if (equalsNoCase(value, "MATCH"))
            cfg->authMethod = MATCH;
        else if (equalsNoCase(value, "BIND"))
            cfg->authMethod = BIND;
        else if (equalsNoCase(value, "QUERY"))
            cfg->authMethod = QUERY;
        else
            return "Unknown value for LDAP_AUTH_METHOD.";
    } else if (strcasecmp(key, "LDAP_BIND_SECURITY") == 0) {
        if (parseSecurity(value, &cfg->bindSecurity) != 0)
            return "Unknown value for LDAP_BIND_SECURITY.";
    } else if (strcasecmp(key, "LDAP_SSL_STRENGTH") == 0) {
        LDAP_DEBUG(log, "LDAP_SSL_STRENGTH not used on this platform. Ignored.");
    } else if (strcasecmp(key, "LDAP_GROUP_METHOD") == 0) {
        if (equalsNoCase(value, "USER"))
            cfg->groupMethod = USER;
        else if (equalsNoCase(value, "HOST"))
            cfg->groupMethod = HOST;
        else
            return "Unknown value for LDAP_GROUP_METHOD.";
    } else if (strcasecmp(key, "LDAP_PROTOCOL_VERSION") == 0) {
        if (std::strcmp(value, "2") == 0)
            cfg->protocolVersion = 2;
        else if (std::strcmp(value, "3") == 0)
            cfg->protocolVersion = 3;
        else
            return "Unknown value for LDAP_VERSION.";
    } else if (strcasecmp(key, "LDAP_GROUP_USE_DN") == 0) {
        cfg->groupUseDN = isTrueOneYes(value) ? 1 : 0;
    } else if (strcasecmp(key, "LDAP_IGNORE_USERDOMAIN") == 0) {
        cfg->ignoreUserDomain = isTrueOneYes(value) ? 1 : 0;
    } else if (strcasecmp(key, "LDAP_DOMAIN") == 0) {
        if (cfg->domainCount >= LDAP_MAX_DOMAINS) return "Too many LDAP_DOMAINs specified. Max is 100.";
        char *copy = strclone(value);
        if (copy == nullptr) return "Ran out of memory storing domain host information.";
        cfg->domains[cfg->domainCount++] = copy;
        LDAP_DEBUG(log, "domain: %s", copy);
    } else if (strcasecmp(key, "LDAP_DOMAIN_FORMAT") == 0) {
        if (equalsNoCase(value, "DOMAIN_WITH_SEARCHBASE"))
            cfg->domainFormat = DOMAIN_WITH_SEARCHBASE;
        else if (equalsNoCase(value, "DOMAIN_AFTER_USERBASE"))
            cfg->domainFormat = DOMAIN_AFTER_USERBASE;
        else if (equalsNoCase(value, "DOMAIN_BEFORE_USERBASE"))
            cfg->domainFormat = DOMAIN_BEFORE_USERBASE;
        else
            return "Unknown value for LDAP_DOMAIN_FORMAT.";
    } else if (strcasecmp(key, "LDAP_TIMEOUT") == 0) {
        if (!parseTimeout(value, &cfg->timeout)) return "Unknown value for LDAP_TIMEOUT.";
        LDAP_DEBUG(log, "LDAP: Using timeout of %d seconds.", cfg->timeout);
    } else if (strcasecmp(key, "LDAP_CONNECTION_REUSE") == 0) {
        if (isTrueOneYes(value))
            cfg->connectionReuse = 1;
        else if (equalsNoCase(value, "NO") || equalsNoCase(value, "FALSE") || equalsNoCase(value, "0"))
            cfg->connectionReuse = 0;
        else
            return "Unknown value for LDAP_CONNECTION_REUSE.";
    } else if (strcasecmp(key, "LDAP_IDLE_TIMEOUT") == 0) {
        if (!parseTimeout(value, &cfg->idleTimeout, LDAP_MAX_IDLE_TIMEOUT))
            return "Unknown value for LDAP_IDLE_TIMEOUT.";
    } else if (strcasecmp(key, "SKIP_PW_EXP_CHECK") == 0) {
        cfg->skipPwExpCheck = isTrueYes(value) ? 1 : 0;
    } else if (strcasecmp(key, "SKIP_ACC_EXP_CHECK") == 0) {
        cfg->skipAccExpCheck = isTrueYes(value) ? 1 : 0;
    } else if (strcasecmp(key, "SKIP_CHANGE_CHECK") == 0) {
        cfg->skipChangeCheck = isTrueYes(value) ? 1 : 0;
    } else if (strcasecmp(key, "DENY_EMPTY_PASSWORDS") == 0) {
        cfg->denyEmptyPasswords = isTrueYes(value) ? 1 : 0;
    }
    return nullptr;
}

struct ConfigDeleter {
    void operator()(LDAPConfig *cfg) const { freeLDAPConfig(cfg); }
};
using ConfigPtr = std::unique_ptr<LDAPConfig, ConfigDeleter>;

LDAPConfig *initialise(ConfigEntry *config, int count, int *status, AuthLog *log,
                       char **message)
{
    *status = -1;
    if (setreuid(0, 0) != 0) {
        // Not examined: a daemon that is not root fails elsewhere.
    }
    programName = (count >= 1 && config != nullptr) ? config[0].value : nullptr;
    LDAP_DEBUG(log, "ldapInit PROGRAM_NAME: %s", programName ? programName : "(null)");

    const char *name = programName ? programName : "";
    if (std::strncmp(name, "kivauth", 7) != 0 &&
        std::strncmp(name, "kiv-services-daemon", 19) != 0) {
        std::snprintf(initMessage, sizeof initMessage,
                      "PROGRAM_NAME %s is not correct.  Mismatch detected between kivauth and "
                      "kivmodldap.so",
                      name);
        LDAP_DEBUG(log, "%s", initMessage);
        if (message != nullptr) *message = initMessage;
        return nullptr;
    }
    std::snprintf(uidMessage, sizeof uidMessage,
                  "UID is not numeric. Check your schema configuration in %s,.conf.", name);

    ConfigPtr cfg(static_cast<LDAPConfig *>(std::calloc(1, sizeof(LDAPConfig))));
    if (!cfg) {
        LDAP_ERROR(log, "Could not read LDAP configuration. Out of memory.");
        return nullptr;
    }
    cfg->port = 389;
    cfg->sslPort = 636;
    cfg->authMethod = MATCH;
    cfg->groupMethod = USER;
    cfg->bindSecurity = SECURITY_SIMPLE;
    cfg->domainFormat = DOMAIN_WITH_SEARCHBASE;
    cfg->groupUseDN = 1;
    cfg->timeout = LDAP_DEFAULT_TIMEOUT;
    cfg->idleTimeout = LDAP_DEFAULT_IDLE_TIMEOUT;

    const char *schema = nullptr;
    for (int i = 0; i < count; ++i) {
        const char *key = config[i].key;
        if (key == nullptr) continue;
        const char *value = config[i].value ? config[i].value : "";
        if (const char *failure = applyKey(cfg.get(), key, value, &schema, log)) {
            LDAP_ERROR(log, "%s", failure);
            return nullptr;
        }
    }
    if (schema == nullptr || count < 1) {
        LDAP_ERROR(log, "LDAP_SCHEMA not specified.");
        return nullptr;
    }

    // The schema name is spelled into the key names as configured.
    std::string schemaKeys[schemaFieldCount];
    const bool other = strcasecmp(schema, "OTHER") == 0;
    for (int f = 0; f < schemaFieldCount; ++f) {
        schemaKeys[f] = other ? std::string(schemaFields[f].otherKey)
                              : "LDAP_" + std::string(schema) + "_" + schemaFields[f].suffix;
    }
    for (int i = 0; i < count; ++i) {
        if (config[i].key == nullptr) continue;
        const char *value = config[i].value ? config[i].value : "";
        for (int f = 0; f < schemaFieldCount; ++f) {
            if (strcasecmp(config[i].key, schemaKeys[f].c_str()) != 0) continue;
            if (!storeCopy(&(cfg.get()->*schemaFields[f].field), value)) {
                LDAP_ERROR(log, "Ran out of memory processing LDAP configuration.");
                return nullptr;
            }
        }
    }

    bool failed = false;
    auto missing = [&](const char *what) {
        LDAP_ERROR(log, "Required setting %s not found in configuration.", what);
        failed = true;
    };
    if (cfg->host == nullptr && cfg->hostList == nullptr) {
        LDAP_ERROR(log, "Either LDAP_HOST or LDAP_HOST_LIST must be specified for LDAP.");
        failed = true;
    }
    if (cfg->authMethod != BIND || cfg->groupMethod == HOST) {
        if (cfg->hostDN == nullptr) missing("LDAP_HOST_DN");
        if (cfg->hostPassword == nullptr) missing("LDAP_HOST_PW");
        if (cfg->authMethod == QUERY && cfg->dnSearchAttr == nullptr) missing("LDAP_DN_SEARCH_ATTR");
    }
    if (cfg->searchBase == nullptr) missing("LDAP_SEARCHBASE");
    for (int f = 0; f < schemaFieldCount; ++f) {
        if (cfg.get()->*schemaFields[f].field == nullptr) missing(schemaKeys[f].c_str());
    }
    if (cfg->bindSecurity == SECURITY_SSL && cfg->host == nullptr) {
        LDAP_ERROR(log, "LDAP_HOST must be set to use SSL on Linux.");
        return nullptr;
    }
    if (failed) return nullptr;

    if (cfg->authMethod == BIND)
        LDAP_DEBUG(log, "LDAP: Using authentication method BIND.");
    else if (cfg->authMethod == QUERY)
        LDAP_DEBUG(log, "LDAP: Using authentication method QUERY.");
    else
        LDAP_DEBUG(log, "LDAP: Using authentication method MATCH.");
    if (cfg->hostList != nullptr)
        LDAP_DEBUG(log, "LDAP: Server list is %s", cfg->hostList);
    else
        LDAP_DEBUG(log, "LDAP: Server is %s", cfg->host);
    if (cfg->defaultDomain != nullptr)
        LDAP_DEBUG(log, "LDAP: Using default user domain %s", cfg->defaultDomain);
    if (cfg->connectionReuse)
        LDAP_DEBUG(log, "LDAP: Connections are kept; idle ones close after %d seconds.",
                   cfg->idleTimeout);
    cfg->runtime = createRuntime(cfg.get());
    LDAP_DEBUG(log, "LDAP search domains:");
    for (int i = 0; i < cfg->domainCount; ++i) LDAP_DEBUG(log, "domain[%d]: %s", i, cfg->domains[i]);

    *status = 0;
    return cfg.release();
}

} // namespace

const char *uidNotNumericMessage() { return uidMessage; }

extern "C" {

char *strclone(const char *text)
{
    if (text == nullptr) return nullptr;
    if (*text == '"') ++text;
    size_t len = std::strlen(text);
    while (len > 0 && text[len - 1] == ' ') --len;
    if (len > 0 && text[len - 1] == '"') --len;
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

int parseSecurity(const char *text, int *security)
{
    if (equalsNoCase(text, "SSL")) {
        *security = SECURITY_SSL;
        return 0;
    }
    if (equalsNoCase(text, "simple")) {
        *security = SECURITY_SIMPLE;
        return 0;
    }
    return 1;
}

void freeLDAPConfig(LDAPConfig *config)
{
    if (config == nullptr) return;
    // Kept connections are closed first, while the watchdog they are
    // registered with still runs.
    destroyRuntime(config->runtime);
    config->runtime = nullptr;
    for (int i = 0; i < config->domainCount && i < LDAP_MAX_DOMAINS; ++i) std::free(config->domains[i]);
    for (const CopyKey &k : copyKeys) std::free(config->*k.field);
    for (const SchemaField &f : schemaFields) std::free(config->*f.field);
    std::free(config);
}

void *ldapInit(ConfigEntry *config, int count, int *status, AuthLog *log, char **message)
{
    int ignored = 0;
    if (status == nullptr) status = &ignored;
    if (config == nullptr) count = 0;
    try {
        return initialise(config, count, status, log, message);
    } catch (...) {
        // Only allocation can throw here.
        LDAP_ERROR(log, "Ran out of memory processing LDAP configuration.");
        *status = -1;
        return nullptr;
    }
}

void ldapTerminate(void *context, AuthLog *)
{
    freeLDAPConfig(static_cast<LDAPConfig *>(context));
    releaseAllUserDNs();
    stopWatchdog();
}

} // extern "C"
