// Baseline: the directory operations of one LDAP authentication and its
// group lookup, connection per operation, straight on libldap.
#include <ldap.h>

#include <cstring>
#include <memory>

#include "baselines.h"
#include "verify.h"

namespace kivbench {

namespace {

// Every synchronous call on a handle is bounded by this.
constexpr int kLimitSeconds = 10;

struct Unbind {
    void operator()(LDAP *ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Handle = std::unique_ptr<LDAP, Unbind>;
struct MsgFree {
    void operator()(LDAPMessage *m) const { ldap_msgfree(m); }
};
using Message = std::unique_ptr<LDAPMessage, MsgFree>;

Handle connect(const std::string &uri) {
    LDAP *ld = nullptr;
    if (ldap_initialize(&ld, uri.c_str()) != LDAP_SUCCESS) return Handle(ld);
    timeval limit{kLimitSeconds, 0};
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &limit);
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    return Handle(ld);
}

int bind(LDAP *ld, const std::string &dn, const std::string &password) {
    berval cred{static_cast<ber_len_t>(password.size()), const_cast<char *>(password.data())};
    return ldap_sasl_bind_s(ld, dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
}

int search(LDAP *ld, const std::string &base, const std::string &filter, const char **attrs, Message *out) {
    timeval limit{kLimitSeconds, 0};
    LDAPMessage *m = nullptr;
    int rc = ldap_search_ext_s(ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), const_cast<char **>(attrs), 0,
                               nullptr, nullptr, &limit, LDAP_NO_LIMIT, &m);
    out->reset(m);
    return rc;
}

std::string firstValue(LDAP *ld, LDAPMessage *entry, const char *attr) {
    berval **v = ldap_get_values_len(ld, entry, attr);
    std::string s = v && v[0] ? std::string(v[0]->bv_val, v[0]->bv_len) : std::string();
    if (v) ldap_value_free_len(v);
    return s;
}

Outcome failed(const char *step, int rc) {
    Outcome o;
    o.code = rc == LDAP_INVALID_CREDENTIALS ? AUTH_NOAUTH : AUTH_ERROR;
    if (o.code == AUTH_ERROR) {
        o.transportError = true;
        o.error = std::string(step) + ": " + ldap_err2string(rc);
    }
    return o;
}

Outcome ok() {
    Outcome o;
    o.code = AUTH_OK;
    return o;
}

// The group search, as the bound user: AUTH_OK when it finds a group.
Outcome groupSearch(LDAP *ld, const DirectoryLayout &d, const std::string &userDN) {
    const char *attrs[] = {"gidNumber", nullptr};
    Message res;
    if (int rc = search(ld, d.groupBase, "(member=" + userDN + ")", attrs, &res); rc != LDAP_SUCCESS)
        return failed("group search", rc);
    for (LDAPMessage *e = ldap_first_entry(ld, res.get()); e; e = ldap_next_entry(ld, e))
        if (!firstValue(ld, e, "gidNumber").empty()) return ok();
    Outcome o;
    o.code = AUTH_ERROR;
    return o;
}

// The group lookup: its own connection, bound as the user, one search.
Outcome groupLookup(const DirectoryLayout &d, const std::string &userDN, const std::string &password) {
    Handle ld = connect(d.uri);
    if (!ld) return failed("initialize", LDAP_PARAM_ERROR);
    if (int rc = bind(ld.get(), userDN, password); rc != LDAP_SUCCESS) return failed("group bind", rc);
    return groupSearch(ld.get(), d, userDN);
}

const char *kUserAttrs[] = {"uidNumber", "gidNumber", "shadowLastChange", "shadowMax", "shadowExpire", nullptr};
const char *kMatchAttrs[] = {"uidNumber", "gidNumber", "shadowLastChange", "shadowMax", "shadowExpire",
                             "userPassword", nullptr};

// BIND's first step: bind as the user on the DN made from the name, then
// read the entry with that identity.
Outcome userBind(LDAP *ld, const Account &a, const std::string &userDN) {
    if (int rc = bind(ld, userDN, a.password); rc != LDAP_SUCCESS) return failed("user bind", rc);
    Message res;
    if (int rc = search(ld, userDN, "(uid=" + a.name + ")", kUserAttrs, &res); rc != LDAP_SUCCESS)
        return failed("user search", rc);
    LDAPMessage *e = ldap_first_entry(ld, res.get());
    if (e == nullptr || firstValue(ld, e, "uidNumber").empty()) return failed("user entry", LDAP_NO_RESULTS_RETURNED);
    return ok();
}

Outcome bindFlow(const DirectoryLayout &d, const Account &a) {
    const std::string userDN = "uid=" + a.name + "," + d.peopleBase;
    {
        Handle ld = connect(d.uri);
        if (!ld) return failed("initialize", LDAP_PARAM_ERROR);
        if (Outcome o = userBind(ld.get(), a, userDN); o.code != AUTH_OK) return o;
    }
    return groupLookup(d, userDN, a.password);
}

Outcome matchFlow(const DirectoryLayout &d, const Account &a) {
    std::string entryDN;
    {
        Handle ld = connect(d.uri);
        if (!ld) return failed("initialize", LDAP_PARAM_ERROR);
        if (int rc = bind(ld.get(), d.readerDN, d.readerPassword); rc != LDAP_SUCCESS) return failed("service bind", rc);
        Message res;
        if (int rc = search(ld.get(), d.peopleBase, "(uid=" + a.name + ")", kMatchAttrs, &res); rc != LDAP_SUCCESS)
            return failed("user search", rc);
        LDAPMessage *e = ldap_first_entry(ld.get(), res.get());
        if (e == nullptr || firstValue(ld.get(), e, "uidNumber").empty()) return failed("user entry", LDAP_NO_RESULTS_RETURNED);
        char *dn = ldap_get_dn(ld.get(), e);
        if (dn == nullptr) return failed("entry DN", LDAP_DECODING_ERROR);
        entryDN = dn;
        ldap_memfree(dn);
        // The stored-value check the method makes; microseconds next to the
        // round trips, but it keeps AUTH_OK honest.
        std::string stored = firstValue(ld.get(), e, "userPassword");
        char *message = nullptr;
        int rc = authenticatePassword(a.password.c_str(), stored.c_str(), nullptr, &message);
        if (rc != AUTH_OK) {
            Outcome o;
            o.code = rc;
            return o;
        }
    }
    return groupLookup(d, entryDN, a.password);
}

// BIND on a kept connection: bind as the user, read the entry, then the
// groups on the same connection and identity.
Outcome keptBindFlow(const DirectoryLayout &d, const Account &a, Handle &ld) {
    if (!ld) ld = connect(d.uri);
    if (!ld) return failed("initialize", LDAP_PARAM_ERROR);
    const std::string userDN = "uid=" + a.name + "," + d.peopleBase;
    if (Outcome o = userBind(ld.get(), a, userDN); o.code != AUTH_OK) return o;
    return groupSearch(ld.get(), d, userDN);
}

} // namespace

OperationFactory ldapOperation(LdapFlow flow, DirectoryLayout layout, Accounts accounts, bool keep) {
    if (!layout.caFile.empty()) {
        // Process-wide, once, as the method sets its TLS files.
        ldap_set_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, layout.caFile.c_str());
        int client = 0;
        ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &client);
    }
    if (keep) {
        return [layout, accounts](int) -> Operation {
            auto kept = std::make_shared<Handle>();
            return [layout, accounts, kept](uint64_t seq) {
                const Account &a = (*accounts)[seq % accounts->size()];
                Outcome o = keptBindFlow(layout, a, *kept);
                if (o.transportError) kept->reset();
                return o;
            };
        };
    }
    return [flow, layout, accounts](int) -> Operation {
        return [flow, layout, accounts](uint64_t seq) {
            const Account &a = (*accounts)[seq % accounts->size()];
            return flow == LdapFlow::Bind ? bindFlow(layout, a) : matchFlow(layout, a);
        };
    };
}

} // namespace kivbench
