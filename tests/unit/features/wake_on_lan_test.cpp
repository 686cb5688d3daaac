#include <gtest/gtest.h>

#include <map>

#include "features/wake_on_lan.h"

namespace kvd {
namespace {

TEST(WakeOnLan, MacParsing) {
    const std::array<uint8_t, 6> want{0x00, 0x1a, 0x2B, 0x3c, 0xD4, 0xef};
    for (const char* text :
         {"00:1A:2B:3C:D4:EF", "00-1a-2b-3c-d4-ef", "001a2b3cd4ef", "00:1a-2B3c:D4EF"})
        EXPECT_EQ(parseMacAddress(text), want) << text;
    for (const char* text : {"", "00:1A:2B:3C:D4", "00:1A:2B:3C:D4:EF:01", "00:1A:2B:3C:D4:EG",
                             "00 1A 2B 3C D4 EF", "0x1A2B3CD4EF"})
        EXPECT_EQ(parseMacAddress(text), std::nullopt) << text;
}

TEST(WakeOnLan, MagicPacketLayout) {
    const auto p = buildMagicPacket({1, 2, 3, 4, 5, 6});
    ASSERT_EQ(p.size(), 102u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p[i], 0xFF);
    for (int r = 0; r < 16; ++r)
        for (int i = 0; i < 6; ++i) EXPECT_EQ(p[6 + 6 * r + i], i + 1);
}

TEST(WakeOnLan, BroadcastTargets) {
    using I = platform::Ipv4Interface;
    const std::vector<I> ifs = {
        {"lo", 0x7F000001, 0xFF000000, true, true},
        {"eth0", 0xC0A80105, 0xFFFFFF00, true, false},  // 192.168.1.5/24
        {"eth1", 0x0A000102, 0xFFFFF000, true, false},  // 10.0.1.2/20
        {"down0", 0x0A090001, 0xFFFFFF00, false, false},
        {"nomask", 0x0A0A0001, 0, true, false},
        {"host", 0x0A0B0001, 0xFFFFFFFF, true, false},  // /32
    };
    EXPECT_EQ(broadcastTargets(ifs), (std::vector<uint32_t>{0xC0A801FF, 0x0A000FFF, 0x0A0B0001}));
    EXPECT_EQ(broadcastTargets({ifs[0], ifs[3]}), std::vector<uint32_t>{0xFFFFFFFF});
}

// Records sends; each address answers with a scripted byte count.
struct FakeNet {
    std::vector<platform::Ipv4Interface> interfaces;
    std::map<uint32_t, long> result;  // default: whole packet
    std::vector<std::pair<uint32_t, uint16_t>> sends;
    bool socketOk = true, broadcastOk = true;

    WolNetwork network() {
        WolNetwork n;
        n.listInterfaces = [this](std::vector<platform::Ipv4Interface>& out, int&) {
            out = interfaces;
            return true;
        };
        n.openSocket = [this](int& err) -> std::unique_ptr<platform::UdpSocket> {
            if (!socketOk) {
                err = 24;
                return nullptr;
            }
            return std::make_unique<Socket>(*this);
        };
        return n;
    }
    struct Socket final : platform::UdpSocket {
        explicit Socket(FakeNet& n) : net(n) {}
        bool enableBroadcast(int& err) override {
            err = 13;
            return net.broadcastOk;
        }
        long sendTo(uint32_t a, uint16_t port, const uint8_t*, size_t size, int& err) override {
            net.sends.emplace_back(a, port);
            auto it = net.result.find(a);
            const long n = it == net.result.end() ? static_cast<long>(size) : it->second;
            if (n < 0) err = 101;
            return n;
        }
        FakeNet& net;
    };
};

TEST(WakeOnLan, SenderTriesEveryTargetOnPorts9Then7) {
    FakeNet net;
    net.interfaces = {{"a", 0x0A000001, 0xFFFFFF00, true, false},
                      {"b", 0x0A010001, 0xFFFFFF00, true, false}};
    net.result[0x0A0000FF] = -1;
    std::string err = "untouched";
    EXPECT_TRUE(sendMagicPacket("AA:BB:CC:DD:EE:FF", &err, net.network()));
    EXPECT_EQ(err, "untouched");
    EXPECT_EQ(net.sends, (std::vector<std::pair<uint32_t, uint16_t>>{
                             {0x0A0000FF, 9}, {0x0A0000FF, 7}, {0x0A0100FF, 9}, {0x0A0100FF, 7}}));

    // No usable interface: the limited broadcast; a short send is a failure.
    net.interfaces.clear();
    net.sends.clear();
    net.result = {{0xFFFFFFFF, 50}};
    EXPECT_FALSE(sendMagicPacket("AABBCCDDEEFF", &err, net.network()));
    EXPECT_EQ(net.sends.size(), 2u);
    EXPECT_EQ(err.rfind("sendto_failed (WSAGetLastError=", 0), 0u);
    net.result = {{0xFFFFFFFF, -1}};
    EXPECT_FALSE(sendMagicPacket("AABBCCDDEEFF", &err, net.network()));
    EXPECT_EQ(err, "sendto_failed (WSAGetLastError=101)");
}

TEST(WakeOnLan, SenderFailureCodes) {
    FakeNet net;
    std::string err;
    EXPECT_FALSE(sendMagicPacket("AA:BB", &err, net.network()));
    EXPECT_EQ(err, "invalid_mac");
    net.socketOk = false;
    EXPECT_FALSE(sendMagicPacket("AABBCCDDEEFF", &err, net.network()));
    EXPECT_EQ(err, "socket_failed");
    net.socketOk = true;
    net.broadcastOk = false;
    EXPECT_FALSE(sendMagicPacket("AABBCCDDEEFF", &err, net.network()));
    EXPECT_EQ(err, "setsockopt_broadcast_failed");
    EXPECT_TRUE(net.sends.empty());
}

TEST(WakeOnLan, Sentences) {
    const std::pair<const char*, const char*> table[] = {
        {"policy_denied", "This agent is not authorized to broadcast Wake-on-LAN packets."},
        {"socket_failed", "Could not open a UDP socket on the local subnet."},
        {"not_supported", "Wake-on-LAN is not yet supported on this agent platform."},
        {"sendto_failed (WSAGetLastError=101)",
         "The network refused to broadcast the magic packet."},
        {"sendto_failed", "The network refused to broadcast the magic packet."},
        {"invalid_mac ", "Unknown Wake-on-LAN failure."},
        {"", "Unknown Wake-on-LAN failure."},
    };
    for (const auto& [code, sentence] : table) EXPECT_EQ(wolErrorMessage(code), sentence) << code;
}

}  // namespace
}  // namespace kvd
