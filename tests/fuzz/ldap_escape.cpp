// The escaping that keeps user names from changing the structure of LDAP
// search filters, DNs and log lines.  Besides memory errors, it checks that an
// escaped filter value holds no bare special character and unescapes to the
// input, that libldap parses a DN built around an escaped value back into
// exactly that value in a single RDN, and that loggable text holds no
// control character.
#include <ldap.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ldapmod.h"

namespace {

void fail(const char *why) {
    fprintf(stderr, "ldap_escape harness: %s\n", why);
    abort();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void checkFilterValue(const std::string &value) {
    const std::string escaped = escapeFilterValue(value);
    std::string back;
    for (size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c == '*' || c == '(' || c == ')' || c == '\0') fail("bare special character in a filter value");
        if (c != '\\') {
            back += c;
            continue;
        }
        if (i + 2 >= escaped.size() || hexValue(escaped[i + 1]) < 0 || hexValue(escaped[i + 2]) < 0)
            fail("backslash without two hex digits in a filter value");
        back += static_cast<char>(hexValue(escaped[i + 1]) * 16 + hexValue(escaped[i + 2]));
        i += 2;
    }
    if (back != value) fail("filter value does not unescape to the input");
}

void checkDnValue(const std::string &value) {
    const std::string escaped = escapeDnValue(value);
    if (escaped.find('\0') != std::string::npos) fail("NUL byte in a DN");
    const std::string dn = "uid=" + escaped + ",dc=example,dc=com";
    LDAPDN parsed = nullptr;
    if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) {
        // libldap refuses some values outright (an empty one, bytes that are
        // not UTF-8, an escaped NUL); refusing is safe, misreading is not.
        return;
    }
    int rdns = 0;
    while (parsed[rdns] != nullptr) ++rdns;
    if (rdns != 3) fail("escaped value changed the number of RDNs");
    LDAPRDN first = parsed[0];
    if (first[0] == nullptr || first[1] != nullptr) fail("escaped value made a multi-valued RDN");
    const LDAPAVA *ava = first[0];
    const std::string attr(ava->la_attr.bv_val, ava->la_attr.bv_len);
    const std::string got(ava->la_value.bv_val, ava->la_value.bv_len);
    if (attr != "uid") fail("escaped value changed the attribute");
    if (got != value) fail("DN value parses back to other bytes");
    ldap_dnfree(parsed);
}

void checkLoggable(const std::string &value) {
    for (const char ch : loggable(value)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f) fail("control character in loggable text");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    const std::string value(reinterpret_cast<const char *>(data), size);
    checkFilterValue(value);
    checkDnValue(value);
    checkLoggable(value);
    return 0;
}
