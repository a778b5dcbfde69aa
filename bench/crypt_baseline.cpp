// Baseline: crypt_r over the stored hashes.
#include <crypt.h>

#include <cstring>

#include "baselines.h"
#include "kivmod.h"

namespace kivbench {

OperationFactory cryptOperation(Accounts accounts) {
    return [accounts](int) -> Operation {
        // crypt_data is large; one per worker, reused across its requests.
        auto data = std::make_shared<crypt_data>();
        std::memset(data.get(), 0, sizeof *data);
        return [accounts, data](uint64_t seq) {
            const Account &a = (*accounts)[seq % accounts->size()];
            const char *h = crypt_r(a.password.c_str(), a.stored.c_str(), data.get());
            Outcome o;
            o.code = h != nullptr && a.stored == h ? AUTH_OK : AUTH_NOAUTH;
            return o;
        };
    };
}

} // namespace kivbench
