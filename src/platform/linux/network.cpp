#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "platform/network.h"

namespace kvd::platform {

bool listIpv4Interfaces(std::vector<Ipv4Interface>& out, int& error) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        error = errno;
        return false;
    }
    std::set<std::string> seen;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
        if (!seen.insert(i->ifa_name).second) continue;  // first address only
        Ipv4Interface e;
        e.name = i->ifa_name;
        e.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        if (i->ifa_netmask)
            e.netmask =
                ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        e.up = (i->ifa_flags & IFF_UP) && (i->ifa_flags & IFF_RUNNING);
        e.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(std::move(e));
    }
    freeifaddrs(list);
    error = 0;
    return true;
}

namespace {

class PosixUdpSocket final : public UdpSocket {
  public:
    explicit PosixUdpSocket(int fd) : fd_(fd) {}
    ~PosixUdpSocket() override { close(fd_); }

    bool enableBroadcast(int& error) override {
        const int on = 1;
        if (setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            error = errno;
            return false;
        }
        return true;
    }

    long sendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t size,
                int& error) override {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(address);
        const ssize_t n =
            sendto(fd_, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (n < 0) error = errno;
        return static_cast<long>(n);
    }

  private:
    int fd_;
};

}  // namespace

std::unique_ptr<UdpSocket> openUdpSocket(int& error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::make_unique<PosixUdpSocket>(fd);
}

}  // namespace kvd::platform
