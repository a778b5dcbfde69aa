// The reports' JSON: nlohmann's, with object members kept in the order
// they were written so the files read top-down.
#pragma once
#include <nlohmann/json.hpp>

namespace kivbench {
using Json = nlohmann::ordered_json;
} // namespace kivbench

#include <optional>
#include <string>

namespace kivbench {
// A whole document, or nullopt and *error.
inline std::optional<Json> parseJson(const std::string &text, std::string *error) {
    try {
        return Json::parse(text);
    } catch (const Json::exception &e) {
        *error = e.what();
        return std::nullopt;
    }
}
} // namespace kivbench
