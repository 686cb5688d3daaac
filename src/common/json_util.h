#pragma once
// JSON helpers shared by the subsystems: escaping for hand-assembled texts,
// safe dumping of library-built values, and tolerant field access for
// peer-supplied objects (a field of the wrong type counts as absent).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kvd {

using Json = nlohmann::json;

// Escapes a string for placement between JSON quotes: quote, backslash, the
// usual short escapes, and every other control character as \u%04x. Bytes
// >= 0x80 are copied unchanged.
std::string escapeJsonString(std::string_view s);

// Compact dump that never throws: invalid UTF-8 is replaced by U+FFFD.
std::string dumpJson(const Json& j);

// Parses text; returns nullopt (never throws) on malformed input.
std::optional<Json> parseJson(std::string_view text);

// Tolerant accessors: nullopt when the object lacks the key or the value has
// another type.
std::optional<std::string> jsonString(const Json& obj, std::string_view key);
std::optional<int64_t> jsonInt(const Json& obj, std::string_view key);
std::optional<double> jsonNumber(const Json& obj, std::string_view key);
std::optional<bool> jsonBool(const Json& obj, std::string_view key);
const Json* jsonObject(const Json& obj, std::string_view key);
const Json* jsonArray(const Json& obj, std::string_view key);

inline std::string jsonStringOr(const Json& obj, std::string_view key, std::string def) {
    auto v = jsonString(obj, key);
    return v ? *v : std::move(def);
}

}  // namespace kvd
