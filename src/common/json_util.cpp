#include "common/json_util.h"

#include <algorithm>
#include <cstdint>
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

bool jsonDepthWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit) return false;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::string jsonDepthError(int limit) {
    return "nesting deeper than " + std::to_string(limit) + " levels";
}

std::optional<Json> parseJson(std::string_view text) {
    if (!jsonDepthWithin(text)) return std::nullopt;
    Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

std::optional<Json> parseJson(std::string_view text, std::string& error, int depthLimit) {
    if (!jsonDepthWithin(text, depthLimit)) {
        error = jsonDepthError(depthLimit);
        return std::nullopt;
    }
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const std::exception& e) {
        error = e.what();
    }
    return std::nullopt;
}

std::string replaceInvalidUtf8(std::string_view s) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    auto cont = [&](size_t k) { return k < n && (byte(k) & 0xC0) == 0x80; };
    while (i < n) {
        const unsigned char c = byte(i);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t len = 0;
        uint32_t cp = 0, min = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2, cp = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, cp = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4, cp = c & 0x07, min = 0x10000;
        }
        bool ok = len > 0;
        size_t k = 1;
        for (; ok && k < len; ++k) {
            if (!cont(i + k)) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (ok) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            // One replacement per maximal invalid prefix.
            out += kReplacement;
            i += len > 0 ? std::max<size_t>(k, 1) : 1;
        }
    }
    return out;
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
