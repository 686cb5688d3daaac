// Message boundaries read from SCTP packets, and pieces joined into whole
// messages by them.
#include "webrtc/sctp_reassembly.h"

#include <gtest/gtest.h>

#include <vector>

namespace kvd {
namespace {

struct Chunk {
    uint32_t tsn;
    uint16_t stream;
    uint16_t ssn;
    uint32_t length;
    bool begin = true, end = true, unordered = false;
    uint32_t ppid = 51;
    uint8_t type = 0;
};

void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}

std::vector<uint8_t> packet(const std::vector<Chunk>& chunks) {
    std::vector<uint8_t> b(12, 0);  // ports, tag, checksum
    for (const auto& c : chunks) {
        b.push_back(c.type);
        b.push_back(
            static_cast<uint8_t>((c.end ? 1 : 0) | (c.begin ? 2 : 0) | (c.unordered ? 4 : 0)));
        put16(b, static_cast<uint16_t>(16 + c.length));
        put32(b, c.tsn);
        put16(b, c.stream);
        put16(b, c.ssn);
        put32(b, c.ppid);
        b.insert(b.end(), c.length, 'x');
        while (b.size() % 4) b.push_back(0);
    }
    return b;
}

void feed(SctpMessageTracker& t, const std::vector<Chunk>& chunks) {
    const auto p = packet(chunks);
    t.onPacket(p.data(), p.size());
}

std::vector<uint64_t> drain(SctpMessageTracker& t, uint16_t stream) {
    std::vector<uint64_t> out;
    while (auto v = t.take(stream)) out.push_back(*v);
    return out;
}

Chunk frag(uint32_t tsn, uint16_t ssn, uint32_t len, bool b, bool e, bool u = false) {
    Chunk c{tsn, 1, ssn, len};
    c.begin = b;
    c.end = e;
    c.unordered = u;
    return c;
}

TEST(SctpMessageTracker, LengthsPerStreamInDeliveryOrder) {
    SctpMessageTracker t;
    Chunk dcep{100, 1, 0, 4};
    dcep.ppid = kSctpPpidDcep;  // channel protocol: never reaches the channel
    Chunk empty{101, 1, 1, 1};
    empty.ppid = kSctpPpidEmptyString;
    feed(t, {dcep, empty});
    // A three-fragment message arriving out of order with a retransmission,
    // and the next message on the stream completing before it.
    feed(t, {frag(104, 3, 10, true, true)});
    feed(t, {frag(103, 2, 500, false, true), frag(102, 2, 1000, true, false)});
    EXPECT_EQ(drain(t, 1), (std::vector<uint64_t>{0, 1500, 10}));
    feed(t, {frag(103, 2, 500, false, true)});  // a retransmission changes nothing
    EXPECT_FALSE(t.peek(1));
    Chunk other{105, 2, 0, 7};
    feed(t, {other});
    EXPECT_EQ(drain(t, 2), (std::vector<uint64_t>{7}));
    EXPECT_TRUE(t.usable());
}

TEST(SctpMessageTracker, OrderedWaitsForItsTurnUnorderedDoesNot) {
    SctpMessageTracker t;
    feed(t, {frag(10, 0, 100, true, false), frag(12, 1, 5, true, true)});
    EXPECT_FALSE(t.peek(1));  // SSN 1 waits behind the unfinished SSN 0
    feed(t, {frag(20, 0, 3, true, true, true)});
    EXPECT_EQ(drain(t, 1), (std::vector<uint64_t>{3}));
    feed(t, {frag(11, 0, 50, false, true)});
    EXPECT_EQ(drain(t, 1), (std::vector<uint64_t>{150, 5}));
}

TEST(SctpMessageTracker, AbandonedFragmentsAndUnfollowableStreams) {
    SctpMessageTracker t(4);
    feed(t, {frag(30, 0, 100, true, false, true)});
    // FORWARD-TSN up to 30: the unordered fragment is abandoned.
    std::vector<uint8_t> fwd(12, 0);
    fwd.insert(fwd.end(), {192, 0, 0, 8});
    put32(fwd, 30);
    t.onPacket(fwd.data(), fwd.size());
    feed(t, {frag(31, 0, 1, false, true, true)});
    EXPECT_FALSE(t.peek(1));
    // More fragments in flight than tracked: it gives up, callers pass pieces through.
    for (uint32_t i = 0; i < 5; ++i) feed(t, {frag(40 + 2 * i, 0, 1, true, false, true)});
    EXPECT_FALSE(t.usable());

    SctpMessageTracker idata;
    Chunk c{1, 1, 0, 4};
    c.type = 64;
    feed(idata, {c});
    EXPECT_FALSE(idata.usable());
    // Truncated or malformed packets change nothing.
    SctpMessageTracker m;
    auto p = packet({frag(1, 0, 100, true, true)});
    m.onPacket(p.data(), p.size() - 10);
    m.onPacket(p.data(), 5);
    EXPECT_FALSE(m.peek(1));
    EXPECT_TRUE(m.usable());
}

TEST(DataChannelAssembler, JoinsPiecesRefusesOversizeAndPassesThroughWithoutTracker) {
    SctpMessageTracker t;
    DataChannelAssembler a(&t, 150000);
    std::string whole;
    uint64_t refused = 0;
    auto add = [&](const std::string& piece) {
        return a.add(1, reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), whole,
                     refused);
    };
    // The stack hands up the first piece before the message is complete.
    const std::string p1(70000, 'a'), p2(30000, 'b');
    feed(t, {frag(1, 0, 35000, true, false)});
    feed(t, {frag(2, 0, 35000, false, false)});
    EXPECT_EQ(add(p1), DataChannelAssembler::Result::Hold);
    feed(t, {frag(3, 0, 30000, false, true)});
    ASSERT_EQ(add(p2), DataChannelAssembler::Result::Deliver);
    EXPECT_EQ(whole, p1 + p2);

