#include "common/json_util.h"

#include <cstdio>

namespace kvd {

std::string escapeJsonString(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 8);
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string dumpJson(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<Json> parseJson(std::string_view text) {
    Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

namespace {
const Json* member(const Json& obj, std::string_view key) {
    if (!obj.is_object()) return nullptr;
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}
}  // namespace

std::optional<std::string> jsonString(const Json& obj, std::string_view key) {
    const Json* v = member(obj, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<int64_t> jsonInt(const Json& obj, std::string_view key) {
    const Json* v = member(obj, key);
    if (!v || !v->is_number()) return std::nullopt;
    if (v->is_number_integer()) {
        if (v->is_number_unsigned() && v->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
            return std::nullopt;
        return v->get<int64_t>();
    }
    const double d = v->get<double>();
    // Out-of-range or NaN floating values must not reach an integer cast.
    if (!(d >= -9.2e18 && d <= 9.2e18)) return std::nullopt;
    return static_cast<int64_t>(d);
}

std::optional<double> jsonNumber(const Json& obj, std::string_view key) {
    const Json* v = member(obj, key);
    if (!v || !v->is_number()) return std::nullopt;
    return v->get<double>();
}

std::optional<bool> jsonBool(const Json& obj, std::string_view key) {
    const Json* v = member(obj, key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

const Json* jsonObject(const Json& obj, std::string_view key) {
    const Json* v = member(obj, key);
    return v && v->is_object() ? v : nullptr;
}

const Json* jsonArray(const Json& obj, std::string_view key) {
    const Json* v = member(obj, key);
    return v && v->is_array() ? v : nullptr;
}

}  // namespace kvd
