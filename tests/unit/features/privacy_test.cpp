#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "common/clock.h"
#include "features/privacy_control.h"
#include "features/privacy_mode.h"
#include "support/log_capture.h"

namespace kvd {
namespace {

using namespace std::chrono_literals;

// What the fakes saw; shared with the test because the objects own the fakes.
struct Seen {
    std::mutex mu;
    int blocks = 0, unblocks = 0, blockError = 0;  // blockError != 0: block fails
    int powers = 0, sleeps = 0, reasserts = 0, wakes = 0, sleepError = 0;
    int notices = 0, noticeError = 0;
    std::vector<std::string> noticeTexts;
};

class FakeBlocker : public platform::LocalInputBlocker {
  public:
    explicit FakeBlocker(Seen& s) : s_(s) {}
    bool block(int& error) override {
        std::lock_guard<std::mutex> lk(s_.mu);
        if (s_.blockError) {
            error = s_.blockError;
            return false;
        }
        ++s_.blocks;
        return true;
    }
    void unblock() override {
        std::lock_guard<std::mutex> lk(s_.mu);
        ++s_.unblocks;
    }

  private:
    Seen& s_;
};

class FakePower : public platform::DisplayPower {
  public:
    explicit FakePower(Seen& s) : s_(s) {}
    bool sleep(int& error) override {
        std::lock_guard<std::mutex> lk(s_.mu);
        if (s_.sleepError) {
            error = s_.sleepError;
            return false;
        }
        ++s_.sleeps;
        return true;
    }
    void reassert() override {
        std::lock_guard<std::mutex> lk(s_.mu);
        ++s_.reasserts;
    }
    void wake() override {
        std::lock_guard<std::mutex> lk(s_.mu);
        ++s_.wakes;
    }

  private:
    Seen& s_;
};

class FakeNotice : public PrivacyNotice {
  public:
    explicit FakeNotice(Seen& s) : s_(s) {}
    bool show(const std::string& text, std::string& error) override {
        std::lock_guard<std::mutex> lk(s_.mu);
        if (s_.noticeError) {
            error = "display refused the window";
            return false;
        }
        s_.noticeTexts.push_back(text);
        return true;
    }
    void setText(const std::string& text) override {
        std::lock_guard<std::mutex> lk(s_.mu);
        s_.noticeTexts.push_back(text);
    }
    void pump(int) override { std::this_thread::sleep_for(2ms); }

