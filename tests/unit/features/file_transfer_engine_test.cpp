#include <gtest/gtest.h>

#include "common/codec.h"
#include "features/file_transfer_engine.h"
#include "file_test_support.h"

namespace kvd {
namespace {

using namespace kvd::test;

const std::array<uint8_t, 32> kAnySha{};

struct EngineFixture : ::testing::Test {
    FakeTransport t;
    ManualClock clock;
    FileTransferConfig cfg;
    std::unique_ptr<FileTransferEngine> e;
    std::vector<FileStartMessage> starts;
    std::vector<uint8_t> written;
    std::vector<std::pair<uint32_t, uint8_t>> errors;
    std::vector<std::pair<uint32_t, CompleteStatus>> completions;
    bool refuseStart = false;
    bool failWrites = false;
    CompleteStatus finishAs = kCompleteSuccess;
    bool overrideFinish = false;

    void make() {
        e = std::make_unique<FileTransferEngine>(t, cfg, clock);
        FileTransferEngine::Callbacks cb;
        cb.start = [this](const FileStartMessage& s) {
            starts.push_back(s);
            return !refuseStart;
        };
        cb.chunk = [this](uint32_t, uint32_t, const uint8_t* d, size_t n) {
            if (failWrites) return false;
            written.insert(written.end(), d, d + n);
            return true;
        };
        cb.completion = [this](uint32_t id, CompleteStatus s, const std::string&) {
            completions.emplace_back(id, s);
            return overrideFinish ? finishAs : s;
        };
        cb.error = [this](uint32_t id, uint8_t r) { errors.emplace_back(id, r); };
        e->setCallbacks(cb);
    }
    void SetUp() override { make(); }

    // START_REPLY for id as (accepted, reason).
    std::pair<int, int> reply(uint32_t id) {
        for (auto& m : t.take(FileMsg::StartReply))
            if (get(m, 1, 4) == id) return {m[5], m[6]};
        return {-1, -1};
    }
};

TEST_F(EngineFixture, StartDecisions) {
    struct Case {
        const char* what;
        uint8_t kind;
        uint64_t size;
        bool allowFiles, allowClip;
        uint64_t extraLimit;
        int accepted, reason;
    } cases[] = {
        {"2 GiB exactly", 0, 2147483648ull, true, true, 0, 1, 0},
        {"one byte over 2 GiB", 0, 2147483649ull, true, true, 0, 0, 2},
        {"files not allowed", 0, 10, false, true, 0, 0, 0},
        {"clipboard data not allowed", 1, 10, true, false, 0, 0, 0},
        {"clipboard data allowed without files", 1, 10, false, true, 0, 1, 0},
        {"over the extra limit", 0, 101, true, true, 100, 0, 1},
        {"size over both limits names maxSize", 0, 1ull << 32, true, true, 100, 0, 2},
        {"empty file", 0, 0, true, true, 0, 1, 0},
    };
    for (const auto& c : cases) {
        cfg.allowFiles = c.allowFiles;
        cfg.allowClipboardData = c.allowClip;
        cfg.extraLimit = c.extraLimit;
        make();
        feed(*e, startMsg(7, c.size, kAnySha, "x", c.kind));
        EXPECT_EQ(reply(7), std::make_pair(c.accepted, c.reason)) << c.what;
        EXPECT_EQ(e->incomingCount(), c.accepted ? 1u : 0u) << c.what;
    }
}

TEST_F(EngineFixture, FourthConcurrentUploadIsRefusedAndDuplicateStartTouchesNothing) {
    for (uint32_t id = 1; id <= 3; ++id) feed(*e, startMsg(id, 100, kAnySha));
    feed(*e, startMsg(4, 100, kAnySha));
    EXPECT_EQ(reply(4), std::make_pair(0, 3));
    // A repeated START of a running transfer keeps its record and never
    // reaches the application (which would reopen the file).
    const size_t startsBefore = starts.size();
    feed(*e, startMsg(2, 999, kAnySha, "other"));
    EXPECT_EQ(reply(2), std::make_pair(1, 0));
    EXPECT_EQ(starts.size(), startsBefore);
    EXPECT_EQ(e->incomingCount(), 3u);
    // A destination the application refuses is refused on the wire.
    feed(*e, cancelMsg(1, 0));
    refuseStart = true;
    feed(*e, startMsg(5, 100, kAnySha));
    EXPECT_EQ(reply(5), std::make_pair(0, 4));
    EXPECT_EQ(e->incomingCount(), 2u);
}

TEST_F(EngineFixture, MalformedMessagesAreIgnored) {
    feed(*e, startMsg(1, 40000, kAnySha));
    t.sent.clear();
    Msg chunkTooLong = chunkMsg(1, 0, pattern(10).data(), 10);
    chunkTooLong.push_back(0);
    Msg shortStart = startMsg(2, 10, kAnySha, "name");
    shortStart.resize(shortStart.size() - 1);
    Msg completeBadLen = idMsg(FileMsg::Complete, 1);
    completeBadLen.push_back(0);
    put(completeBadLen, 5, 2);
    const std::vector<Msg> bad = {
        {},
        {0},
        {11, 1, 0, 0, 0},
        {2, 1, 0, 0, 0, 1},  // type 0, 11, short reply
        {4, 1, 0, 0},
        {5, 1, 0, 0, 0, 0, 0, 0, 0, 0},
        {7, 1, 0, 0, 0},
        shortStart,
        chunkTooLong,
        completeBadLen,
        {1, 1, 0, 0, 0, 0, 0xFF},
    };
    for (const auto& m : bad) EXPECT_FALSE(e->onFileBinary(m.data(), m.size())) << m.size();
    EXPECT_TRUE(t.sent.empty());
    EXPECT_EQ(e->incomingCount(), 1u);
}

TEST_F(EngineFixture, UploadIsAcknowledgedGroupCheckedAndVerified) {
    const auto data = pattern(40 * kFileChunkBytes - 5);
    upload(*e, 9, data, "report.pdf", "Desktop");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].name, "report.pdf");
    EXPECT_EQ(starts[0].dest, "Desktop");
    EXPECT_EQ(written, data);
    EXPECT_EQ(t.count(FileMsg::ChunkAck), 40u);
    auto crcs = t.take(FileMsg::GroupCrc);
    ASSERT_EQ(crcs.size(), 2u);
    for (uint16_t g = 0; g < 2; ++g) {
        EXPECT_EQ(get(crcs[g], 5, 2), g);
        EXPECT_EQ(get(crcs[g], 7, 4), crc32(data.data() + g * kFileGroupBytes, kFileGroupBytes));
    }
    auto done = t.take(FileMsg::Complete);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0][5], kCompleteSuccess);
    EXPECT_EQ(std::string(done[0].begin() + 8, done[0].end()), "report.pdf");
    EXPECT_EQ(completions, (std::vector<std::pair<uint32_t, CompleteStatus>>{{9, 0}}));
    EXPECT_EQ(e->incomingCount(), 0u);
    // END for a finished transfer is ignored.
    feed(*e, endMsg(9, 40));
    EXPECT_EQ(t.count(FileMsg::Complete), 0u);
}

