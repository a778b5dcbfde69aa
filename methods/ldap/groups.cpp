// Group lookup: the gids of the group entries that list the user as a member,
// led by the primary gid.
#include <cstdlib>
#include <cstring>

#include "ldapmod.h"

namespace {

bool onlyCommas(const std::string &dn)
{
    return !dn.empty() && dn.find_first_not_of(',') == std::string::npos;
}

struct GroupList {
    int *list = nullptr;
    int size = 0;
};

int lookupGroups(LDAPConfig *config, const char *user, const char *password, int gid,
                 GroupList &out, AuthLog *log, char **message)
{
    std::string namePart, entryBase;
    if (!config->groupUseDN) buildEntryDN(config, user, namePart, entryBase, log);
    const std::string userDN = currentUserDN(user);
    LDAP_DEBUG(log, "LDAP: getting groups for user %s",
               loggable(namePart.empty() ? userDN : namePart).c_str());

    // Declared before the result so the result is released first.
    LdapHandle ld = openConnection(config, nullptr, log, message,
                                   config->groupMethod == HOST ? ConnRole::Service : ConnRole::User);
    if (!ld) return -1;

    int rc = 0;
    if (config->groupMethod == HOST) {
        LDAP_DEBUG(log, "LDAP: binding to '%s','%s'", config->hostDN ? config->hostDN : "",
                   shownSecret(log, config->hostPassword));
        rc = ldapBind(config, ld.get(), config->hostDN, config->hostUsername, config->hostPassword,
                      log, message);
    } else {
        std::string bindDN;
        if (!namePart.empty()) {
            LDAP_DEBUG(log, "LDAP: binding with user credentials '%s','%s'",
                       loggable(namePart).c_str(), shownSecret(log, password));
            const char *attr = config->bindAttribute ? config->bindAttribute : config->usernameAttr;
            bindDN = std::string(attr) + "=" + escapeDnValue(namePart) + "," + entryBase;
            LDAP_DEBUG(log, "LDAP: using bind DN '%s'", loggable(bindDN).c_str());
        } else {
            LDAP_DEBUG(log, "LDAP: binding with user credentials '%s','%s'",
                       loggable(userDN).c_str(), shownSecret(log, password));
            bindDN = userDN;
        }
        // Without a DN or a password the bind would be anonymous or
        // unauthenticated, and the groups would not be the user's to read.
        if (bindDN.empty() || *password == '\0') {
            LDAP_DEBUG(log, "LDAP: No user DN or password for the group lookup.");
            setMessage(message, "Could not bind as user.");
            return -1;
        }
        rc = ldapBind(config, ld.get(), bindDN.c_str(), namePart.c_str(), password, log, message);
    }
    if (rc != 0) {
        LDAP_DEBUG(log, "LDAP: bind failed.");
        LDAP_DEBUG(log, "%s", ldapErrorText(rc));
        return -1;
    }

    std::string groupBase;
    if (config->groupBase != nullptr) {
        LDAP_DEBUG(log, "LDAP: Using group base '%s'", config->groupBase);
        groupBase = config->groupBase;
    } else {
        LDAP_DEBUG(log, "LDAP: Using groups attribute '%s'", config->groupsAttr);
        groupBase = "OU=" + std::string(config->groupsAttr) + "," +
                    (config->searchBase ? config->searchBase : "");
    }
    LDAP_DEBUG(log, "LDAP: Group entryDn: %s", groupBase.c_str());

    std::string filter = "(" + std::string(config->groupMemberAttr) + "=";
    if (!config->groupUseDN) {
        filter += escapeFilterValue(namePart);
    } else if (!userDN.empty()) {
        if (onlyCommas(userDN)) {
            LDAP_ERROR(log, "LDAP: Out of memory while constructing group membership search filter.");
            return -1;
        }
        // The whole DN is one assertion value: its backslashes (escaped
        // commas and the like) and any filter characters are escaped, so the
        // server compares exactly the DN it handed out.
        filter += escapeFilterValue(userDN);
    }
    filter += ")";
    LDAP_DEBUG(log, "LDAP: Group filter: %s", loggable(filter).c_str());

    const char *attrs[] = {config->groupGidAttr, nullptr};
    LdapResult result;
    rc = searchSubtree(config, ld.get(), groupBase, filter, attrs, &result, log);
    if (rc != LDAP_SUCCESS) {
        LDAP_DEBUG(log, "LDAP: Groups query failed.");
        LDAP_DEBUG(log, "%s", ldapErrorText(rc));
        return -1;
    }

    const int entries = ldap_count_entries(ld.get(), result.get());
    if (entries < 0) {
        LDAP_DEBUG(log, "LDAP: Could not get count of group matches.");
        int err = 0;
        if (ldap_get_option(ld.get(), LDAP_OPT_RESULT_CODE, &err) == LDAP_OPT_SUCCESS)
            LDAP_DEBUG(log, "%s", ldapErrorText(err));
        return -1;
    }
    LDAP_DEBUG(log, "LDAP: Server returned %d group records.", entries);

    int *list = static_cast<int *>(std::malloc((static_cast<size_t>(entries) + 1) * sizeof(int)));
    if (list == nullptr) {
        LDAP_ERROR(log, "LDAP: Could not allocate memory for %d entries in group list.", entries);
        return -1;
    }
    out.list = list;
    list[0] = gid;
    out.size = 1;
    LDAP_DEBUG(log, "LDAP: Returning default gid %d", gid);
    LDAP_DEBUG(log, "LDAP: Processing group results.");
    for (LDAPMessage *entry = ldap_first_entry(ld.get(), result.get());
         entry != nullptr && out.size <= entries; entry = ldap_next_entry(ld.get(), entry)) {
        LdapValues values(ldap_get_values_len(ld.get(), entry, config->groupGidAttr));
        if (!values || values.get()[0] == nullptr) {
            LDAP_DEBUG(log, "LDAP: Did not get groupid for a group entry.");
            continue;
        }
        int groupId = 0;
        const std::string_view gidText(values.get()[0]->bv_val, values.get()[0]->bv_len);
        if (!parseId(gidText, &groupId)) {
            // Skipped rather than read as 0, the root group.
            LDAP_DEBUG(log, "LDAP: Group gid '%s' is not a number. Group skipped.", loggable(gidText).c_str());
            continue;
        }
        LDAP_DEBUG(log, "LDAP: Got gid %d from database.", groupId);
        bool known = false;
        for (int i = 0; i < out.size && !known; ++i) known = list[i] == groupId;
        if (known) continue;
        LDAP_DEBUG(log, "LDAP: Returning gid %d", groupId);
        list[out.size++] = groupId;
    }
    return 0;
}

} // namespace

