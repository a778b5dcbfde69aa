// main() of the benchmark's integration tests: CTest starts them under
// `unshare --mount --propagation private`; the namespace is prepared here,
// while the process has one thread.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include "harness.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        std::string error;
        if (!kivbench::enterPrivateNamespace(&error)) {
            std::fprintf(stderr, "%s: refusing to run: %s\n", argv[0], error.c_str());
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