TEST_F(EngineFixture, UploadOutcomes) {
    const auto data = pattern(3 * kFileChunkBytes);
    const auto wrongSha = Sha256::digest("x", 1);
    struct Case {
        const char* what;
        std::function<void()> run;
        std::vector<uint8_t> wire;  // CANCEL reason or COMPLETE status, per type
        FileMsg type;
        bool errorCalled;
    };
    auto chunk = [&](uint32_t index, size_t len) {
        feed(*e, chunkMsg(1, index, data.data(), len));
    };
    const Case cases[] = {
        {"wrong hash",
         [&] { upload(*e, 1, data, "a", "", &wrongSha); },
         {1},
         FileMsg::Complete,
         false},
        {"empty upload verifies the empty hash",
         [&] { upload(*e, 1, {}); },
         {0},
         FileMsg::Complete,
         false},
        {"fewer bytes than announced",
         [&] {
             const auto sha = Sha256::digest(data.data(), kFileChunkBytes);
             feed(*e, startMsg(1, data.size(), sha));
             chunk(0, kFileChunkBytes);
             feed(*e, endMsg(1, 3));
         },
         {1},
         FileMsg::Complete,
         false},
        {"storing fails after a good hash",
         [&] {
             overrideFinish = true;
             finishAs = kCompleteStoreFailed;
             upload(*e, 1, data);
         },
         {2},
         FileMsg::Complete,
         false},
        {"index beyond the announced count",
         [&] {
             feed(*e, startMsg(1, data.size(), kAnySha));
             chunk(3, 10);
         },
         {1},
         FileMsg::Cancel,
         true},
        {"more bytes than announced",
         [&] {
             feed(*e, startMsg(1, 20000, kAnySha));
             chunk(0, kFileChunkBytes);
             chunk(1, kFileChunkBytes);
         },
         {1},
         FileMsg::Cancel,
         true},
        {"a write fails (disk full)",
         [&] {
             failWrites = true;
             feed(*e, startMsg(1, data.size(), kAnySha));
             chunk(0, kFileChunkBytes);
         },
         {2},
         FileMsg::Cancel,
         true},
    };
    for (const auto& c : cases) {
        overrideFinish = false;
        failWrites = false;
        errors.clear();
        make();
        c.run();
        auto msgs = t.take(c.type);
        ASSERT_EQ(msgs.size(), 1u) << c.what;
        EXPECT_EQ(msgs[0][5], c.wire[0]) << c.what;
        EXPECT_EQ(!errors.empty(), c.errorCalled) << c.what;
        EXPECT_EQ(e->incomingCount(), 0u) << c.what;
    }
}