extern "C" int ldapGetGroups(void *context, const char *user, const char *password, int gid,
                             int **groups, int *count, AuthLog *log, int, char **message)
{
    if (user == nullptr) user = "";
    if (password == nullptr) password = "";
    std::string shownUser;
    try {
        shownUser = loggable(user);
    } catch (...) {
        shownUser.clear();
    }
    LDAP_DEBUG(log, "LDAP: ldapGetGroups [ENTER]: username=<%s>", shownUser.c_str());
    if (groups != nullptr) *groups = nullptr;

    GroupList out;
    int rc = -1;
    auto *config = static_cast<LDAPConfig *>(context);
    if (config == nullptr) {
        LDAP_ERROR(log, "LDAP: No configuration.");
        setMessage(message, "The LDAP config file could not be read or has errors.");
    } else if (groups == nullptr || count == nullptr) {
        LDAP_ERROR(log, "LDAP: No place for the group list.");
    } else {
        try {
            PipeSignalGuard pipeGuard;
            ReuseScope reuse(config, log);
            reuse.groupLookup(user);
            rc = lookupGroups(config, user, password, gid, out, log, message);
            if (reuse.retryWanted()) {
                std::free(out.list);
                out = GroupList{};
                rc = lookupGroups(config, user, password, gid, out, log, message);
            }
        } catch (...) {
            LDAP_ERROR(log, "LDAP: Out of memory while looking up groups.");
            rc = -1;
        }
        if (rc != 0) {
            std::free(out.list);
            out = GroupList{};
        }
        *groups = out.list;
    }
    LDAP_DEBUG(log, "LDAP: Returning %d groups.", out.size);
    if (count != nullptr) *count = out.size;
    LDAP_DEBUG(log, "LDAP: ldapGetGroups [EXIT]: username=<%s> retval=<%d>", shownUser.c_str(), rc);
    return rc;
}
