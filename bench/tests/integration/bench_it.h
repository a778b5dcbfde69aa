// Shared pieces of the benchmark's integration tests.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounts.h"
#include "baselines.h"
#include "kivmod.h"
#include "harness.h"

namespace benchit {

inline const std::string kBin = KIVBENCH_BIN_DIR;

// The accounts as the whole account database (root and nobody besides).
inline void install(const std::vector<kivbench::Account> &accounts) {
    std::string error;
    ASSERT_TRUE(kivbench::writeAccountFiles(kivbench::accountFiles(accounts), &error)) << error;
}

inline kivbench::Accounts shared(std::vector<kivbench::Account> a) {
    return std::make_shared<const std::vector<kivbench::Account>>(std::move(a));
}

// The same accounts with passwords that do not match.
inline std::vector<kivbench::Account> wrong(std::vector<kivbench::Account> a) {
    for (auto &x : a) x.password = "not-" + x.password;
    return a;
}

// The same accounts renamed so that no database knows them.
inline std::vector<kivbench::Account> unknown(std::vector<kivbench::Account> a) {
    for (auto &x : a) x.name = "ghost-" + x.name;
    return a;
}

// Runs `factory` for exactly `requests` operations on `threads` threads.
inline kivbench::LoadResult exactly(uint64_t requests, int threads, const kivbench::OperationFactory &factory) {
    return kivbench::runLoad({threads, 60, requests}, factory);
}

} // namespace benchit
