// Unix group membership: the default GetGroups of every method.
//
// The normal lookup asks getgrouplist.  With "group_nocase" on, the whole
// group database is scanned for members whose name differs from the user's
// only in case; setgrent/getgrent/endgrent share one process-wide cursor, so
// the scan holds grpSearchLock from start to end.
#include "groups.h"

#include <grp.h>
#include <sys/types.h>

#include <climits>
#include <cstdlib>
#include <cstring>

extern "C" {
int groupNocase = 0;
pthread_mutex_t grpSearchLock = PTHREAD_MUTEX_INITIALIZER;
int grpSearchLockInit = 0;
}

static_assert(sizeof(gid_t) == sizeof(int), "group ids travel as 32-bit ints");

namespace {

constexpr int kMaxGroups = 1000;
constexpr int kScanStep = 50;

#define KIV_DEBUG(log, ...)                                              \
    do {                                                                 \
        if ((log) != nullptr && (log)->logDebug != nullptr)              \
            (log)->logDebug(__VA_ARGS__);                                \
    } while (0)

bool contains(const int *list, int count, int gid) {
    for (int i = 0; i < count; ++i)
        if (list[i] == gid) return true;
    return false;
}

// The case-insensitive scan.  0 with the list stored, or -1.
int scanGroups(const char *user, int gid, int **groups, int *count, AuthLog *log) {
    int room = kScanStep;
    int *list = static_cast<int *>(malloc(room * sizeof(int)));
    if (list == nullptr) return -1;
    list[0] = gid;
    int n = 1;

    pthread_mutex_lock(&grpSearchLock);
    setgrent();
    bool failed = false;
    struct group *g;
    while (!failed && (g = getgrent()) != nullptr) {
        int id = static_cast<int>(g->gr_gid);
        if (contains(list, n, id) || g->gr_mem == nullptr) continue;
        for (char **member = g->gr_mem; *member != nullptr; ++member) {
            if (strcasecmp(*member, user) != 0) continue;
            list[n++] = id;
            if (n < room) continue;
            // Full: make room for kScanStep more.
            int *bigger = room <= INT_MAX - kScanStep
                              ? static_cast<int *>(realloc(list, (room + kScanStep) * sizeof(int)))
                              : nullptr;
            if (bigger == nullptr) {
                failed = true;
                break;
            }
            list = bigger;
            room += kScanStep;
        }
    }
    endgrent();
    pthread_mutex_unlock(&grpSearchLock);

    if (failed) {
        free(list);
        return -1;
    }
    *groups = list;
    *count = n;
    KIV_DEBUG(log, "User %s in %d groups.", user, n);
    return 0;
}

} // namespace

extern "C" int *linuxGetGroups(const char *user, int gid, int *count, AuthLog *log) {
    if (user == nullptr || count == nullptr) return nullptr;
    int *list = static_cast<int *>(malloc(kMaxGroups * sizeof(int)));
    if (list == nullptr) return nullptr;
    *count = kMaxGroups;
    KIV_DEBUG(log, "Get groups for %s.", user);
    if (getgrouplist(user, static_cast<gid_t>(gid), reinterpret_cast<gid_t *>(list), count) == -1) {
        KIV_DEBUG(log, "getgrouplist(): More than 1000 groups returned.");
        free(list);
        return nullptr;
    }
    for (int i = 1; i < *count; ++i) {
        if (list[i] == gid) {
            list[i] = list[0];
            list[0] = gid;
            break;
        }
    }
    KIV_DEBUG(log, "User %s in %d groups.", user, *count);
    return list;
}

extern "C" int unixGetGroups(void * /*context*/, const char *user, int gid, int **groups,
                             int *count, AuthLog *log, int nocase) {
    if (user == nullptr || groups == nullptr || count == nullptr) return -1;
    if (nocase) return scanGroups(user, gid, groups, count, log);
    int n = 0;
    int *list = linuxGetGroups(user, gid, &n, log);
    if (list == nullptr) return -1;
    *groups = list;
    *count = n;
    return 0;
}
