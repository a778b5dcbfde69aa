// Authentication of directory users: BIND (bind as the user's DN), QUERY (find
// the DN with the service account, then bind as it) and MATCH (read the stored
// password with the service account and compare it here).
//
// Every user-supplied text is escaped where it enters a DN or a search filter,
// so no name can select another entry or reshape a filter.
#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>

#include "ldapmod.h"
#include "verify.h"

namespace {

// The first value of an attribute as text, or nothing.
std::optional<std::string> firstValue(LDAP *ld, LDAPMessage *entry, const char *attr)
{
    if (attr == nullptr) return std::nullopt;
    LdapValues values(ldap_get_values_len(ld, entry, attr));
    if (!values || values.get()[0] == nullptr) return std::nullopt;
    const berval *v = values.get()[0];
    return std::string(v->bv_val, v->bv_len);
}

// A number for the ageing checks: atol's reading, saturated to 32 bits so that
// an oversized value cannot wrap round into an unrelated day.
int ageingNumber(const std::string &text)
{
    int value = 0;
    if (leadingNumber(text, &value)) return value;
    return text.find('-') < text.find_first_of("0123456789") ? INT_MIN : INT_MAX;
}

// Overwrites a copy of a stored password before it is released.
struct WipedString {
    std::string text;
    ~WipedString()
    {
        volatile char *p = text.data();
        for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
    }
};

// The reason handed back for an id attribute whose value is not a number.
// Kept per thread: the daemon reads it before this thread's next call.
const char *badIdMessage(const char *what, const char *attr)
{
    thread_local char text[512];
    std::snprintf(text, sizeof text, "%s is not numeric (attribute %s). Check your schema configuration in %s,.conf.",
                  what, attr ? attr : "", programName ? programName : "");
    return text;
}

const char *connectionFailedMessage(const LDAPConfig *config)
{
    return config->bindSecurity == SECURITY_SSL ? "ldapSSLConnectionInit() failed."
                                                : "ldapConnectionInit() failed.";
}

int queryEntry(LDAPConfig *config, const char *user, int *domainIndex, AuthLog *log,
               char **message)
{
    const std::string filter =
        "(" + std::string(config->dnSearchAttr ? config->dnSearchAttr : "") + "=" +
        escapeFilterValue(user) + ")";
    const std::string shownFilter = loggable(filter);
    const char *allAttributes[] = {"*", nullptr};
    const std::string base = config->searchBase ? config->searchBase : "";

    // Declared before the result so the result is released first.
    LdapHandle ld;
    LdapResult result;

    if (config->domainCount > 0) {
        bool found = false;
        for (int i = 0; i < config->domainCount && !found; ++i) {
            *domainIndex = i;
            const char *domain = config->domains[i];
            // Failures in one domain only move on to the next; their texts are
            // not the caller's message.
            char *scratch = nullptr;
            LDAP_DEBUG(log, "LDAP: Search for user in domain %s", domain);
            LdapHandle candidate = openConnection(config, domain, log, &scratch);
            if (!candidate) {
                if (config->bindSecurity == SECURITY_SSL)
                    LDAP_ERROR(log, "Cannot connect to domain '%s'. (SSL initialization failed.)", domain);
                else
                    LDAP_ERROR(log, "Cannot connect to domain '%s'", domain);
                continue;
            }
            LDAP_DEBUG(log, "LDAP: binding to '%s','%s'", config->hostDN ? config->hostDN : "",
                       shownSecret(log, config->hostPassword));
            int rc = ldapBind(config, candidate.get(), config->hostDN, config->hostUsername,
                              config->hostPassword, log, &scratch);
            if (rc != 0) {
                LDAP_DEBUG(log, "LDAP: Can't bind to domain %s", domain);
                LDAP_DEBUG(log, "%s", ldapErrorText(rc));
                continue;
            }
            LDAP_DEBUG(log, "LDAP: Searching for user DN using query '%s'", shownFilter.c_str());
            LdapResult candidateResult;
            rc = searchSubtree(config, candidate.get(), base, filter, allAttributes, &candidateResult, log);
            if (rc == LDAP_SUCCESS) {
                ld = std::move(candidate);
                result = std::move(candidateResult);
                found = true;
            } else if (rc != LDAP_NO_SUCH_OBJECT) {
                LDAP_ERROR(log, "DN query failed in domain '%s'", domain);
                LDAP_ERROR(log, "%s", ldapErrorText(rc));
            }
        }
        if (!found) {
            LDAP_DEBUG(log, "User not found in any domain.");
            return AUTH_UNKNOWN_USER;
        }
    } else {
        ld = openConnection(config, nullptr, log, message, ConnRole::Service);
        if (!ld) {
            setMessage(message, connectionFailedMessage(config));
            return AUTH_ERROR;
        }
        LDAP_DEBUG(log, "LDAP: binding to '%s','%s'", config->hostDN ? config->hostDN : "",
                   shownSecret(log, config->hostPassword));
        int rc = ldapBind(config, ld.get(), config->hostDN, config->hostUsername,
                          config->hostPassword, log, message);
        if (rc != 0) {
            LDAP_DEBUG(log, "LDAP: Can't bind to server.");
            LDAP_DEBUG(log, "%s", ldapErrorText(rc));
            return AUTH_ERROR;
        }
        LDAP_DEBUG(log, "LDAP: Searching for user DN using query '%s'", shownFilter.c_str());
        rc = searchSubtree(config, ld.get(), base, filter, allAttributes, &result, log);
        LDAP_DEBUG(log, "LDAP: ldap_search_s rc=%d", rc);
        if (rc == LDAP_NO_SUCH_OBJECT) {
            LDAP_DEBUG(log, "LDAP: Unknown user. (No results from ldap_search.)");
            return AUTH_UNKNOWN_USER;
        }
        if (rc != LDAP_SUCCESS) {
            setMessage(message, "LDAP search failed.");
            LDAP_DEBUG(log, "%s", ldapErrorText(rc));
            return AUTH_ERROR;
        }
    }

    LDAPMessage *entry = ldap_first_entry(ld.get(), result.get());
    if (entry == nullptr) {
        setMessage(message, "Did not get user DN from the LDAP server. (ldap_first_entry)");
        return AUTH_UNKNOWN_USER;
    }
    LdapString dn(ldap_get_dn(ld.get(), entry));
    if (!dn) {
        setMessage(message, "Did not get DN for the user. (ldap_get_dn)");
        return AUTH_ERROR;
    }
    const std::string userDN = trimmedLikeStrclone(dn.get());
    setUserDN(user, userDN);
    LDAP_DEBUG(log, "LDAP: Got user dn '%s'", loggable(userDN).c_str());
    if (ldap_next_entry(ld.get(), entry) != nullptr) {
        // The name is ambiguous: leave no DN behind for a group lookup.
        clearUserDN();
        LDAP_ERROR(log, "DN search for user '%s' returned more than one entry. Username is not unique.",
                   loggable(user).c_str());
        return AUTH_ERROR;
    }
    return AUTH_OK;
}

int authenticate(LDAPConfig *config, const char *user, const char *password, int *uid,
                 int *gid, AuthLog *log, char **message)
{
    if (std::strlen(user) > LDAP_MAX_USERNAME) {
        setMessage(message, "User name is too long.");
        return AUTH_NOAUTH;
    }
    LDAP_DEBUG(log, "LDAP: Authenticating user %s", loggable(user).c_str());
    // An empty password never reaches a bind: a simple bind with a DN and no
    // password is an unauthenticated bind that servers may answer with success.
    const bool bindProvesPassword = config->authMethod == BIND || config->authMethod == QUERY;
    if (*password == '\0' && (config->denyEmptyPasswords == 1 || bindProvesPassword)) {
        LDAP_DEBUG(log, "LDAP: Empty password rejected.");
        setMessage(message, "Empty password rejected.");
        return AUTH_NOAUTH;
    }

    std::string namePart, entryBase, userDN;
    LdapHandle ld;
    if (config->authMethod == QUERY) {
        int domainIndex = 0;
        const int rc = queryEntryDN(config, user, &domainIndex, log, message);
        if (rc != AUTH_OK) return rc;
        userDN = currentUserDN(user);
        const char *host = config->domainCount > 0 ? config->domains[domainIndex] : nullptr;
        ld = openConnection(config, host, log, message, ConnRole::User);
    } else {
        buildEntryDN(config, user, namePart, entryBase, log);
        ld = openConnection(config, nullptr, log, message,
                            config->authMethod == MATCH ? ConnRole::Service : ConnRole::User);
    }
    if (!ld) {
        setMessage(message, connectionFailedMessage(config));
        return AUTH_REQUEST_FAILED;
    }

    if (config->authMethod == BIND) {
        const char *attr = config->bindAttribute ? config->bindAttribute : config->usernameAttr;
        const std::string bindDN = std::string(attr) + "=" + escapeDnValue(namePart) + "," + entryBase;
        LDAP_DEBUG(log, "LDAP: using bind DN '%s'", loggable(bindDN).c_str());
        userDN = trimmedLikeStrclone(bindDN);
        setUserDN(user, userDN);
    }
    if (config->authMethod == BIND || config->authMethod == QUERY) {
        LDAP_DEBUG(log, "LDAP: binding to '%s','%s' as the user", loggable(userDN).c_str(),
                   shownSecret(log, password));
        if (userDN.empty()) {
            // A bind without a DN is anonymous and proves nothing.
            LDAP_DEBUG(log, "LDAP: No DN to bind as. Access denied.");
            clearUserDN();
            return AUTH_NOAUTH;
        }
        const int rc = ldapBind(config, ld.get(), userDN.c_str(), namePart.c_str(), password, log,
                                message);
        if (rc != 0) {
            LDAP_DEBUG(log, "bind result: %s", ldapErrorText(rc));
            return AUTH_NOAUTH;
        }
    } else {
        LDAP_DEBUG(log, "LDAP: binding to '%s','%s'", config->hostDN ? config->hostDN : "",
                   shownSecret(log, config->hostPassword));
        userDN = trimmedLikeStrclone(entryBase);
        setUserDN(user, userDN);
        const int rc = ldapBind(config, ld.get(), config->hostDN, config->hostUsername,
                                config->hostPassword, log, message);
        if (rc != 0) return AUTH_REQUEST_FAILED;
    }

    const std::string name = config->authMethod == QUERY ? std::string(user) : namePart;
    std::string filter = "(" + std::string(config->usernameAttr) + "=" + escapeFilterValue(name) + ")";
    if (config->userFilter != nullptr && *config->userFilter != '\0')
        filter = "(&" + filter + config->userFilter + ")";
    const char *attrs[] = {config->uidAttr,     config->gidAttr,
                           config->lastChangeAttr, config->maxAgeAttr,
                           config->acctExpireAttr, config->authMethod == MATCH ? config->passwdAttr : nullptr,
                           nullptr};
    LDAP_DEBUG(log, "LDAP: entrydn is '%s'", loggable(userDN).c_str());
    LDAP_DEBUG(log, "LDAP: filter is '%s'", loggable(filter).c_str());
    LdapResult result;
    int rc = searchSubtree(config, ld.get(), userDN, filter, attrs, &result, log);
    if (rc != LDAP_SUCCESS) {
        if (rc == LDAP_NO_SUCH_OBJECT && config->userFilter != nullptr) {
            LDAP_DEBUG(log, "User not in filter query. Access denied.");
            return AUTH_NOAUTH;
        }
        LDAP_DEBUG(log, "query failed or user unknown.");
        LDAP_DEBUG(log, "%s", ldapErrorText(rc));
        return AUTH_UNKNOWN_USER;
    }

    LDAPMessage *entry = ldap_first_entry(ld.get(), result.get());
    if (entry == nullptr) {
        int err = 0;
        ldap_get_option(ld.get(), LDAP_OPT_RESULT_CODE, &err);
        setMessage(message, "Did not get user information from the LDAP server.");
        LDAP_DEBUG(log, "Did not get user information from the LDAP server. err=<%d>", err);
        return AUTH_UNKNOWN_USER;
    }

    const std::optional<std::string> uidText = firstValue(ld.get(), entry, config->uidAttr);
    if (!uidText) {
        setMessage(message, "Did not get UID for user.");
        LDAP_DEBUG(log, "Did not get UID for user.");
        return AUTH_ERROR;
    }
    // Only a whole number that fits into 32 bits is a uid: "12abc" is a
    // broken entry, not uid 12, and wrapping could make any uid, 0 included.
    if (!parseId(*uidText, uid) || (*uid == 0 && *uidText != "0")) {
        LDAP_ERROR(log, "LDAP: Value '%s' of attribute %s for user %s is not a uid.", loggable(*uidText).c_str(),
                   config->uidAttr, loggable(user).c_str());
        setMessage(message, badIdMessage("UID", config->uidAttr));
        return AUTH_ERROR;
    }
    LDAP_DEBUG(log, "LDAP: UID is %d", *uid);

    const std::optional<std::string> gidText = firstValue(ld.get(), entry, config->gidAttr);
    if (!gidText) {
        setMessage(message, "Did not get GID for user.");
        return AUTH_ERROR;
    }
    // A value that is not a number must not become gid 0, the root group.
    if (!parseId(*gidText, gid)) {
        LDAP_ERROR(log, "LDAP: Value '%s' of attribute %s for user %s is not a gid.", loggable(*gidText).c_str(),
                   config->gidAttr, loggable(user).c_str());
        setMessage(message, badIdMessage("GID", config->gidAttr));
        return AUTH_ERROR;
    }
    LDAP_DEBUG(log, "LDAP: GID is %d", *gid);
    LDAP_DEBUG(log, "LDAP: ldap_value_free_len");

    // A successful bind as the user proved the password.
    if (config->authMethod != MATCH) return AUTH_OK;

    LdapString entryDN(ldap_get_dn(ld.get(), entry));
    if (!entryDN) {
        setMessage(message, "Did not get DN for user.");
        return AUTH_ERROR;
    }
    LDAP_DEBUG(log, "LDAP: ldap_get_dn userDN:<%s>", loggable(entryDN.get()).c_str());
    setUserDN(user, trimmedLikeStrclone(entryDN.get()));

    WipedString stored;
    {
        LdapValues values(ldap_get_values_len(ld.get(), entry, config->passwdAttr));
        if (!values || values.get()[0] == nullptr) {
            LDAP_DEBUG(log, "LDAP: ldap_get_values_len values==NULL");
            setMessage(message, "Did not get encrypted password for user.");
            return AUTH_ERROR;
        }
        stored.text.assign(values.get()[0]->bv_val, values.get()[0]->bv_len);
    }
    rc = authenticatePassword(password, stored.text.c_str(), log, message);
    if (rc != AUTH_OK) return rc;

    if (config->skipPwExpCheck && config->skipAccExpCheck && config->skipChangeCheck) return AUTH_OK;

    int lastChange = -1, maxAge = -1, expire = -1;
    if (!(config->skipPwExpCheck && config->skipChangeCheck)) {
        if (auto v = firstValue(ld.get(), entry, config->lastChangeAttr)) {
            lastChange = ageingNumber(*v);
            LDAP_DEBUG(log, "LDAP: user has lastChange setting.");
        }
    }
    if (!config->skipPwExpCheck) {
        if (auto v = firstValue(ld.get(), entry, config->maxAgeAttr)) {
            maxAge = ageingNumber(*v);
            LDAP_DEBUG(log, "LDAP: user has maxage setting.");
        }
    }
    if (!config->skipAccExpCheck) {
        if (auto v = firstValue(ld.get(), entry, config->acctExpireAttr)) {
            expire = ageingNumber(*v);
            LDAP_DEBUG(log, "LDAP: user has account expiration setting.");
        }
    }
    return shadowExpired(lastChange, maxAge, expire, config->skipPwExpCheck,
                         config->skipAccExpCheck, config->skipChangeCheck, log, message);
}

} // namespace

