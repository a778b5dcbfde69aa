// The PAM conversation of one request, and the fail delay that does not sleep.
#include <cstdlib>
#include <cstring>

#include "pammod.h"

namespace {

constexpr size_t kMaxNotes = 400;

void wipeAndFree(char *text) {
    if (!text) return;
    explicit_bzero(text, std::strlen(text));
    std::free(text);
}

void freeResponses(pam_response *r, int count) {
    for (int i = 0; i < count; ++i) wipeAndFree(r[i].resp);
    std::free(r);
}

void addNote(PamExchange *x, const char *text) {
    if (!text || !*text || x->notes.size() >= kMaxNotes) return;
    if (!x->notes.empty()) x->notes += "; ";
    x->notes.append(text, strnlen(text, kMaxNotes - x->notes.size()));
}

} // namespace

int pamConverse(int count, const struct pam_message **messages, struct pam_response **responses,
                void *appdata) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG || !messages || !responses || !appdata) return PAM_CONV_ERR;
    auto *x = static_cast<PamExchange *>(appdata);
    auto *r = static_cast<pam_response *>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (!r) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const pam_message *m = messages[i];
        switch (m->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            // libpam owns (and wipes) the copy from here on.
            r[i].resp = strdup(x->password ? x->password : "");
            if (!r[i].resp) {
                freeResponses(r, count);
                return PAM_BUF_ERR;
            }
            break;
        case PAM_ERROR_MSG:
        case PAM_TEXT_INFO:
            addNote(x, m->msg);
            break;
        default:
            // A visible prompt (one-time code, new password...) has no
            // answer in a one-shot password exchange.
            PAM_LOG(x->log, logDebug, "PAM: refusing prompt of style %d.", m->msg_style);
            freeResponses(r, count);
            return PAM_CONV_ERR;
        }
    }
    *responses = r;
    return PAM_SUCCESS;
}

void pamNoDelay(int, unsigned delayUs, void *appdata) {
    // The daemon's own failed-attempt limit is the brute-force defence; a
    // sleep here would hold a worker thread and stall other users.
    if (auto *x = static_cast<PamExchange *>(appdata); x && delayUs > x->requestedDelayUs)
        x->requestedDelayUs = delayUs;
}