  private:
    Seen& s_;
};

template <typename F>
bool eventually(F f) {
    for (int i = 0; i < 400; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return f();
}

struct PrivacyFixture : ::testing::Test {
    Seen seen;
    bool viewOnly = false;
    SharedInputBlocker blocker{std::make_unique<FakeBlocker>(seen)};
    std::vector<std::string> events;
    std::unique_ptr<PrivacyMode> privacy;
    test::LogCapture log;

    void SetUp() override { make(); }
    void make() {
        PrivacyMode::Deps d;
        d.makeDisplayPower = [this] {
            ++seen.powers;
            return std::make_unique<FakePower>(seen);
        };
        d.makeNotice = [this] {
            ++seen.notices;
            return std::make_unique<FakeNotice>(seen);
        };
        d.inputBlocker = &blocker;
        d.inputBlockAllowed = [this] { return !viewOnly; };
        d.reassertMs = 5;
        privacy = std::make_unique<PrivacyMode>(std::move(d));
        privacy->setEventCallback([this](const std::string& e, int64_t ts) {
            EXPECT_GT(ts, 1'600'000'000'000);
            events.push_back(e);
        });
    }
    int count(int Seen::*field) {
        std::lock_guard<std::mutex> lk(seen.mu);
        return seen.*field;
    }
    std::vector<std::string> noticeTexts() {
        std::lock_guard<std::mutex> lk(seen.mu);
        return seen.noticeTexts;
    }
};

TEST_F(PrivacyFixture, MessageParsingRules) {
    auto padded = [](size_t total) {
        std::string head = R"({"type":"privacy_mode","enabled":false,"pad":")";
        return head + std::string(total - head.size() - 2, 'x') + "\"}";
    };
    const std::pair<std::string, bool> cases[] = {
        {padded(16384), true},
        {padded(16385), false},
        {"{not json", false},
        {R"({"type":"other","enabled":true})", false},
        {R"({"enabled":true})", false},
        {R"({"type":"privacy_mode","enabled":"yes"})", false},
        {R"(["privacy_mode"])", false},
        {R"({"type":"privacy_mode"})", true},  // absent "enabled" turns it off
        {std::string(200, '[') + std::string(200, ']'), false},
    };
    for (const auto& [text, accepted] : cases)
        EXPECT_EQ(privacy->updateFromJson(text), accepted) << text.substr(0, 60);
    EXPECT_TRUE(
        log.has("warning|updateFromJson: control message too large (16385 bytes), rejected"));
    EXPECT_TRUE(log.contains("warning|updateFromJson: parse error: [json.exception.parse_error"));
    // Nothing was ever enabled, so nothing was disabled either.
    EXPECT_FALSE(privacy->isActive());
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(log.has("info|privacy mode DISABLED"));
    EXPECT_EQ(seen.powers, 0);
}

TEST_F(PrivacyFixture, EnableTwiceUpdatesTheNoticeAndEmitsTwice) {
    seen.sleepError = ENOTSUP;  // no DPMS: the visible notice
    ASSERT_TRUE(privacy->updateFromJson(R"({"type":"privacy_mode","enabled":true})"));
    ASSERT_TRUE(eventually([&] { return privacy->screen() == PrivacyMode::Screen::Notice; }));
    EXPECT_TRUE(log.contains("warning|[privacy] DPMS power-off unavailable err=" +
                             std::to_string(ENOTSUP)));
    ASSERT_TRUE(privacy->updateFromJson(
        R"({"type":"privacy_mode","enabled":true,"overlayText":"Back soon","dimMonitor":true})"));
    EXPECT_TRUE(eventually([&] { return noticeTexts().size() == 2; }));
    EXPECT_EQ(noticeTexts(), (std::vector<std::string>{PrivacyConfig{}.overlayText, "Back soon"}));
    EXPECT_TRUE(privacy->config().dimMonitor);
    EXPECT_EQ(seen.notices, 1);
    EXPECT_EQ(events,
              (std::vector<std::string>{"PRIVACY_MODE_ACTIVATED", "PRIVACY_MODE_ACTIVATED"}));
    EXPECT_EQ(log.count("info|privacy mode ENABLED"), 1u);

    privacy->disable();
    EXPECT_EQ(privacy->screen(), PrivacyMode::Screen::None);
    EXPECT_EQ(events.back(), "PRIVACY_MODE_DEACTIVATED");
    EXPECT_TRUE(log.has("info|privacy mode DISABLED"));
}

TEST_F(PrivacyFixture, SleepingScreensAreReassertedAndWokenOnDisable) {
    privacy->enable({});
    ASSERT_TRUE(eventually([&] { return count(&Seen::reasserts) >= 3; }));
    EXPECT_EQ(privacy->screen(), PrivacyMode::Screen::Asleep);
    EXPECT_EQ(seen.notices, 0);  // a dark screen needs no notice
    EXPECT_TRUE(log.contains("info|[privacy] physical outputs asleep (DPMS)"));
    privacy->disable();
    EXPECT_EQ(count(&Seen::sleeps), 1);
    EXPECT_EQ(count(&Seen::wakes), 1);
    // A second round gets a fresh worker.
    privacy->enable({});
    privacy->shutdown();
    EXPECT_EQ(count(&Seen::wakes), 2);
}

TEST_F(PrivacyFixture, NoWindowLeavesTheModeActiveUntilDisable) {
    seen.sleepError = ENOTSUP;
    seen.noticeError = ENXIO;
    privacy->enable({});
    ASSERT_TRUE(eventually([&] {
        return log.has(
            "error|workerMain: overlay window creation failed err=display refused the window");
    }));
    EXPECT_TRUE(privacy->isActive());
    EXPECT_EQ(privacy->screen(), PrivacyMode::Screen::None);
    privacy->disable();
    EXPECT_FALSE(privacy->isActive());
}

TEST_F(PrivacyFixture, InputBlockFollowsUpdatesAndIsSharedWithInputBlock) {
    LocalInputBlock inputBlock(blocker);
    privacy->updateFromJson(R"({"type":"privacy_mode","enabled":true,"blockLocalInput":true})");
    EXPECT_TRUE(privacy->isInputBlocked());
    EXPECT_TRUE(inputBlock.block());
    EXPECT_EQ(seen.blocks, 1);  // one platform block for two holders
    EXPECT_EQ(blocker.holders(), 2);

    // Privacy stops blocking: the "input_block" holder keeps the block.
    privacy->updateFromJson(R"({"type":"privacy_mode","enabled":true,"blockLocalInput":false})");
    EXPECT_FALSE(privacy->isInputBlocked());
    EXPECT_TRUE(privacy->isActive());
    EXPECT_EQ(seen.unblocks, 0);
    inputBlock.release();
    inputBlock.release();  // a second release gives back nothing more
    EXPECT_EQ(seen.unblocks, 1);
    EXPECT_EQ(log.count("info|[input-block] local user input RELEASED"), 1u);

    // Blocked by privacy only: disable gives it back.
    privacy->updateFromJson(R"({"type":"privacy_mode","enabled":true,"blockLocalInput":true})");
    EXPECT_EQ(seen.blocks, 2);
    privacy->updateFromJson(R"({"type":"privacy_mode","enabled":false})");
    EXPECT_EQ(seen.unblocks, 2);
    EXPECT_EQ(blocker.holders(), 0);
}

TEST_F(PrivacyFixture, FailedBlockNeverFailsTheModeAndIsRetried) {
    seen.blockError = EACCES;
    privacy->enable({.blockLocalInput = true});
    EXPECT_TRUE(privacy->isActive());
    EXPECT_FALSE(privacy->isInputBlocked());
    EXPECT_TRUE(log.has("warning|BlockInput(TRUE) failed, err=" + std::to_string(EACCES) +
                        " — continuing without input block"));
    privacy->enable({.blockLocalInput = true});
    EXPECT_TRUE(log.has("warning|BlockInput(TRUE) retry failed, err=" + std::to_string(EACCES) +
                        " — continuing"));
    seen.blockError = 0;
    privacy->enable({.blockLocalInput = true});
    EXPECT_TRUE(privacy->isInputBlocked());

    LocalInputBlock inputBlock(blocker);
    privacy->shutdown();
    seen.blockError = EACCES;
    EXPECT_FALSE(inputBlock.block());
    EXPECT_TRUE(
        log.has("warning|[input-block] BlockInput(TRUE) failed err=" + std::to_string(EACCES)));
    EXPECT_FALSE(inputBlock.isBlocked());
}

TEST_F(PrivacyFixture, OverlayTextIsCutAtACharacterBoundary) {
    const std::string e = "\xC3\xA9";  // é, two bytes
    const std::pair<std::string, std::string> cases[] = {
        {std::string(300, 'a'), std::string(256, 'a')},
        {std::string(255, 'a') + e, std::string(255, 'a')},  // é would straddle 256
        {std::string(254, 'a') + e + "b", std::string(254, 'a') + e},
        {std::string(256, 'a'), std::string(256, 'a')},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(cutUtf8(in, 256), out) << in.size();
    privacy->updateFromJson(
        Json{{"type", "privacy_mode"}, {"enabled", true}, {"overlayText", std::string(300, 'z')}}
            .dump());
    EXPECT_EQ(privacy->config().overlayText, std::string(256, 'z'));
}

// The dispatcher rows with the real features over the fakes.
struct ControlFixture : PrivacyFixture {
    std::atomic<bool> a{false}, b{false}, c{false}, running{true};
    std::vector<std::string> replies;
    ControlDispatcher d{{&a, &b, &c, &running},
                        [this](const Json& j) { replies.push_back(j.dump()); }};
    LocalInputBlock inputBlock{blocker};
    void SetUp() override {
        PrivacyFixture::SetUp();
        installPrivacyControl(d, *privacy, inputBlock);
    }
    void viewOnlyPolicy() {
        auto p = d.policy();
        p.accessMode = "VIEW_ONLY";
        d.setPolicy(p);
        viewOnly = true;
    }
};

TEST_F(ControlFixture, RowsReplyWithTheStateAfterTheCall) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"type":"privacy_mode","enabled":true,"blockLocalInput":true})",
         R"({"accepted":true,"active":true,"type":"privacy_mode_ack","v":1})"},
        {R"({"type":"input_block","enabled":true})",
         R"({"accepted":true,"enabled":true,"scope":"user","type":"input_block_ack","v":1})"},
        {R"({"type":"privacy_mode","enabled":"on"})",
         R"({"accepted":false,"active":true,"type":"privacy_mode_ack","v":1})"},
        {R"({"type":"input_block"})",
         R"({"accepted":true,"enabled":false,"scope":"user","type":"input_block_ack","v":1})"},
        {R"({"type":"privacy_mode","enabled":false})",
         R"({"accepted":true,"active":false,"type":"privacy_mode_ack","v":1})"},
    };
    for (const auto& [msg, reply] : cases) {
        replies.clear();
        d.dispatch(msg);
        ASSERT_EQ(replies.size(), 1u) << msg;
        EXPECT_EQ(replies[0], reply) << msg;
    }
    EXPECT_EQ(seen.blocks, 1);
    EXPECT_EQ(seen.unblocks, 1);
    // A wrong-typed "enabled" is an error: no reply, no change.
    replies.clear();
    d.dispatch(R"({"type":"input_block","enabled":1})");
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(log.contains("warning|control JSON parse error:"));
}

