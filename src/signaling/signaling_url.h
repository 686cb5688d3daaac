#pragma once
// Turning the configured signaling URL into the pieces the WebSocket client
// connects with. Pure: no network, no logging; the caller logs the warnings.
#include <string>
#include <vector>

namespace kvd {

struct SignalingEndpoint {
    bool valid = false;   // false: the scheme is neither wss:// nor ws://
    bool secure = false;  // wss
    std::string scheme;   // "wss" or "ws"
    std::string host = "localhost";
    int port = 0;
    std::string path;                   // request path, "?token=<token>" included
    std::string error;                  // set when !valid: the exact error text
    std::vector<std::string> warnings;  // exact warning texts, in the order met

    // The request path without its query, so that the token stays out of logs.
    std::string pathWithoutQuery() const;
    // "Connecting to signaling: wss://host:443/path" (token-free).
    std::string connectingLine() const;
};

SignalingEndpoint parseSignalingUrl(const std::string& url, const std::string& token);

}  // namespace kvd
