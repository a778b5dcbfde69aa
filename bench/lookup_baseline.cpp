// Baseline: the pw method's per-request work without the daemon around it.
#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <unistd.h>

#include <vector>

#include "baselines.h"
#include "verify.h"

namespace kivbench {

OperationFactory lookupOperation(Accounts accounts) {
    return [accounts](int) -> Operation {
        return [accounts](uint64_t seq) {
            const Account &a = (*accounts)[seq % accounts->size()];
            Outcome o;
            o.code = AUTH_UNKNOWN_USER;
            std::vector<char> pwBuf(16384), spBuf(16384);
            passwd pw;
            passwd *pwp = nullptr;
            if (getpwnam_r(a.name.c_str(), &pw, pwBuf.data(), pwBuf.size(), &pwp) != 0 || pwp == nullptr) return o;
            spwd sp;
            spwd *spp = nullptr;
            if (getspnam_r(a.name.c_str(), &sp, spBuf.data(), spBuf.size(), &spp) != 0 || spp == nullptr) return o;
            char *message = nullptr;
            o.code = authenticatePassword(a.password.c_str(), spp->sp_pwdp, nullptr, &message);
            if (o.code != AUTH_OK) return o;
            gid_t groups[64];
            int count = 64;
            if (getgrouplist(a.name.c_str(), pwp->pw_gid, groups, &count) < 0) o.code = AUTH_ERROR;
            return o;
        };
    };
}

} // namespace kivbench
