// One password exchange per request through the client library.
#include "client_op.h"

#include <cstdlib>

namespace kivbench {

OperationFactory clientOperation(std::shared_ptr<const std::vector<Account>> accounts, kiv::Options opts) {
    return [accounts, opts](int) -> Operation {
        return [accounts, opts](uint64_t seq) {
            const Account &a = (*accounts)[seq % accounts->size()];
            kiv::Result r = kiv::authenticatePassword(a.name, a.password, opts);
            Outcome o;
            if (!r.reply) {
                o.transportError = true;
                o.error = std::move(r.error);
            } else {
                o.code = r.reply->code;
            }
            return o;
        };
    };
}

std::string codeName(int code) { return kiv::resultName(code); }

int codeFromName(const std::string &name) {
    for (int code : {AUTH_OK, AUTH_ERROR, AUTH_NOT_PRIVILEGED, AUTH_EXPIRED, AUTH_NOAUTH, AUTH_UNKNOWN_USER,
                     AUTH_REQUEST_FAILED})
        if (kiv::resultName(code) == name) return code;
    const std::string prefix = "UNKNOWN(";
    if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size() + 1 && name.back() == ')') {
        char *end = nullptr;
        long v = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (end == name.c_str() + name.size() - 1) return static_cast<int>(v);
    }
    return -1;
}

} // namespace kivbench
