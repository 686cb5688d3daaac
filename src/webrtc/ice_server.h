#pragma once
// One TURN server as the configuration and the peer connection know it.
#include <string>

namespace kvd {

struct IceServerEntry {
    std::string url;
    std::string username;
    std::string credential;
    bool operator==(const IceServerEntry&) const = default;
};

}  // namespace kvd
