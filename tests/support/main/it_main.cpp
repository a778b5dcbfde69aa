// main() of every integration test executable.  CTest starts it under
// `unshare --mount --propagation private`; the namespace is prepared here,
// while the process still has a single thread, before GoogleTest runs.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "sandbox.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no sandbox and must not require root.
    if (!GTEST_FLAG_GET(list_tests)) {
        std::string error;
        if (!kivtest::enterSandbox(&error)) {
            std::fprintf(stderr, "%s: refusing to run: %s\n", argv[0], error.c_str());
            return 2;
        }
    }
    // A daemon that drops a connection must fail the test, not kill it.  The
    // daemon itself gets default dispositions back before exec.
    std::signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