TEST_F(EngineFixture, DuplicateChunkIsNotAcknowledgedAgain) {
    const auto data = pattern(2 * kFileChunkBytes);
    feed(*e, startMsg(1, data.size(), Sha256::digest(data.data(), data.size())));
    auto c0 = chunkMsg(1, 0, data.data(), kFileChunkBytes);
    feed(*e, c0);
    feed(*e, c0);
    EXPECT_EQ(t.count(FileMsg::ChunkAck), 1u);
    EXPECT_EQ(written.size(), kFileChunkBytes);
}

TEST_F(EngineFixture, ResetAndPeerCancelDropRecords) {
    feed(*e, startMsg(11, 100, kAnySha));
    feed(*e, startMsg(12, 100, kAnySha));
    const uint32_t out = e->enqueueOutgoing(0, "f", std::make_shared<MemorySource>(pattern(10)));
    ASSERT_NE(out, 0u);
    feed(*e, cancelMsg(11, 0));
    EXPECT_EQ(errors, (std::vector<std::pair<uint32_t, uint8_t>>{{11, 0}}));
    e->reset();
    EXPECT_EQ(e->incomingCount(), 0u);
    EXPECT_EQ(e->outgoingCount(), 0u);
    EXPECT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors.back().second, kEndedChannelClosed);
}

// --- sending ---------------------------------------------------------------

struct SenderFixture : EngineFixture {
    std::vector<uint32_t> chunkIndexes() {
        std::vector<uint32_t> v;
        for (auto& m : t.take(FileMsg::Chunk)) v.push_back(static_cast<uint32_t>(get(m, 5, 4)));
        return v;
    }
    uint32_t offer(size_t bytes, std::weak_ptr<MemorySource>* keep = nullptr) {
        auto src = std::make_shared<MemorySource>(pattern(bytes));
        if (keep) *keep = src;
        const uint32_t id = e->enqueueOutgoing(0, "f.bin", src);
        EXPECT_NE(id, 0u);
        return id;
    }
};

TEST_F(SenderFixture, OfferRefusals) {
    EXPECT_EQ(e->enqueueOutgoing(0, "f", std::make_shared<MemorySource>(std::vector<uint8_t>{})),
              0u);
    for (int i = 0; i < 3; ++i) offer(10);
    EXPECT_EQ(e->enqueueOutgoing(0, "f", std::make_shared<MemorySource>(pattern(10))), 0u);
    EXPECT_FALSE(e->outgoingAllowed(0, 10));
    cfg.allowFiles = false;
    make();
    EXPECT_EQ(e->enqueueOutgoing(0, "f", std::make_shared<MemorySource>(pattern(10))), 0u);
    cfg.allowFiles = true;
    make();
    t.failSends = true;
    EXPECT_EQ(e->enqueueOutgoing(0, "f", std::make_shared<MemorySource>(pattern(10))), 0u);
    EXPECT_EQ(e->outgoingCount(), 0u);
}

TEST_F(SenderFixture, StartAnnouncesNameSizeAndHash) {
    const auto data = pattern(70000);
    const uint32_t id = e->enqueueOutgoing(0, "x.iso", std::make_shared<MemorySource>(data));
    auto s = t.take(FileMsg::Start);
    ASSERT_EQ(s.size(), 1u);
    ASSERT_EQ(s[0].size(), 48u + 5);
    EXPECT_EQ(get(s[0], 1, 4), id);
    EXPECT_EQ(std::string(s[0].begin() + 8, s[0].begin() + 13), "x.iso");
    EXPECT_EQ(get(s[0], 13, 8), data.size());
    const auto sha = Sha256::digest(data.data(), data.size());
    EXPECT_TRUE(std::equal(sha.begin(), sha.end(), s[0].begin() + 21));
}

