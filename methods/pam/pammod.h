// Internal interface of the PAM method module kivmodpam.so.
//
// One PAM transaction per request: pam_start, pam_authenticate, then
// (optionally) pam_acct_mgmt, pam_end.  Handles are never shared between
// threads, so the only shared state is the read-only PamSettings that
// pamInit returns.
#pragma once

#include <security/pam_appl.h>

#include <string>

#include "kivmod.h"

#define KIV_EXPORT extern "C" __attribute__((visibility("default")))

#define PAM_LOG(log, fn, ...)                               \
    do {                                                    \
        if ((log) && (log)->fn) (log)->fn(__VA_ARGS__);     \
    } while (0)

inline constexpr const char *kDefaultPamService = "kiv-services-daemon";
inline constexpr size_t kMaxPamServiceLength = 255;
// Reason texts handed to the daemon are kept per thread (a worker serves one
// request at a time) and bounded.
inline constexpr size_t kPamMessageSize = 512;

struct PamSettings {
    std::string service = kDefaultPamService;
    bool continueOnNoAuth = false;
    bool accountCheck = true;
};

// Parses the module's keys from the configuration list.  Returns null on
// success, otherwise the reason, written into `reason`.
const char *parsePamSettings(const ConfigEntry *config, int count, PamSettings *out,
                             char *reason, size_t reasonSize);

// Maps the result of pam_authenticate / pam_acct_mgmt to a daemon result code.
int pamResultCode(int pamResult);

// Thread-local buffer for reason texts: valid until the same thread's next
// pamAuthenticate call.
char *pamMessageBuffer();

// Copies text into dst (bounded, NUL-terminated), replacing control
// characters so a module's text cannot add lines to a log.
void copyLogSafe(char *dst, size_t size, const char *text);

// State of one transaction, handed to libpam as the conversation's appdata.
struct PamExchange {
    const char *password = nullptr;   // the request's, never copied except into replies
    AuthLog *log = nullptr;
    std::string notes;                // error and info texts of the modules, "; "-joined
    unsigned requestedDelayUs = 0;    // the largest fail delay a module asked for
};

// Conversation function: echo-off prompts get the password, error and info
// texts are collected in PamExchange::notes, anything else is refused.
int pamConverse(int count, const struct pam_message **messages, struct pam_response **responses,
                void *appdata);

// PAM_FAIL_DELAY callback: records the delay instead of sleeping.
void pamNoDelay(int status, unsigned delayUs, void *appdata);
