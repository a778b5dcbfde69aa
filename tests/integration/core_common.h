// Shared fixtures of the daemon-core integration tests.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "kivclient.hpp"
#include "sandbox.h"

namespace coretest {

namespace wire = kiv::wire;
using kivtest::Daemon;
using kivtest::DaemonOptions;
using kivtest::readFile;

// Foreground daemon with all three logs in its own directory.
inline std::string baseConfig(const std::string &extra) {
    return "daemon=no\n"
           "debugLog=@DIR@/debug.log\n"
           "accessLog=@DIR@/access.log\n"
           "errorLog=@DIR@/error.log\n" +
           extra;
}

inline std::pair<std::string, std::string> module(const std::string &variant, const std::string &file) {
    return {kivtest::testModule(variant, file), file};
}

// Accounts used by the group lookups of the scripted modules.
inline void standardAccounts() {
    kivtest::writeAccountFiles(
        "root:x:0:0:root:/root:/bin/sh\n"
        "alice:x:1001:1001::/home/alice:/bin/sh\n"
        "bob:x:1002:1002::/home/bob:/bin/sh\n"
        "realuser:x:1003:1003::/home/realuser:/bin/sh\n",
        "root:*:19000:0:99999:7:::\n",
        "root:x:0:\n"
        "alice:x:1001:\n"
        "bob:x:1002:\n"
        "realuser:x:1003:\n"
        "staff:x:50:alice,bob\n"
        "wheel:x:10:realuser\n"
        "Mixed:x:60:ALICE\n");
}

inline std::string dumpFile(const Daemon &d, const std::string &name) { return readFile(d.path(name)); }

inline int countOf(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// Starts `d` or fails the test with the daemon's own explanation.
#define START_DAEMON(d) ASSERT_TRUE((d).start()) << (d).lastError()

// Every test ends by checking the daemon left no sanitizer report.
#define EXPECT_CLEAN(d) EXPECT_FALSE(kivtest::hasSanitizerReport((d).stderrText())) << (d).stderrText()

} // namespace coretest
