// The configured servers and their back-off: LDAP_HOST first, then the
// entries of LDAP_HOST_LIST (separated by blanks or commas, each "host" or
// "host:port").
#include "runtime.h"

namespace {

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(LdapClock::now().time_since_epoch())
        .count();
}

} // namespace

ServerList::ServerList(const char *host, const char *list)
{
    auto add = [this](std::string server) {
        if (server.empty()) return;
        for (const std::string &known : servers_)
            if (known == server) return;
        servers_.push_back(std::move(server));
    };
    if (host != nullptr) add(host);
    if (list != nullptr) {
        std::string current;
        for (const char *p = list;; ++p) {
            if (*p == '\0' || *p == ' ' || *p == ',' || *p == '\t') {
                add(current);
                current.clear();
                if (*p == '\0') break;
            } else {
                current += *p;
            }
        }
    }
    failedUntil_ = std::make_unique<std::atomic<int64_t>[]>(servers_.size());
    for (size_t i = 0; i < servers_.size(); ++i) failedUntil_[i].store(0);
}

std::vector<size_t> ServerList::order() const
{
    const int64_t now = nowNs();
    std::vector<size_t> usable;
    for (size_t i = 0; i < servers_.size(); ++i)
        if (failedUntil_[i].load(std::memory_order_relaxed) <= now) usable.push_back(i);
    if (!usable.empty()) return usable;
    // Every server failed lately: one of them may be back.
    std::vector<size_t> all(servers_.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    return all;
}

void ServerList::markFailed(size_t i)
{
    const int64_t until = nowNs() + int64_t{LDAP_SERVER_BACKOFF} * 1000000000;
    failedUntil_[i].store(until, std::memory_order_relaxed);
}

void ServerList::markWorking(size_t i)
{
    if (failedUntil_[i].load(std::memory_order_relaxed) != 0)
        failedUntil_[i].store(0, std::memory_order_relaxed);
}
