#include "features/wake_on_lan.h"

#include <cstdio>

namespace kvd {

std::optional<std::array<uint8_t, 6>> parseMacAddress(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (c != ':' && c != '-') hex += c;
    }
    if (hex.size() != 12) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::array<uint8_t, 6> mac{};
    for (size_t i = 0; i < 6; ++i) {
        const int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        mac[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return mac;
}

std::vector<uint8_t> buildMagicPacket(const std::array<uint8_t, 6>& mac) {
    std::vector<uint8_t> packet(6, 0xFF);
    packet.reserve(102);
    for (int i = 0; i < 16; ++i) packet.insert(packet.end(), mac.begin(), mac.end());
    return packet;
}

std::vector<uint32_t> broadcastTargets(const std::vector<platform::Ipv4Interface>& interfaces) {
    std::vector<uint32_t> out;
    for (const auto& i : interfaces) {
        if (!i.up || i.loopback || i.netmask == 0) continue;
        out.push_back(i.address | ~i.netmask);
    }
    if (out.empty()) out.push_back(0xFFFFFFFFu);
    return out;
}

bool sendMagicPacket(const std::string& macText, std::string* error, const WolNetwork& net) {
    auto fail = [&](std::string code) {
        if (error) *error = std::move(code);
        return false;
    };
    const auto mac = parseMacAddress(macText);
    if (!mac) return fail("invalid_mac");
    int err = 0;
    auto sock = net.openSocket(err);
    if (!sock) return fail("socket_failed");
    if (!sock->enableBroadcast(err)) return fail("setsockopt_broadcast_failed");
    const auto packet = buildMagicPacket(*mac);

    std::vector<platform::Ipv4Interface> interfaces;
    int listError = 0;
    if (!net.listInterfaces(interfaces, listError)) interfaces.clear();
    const auto targets = broadcastTargets(interfaces);

    int successes = 0;
    int firstError = 0;
    for (uint32_t target : targets) {
        bool sent = false;
        for (uint16_t port : {uint16_t{9}, uint16_t{7}}) {
            int sendError = 0;
            const long n = sock->sendTo(target, port, packet.data(), packet.size(), sendError);
            if (n == static_cast<long>(packet.size())) {
                sent = true;
            } else if (firstError == 0) {
                firstError = n < 0 ? sendError : -1;
            }
        }
        if (sent) ++successes;
    }
    if (successes > 0) {
        std::fprintf(stderr, "[wol] broadcast to %d interface(s), %d success\n",
                     static_cast<int>(targets.size()), successes);
        return true;
    }
    return fail("sendto_failed (WSAGetLastError=" + std::to_string(firstError) + ")");
}

std::string wolErrorMessage(const std::string& code) {
    static const std::pair<const char*, const char*> table[] = {
        {"policy_denied", "This agent is not authorized to broadcast Wake-on-LAN packets."},
        {"rate_limited", "Too many Wake-on-LAN attempts from this agent in the last minute."},
        {"socket_failed", "Could not open a UDP socket on the local subnet."},
        {"wsa_startup_failed", "Network subsystem failed to start (Winsock)."},
        {"setsockopt_broadcast_failed",
         "Operating system refused to enable broadcast on the socket."},
        {"invalid_mac", "The target MAC address is malformed."},
        {"not_supported", "Wake-on-LAN is not yet supported on this agent platform."},
    };
    for (const auto& [c, sentence] : table) {
        if (code == c) return sentence;
    }
    if (code.rfind("sendto_failed", 0) == 0)
        return "The network refused to broadcast the magic packet.";
    return "Unknown Wake-on-LAN failure.";
}

}  // namespace kvd
