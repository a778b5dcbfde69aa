// Connection reuse (LDAP_CONNECTION_REUSE): each worker thread keeps two
// connections to the configured servers, one bound as the service account and
// one on which user binds happen, instead of opening and binding a new one
// per operation.
//
// Nothing of one request's identity may serve another: a failed bind closes
// the connection (the server would have made it anonymous; closing also makes
// it impossible to search with an identity the bookkeeping got wrong), and the
// only bind ever skipped on the user connection is the group lookup's rebind
// as the user the same request has just authenticated.
//
// The connections of a worker are used only by that worker, under its mutex;
// the idle closer takes the mutex only when it is free, so it never closes a
// connection in use.
#include <unistd.h>

#include <cstring>

#include "runtime.h"

namespace {

std::atomic<uint64_t> runtimeIds{1};

// This thread's call in progress, if any.  Plain data: no TLS destructor may
// outlive an unloaded module.
struct ActiveCall {
    uint64_t runtimeId = 0;
    WorkerConnections *worker = nullptr;
};
thread_local ActiveCall active;

// The kept connection `ld` of this thread's current call, or null.
KeptConnection *keptOf(LDAP *ld)
{
    WorkerConnections *w = active.worker;
    if (w == nullptr || ld == nullptr || w->depth == 0) return nullptr;
    if (w->service.ld == ld) return &w->service;
    if (w->user.ld == ld) return &w->user;
    return nullptr;
}

bool sameText(const char *a, const char *b)
{
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

// Compares a password without an early exit on the first difference.
bool samePassword(const std::string &kept, const char *given)
{
    if (given == nullptr) return false;
    const size_t n = std::strlen(given);
    unsigned char diff = kept.size() == n ? 0 : 1;
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(given[i]) ^
                static_cast<unsigned char>(i < kept.size() ? kept[i] : 0);
    return diff == 0;
}

// Overwrites the whole buffer (a moved-from short string keeps its old bytes
// beyond its new length) before releasing it.
void wipe(std::string &secret)
{
    secret.resize(secret.capacity());
    volatile char *p = secret.data();
    for (size_t i = 0; i < secret.size(); ++i) p[i] = 0;
    std::string().swap(secret);
}

} // namespace

bool connectionLevelFailure(int rc)
{
    return rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR ||
           rc == LDAP_UNAVAILABLE;
}

void closeKept(KeptConnection &k)
{
    if (k.ld != nullptr) {
        // The server may be gone: the unbind request must not raise SIGPIPE.
        PipeSignalGuard pipeGuard;
        LdapUnbind{true}(k.ld);
    }
    k = KeptConnection{};
}

LdapRuntime::LdapRuntime(const LDAPConfig *config)
    : id(runtimeIds.fetch_add(1)), servers(config->host, config->hostList),
      pools(config->idleTimeout > 0 ? config->idleTimeout : LDAP_DEFAULT_IDLE_TIMEOUT)
{
}

LdapRuntime *createRuntime(const LDAPConfig *config) { return new LdapRuntime(config); }

void destroyRuntime(LdapRuntime *runtime)
{
    if (runtime == nullptr) return;
    runtime->pools.shutdown();
    delete runtime;
}

// ---- ConnectionPools ----

ConnectionPools::~ConnectionPools() { shutdown(); }

WorkerConnections &ConnectionPools::mine(uint64_t runtimeId)
{
    thread_local uint64_t cachedId = 0;
    thread_local WorkerConnections *cached = nullptr;
    // Runtime ids are never reused, so a cached pointer of an instance that
    // has gone is never followed.
    if (cachedId == runtimeId && cached != nullptr) return *cached;
    std::lock_guard<std::mutex> lock(registryMutex_);
    std::unique_ptr<WorkerConnections> &slot = workers_[std::this_thread::get_id()];
    if (!slot) slot = std::make_unique<WorkerConnections>();
    cachedId = runtimeId;
    cached = slot.get();
    return *cached;
}

void ConnectionPools::noteReleased()
{
    std::lock_guard<std::mutex> lock(closerMutex_);
    if (stopping_) return;
    if (!closer_.joinable()) {
        owner_ = getpid();
        sleepsUntil_ = LdapClock::time_point::max();
        closer_ = std::thread([this] { run(); });
        return;
    }
    // A connection released now expires after every one the closer already
    // waits for; it only needs waking when it waits for nothing.
    if (sleepsUntil_ == LdapClock::time_point::max()) closerCv_.notify_one();
}

void ConnectionPools::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(closerMutex_);
        stopping_ = true;
    }
    closerCv_.notify_one();
    if (closer_.joinable()) {
        // A forked child has no closer thread to wait for.
        if (owner_ == getpid())
            closer_.join();
        else
            closer_.detach();
    }
    std::lock_guard<std::mutex> lock(registryMutex_);
    for (auto &[thread, w] : workers_) {
        std::lock_guard<std::recursive_mutex> workerLock(w->mutex);
        closeKept(w->service);
        closeKept(w->user);
        wipe(w->authenticatedPassword);
    }
    workers_.clear();
}

