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

// Deepest nesting of objects and arrays accepted from a peer or another
// process. The JSON library builds, copies and frees documents recursively, so
// a deep enough document overflows the stack; real messages nest a few levels.
inline constexpr int kMaxJsonDepth = 64;

// Cheap scan (strings and escapes respected) that says whether the nesting of
// objects and arrays in text stays within limit. Runs before any parse.
bool jsonDepthWithin(std::string_view text, int limit = kMaxJsonDepth);

// The error text of a document refused for its depth.
std::string jsonDepthError(int limit = kMaxJsonDepth);

// Parses text; returns nullopt (never throws) on malformed input or nesting
// deeper than kMaxJsonDepth.
std::optional<Json> parseJson(std::string_view text);

// As parseJson, with the reason of a failure in error: the library's own
// parse-error text, or jsonDepthError() for a document nested too deep.
std::optional<Json> parseJson(std::string_view text, std::string& error,
                              int depthLimit = kMaxJsonDepth);

// Replaces every invalid UTF-8 sequence (stray continuation bytes, truncated
// or overlong sequences, surrogates, code points above U+10FFFF) by U+FFFD.
std::string replaceInvalidUtf8(std::string_view s);

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
