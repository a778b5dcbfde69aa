// GoogleTest layer over the test-support core.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

namespace kivtest {

void writeAccountFiles(const std::string &passwd, const std::string &shadow,
                       const std::string &group) {
    std::string err;
    if (!writeAccountFiles(passwd, shadow, group, &err)) ADD_FAILURE() << "writeAccountFiles: " << err;
}

std::string cryptHash(const std::string &password, const std::string &prefix) {
    std::string err;
    std::string h = cryptHash(password, prefix, &err);
    if (h.empty()) ADD_FAILURE() << err;
    return h;
}

void writeFile(const std::string &path, const std::string &data, int mode) {
    std::string err;
    if (!writeFile(path, data, mode, &err)) ADD_FAILURE() << "writeFile: " << err;
}

std::string makeTempDir(const std::string &tag) {
    std::string err;
    std::string dir = makeTempDir(tag, &err);
    if (dir.empty()) ADD_FAILURE() << err;
    return dir;
}

std::string reachableCopy(const std::string &path) {
    std::string err;
    std::string copy = reachableCopy(path, &err);
    if (copy.empty()) ADD_FAILURE() << err;
    return copy;
}

int runTestsInSandbox(int argc, char **argv, const SandboxOptions *options) {
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        std::string error;
        if (!(options ? enterSandbox(*options, &error) : enterSandbox(&error))) {
            std::fprintf(stderr, "%s: refusing to run: %s\n", argv[0], error.c_str());
            return 2;
        }
    }
    // A daemon that drops a connection must fail the test, not kill it.  The
    // daemon itself gets default dispositions back before exec.
    std::signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}

} // namespace kivtest