TEST_F(SenderFixture, SlowStartDoublesToTheCapThenEnds) {
    const uint32_t id = offer(300 * kFileChunkBytes);
    feed(*e, replyMsg(id, true));
    EXPECT_EQ(chunkIndexes().size(), 10u);
    // Each acknowledgement with news doubles the window: 20, 40, 80, 100.
    const std::pair<uint32_t, uint16_t> steps[] = {{0, 20}, {5, 40}, {9, 80}, {20, 100}};
    for (const auto& [ack, window] : steps) {
        feed(*e, ackMsg(id, ack));
        auto v = e->outgoing(id);
        ASSERT_TRUE(v);
        EXPECT_EQ(v->window, window);
        EXPECT_EQ(v->nextChunk, ack + 1 + window);  // window chunks beyond the acknowledged
    }
    EXPECT_FALSE(e->outgoing(id)->slowStart);
    // An acknowledgement without news changes nothing.
    const auto before = e->outgoing(id)->nextChunk;
    feed(*e, ackMsg(id, 3));
    EXPECT_EQ(e->outgoing(id)->nextChunk, before);
}

TEST_F(SenderFixture, BackPressurePausesWithoutEndingSlowStartThenTheWindowHoldsAtTheCap) {
    const uint32_t id = offer(500 * kFileChunkBytes);
    t.buffered = 262145;
    feed(*e, replyMsg(id, true));
    EXPECT_TRUE(chunkIndexes().empty());
    EXPECT_EQ(e->outgoing(id)->state, 3);
    EXPECT_TRUE(e->outgoing(id)->slowStart);
    t.buffered = 131072;  // not below the resume mark yet
    e->pumpPaused();
    EXPECT_TRUE(chunkIndexes().empty());
    t.buffered = 131071;
    e->pumpPaused();
    EXPECT_EQ(chunkIndexes().size(), 10u);
    EXPECT_EQ(e->outgoing(id)->state, 2);
    // Acknowledgements after the pause still double the window.
    t.buffered = 0;
    const std::pair<uint32_t, uint16_t> steps[] = {{0, 20}, {1, 40}, {2, 80}, {3, 100}};
    for (const auto& [ack, window] : steps) {
        feed(*e, ackMsg(id, ack));
        EXPECT_EQ(e->outgoing(id)->window, window);
    }
    EXPECT_FALSE(e->outgoing(id)->slowStart);
    // Past slow start, 5 s samples with acknowledged bytes never take the
    // window beyond the cap.
    for (uint32_t ack = 4; ack < 8; ++ack) {
        clock.advanceMs(5000);
        feed(*e, ackMsg(id, ack));
        EXPECT_EQ(e->outgoing(id)->window, 100);
    }
}

TEST_F(SenderFixture, SendingStopsWhenTheChannelQueueFillsOrASendFails) {
    const uint32_t id = offer(50 * kFileChunkBytes);
    feed(*e, replyMsg(id, true));
    t.sent.clear();
    t.failSends = true;
    feed(*e, ackMsg(id, 0));
    EXPECT_EQ(e->outgoing(id)->state, 3);
    t.failSends = false;
    e->pumpPaused();
    EXPECT_FALSE(chunkIndexes().empty());
}

TEST_F(SenderFixture, PeerIndicesAreRangeChecked) {
    const uint32_t id = offer(40 * kFileChunkBytes);
    // Before the offer is accepted nothing moves.
    Msg resume = idMsg(FileMsg::Resume, id);
    put(resume, 5, 4);
    feed(*e, resume);
    feed(*e, ackMsg(id, 3));
    EXPECT_EQ(e->outgoing(id)->nextChunk, 0u);
    feed(*e, replyMsg(id, true));
    chunkIndexes();
    auto rewind = [&](uint32_t index) {
        Msg m = idMsg(FileMsg::Rewind, id);
        put(m, 0, 2);
        put(m, index, 4);
        return m;
    };
    Msg resumeFar = idMsg(FileMsg::Resume, id);
    put(resumeFar, 40, 4);  // == totalChunks
    Msg resumeMax = idMsg(FileMsg::Resume, id);
    put(resumeMax, 0xFFFFFFFF, 4);
    for (const auto& m : {ackMsg(id, 10), ackMsg(id, 0xFFFFFFFF), resumeFar, resumeMax, rewind(11),
                          rewind(0xFFFFFFFF)})
        EXPECT_TRUE(feed(*e, m));
    EXPECT_EQ(e->outgoing(id)->nextChunk, 10u);
    EXPECT_TRUE(chunkIndexes().empty());
    // A rewind within what was sent resends from there (within the window).
    feed(*e, rewind(4));
    EXPECT_EQ(chunkIndexes(), (std::vector<uint32_t>{4, 5, 6, 7, 8, 9}));
    // RESUME moves on past what the receiver holds.
    Msg resumeOk = idMsg(FileMsg::Resume, id);
    put(resumeOk, 20, 4);
    feed(*e, resumeOk);
    EXPECT_EQ(chunkIndexes().front(), 21u);
}

