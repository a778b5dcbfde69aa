// GoogleTest layer over the test-support core.
#include "sandbox.h"

#include <gtest/gtest.h>

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

} // namespace kivtest
