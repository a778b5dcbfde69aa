// The benchmark directory: entries, server and the matching method settings.
#include "directory.h"

#include <unistd.h>

#include "slapd.h"

namespace kivbench {

namespace {

const char *const kSuffix = "dc=example,dc=com";
const char *const kPeople = "ou=people,dc=example,dc=com";
// What the method derives from its groups attribute and the search base.
const char *const kGroupBase = "OU=groups,dc=example,dc=com";
const char *const kReaderDN = "cn=reader,dc=example,dc=com";
const char *const kReaderPassword = "bench-reader-7Q";

std::string personEntry(const Account &a) {
    return "dn: uid=" + a.name + "," + kPeople + "\n"
           "objectClass: inetOrgPerson\nobjectClass: posixAccount\nobjectClass: shadowAccount\n"
           "cn: " + a.name + "\nsn: " + a.name + "\nuid: " + a.name + "\n"
           "uidNumber: " + std::to_string(a.uid) + "\ngidNumber: " + std::to_string(a.gid) + "\n"
           "homeDirectory: /nonexistent\nuserPassword: " + a.stored + "\n\n";
}

std::string groupEntry(const std::string &cn, int gid, const std::vector<Account> &accounts) {
    std::string g = "dn: cn=" + cn + ",ou=groups," + kSuffix + "\n"
                    "objectClass: posixGroup\nobjectClass: extensibleObject\ncn: " + cn + "\n"
                    "gidNumber: " + std::to_string(gid) + "\n";
    for (const Account &a : accounts) g += "member: uid=" + a.name + "," + kPeople + "\n";
    return g + "\n";
}

} // namespace

bool slapdInstalled() { return access("/usr/sbin/slapd", X_OK) == 0 && access("/usr/sbin/slapadd", X_OK) == 0; }

Directory::Directory(const std::vector<Account> &accounts) {
    ldif_ = std::string("dn: ") + kSuffix + "\nobjectClass: dcObject\nobjectClass: organization\no: Bench\ndc: example\n\n" +
            "dn: " + kReaderDN + "\nobjectClass: person\ncn: reader\nsn: reader\nuserPassword: " +
            sshaValue(kReaderPassword, "rdsalt00") + "\n\n" +
            "dn: " + kPeople + "\nobjectClass: organizationalUnit\nou: people\n\n" +
            "dn: ou=groups," + kSuffix + "\nobjectClass: organizationalUnit\nou: groups\n\n";
    for (const Account &a : accounts) ldif_ += personEntry(a);
    ldif_ += groupEntry("benchstaff", 5000, accounts);
    ldif_ += groupEntry("benchdev", 5001, accounts);
}

Directory::~Directory() = default;

bool Directory::start(int timeoutMs, std::string *error) {
    kivtest::SlapdOptions opts;
    opts.suffix = kSuffix;
    opts.ldif = ldif_;
    opts.tls = true;
    // Indexes for the equality filters of both flows, then the usual rules:
    // passwords readable only by their owner and the service account.
    opts.access = "index objectClass eq\nindex uid eq\nindex member eq\n"
                  "access to attrs=userPassword\n"
                  "  by self read\n"
                  "  by dn.exact=\"" + std::string(kReaderDN) + "\" read\n"
                  "  by anonymous auth\n"
                  "  by * none\n"
                  "access to * by * read\n";
    server_ = std::make_unique<kivtest::Slapd>(opts);
    if (!server_->start(timeoutMs)) {
        *error = server_->error();
        return false;
    }
    return true;
}

pid_t Directory::pid() const { return server_ ? server_->pid() : -1; }

DirectoryLayout Directory::layout(bool tls) const {
    DirectoryLayout d;
    d.uri = "ldap://" + (server_ ? server_->hostPort() : std::string("127.0.0.1:0"));
    if (tls && server_) {
        d.uri = "ldaps://" + server_->sslHostPort();
        d.caFile = server_->caFile();
    }
    d.peopleBase = kPeople;
    d.groupBase = kGroupBase;
    d.readerDN = kReaderDN;
    d.readerPassword = kReaderPassword;
    return d;
}

std::string Directory::methodConfig(LdapFlow flow, bool reuse, bool tls) const {
    // A short idle limit, so the descriptor count after the runs shows the
    // kept connections closed again.
    std::string extra = reuse ? "LDAP_CONNECTION_REUSE=yes\nLDAP_IDLE_TIMEOUT=" +
                                    std::to_string(kLdapIdleTimeoutSeconds) + "\n"
                              : "";
    std::string host = server_ ? server_->hostPort() : std::string("127.0.0.1:0");
    if (tls && server_) {
        host = server_->sslHostPort();
        extra += "LDAP_BIND_SECURITY=SSL\nLDAP_SSL_CA_CERTIFICATE_NAME=" + server_->caFile() + "\n";
    }
    return std::string("methods=ldap\nenableldap=true\n") + extra +
           "LDAP_HOST=" + host + "\n" +
           "LDAP_AUTH_METHOD=" + (flow == LdapFlow::Bind ? "BIND" : "MATCH") + "\n" +
           // Without a configured version the library's default (LDAPv2)
           // is tried first, and every bind costs a refused round trip
           // before the LDAPv3 retry; slapd speaks only LDAPv3.
           "LDAP_PROTOCOL_VERSION=3\n"
           "LDAP_HOST_DN=" + kReaderDN + "\nLDAP_HOST_PW=" + kReaderPassword + "\n" +
           "LDAP_SEARCHBASE=" + kSuffix + "\nLDAP_USERBASE=ou=people\n"
           "LDAP_SCHEMA=RFC2307\n"
           "LDAP_RFC2307_USERNAME=uid\nLDAP_RFC2307_UID=uidNumber\nLDAP_RFC2307_GID=gidNumber\n"
           "LDAP_RFC2307_PASSWD=userPassword\nLDAP_RFC2307_LASTCHANGE=shadowLastChange\n"
           "LDAP_RFC2307_MAXAGE=shadowMax\nLDAP_RFC2307_ACCTEXPIRE=shadowExpire\n"
           "LDAP_RFC2307_GROUPS=groups\nLDAP_RFC2307_GROUP_GID=gidNumber\nLDAP_RFC2307_GROUP_MEMBER=member\n";
}

} // namespace kivbench
