// authenticatePassword with an arbitrary password and stored value (what the
// shadow file or a directory's password attribute may hold).  Besides memory
// errors, it checks that the result is one of the three the callers handle,
// that showing passwords in the log does not change the answer, and that with
// passwords hidden neither the password nor the stored value reaches the log
// (bytes above 0x7f serve as the marker).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "verify.h"

namespace {

std::string logged;    // everything logged during one call

__attribute__((format(printf, 1, 2))) void capture(const char *format, ...) {
    char line[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    logged += line;
    logged += '\n';
}

void fail(const char *why) {
    fprintf(stderr, "password harness: %s\n", why);
    abort();
}

// crypt settings whose cost is part of the stored value ("rounds=", bcrypt,
// yescrypt, BSDi DES...) can ask for minutes of work per call.  Only
// administrators write stored values, so the harness keeps to the cheap ones
// instead of timing out on them.
bool affordable(const std::string &stored) {
    std::string setting = stored;
    if (setting.rfind("{crypt}", 0) == 0 || setting.rfind("{CRYPT}", 0) == 0) setting.erase(0, 7);
    if (setting.empty()) return true;
    if (setting[0] == '_') return false;
    if (setting[0] != '$') return true;
    return (setting.rfind("$1$", 0) == 0 || setting.rfind("$5$", 0) == 0 || setting.rfind("$6$", 0) == 0 ||
            setting.rfind("$3$", 0) == 0) &&
           setting.find("rounds=") == std::string::npos;
}

int check(const std::string &password, const std::string &stored, int showPasswords) {
    AuthLog log{capture, capture, capture, capture, nullptr, showPasswords};
    char *message = nullptr;
    logged.clear();
    const int rc = authenticatePassword(password.c_str(), stored.c_str(), &log, &message);
    if (rc != AUTH_OK && rc != AUTH_NOAUTH && rc != AUTH_ERROR) fail("unexpected result code");
    if (message != nullptr && strlen(message) > 200) fail("message is not one of the fixed texts");
    if (rc == AUTH_OK && message != nullptr) fail("message set on success");
    return rc;
}

// Every fixed text of the routine is ASCII and no user name is involved, so
// with passwords hidden a byte above 0x7f in the log can only have come from
// the password or the stored value.
bool secretLogged() {
    for (const char c : logged)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    // What the daemon hands over are C strings: a NUL ends them.
    const std::string password = in.ConsumeRandomLengthString(300).c_str();
    const std::string stored = in.ConsumeRemainingBytesAsString().c_str();
    if (stored.size() > 1000 || !affordable(stored)) return 0;

    const int hidden = check(password, stored, 0);
    if (secretLogged()) fail("password or stored value logged although passwords are hidden");
    if (check(password, stored, 1) != hidden) fail("the answer depends on showPasswords");
    return 0;
}