void buildEntryDN(const LDAPConfig *config, const char *user, std::string &namePart,
                  std::string &entryBase, AuthLog *log)
{
    const std::string_view name(user);
    std::optional<std::string> domain;
    if (config->ignoreUserDomain) {
        LDAP_DEBUG(log, "Build entry DN: User domain ignored (if any).");
        namePart = name;
        if (config->defaultDomain) domain = config->defaultDomain;
    } else {
        LDAP_DEBUG(log, "Building entry DN with user domain, if any.");
        const size_t at = name.find('@');
        if (at != std::string_view::npos) {
            namePart = name.substr(0, at);
            // The domain comes from the client: it must stay one RDN value.
            domain = escapeDnValue(name.substr(at + 1));
        } else {
            namePart = name;
            if (config->defaultDomain) domain = config->defaultDomain;
        }
    }

    const std::string searchBase = config->searchBase ? config->searchBase : "";
    const bool haveUserBase = config->userBase != nullptr && *config->userBase != '\0';
    if (!domain) {
        entryBase = haveUserBase ? std::string(config->userBase) + "," + searchBase : searchBase;
        return;
    }
    const std::string attr = config->domainAttribute ? config->domainAttribute : "OU";
    const std::string domainRdn = attr + "=" + *domain;
    LDAP_DEBUG(log, "Building DN with user domain and configured domain format.");
    switch (config->domainFormat) {
    case DOMAIN_AFTER_USERBASE:
        if (haveUserBase) {
            entryBase = std::string(config->userBase) + "," + domainRdn + "," + searchBase;
            return;
        }
        LDAP_DEBUG(log, "DOMAIN_AFTER_USERBASE specified but no LDAP_USERBASE specified. Omitting userbase.");
        break;
    case DOMAIN_BEFORE_USERBASE:
        if (haveUserBase) {
            entryBase = domainRdn + "," + config->userBase + "," + searchBase;
            return;
        }
        LDAP_DEBUG(log, "DOMAIN_BEFORE_USERBASE specified but no LDAP_USERBASE specified. Omitting userbase.");
        break;
    default:
        break;
    }
    entryBase = domainRdn + "," + searchBase;
}