    // Over the limit: counted, not kept, refused at its end.
    feed(t, {frag(4, 1, 60000, true, false), frag(5, 1, 60000, false, false)});
    feed(t, {frag(6, 1, 60000, false, true)});
    EXPECT_EQ(add(std::string(70000, 'c')), DataChannelAssembler::Result::Hold);
    EXPECT_EQ(add(std::string(70000, 'c')), DataChannelAssembler::Result::Hold);
    EXPECT_EQ(add(std::string(40000, 'c')), DataChannelAssembler::Result::Refuse);
    EXPECT_EQ(refused, 180000u);

    // The next message still arrives whole.
    feed(t, {frag(7, 2, 3, true, true)});
    ASSERT_EQ(add("xyz"), DataChannelAssembler::Result::Deliver);
    EXPECT_EQ(whole, "xyz");
    EXPECT_FALSE(t.peek(1));

    // Pieces that go past an announced message (one overtaken on an
    // unordered channel) skip it rather than stall the channel.
    feed(t, {frag(8, 0, 5, true, true, true), frag(9, 0, 10, true, true, true)});
    const std::string ten(10, 't');
    ASSERT_EQ(add(ten), DataChannelAssembler::Result::Deliver);
    EXPECT_EQ(whole, ten);
    EXPECT_EQ(a.skipped(), 1u);
    EXPECT_FALSE(t.peek(1));

    // A piece below the partial delivery point ends its message: it is
    // delivered even when the packets showed nothing (and never stalls).
    SctpMessageTracker empty;
    DataChannelAssembler small(&empty, 300000);
    ASSERT_EQ(small.add(1, reinterpret_cast<const uint8_t*>("hi"), 2, whole, refused),
              DataChannelAssembler::Result::Deliver);
    EXPECT_EQ(whole, "hi");
    // A piece of the partial delivery point or more waits for its message.
    const std::string first(kSctpPartialDeliveryBytes, 'f');
    EXPECT_EQ(
        small.add(1, reinterpret_cast<const uint8_t*>(first.data()), first.size(), whole, refused),
        DataChannelAssembler::Result::Hold);

    DataChannelAssembler plain(nullptr, 1000);
    ASSERT_EQ(plain.add(1, reinterpret_cast<const uint8_t*>("abc"), 3, whole, refused),
              DataChannelAssembler::Result::Deliver);
    EXPECT_EQ(whole, "abc");
}

}  // namespace
}  // namespace kvd
