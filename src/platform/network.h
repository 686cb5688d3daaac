#pragma once
// The host's IPv4 interfaces and a UDP socket that may broadcast.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvd::platform {

// One interface's first IPv4 address; addresses and masks in host order.
struct Ipv4Interface {
    std::string name;
    uint32_t address = 0;
    uint32_t netmask = 0;
    bool up = false;
    bool loopback = false;
};

// Every interface that has an IPv4 address, in the system's order. False
// with an errno-style code when the list cannot be read.
bool listIpv4Interfaces(std::vector<Ipv4Interface>& out, int& error);

class UdpSocket {
  public:
    virtual ~UdpSocket() = default;
    // Allows sending to broadcast addresses; errno-style code on failure.
    virtual bool enableBroadcast(int& error) = 0;
    // Bytes sent, or -1 with an errno-style code.
    virtual long sendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t size,
                        int& error) = 0;
};

// An IPv4 UDP socket; null with an errno-style code when none can be opened.
std::unique_ptr<UdpSocket> openUdpSocket(int& error);

}  // namespace kvd::platform
