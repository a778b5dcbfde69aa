// The benchmark's names for the shared test-support core: the private
// namespace, fixture files and helper programs.
#pragma once
#include <string>

#include "accounts.h"
#include "files.h"
#include "private_namespace.h"
#include "process.h"

namespace kivbench {

using kivtest::Child;
using kivtest::overrideNsswitch;
using kivtest::pathIsUnder;
using kivtest::readFile;
using kivtest::restoreNsswitch;
using kivtest::runsFromTmp;
using kivtest::runToEnd;
using kivtest::spawnProcess;
using kivtest::SpawnOptions;
using kivtest::writeFile;

// The benchmark's namespace: empty fixture account files, and no subreaper
// (a detaching peer daemon is not the benchmark's to reap).
inline kivtest::SandboxOptions benchSandbox() {
    kivtest::SandboxOptions options;
    options.who = "the benchmark";
    options.fixtureDir = "/run/kivbench-fixtures";
    options.passwd = options.shadow = options.group = "";
    options.subreaper = false;
    return options;
}

// Refuses (false, *error) unless running as root in a mount namespace of its
// own; then private /run, /var/run and /tmp, and empty fixture account files
// over /etc/passwd, /etc/shadow and /etc/group.  Call before starting threads.
inline bool enterPrivateNamespace(std::string *error) { return kivtest::enterSandbox(benchSandbox(), error); }

// Rewrites the fixture account files in place (the bind mounts stay valid).
inline bool writeAccountFiles(const AccountFiles &files, std::string *error) {
    return kivtest::writeAccountFiles(files.passwd, files.shadow, files.group, error);
}

} // namespace kivbench