LdapClock::time_point ConnectionPools::sweep(LdapClock::time_point now)
{
    LdapClock::time_point next = LdapClock::time_point::max();
    std::lock_guard<std::mutex> lock(registryMutex_);
    for (auto &[thread, w] : workers_) {
        std::unique_lock<std::recursive_mutex> workerLock(w->mutex, std::try_to_lock);
        if (!workerLock.owns_lock()) {
            // In use: its connections start a new idle period when released.
            if (now + idle_ < next) next = now + idle_;
            continue;
        }
        for (KeptConnection *k : {&w->service, &w->user}) {
            if (k->ld == nullptr) continue;
            if (k->lastUsed + idle_ <= now) {
                closeKept(*k);
                if (k == &w->user) wipe(w->authenticatedPassword);
            } else if (k->lastUsed + idle_ < next) {
                next = k->lastUsed + idle_;
            }
        }
    }
    return next;
}

void ConnectionPools::run()
{
    std::unique_lock<std::mutex> lock(closerMutex_);
    while (!stopping_) {
        lock.unlock();
        const LdapClock::time_point next = sweep(LdapClock::now());
        lock.lock();
        if (stopping_) break;
        sleepsUntil_ = next;
        if (next == LdapClock::time_point::max())
            closerCv_.wait(lock);
        else
            closerCv_.wait_until(lock, next);
        sleepsUntil_ = LdapClock::time_point::max();
    }
}

// ---- ReuseScope ----

ReuseScope::ReuseScope(LDAPConfig *config, AuthLog *log) : log_(log)
{
    if (config == nullptr || !config->connectionReuse || config->runtime == nullptr) return;
    WorkerConnections &w = config->runtime->pools.mine(config->runtime->id);
    w.mutex.lock();
    worker_ = &w;
    outermost_ = w.depth == 0;
    if (outermost_) {
        w.retry = false;
        w.groupUser.clear();
        w.service.boundInCall = false;
        w.user.boundInCall = false;
        // Connections found here were kept from an earlier call.
        w.service.reused = w.service.ld != nullptr;
        w.user.reused = w.user.ld != nullptr;
        // Only the call right after an authentication may rely on its bind.
        w.vouchedUser = std::move(w.authenticatedUser);
        w.authenticatedUser.clear();
        // Moved, not copied: no second copy of the password is left behind.
        w.vouchedPassword = std::move(w.authenticatedPassword);
        wipe(w.authenticatedPassword);
        active.runtimeId = config->runtime->id;
        active.worker = &w;
    }
    ++w.depth;
    pools_ = &config->runtime->pools;
}

ReuseScope::~ReuseScope()
{
    if (worker_ == nullptr) return;
    WorkerConnections &w = *worker_;
    --w.depth;
    if (outermost_) {
        const LdapClock::time_point now = LdapClock::now();
        bool kept = false;
        for (KeptConnection *k : {&w.service, &w.user}) {
            if (k->ld == nullptr) continue;
            if (k->dead) {
                closeKept(*k);
                continue;
            }
            k->lastUsed = now;
            k->boundInCall = false;
            kept = true;
        }
        w.groupUser.clear();
        w.vouchedUser.clear();
        wipe(w.vouchedPassword);
        w.retry = false;
        active = ActiveCall{};
        if (kept) pools_->noteReleased();
    }
    w.mutex.unlock();
}