TEST_F(SenderFixture, GroupCrcMismatchAsksForARewind) {
    std::weak_ptr<MemorySource> src;
    const uint32_t id = offer(40 * kFileChunkBytes, &src);
    feed(*e, replyMsg(id, true));
    for (uint32_t i = 0; i < 30; i += 5) feed(*e, ackMsg(id, i));
    const auto data = pattern(40 * kFileChunkBytes);
    auto crcMsg = [&](uint16_t seq, uint32_t crc) {
        Msg m = idMsg(FileMsg::GroupCrc, id);
        put(m, seq, 2);
        put(m, crc, 4);
        return m;
    };
    t.sent.clear();
    feed(*e, crcMsg(0, crc32(data.data(), kFileGroupBytes)));
    EXPECT_EQ(t.count(FileMsg::Rewind), 0u);
    feed(*e, crcMsg(1, 12345));
    auto r = t.take(FileMsg::Rewind);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(get(r[0], 5, 2), 1u);
    EXPECT_EQ(get(r[0], 7, 4), 16u);
    feed(*e, crcMsg(2000, 1));  // beyond the file: nothing to check
    EXPECT_EQ(t.count(FileMsg::Rewind), 0u);
}

TEST_F(SenderFixture, EndRepeatsUntilCompleteAndEveryEndingReleasesTheSource) {
    std::weak_ptr<MemorySource> src;
    const uint32_t id = offer(3 * kFileChunkBytes - 1, &src);
    feed(*e, replyMsg(id, true));
    EXPECT_EQ(chunkIndexes().size(), 3u);
    EXPECT_EQ(t.take(FileMsg::End).size(), 1u);
    feed(*e, ackMsg(id, 0));
    feed(*e, ackMsg(id, 2));
    EXPECT_EQ(t.take(FileMsg::End).size(), 2u);
    Msg complete = idMsg(FileMsg::Complete, id);
    complete.push_back(0);
    put(complete, 5, 2);
    for (char c : std::string("f.bin")) complete.push_back(static_cast<uint8_t>(c));
    EXPECT_TRUE(feed(*e, complete));
    EXPECT_TRUE(src.expired());
    EXPECT_EQ(completions.back(), std::make_pair(id, CompleteStatus{0}));

    // Refused by the viewer, cancelled by it, or dropped with the channel.
    const uint32_t a = offer(10, &src);
    feed(*e, replyMsg(a, false, 2));
    EXPECT_TRUE(src.expired());
    const uint32_t b = offer(10, &src);
    feed(*e, cancelMsg(b, 0));
    EXPECT_TRUE(src.expired());
    offer(10, &src);
    e->reset();
    EXPECT_TRUE(src.expired());
}

// A source whose file changes after a number of reads.
struct ChangingSource : OutgoingSource {
    std::vector<uint8_t> bytes = pattern(20 * kFileChunkBytes);
    int readsBeforeChange = 0;
    bool changeAtCheck = false;
    uint64_t size() const override { return bytes.size(); }
    std::array<uint8_t, 32> sha256() const override { return {}; }
    Read read(uint64_t off, uint8_t* out, size_t len) override {
        if (readsBeforeChange-- <= 0) return Read::Changed;
        std::memcpy(out, bytes.data() + off, len);
        return Read::Ok;
    }
    Read check() override { return changeAtCheck ? Read::Changed : Read::Ok; }
};

TEST_F(SenderFixture, SourceThatChangesIsCancelled) {
    for (bool atEnd : {false, true}) {
        make();
        auto src = std::make_shared<ChangingSource>();
        src->readsBeforeChange = atEnd ? 1000 : 12;
        src->changeAtCheck = atEnd;
        const uint32_t id = e->enqueueOutgoing(0, "grows.log", src);
        feed(*e, replyMsg(id, true));
        for (uint32_t i = 0; i < 20 && e->outgoing(id); ++i) feed(*e, ackMsg(id, i));
        auto c = t.take(FileMsg::Cancel);
        ASSERT_EQ(c.size(), 1u) << atEnd;
        EXPECT_EQ(c[0][5], kCancelSourceChanged);
        EXPECT_EQ(t.count(FileMsg::End), 0u);
        EXPECT_EQ(e->outgoingCount(), 0u);
    }
}

}  // namespace
}  // namespace kvd
