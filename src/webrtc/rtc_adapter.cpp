#include "webrtc/rtc_adapter.h"

#include <string_view>

namespace kvd {

RtcIceServer parseIceServerUrl(const std::string& url) {
    RtcIceServer s;
    std::string_view rest(url);
    if (rest.substr(0, 6) == "turns:") {
        s.kind = RtcIceServer::Kind::Turn;
        s.tls = true;
        s.port = 5349;
        rest.remove_prefix(6);
    } else if (rest.substr(0, 5) == "turn:") {
        s.kind = RtcIceServer::Kind::Turn;
        rest.remove_prefix(5);
    } else if (rest.substr(0, 6) == "stuns:") {
        s.kind = RtcIceServer::Kind::Stun;
        s.tls = true;
        s.port = 5349;
        rest.remove_prefix(6);
    } else if (rest.substr(0, 5) == "stun:") {
        rest.remove_prefix(5);
    } else {
        throw RtcError("unsupported ICE server URL scheme: " + url);
    }
    if (rest.substr(0, 2) == "//") rest.remove_prefix(2);
    const size_t q = rest.find('?');
    std::string_view query = q == std::string_view::npos ? std::string_view{} : rest.substr(q + 1);
    std::string_view hostPort = rest.substr(0, q);
    // Credentials embedded as user:pass@host are not accepted: they would be
    // logged with the URL.
    if (hostPort.find('@') != std::string_view::npos)
        throw RtcError("ICE server URL must not carry credentials");
    std::string_view host = hostPort;
    if (!hostPort.empty() && hostPort.front() == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string_view::npos)
            throw RtcError("bad IPv6 host in ICE server URL: " + url);
        host = hostPort.substr(1, close - 1);
        std::string_view after = hostPort.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') throw RtcError("bad ICE server URL: " + url);
            hostPort = after;  // ":port"
        } else {
            hostPort = {};
        }
        if (!hostPort.empty()) hostPort.remove_prefix(1);
    } else {
        const size_t colon = hostPort.rfind(':');
        if (colon != std::string_view::npos) {
            host = hostPort.substr(0, colon);
            hostPort = hostPort.substr(colon + 1);
        } else {
            hostPort = {};
        }
    }
    if (host.empty()) throw RtcError("ICE server URL has no host: " + url);
    for (char c : host)
        if (c == ' ' || c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x21)
            throw RtcError("bad host in ICE server URL: " + url);
    s.host = std::string(host);
    if (!hostPort.empty()) {
        if (hostPort.size() > 5) throw RtcError("bad port in ICE server URL: " + url);
        uint32_t v = 0;
        for (char c : hostPort) {
            if (c < '0' || c > '9') throw RtcError("bad port in ICE server URL: " + url);
            v = v * 10 + static_cast<uint32_t>(c - '0');
        }
        if (v == 0 || v > 65535) throw RtcError("bad port in ICE server URL: " + url);
        s.port = static_cast<uint16_t>(v);
    }
    if (!query.empty()) {
        if (query.substr(0, 10) != "transport=")
            throw RtcError("unsupported ICE server URL query: " + url);
        std::string_view t = query.substr(10);
        if (t != "udp" && t != "tcp") throw RtcError("unsupported ICE transport: " + url);
        s.transport = std::string(t);
    }
    return s;
}

}  // namespace kvd
