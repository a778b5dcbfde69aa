// Status texts of the GSS library and the per-thread reason buffer.
#include <cstdio>

#include "gssmod.h"

namespace {

// Appends every message the library has for one status value.
void appendStatus(std::string &out, OM_uint32 value, int type) {
    OM_uint32 more = 0;
    do {
        OM_uint32 minor = 0;
        gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
        OM_uint32 major = gss_display_status(&minor, value, type, GSS_C_NO_OID, &more, &text);
        if (GSS_ERROR(major)) break;
        if (!out.empty()) out += ": ";
        out.append(static_cast<const char *>(text.value), text.length);
        gss_release_buffer(&minor, &text);
    } while (more != 0);
}

} // namespace

std::string gssStatusText(OM_uint32 major, OM_uint32 minor) {
    std::string text;
    // A plain failure says nothing beyond its minor code, which carries the
    // Kerberos reason (replay, skew, expiry...).
    if (GSS_ROUTINE_ERROR(major) != GSS_S_FAILURE || minor == 0) appendStatus(text, major, GSS_C_GSS_CODE);
    if (minor != 0) appendStatus(text, minor, GSS_C_MECH_CODE);
    return text;
}

std::string printable(const std::string &text) {
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

char *threadMessage(const std::string &text) {
    // Trivially destructible, so unloading the module leaves nothing behind.
    static thread_local char buffer[512];
    const std::string shown = printable(text);
    snprintf(buffer, sizeof buffer, "%s", shown.c_str());
    return buffer;
}
