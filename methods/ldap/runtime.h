// Run-time state of one LDAP method instance: the servers it may use, with
// their back-off, and the connections its workers keep between requests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ldapmod.h"

using LdapClock = std::chrono::steady_clock;

// LDAP_HOST followed by the entries of LDAP_HOST_LIST, in the order they are
// tried.  A server that could not be reached is passed over for
// LDAP_SERVER_BACKOFF seconds, unless every server is passed over.
class ServerList {
public:
    ServerList(const char *host, const char *list);
    size_t size() const { return servers_.size(); }
    const std::string &at(size_t i) const { return servers_[i]; }
    // Indexes in the order to try them now.
    std::vector<size_t> order() const;
    void markFailed(size_t i);
    void markWorking(size_t i);

private:
    std::vector<std::string> servers_;
    // Steady-clock time (ns) until which a server is passed over; 0: usable.
    std::unique_ptr<std::atomic<int64_t>[]> failedUntil_;
};

// A connection a worker keeps between requests.
struct KeptConnection {
    LDAP *ld = nullptr;
    bool boundAsService = false;   // bound as LDAP_HOST_DN with LDAP_HOST_PW
    std::string boundDN;           // the identity of the last successful bind
    bool boundInCall = false;      // that bind happened during the current call
    bool dead = false;             // failed: to be closed, never used again
    bool reused = false;           // served an earlier call before this one
    LdapClock::time_point lastUsed;
};

struct WorkerConnections {
    // Held by the worker for a whole call (recursive: scopes nest); the idle
    // closer only ever tries it.
    std::recursive_mutex mutex;
    KeptConnection service, user;
    int depth = 0;           // nesting of ReuseScopes
    bool retry = false;      // a reused connection failed during the call
    std::string groupUser;   // the call is the group lookup of this user
    // The user (and password) whose successful authentication bound the user
    // connection, for the next call only; during a call, what the previous
    // call left.  The password is wiped when the call ends.
    std::string authenticatedUser, authenticatedPassword;
    std::string vouchedUser, vouchedPassword;
};

class ConnectionPools {
public:
    explicit ConnectionPools(int idleSeconds) : idle_(std::chrono::seconds(idleSeconds)) {}
    ~ConnectionPools();
    // This thread's connections (made on first use).
    WorkerConnections &mine(uint64_t runtimeId);
    // A kept connection was opened or handed back: the idle closer may need
    // to wake earlier than it planned.
    void noteReleased();
    // Closes every kept connection and stops the idle closer.
    void shutdown();

private:
    void run();
    LdapClock::time_point sweep(LdapClock::time_point now);

    const LdapClock::duration idle_;
    std::mutex registryMutex_;
    std::unordered_map<std::thread::id, std::unique_ptr<WorkerConnections>> workers_;

    std::mutex closerMutex_;
    std::condition_variable closerCv_;
    std::thread closer_;
    bool stopping_ = false;
    pid_t owner_ = 0;
    LdapClock::time_point sleepsUntil_ = LdapClock::time_point::max();
};

struct LdapRuntime {
    LdapRuntime(const LDAPConfig *config);
    const uint64_t id;
    ServerList servers;
    ConnectionPools pools;
};

// Closes a kept connection and forgets everything about it.
void closeKept(KeptConnection &k);