TEST_F(ControlFixture, ViewOnlySessionsCannotBlockLocalInput) {
    viewOnlyPolicy();
    d.dispatch(R"({"type":"input_block","enabled":true})");
    d.dispatch(R"({"type":"privacy_mode","enabled":true,"blockLocalInput":true})");
    EXPECT_EQ(
        replies,
        (std::vector<std::string>{
            R"({"accepted":false,"enabled":false,"scope":"user","type":"input_block_ack","v":1})",
            R"({"accepted":true,"active":true,"type":"privacy_mode_ack","v":1})"}));
    EXPECT_FALSE(privacy->isInputBlocked());
    EXPECT_FALSE(privacy->config().blockLocalInput);
    EXPECT_EQ(seen.blocks, 0);
}

TEST_F(ControlFixture, BecomingViewOnlyDropsBlocksButKeepsTheScreen) {
    d.dispatch(R"({"type":"privacy_mode","enabled":true,"blockLocalInput":true})");
    d.dispatch(R"({"type":"input_block","enabled":true})");
    privacy->dropInputBlock();
    inputBlock.release();
    EXPECT_EQ(seen.unblocks, 1);
    EXPECT_TRUE(privacy->isActive());
    EXPECT_FALSE(privacy->config().blockLocalInput);
}

}  // namespace
}  // namespace kvd
