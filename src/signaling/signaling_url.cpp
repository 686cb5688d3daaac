#include "signaling/signaling_url.h"

#include <charconv>

#include <fmt/format.h>

namespace kvd {

namespace {
constexpr const char* kDefaultPathPrefix = "/api/v2/remote/signaling";

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}
}  // namespace

std::string SignalingEndpoint::pathWithoutQuery() const {
    const auto q = path.find('?');
    return q == std::string::npos ? path : path.substr(0, q);
}

std::string SignalingEndpoint::connectingLine() const {
    return fmt::format("Connecting to signaling: {}://{}:{}{}", scheme, host, port,
                       pathWithoutQuery());
}

SignalingEndpoint parseSignalingUrl(const std::string& url, const std::string& token) {
    SignalingEndpoint ep;
    if (startsWith(url, "wss://")) {
        ep.secure = true;
        ep.scheme = "wss";
    } else if (startsWith(url, "ws://")) {
        ep.scheme = "ws";
        ep.warnings.push_back("Using unencrypted WebSocket (ws://). Development only!");
    } else {
        ep.error = fmt::format("Invalid signaling URL scheme: {}", url);
        return ep;
    }
    ep.valid = true;
    const int defaultPort = ep.secure ? 443 : 80;
    ep.port = defaultPort;

    // Tokens are handed out by our own backend and are URL-safe; they are
    // appended as they are.
    const std::string rest = url.substr(url.find("://") + 3);
    const auto slash = rest.find('/');
    std::string authority;
    if (slash == std::string::npos) {
        authority = rest;
        ep.path = std::string(kDefaultPathPrefix) + "?token=" + token;
    } else {
        authority = rest.substr(0, slash);
        std::string path = rest.substr(slash);
        const auto q = path.find('?');
        if (q != std::string::npos) path.resize(q);
        ep.path = path + "?token=" + token;
    }

    const auto colon = authority.find(':');
    if (colon == std::string::npos) {
        ep.host = authority;
        return ep;
    }
    ep.host = authority.substr(0, colon);
    const std::string portText = authority.substr(colon + 1);
    int value = 0;
    const char* first = portText.data();
    const char* last = first + portText.size();
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (portText.empty() || ec != std::errc() || ptr != last) {
        ep.warnings.push_back(fmt::format("Signaling URL has invalid port '{}'; using default {}",
                                          portText, defaultPort));
    } else if (value < 1 || value > 65535) {
        ep.warnings.push_back(fmt::format("Signaling URL port {} out of range; using default {}",
                                          value, defaultPort));
    } else {
        ep.port = value;
    }
    return ep;
}

}  // namespace kvd
