// The daemon side of a run: one password exchange through the client library.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "accounts.h"
#include "kivclient.hpp"
#include "loadgen.h"

namespace kivbench {

// Each request authenticates accounts[seq % size] over a fresh connection.
OperationFactory clientOperation(std::shared_ptr<const std::vector<Account>> accounts, kiv::Options opts);

// Result-code names as the client prints them, and back ("UNKNOWN(<n>)"
// included); -1 for a name that is neither.
std::string codeName(int code);
int codeFromName(const std::string &name);

} // namespace kivbench
