// Who may ask: the peer credentials of a connection, the access settings
// (socketGroup, socketMode, allowedUsers, allowedGroups,
// maxConnectionsPerUser, accessLogPeer) and the per-account connection count.
#pragma once
#include <sys/types.h>
#include <vector>
#include "kivmod.h"
#include "settings.h"

struct PeerCredentials {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    pid_t pid = 0;
    std::vector<gid_t> groups;  // supplementary groups at connect time
};

// SO_PEERCRED (and SO_PEERGROUPS when groups are needed).  False when the
// kernel does not tell.
bool readPeerCredentials(int fd, bool withGroups, PeerCredentials *out);

struct AccessSettings {
    bool socketGroupSet = false;
    gid_t socketGroup = 0;
    mode_t socketMode = 0777;
    bool restricted = false;  // allowedUsers or allowedGroups present
    std::vector<uid_t> allowedUsers;
    std::vector<gid_t> allowedGroups;
    int maxConnectionsPerUser = 64;  // 0: no limit; root is never limited
    bool accessLogPeer = false;
};

// Written once at start-up before the listener runs; read-only afterwards.
extern AccessSettings accessSettings;

void readAccessSettings(ConfigEntry *list, int count, AccessSettings *out, SettingProblems *problems);

// Root always; otherwise, when restricted, a listed uid, or a listed group as
// the peer's primary or supplementary group.
bool peerAllowed(const AccessSettings &settings, const PeerCredentials &peer);

// Counts open connections per peer uid.  False (nothing counted) when `uid`
// already holds `limit` connections; limit 0 and uid 0 are never refused.
bool reserveConnection(uid_t uid, int limit);
void releaseConnection(uid_t uid);

// The peer of the request the calling thread serves (null: none), for
// accessLogPeer.
void setCurrentPeer(const PeerCredentials *peer);
// " peer_uid=<uid> peer_pid=<pid>" while accessLogPeer is on and the thread
// serves a peer, otherwise null.
const char *accessPeerSuffix();