bool ReuseScope::retryWanted()
{
    if (worker_ == nullptr || !outermost_ || !worker_->retry) return false;
    worker_->retry = false;
    LDAP_DEBUG(log_, "LDAP: A kept connection failed. Retrying on a new connection.");
    // What broke one kept connection (a restarted or lost server) has most
    // likely broken the other: the second run starts on new connections only,
    // so a failure in it is final.
    closeKept(worker_->service);
    closeKept(worker_->user);
    return true;
}

void ReuseScope::authenticated(const char *user, const char *password)
{
    if (worker_ == nullptr || user == nullptr || password == nullptr) return;
    const KeptConnection &u = worker_->user;
    if (u.ld == nullptr || u.dead || !u.boundInCall) return;
    worker_->authenticatedUser = user;
    worker_->authenticatedPassword = password;
}

void ReuseScope::groupLookup(const char *user)
{
    if (worker_ == nullptr || user == nullptr) return;
    worker_->groupUser = user;
}

// ---- hooks ----

LdapHandle lendKeptConnection(LDAPConfig *config, ConnRole role, AuthLog *log, char **message,
                              LDAP *(*open)(LDAPConfig *, const char *, AuthLog *, char **))
{
    WorkerConnections *w = active.worker;
    if (w == nullptr || config->runtime == nullptr || active.runtimeId != config->runtime->id)
        return LdapHandle(open(config, nullptr, log, message));
    KeptConnection &k = role == ConnRole::Service ? w->service : w->user;
    if (k.ld != nullptr && k.dead) closeKept(k);
    if (k.ld == nullptr) {
        LDAP *ld = open(config, nullptr, log, message);
        if (ld == nullptr) return LdapHandle();
        k.ld = ld;
        k.reused = false;
    } else {
        LDAP_DEBUG(log, "LDAP: Reusing the kept %s connection.",
                   role == ConnRole::Service ? "service" : "user");
    }
    return LdapHandle(k.ld, LdapUnbind{false});
}

bool keptBindSatisfied(const LDAPConfig *config, LDAP *ld, const char *dn, const char *password)
{
    KeptConnection *k = keptOf(ld);
    if (k == nullptr || k->dead) return false;
    WorkerConnections *w = active.worker;
    if (k == &w->service)
        return k->boundAsService && sameText(dn, config->hostDN) &&
               sameText(password, config->hostPassword);
    // The group lookup right after this user's successful authentication,
    // binding as the DN that authentication bound as.
    return !w->groupUser.empty() && w->vouchedUser == w->groupUser && !k->boundDN.empty() &&
           sameText(dn, k->boundDN.c_str()) && samePassword(w->vouchedPassword, password);
}

void keptBindDone(const LDAPConfig *config, LDAP *ld, const char *dn, const char *password, int rc)
{
    KeptConnection *k = keptOf(ld);
    if (k == nullptr) return;
    if (k == &active.worker->user) {
        active.worker->vouchedUser.clear();
        wipe(active.worker->vouchedPassword);
    }
    if (rc != LDAP_SUCCESS) {
        if (connectionLevelFailure(rc) && k->reused) active.worker->retry = true;
        k->dead = true;
        k->boundAsService = false;
        k->boundDN.clear();
        return;
    }
    k->boundAsService = sameText(dn, config->hostDN) && sameText(password, config->hostPassword);
    try {
        k->boundDN = dn != nullptr ? dn : "";
    } catch (...) {
        // Identity unknown: the connection must not be used again.
        k->dead = true;
        k->boundAsService = false;
        k->boundDN.clear();
        return;
    }
    k->boundInCall = true;
}

void keptOperationDone(LDAP *ld, int rc)
{
    if (!connectionLevelFailure(rc)) return;
    KeptConnection *k = keptOf(ld);
    if (k == nullptr) return;
    if (k->reused) active.worker->retry = true;
    k->dead = true;
}
