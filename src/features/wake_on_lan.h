#pragma once
// Wake-on-LAN: the magic packet for a MAC address, broadcast on every active
// IPv4 subnet of the host, and the sentences the viewer gets for failures.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/network.h"

namespace kvd {

// ":" and "-" are ignored; the rest must be 12 hex digits.
std::optional<std::array<uint8_t, 6>> parseMacAddress(const std::string& text);

// Six 0xFF bytes, then the MAC sixteen times: 102 bytes.
std::vector<uint8_t> buildMagicPacket(const std::array<uint8_t, 6>& mac);

// Directed broadcast addresses (host order) of the interfaces that are up,
// not loopback and have a prefix of 1..32 bits; 255.255.255.255 when none.
std::vector<uint32_t> broadcastTargets(const std::vector<platform::Ipv4Interface>& interfaces);

// The OS services the sender uses; the platform's by default.
struct WolNetwork {
    std::function<bool(std::vector<platform::Ipv4Interface>&, int&)> listInterfaces =
        platform::listIpv4Interfaces;
    std::function<std::unique_ptr<platform::UdpSocket>(int&)> openSocket = platform::openUdpSocket;
};

// True when at least one broadcast went out whole; otherwise *error gets the
// failure code.
bool sendMagicPacket(const std::string& mac, std::string* error = nullptr,
                     const WolNetwork& net = {});

std::string wolErrorMessage(const std::string& code);

}  // namespace kvd
