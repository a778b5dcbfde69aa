// The benchmark's private mount namespace: the run gets its own /run, /tmp
// and account databases, and nothing outside it changes.
#pragma once
#include <string>

#include "accounts.h"

namespace kivbench {

// Refuses (false, *error) unless running as root in a mount namespace that
// the parent process (past unshare(1)) and pid 1 do not share.  Then: every
// mount becomes private, tmpfs covers /run (and /var/run if separate) and
// /tmp, and fixture files are bind-mounted over /etc/passwd, /etc/shadow and
// /etc/group.  Call before starting threads.
bool enterPrivateNamespace(std::string *error);
// True when the benchmark runs from a tree under /tmp, which then keeps its
// own /tmp instead of a private one.
bool runsFromTmp();
bool pathIsUnder(const std::string &path, const std::string &dir);

// Rewrites the fixture account files in place (the bind mounts stay valid).
bool writeAccountFiles(const AccountFiles &files, std::string *error);

// Puts `text` over /etc/nsswitch.conf until restoreNsswitch(); only inside
// the private namespace.  Lets a scenario show what the host's name-service
// configuration costs.
bool overrideNsswitch(const std::string &text, std::string *error);
void restoreNsswitch();

// Writes a whole file (mode applied exactly); false and *error on failure.
bool writeFile(const std::string &path, const std::string &data, int mode, std::string *error);
std::string readFile(const std::string &path);

} // namespace kivbench
