// The user DN that an authentication leaves for the group lookup of the same
// request.  The daemon makes both calls on one worker thread, so the DN is
// kept per thread; other threads never see it.
//
// Each thread's slot lives in a registry so that module termination can
// release every DN.  The thread-local pointer is a plain pointer (no TLS
// destructor that could outlive an unloaded module); a generation number tells
// a thread that termination has released its slot.
#include <cstdint>
#include <mutex>
#include <vector>

#include "ldapmod.h"

namespace {

struct Slot {
    std::string user;
    std::string dn;
};

std::mutex registryMutex;
std::vector<std::unique_ptr<Slot>> slots;   // guarded by registryMutex
uint64_t generation = 1;                    // guarded by registryMutex

thread_local Slot *threadSlot = nullptr;
thread_local uint64_t threadGeneration = 0;

// Caller holds registryMutex.
Slot &slotOfThisThread()
{
    if (threadSlot == nullptr || threadGeneration != generation) {
        slots.push_back(std::make_unique<Slot>());
        threadSlot = slots.back().get();
        threadGeneration = generation;
    }
    return *threadSlot;
}

} // namespace

void setUserDN(const std::string &user, const std::string &dn)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    Slot &slot = slotOfThisThread();
    slot.user = user;
    slot.dn = dn;
}

void clearUserDN()
{
    std::lock_guard<std::mutex> lock(registryMutex);
    if (threadSlot == nullptr || threadGeneration != generation) return;
    // Release the memory, not just the length: the DN of a finished request
    // should not linger.
    std::string().swap(threadSlot->user);
    std::string().swap(threadSlot->dn);
}

std::string currentUserDN(const char *user)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    if (threadSlot == nullptr || threadGeneration != generation) return {};
    // A DN left for another user name never serves this one.
    if (user == nullptr || threadSlot->user != user) return {};
    return threadSlot->dn;
}

void releaseAllUserDNs()
{
    std::lock_guard<std::mutex> lock(registryMutex);
    slots.clear();
    ++generation;
}
