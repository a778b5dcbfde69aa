// The private mount namespace that integration tests and the benchmark run
// in: their own /run, /tmp and account databases, nothing outside changes.
#pragma once
#include <string>
#include <vector>

namespace kivtest {

inline constexpr const char *kSocketPath = "/var/run/kiv-services-daemon_socket";
inline constexpr const char *kPidPath = "/var/run/kiv-services-daemon.pid";

struct SandboxOptions {
    std::string who = "integration tests";   // "<who> must run as root"
    std::string fixtureDir = "/run/kivtest-fixtures";
    // What the account files hold until a test writes its own.
    std::string passwd = "root:x:0:0:root:/root:/bin/sh\n"
                         "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n";
    std::string shadow = "root:*:19000:0:99999:7:::\n"
                         "nobody:*:19000:0:99999:7:::\n";
    std::string group = "root:x:0:\n"
                        "nogroup:x:65534:\n";
    // Become a child subreaper, so a detaching daemon is re-parented to this
    // process and can be reaped.
    bool subreaper = true;
    // Paths that must stay visible: a private /tmp is mounted only when none
    // of them (nor this executable or the working directory) lies below /tmp.
    std::vector<std::string> keepVisible{};
};

// Refuses (false and *error) unless running as root in a mount namespace of
// its own (the nearest ancestor past unshare(1), and pid 1, must be in
// another).  Then: every mount below / becomes private, a tmpfs (mode 1777)
// covers /run (and /var/run if separate) and /tmp (see keepVisible), and
// fixture account files are bind-mounted over /etc/passwd, /etc/shadow and
// /etc/group.  With KIVTEST_KEEP_DIRS set /tmp is left as it is and daemon
// directories are kept, for post-mortem debugging.  Call while the process
// has a single thread.
bool enterSandbox(const SandboxOptions &options, std::string *error);
// The defaults above, with the build and source trees kept visible.
bool enterSandbox(std::string *error);
bool sandboxReady();
bool keepDirs();   // KIVTEST_KEEP_DIRS was set when the sandbox was entered
// True when this executable or the working directory lies below /tmp, which
// then stays the host's.
bool runsFromTmp();

// Replaces the contents of the fixture files over /etc/passwd, /etc/shadow
// and /etc/group (in place, so the mounts stay valid).  Refuses outside the
// sandbox.
bool writeAccountFiles(const std::string &passwd, const std::string &shadow, const std::string &group,
                       std::string *error);
// Puts `text` over /etc/nsswitch.conf until restoreNsswitch(); sandbox only.
bool overrideNsswitch(const std::string &text, std::string *error);
void restoreNsswitch();
// Bind-mounts the file or directory `source` over `target`; sandbox only.
// This is how /etc/krb5.conf and /etc/pam.d are covered.
bool bindOver(const std::string &source, const std::string &target, std::string *error);
// An empty directory on the sandbox's /run bind-mounted over /etc/pam.d (made
// once; later calls return the same).  Its path in *dir.
bool privatePamDir(std::string *dir, std::string *error);

// A copy of the executable at `path` that every user can run (the build tree
// may lie where other users cannot enter).  Copied once per path into a
// root-owned 0755 directory on the sandbox's /run; "" and *error outside the
// sandbox or if the copy fails.
std::string reachableCopy(const std::string &path, std::string *error);

} // namespace kivtest