extern "C" {

int queryEntryDN(LDAPConfig *config, const char *user, int *domainIndex, AuthLog *log,
                 char **message)
{
    if (config == nullptr || user == nullptr) return AUTH_ERROR;
    int ignoredIndex = 0;
    if (domainIndex == nullptr) domainIndex = &ignoredIndex;
    const std::string shownUser = loggable(user);
    LDAP_DEBUG(log, "LDAP: queryEntryDN [ENTER]: username=<%s>", shownUser.c_str());
    int rc = AUTH_ERROR;
    try {
        PipeSignalGuard pipeGuard;
        ReuseScope reuse(config, log);
        rc = queryEntry(config, user, domainIndex, log, message);
        if (reuse.retryWanted()) rc = queryEntry(config, user, domainIndex, log, message);
    } catch (...) {
        LDAP_ERROR(log, "LDAP: Could not allocate memory for user DN.");
        rc = AUTH_ERROR;
    }
    LDAP_DEBUG(log, "LDAP: queryEntryDN [EXIT]: username=<%s> rc=<0x%X>", shownUser.c_str(),
               static_cast<unsigned>(rc));
    return rc;
}

int ldapAuthenticate(void *context, const char *user, const char *password, int *uid, int *gid,
                     char **unixName, AuthLog *log, char **message)
{
    if (user == nullptr) user = "";
    if (password == nullptr) password = "";
    int uidScratch = 0, gidScratch = 0;
    if (uid == nullptr) uid = &uidScratch;
    if (gid == nullptr) gid = &gidScratch;

    int rc = AUTH_ERROR;
    std::string shownUser;
    try {
        shownUser = loggable(user);
    } catch (...) {
        return AUTH_ERROR;
    }
    LDAP_DEBUG(log, "LDAP: ldapAuthenticate [ENTER]: username=<%s>", shownUser.c_str());
    if (unixName != nullptr) *unixName = nullptr;
    auto *config = static_cast<LDAPConfig *>(context);
    if (config == nullptr) {
        LDAP_ERROR(log, "LDAP: No configuration.");
        setMessage(message, "The LDAP config file could not be read or has errors.");
    } else {
        try {
            // Whatever an earlier request of this thread left is not this request's.
            clearUserDN();
            PipeSignalGuard pipeGuard;
            ReuseScope reuse(config, log);
            rc = authenticate(config, user, password, uid, gid, log, message);
            if (reuse.retryWanted()) {
                clearUserDN();
                rc = authenticate(config, user, password, uid, gid, log, message);
            }
            if (rc == AUTH_OK) reuse.authenticated(user, password);
        } catch (...) {
            LDAP_ERROR(log, "LDAP: Out of memory while authenticating.");
            rc = AUTH_ERROR;
        }
    }
    LDAP_DEBUG(log, "LDAP: ldapAuthenticate [EXIT]: username=<%s> rc=0x%X", shownUser.c_str(),
               static_cast<unsigned>(rc));
    return rc;
}

int ldapContinueOnNoAuth(void *context, AuthLog *)
{
    const auto *config = static_cast<const LDAPConfig *>(context);
    if (config == nullptr) return 0;
    return config->authMethod == BIND || config->authMethod == QUERY ? 1 : 0;
}

} // extern "C"
