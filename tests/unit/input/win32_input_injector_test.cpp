#include <gtest/gtest.h>

#include "fakes.h"
#include "input/failover_input_injector.h"
#include "input/win32_input_injector.h"
#include "support/log_capture.h"

namespace kvd {
namespace {

using test::FakeBackend;
using test::LogCapture;
using test::RecordingInjector;

class InjectorTest : public ::testing::Test {
  protected:
    InjectorTest()
        : injector(std::make_unique<FakeBackend>(state), clock,
                   [this](int64_t ms) { sleeps.push_back(ms); }) {}

    // Backend calls other than the desktop attachment.
    std::vector<std::string> ops() {
        std::vector<std::string> out;
        for (const auto& c : state.calls)
            if (c != "attach") out.push_back(c);
        return out;
    }

    LogCapture log;
    ManualClock clock;
    FakeBackend::State state;
    std::vector<int64_t> sleeps;
    Win32InputInjector injector;
};

TEST_F(InjectorTest, MouseMoveMapsOntoTheActiveMonitor) {
    struct Case {
        int32_t l, t, w, h;
        uint16_t x, y;
        const char* target;
    };
    const Case cases[] = {
        {1920, 0, 1280, 1024, 65535, 65535, "move(3200,1024)"},
        {1920, 0, 1280, 1024, 0, 0, "move(1920,0)"},
        {0, 0, 1920, 1080, 32768, 0, "move(960,0)"},
        {-1280, -200, 1280, 1024, 32767, 65535, "move(-640,824)"},
        // Bounds without a size fall back to the primary screen (1920x1080).
        {500, 500, 0, 768, 65535, 65535, "move(1920,1080)"},
    };
    for (const auto& c : cases) {
        state.calls.clear();
        injector.setActiveMonitorBounds(c.l, c.t, c.w, c.h);
        injector.mouseMove(c.x, c.y);
        EXPECT_EQ(ops(), std::vector<std::string>{c.target}) << c.target;
    }
    EXPECT_TRUE(log.has("info|[input] active monitor bounds set: (1920, 0) 1280x1024"));
    EXPECT_TRUE(log.has(
        "info|[input] move #1 OK target=(3200,1024) cursor=(3200,1024) vd=(-1280,0 3200x1080)"));
}

TEST_F(InjectorTest, MouseMoveWithoutBoundsUsesPrimaryScreenAndThinsLog) {
    state.ok = false;
    for (int i = 0; i < 500; ++i) injector.mouseMove(65535, 65535);
    EXPECT_EQ(state.calls[1], "move(1920,1080)");
    EXPECT_TRUE(log.has(
        "info|[input] move #10 FAIL target=(1920,1080) cursor=(1920,1080) vd=(-1280,0 3200x1080)"));
    EXPECT_FALSE(log.contains("move #11 "));
    EXPECT_TRUE(log.contains("move #500 "));
}

TEST_F(InjectorTest, ButtonsWheelAndKeys) {
    for (uint8_t b = 0; b <= 5; ++b) injector.mouseDown(b);
    injector.mouseUp(2);
    injector.mouseWheel(0, 0);
    injector.mouseWheel(-120, 0);
    injector.mouseWheel(60, -240);
    injector.keyDown(0x1D, 0x11, 1);
    injector.keyUp(0x1D, 0x11, 1);
    injector.keyDown(0, 0x11, 1);
    injector.keyUp(0, 0x11, 0);
    EXPECT_EQ(ops(),
              (std::vector<std::string>{
                  "button(0,down)", "button(1,down)", "button(2,down)", "button(3,down)",
                  "button(4,down)", "button(2,up)", "wheel(-120,v)", "wheel(60,v)", "wheel(-240,h)",
                  "scan(0x1d,ext,down)", "scan(0x1d,ext,up)", "vk(0x11,down)", "vk(0x11,up)"}));
    EXPECT_FALSE(log.contains("FAILED"));
}

TEST_F(InjectorTest, FailuresAreLoggedWithTheirLabel) {
    state.ok = false;
    injector.mouseDown(0);
    injector.mouseUp(4);
    injector.mouseWheel(120, 120);
    injector.keyDown(0x1e, 0, 0);
    injector.keyUp(0, 0x41, 0);
    for (const char* label : {"mouse_down", "mouse_up", "wheel_y", "wheel_x", "key_down", "key_up"})
        EXPECT_TRUE(log.has(fmt::format("error|[input] SendInput({}) FAILED error=5", label)))
            << label;
}

TEST_F(InjectorTest, DesktopAttachmentIsRecheckedEveryFiveSeconds) {
    state.attachOk = false;
    injector.mouseDown(0);
    EXPECT_TRUE(log.has("warning|[input] OpenInputDesktop failed (2), proceeding without attach"));
    clock.advanceMs(4999);
    injector.mouseDown(0);
    EXPECT_EQ(std::count(state.calls.begin(), state.calls.end(), "attach"), 1);
    state.attachOk = true;
    clock.advanceMs(1);
    injector.mouseDown(0);
    EXPECT_EQ(std::count(state.calls.begin(), state.calls.end(), "attach"), 2);
    EXPECT_TRUE(log.has("info|[input] attached to input desktop"));
    injector.forceReattach();
    EXPECT_EQ(std::count(state.calls.begin(), state.calls.end(), "attach"), 3);
    // Bounds are not an injection and never attach.
    injector.setActiveMonitorBounds(0, 0, 10, 10);
    EXPECT_EQ(std::count(state.calls.begin(), state.calls.end(), "attach"), 3);
}

TEST_F(InjectorTest, TypeTextSendsBatchesAndSleepsOncePerBatch) {
    injector.typeText("a\r\nb", 500);
    EXPECT_EQ(ops(), std::vector<std::string>{"records(0,6)"});
    EXPECT_EQ(state.sent.size(), 6u);
    EXPECT_EQ(sleeps, std::vector<int64_t>{200});

    state.calls.clear();
    state.sent.clear();
    sleeps.clear();
    injector.typeText(std::string(1500, 'x'), 25);
    EXPECT_EQ(ops(), (std::vector<std::string>{"records(0,2000)", "records(2000,1000)"}));
    EXPECT_EQ(state.sent.size(), 3000u);
    EXPECT_EQ(sleeps, (std::vector<int64_t>{25, 25}));

    sleeps.clear();
    injector.typeText("", 25);
    injector.typeText("abc", 0);
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(InjectorTest, TypeTextRetriesTheRestOfAShortBatchOnce) {
    state.acceptLimits = {1200, 500, 1000};
    injector.typeText(std::string(1500, 'x'), 0);
    // Batch 1: 1200 accepted, retry of the other 800 accepts 500; batch 2 whole.
    EXPECT_EQ(ops(), (std::vector<std::string>{"records(0,2000)", "records(1200,800)",
                                               "records(2000,1000)"}));
    EXPECT_EQ(state.sent.size(), 2700u);
    EXPECT_FALSE(log.contains("type_unicode_batch"));

    state.calls.clear();
    state.acceptLimits = {0, 0};
    injector.typeText("hi", 0);
    EXPECT_TRUE(log.has("error|[input] SendInput(type_unicode_batch) FAILED error=5"));
}

TEST_F(InjectorTest, SasTriesEveryMethod) {
    injector.sendSas();
    EXPECT_EQ(ops(), (std::vector<std::string>{"sasPolicy(3)", "SendSAS(false)", "SendSAS(true)",
                                               "sasUnload"}));
    EXPECT_TRUE(log.has("warning|SAS requested — attempting multiple methods"));
    EXPECT_TRUE(log.has("info|[SAS] SeTcbPrivilege enable: 1"));
    EXPECT_TRUE(log.has("info|[SAS] SendSAS(FALSE) called"));
    EXPECT_TRUE(log.has("info|[SAS] SendSAS(TRUE) called"));

    state.calls.clear();
    state.privilege = 0;
    state.sasEntry = false;
    injector.sendSas();
    EXPECT_TRUE(log.has("info|[SAS] SeTcbPrivilege enable: OK"));
    EXPECT_TRUE(log.has("warning|[SAS] SendSAS not found in sas.dll"));
    EXPECT_EQ(ops(), (std::vector<std::string>{"sasPolicy(3)", "sasUnload"}));

    state.calls.clear();
    state.sasLoad = 2;
    injector.sendSas();
    EXPECT_TRUE(log.has("warning|[SAS] sas.dll load failed, err=2"));
    EXPECT_EQ(ops(), std::vector<std::string>{"sasPolicy(3)"});
}

TEST(FailoverInjector, FollowsThePipeStateCallByCall) {
    auto pipe = std::make_shared<RecordingInjector>("pipe:");
    auto direct = std::make_unique<RecordingInjector>("direct:");
    auto* directRaw = direct.get();
    bool connected = false;
    FailoverInputInjector f(pipe, std::move(direct), [&] { return connected; });

    f.mouseMove(1, 2);
    f.keyDown(3, 4, 1);
    connected = true;
    f.keyUp(3, 4, 1);
    f.typeText("hi", 7);
    f.sendSas();
    connected = false;
    f.mouseWheel(-120, 0);
    f.setActiveMonitorBounds(10, 20, 30, 40);
    EXPECT_TRUE(f.isAvailable());

    EXPECT_EQ(directRaw->calls(), (std::vector<std::string>{
                                      "direct:mouseMove(1,2)", "direct:keyDown(3,4,1)",
                                      "direct:mouseWheel(-120,0)", "direct:bounds(10,20,30,40)"}));
    EXPECT_EQ(pipe->calls(),
              (std::vector<std::string>{"pipe:keyUp(3,4,1)", "pipe:typeText(hi,7)",
                                        "pipe:sendSas()", "pipe:bounds(10,20,30,40)"}));
}

TEST(FailoverInjector, WithoutPipeEverythingGoesDirect) {
    auto direct = std::make_unique<RecordingInjector>();
    auto* raw = direct.get();
    FailoverInputInjector f(nullptr, std::move(direct), [] { return true; });
    f.mouseDown(0);
    f.setActiveMonitorBounds(0, 0, 1, 1);
    EXPECT_EQ(raw->calls(), (std::vector<std::string>{"mouseDown(0)", "bounds(0,0,1,1)"}));
}

}  // namespace
}  // namespace kvd
