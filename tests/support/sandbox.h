// GoogleTest layer over the test-support core: the integration tests' names
// for the core's helpers, with failures recorded as test failures.
#pragma once
#include <string>

#include "daemon_runner.h"
#include "files.h"
#include "private_namespace.h"
#include "process.h"
#include "wait_for.h"

namespace kivtest {

// Replaces the contents of the fixture files bind-mounted over /etc/passwd,
// /etc/shadow and /etc/group (written in place, so the mounts stay valid).
// Exactly the given text is written: include root's entries if the test
// needs them.  Outside the sandbox this records a test failure and touches
// nothing.
void writeAccountFiles(const std::string &passwd, const std::string &shadow,
                       const std::string &group);

// crypt(3) hash of `password` with a fresh salt of the given prefix
// ("$6$", "$5$", "$1$", "$y$", "" for DES).
std::string cryptHash(const std::string &password, const std::string &prefix = "$6$");

// Shell-free file helpers; a failure is a test failure.
void writeFile(const std::string &path, const std::string &data, int mode = 0644);
std::string makeTempDir(const std::string &tag);    // fresh dir under /tmp

// A copy of the executable at `path` that every user can run.  Tests start
// some programs as other users (the daemon with a dropped uid, the MapR
// tool stand-in), and the build tree may lie where those users cannot enter
// (a checkout under /root, mode 0700).  "" (and a test failure) outside the
// sandbox or if the copy fails.
std::string reachableCopy(const std::string &path);

// main() of a test executable that runs in a private mount namespace:
// prepares it (with `options`, or the integration tests' defaults) while the
// process has a single thread, then runs GoogleTest.  Listing the tests needs
// neither root nor the namespace.
int runTestsInSandbox(int argc, char **argv, const SandboxOptions *options = nullptr);

} // namespace kivtest
