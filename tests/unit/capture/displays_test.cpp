#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "capture/display_topology_watcher.h"
#include "capture/monitor_manager.h"
#include "capture/resolution_manager.h"
#include "capture_fakes.h"

namespace kvd {
namespace {

using namespace kvd::test;

TEST(MonitorId, ReplacesEachNonAsciiCharacterByOneQuestionMark) {
    const std::pair<std::string, std::string> cases[] = {
        {"DP-1", "DP-1"},
        {"\\\\.\\DISPLAY1", "\\\\.\\DISPLAY1"},
        {"Écran-2", "?cran-2"},
        {"a\xe2\x82\xac"
         "b",
         "a?b"},                      // 3-byte character
        {"x\xf0\x9f\x96\xa5", "x?"},  // 4-byte character
        {"bad\xff"
         "byte",
         "bad?byte"},             // stray byte
        {"cut\xe2\x82", "cut?"},  // truncated sequence
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(asciiMonitorId(in), want) << in;
}

struct MonitorFixture : ::testing::Test {
    std::shared_ptr<DisplaysState> displays = std::make_shared<DisplaysState>();
    LogRecorder log;
    std::vector<std::string> sent;
    std::vector<int32_t> switched;

    std::unique_ptr<MonitorManager> make() {
        auto m = std::make_unique<MonitorManager>(std::make_unique<FakeDisplays>(displays));
        m->setSendJson([this](const std::string& s) { sent.push_back(s); });
        m->setOnSwitch([this](int32_t i, const MonitorDescriptor&) { switched.push_back(i); });
        return m;
    }
};

TEST_F(MonitorFixture, ListReportsThePrimaryAsActiveInTheFixedKeyOrder) {
    displays->monitors = {{"HDMI-1", -1280, 0, 1280, 720, false},
                          {"DP-\"1\"", 0, 0, 1920, 1080, true}};
    auto m = make();
    m->refresh();
    EXPECT_EQ(m->activeIndex(), 1);
    m->sendMonitorList();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0],
              "{\"type\":\"monitor_list\",\"v\":1,\"monitors\":["
              "{\"id\":\"HDMI-1\",\"name\":\"HDMI-1\",\"x\":-1280,\"y\":0,\"width\":1280,"
              "\"height\":720,\"primary\":false},"
              "{\"id\":\"DP-\\\"1\\\"\",\"name\":\"DP-\\\"1\\\"\",\"x\":0,\"y\":0,\"width\":1920,"
              "\"height\":1080,\"primary\":true}],\"active\":\"DP-\\\"1\\\"\"}");
    EXPECT_TRUE(parseJson(sent[0]).has_value());
}

TEST_F(MonitorFixture, SwitchToUnknownIdChangesNothing) {
    displays->monitors = {{"A", 0, 0, 10, 10, true}, {"B", 10, 0, 10, 10, false}};
    auto m = make();
    m->refresh();
    EXPECT_FALSE(m->switchTo("C"));
    EXPECT_TRUE(log.has("[multi-monitor] switchTo: unknown id 'C'"));
    EXPECT_EQ(m->activeIndex(), 0);
    EXPECT_TRUE(switched.empty());
    EXPECT_TRUE(m->switchTo("B"));
    EXPECT_EQ(switched, std::vector<int32_t>{1});
    EXPECT_TRUE(log.has("[multi-monitor] switching to B (10x10 @ 10,0)"));
}

TEST_F(MonitorFixture, RefreshRevalidatesTheActiveIndex) {
    displays->monitors = {{"A", 0, 0, 10, 10, true}, {"B", 10, 0, 10, 10, false}};
    auto m = make();
    m->refresh();
    ASSERT_TRUE(m->switchTo("B"));
    // The order changes: the active monitor is followed by its id.
    displays->monitors = {{"B", 10, 0, 10, 10, false}, {"A", 0, 0, 10, 10, true}};
    m->refresh();
    EXPECT_EQ(m->activeIndex(), 0);
    // B is unplugged: an index past the end would be stale; the primary takes over.
    displays->monitors = {{"A", 0, 0, 10, 10, true}};
    m->refresh();
    EXPECT_EQ(m->activeIndex(), 0);
    EXPECT_EQ(m->activeMonitor()->id, "A");
    displays->monitors.clear();
    m->refresh();
    EXPECT_EQ(m->activeIndex(), -1);
    m->sendMonitorList();
    EXPECT_EQ(sent.back(), "{\"type\":\"monitor_list\",\"v\":1,\"monitors\":[],\"active\":\"\"}");
}

struct ResolutionFixture : ::testing::Test {
    std::shared_ptr<DisplaysState> displays = std::make_shared<DisplaysState>();
    LogRecorder log;
    ResolutionFixture() {
        displays->current = {1920, 1080, 60, 32};
        displays->modes = {{1920, 1080, 60, 32}, {1280, 720, 60, 32}, {1024, 768, 60, 32}};
    }
    std::unique_ptr<ResolutionManager> make() {
        return std::make_unique<ResolutionManager>("", std::make_unique<FakeDisplays>(displays));
    }
};

TEST_F(ResolutionFixture, ChangesAreSavedOnceAndRestored) {
    auto r = make();
    EXPECT_TRUE(r->change(1280, 720, false, true));
    EXPECT_TRUE(log.has("[resolution] viewer-scaling mode (no change applied)"));
    EXPECT_TRUE(r->change(1920, 1080, true, true));
    EXPECT_TRUE(log.has("[resolution] already at 1920x1080 — skip"));
    EXPECT_FALSE(r->modeSaved());
    EXPECT_TRUE(displays->applied.empty());

    EXPECT_TRUE(r->change(1280, 720, true, true));
    EXPECT_TRUE(r->change(1024, 768, true, true));
    EXPECT_EQ(displays->current.width, 1024u);
    EXPECT_TRUE(r->restore());
    EXPECT_EQ(displays->current.width, 1920u);
    EXPECT_EQ(displays->current.height, 1080u);
    EXPECT_TRUE(log.has("[resolution] host display restored to 1920x1080"));
    EXPECT_FALSE(r->restore());  // nothing saved any more

    EXPECT_FALSE(r->change(1000, 1000, true, true));  // not offered
    EXPECT_TRUE(log.has("[resolution] ChangeDisplaySettingsExW failed: 22"));
    EXPECT_FALSE(r->change(-5, 1 << 30, true, true));
}

TEST_F(ResolutionFixture, DestructionRestoresOnlyWhenAsked) {
    make()->change(1280, 720, true, true);
    EXPECT_EQ(displays->current.width, 1920u);
    {
        auto r = make();
        r->change(1280, 720, true, false);
    }
    EXPECT_EQ(displays->current.width, 1280u);
}

TEST_F(ResolutionFixture, ModeListDropsDuplicatesAndShallowModesLargestFirst) {
    displays->modes = {{1280, 720, 60, 32}, {1920, 1080, 60, 32}, {1920, 1080, 60, 32},
                       {800, 600, 60, 8},   {1920, 1080, 75, 32}, {1920, 1200, 60, 16}};
    auto r = make();
    const auto modes = r->listModes();
    EXPECT_EQ(modes, (std::vector<DisplayMode>{
                         {1920, 1200, 60}, {1920, 1080, 75}, {1920, 1080, 60}, {1280, 720, 60}}));
    EXPECT_EQ(buildResolutionListJson({modes[1], modes[3]}),
              "{\"type\":\"resolution_list\",\"v\":1,\"resolutions\":["
              "{\"width\":1920,\"height\":1080,\"frequency\":75},"
              "{\"width\":1280,\"height\":720,\"frequency\":60}],\"hostResize\":true}");
    displays->modes.clear();
    EXPECT_EQ(r->listModes().size(), 4u);  // cached
}

TEST_F(ResolutionFixture, ResolutionChangeMessageDrivesHostAndEncoderTarget) {
    auto r = make();
    std::vector<std::string> sent;
    auto send = [&](const std::string& s) { sent.push_back(s); };
    struct Case {
        const char* msg;
        bool hostChanged, targetChanged;
        int32_t target;
    };
    const Case cases[] = {
        {R"({"type":"resolution_change","height":720})", false, true, 720},
        {R"({"type":"resolution_change"})", false, true, 0},
        {R"({"type":"resolution_change","width":1280})", false, false, 0},
        {R"({"type":"resolution_change","width":"x","height":"720"})", false, true, 0},
        {R"({"type":"resolution_change","width":1280,"height":720,"changeRemote":true})", true,
         true, 720},
    };
    for (const auto& c : cases) {
        const auto out = handleResolutionChange(*r, *parseJson(c.msg), send);
        EXPECT_EQ(out.hostChanged, c.hostChanged) << c.msg;
        EXPECT_EQ(out.targetChanged, c.targetChanged) << c.msg;
        EXPECT_EQ(out.targetHeight, c.target) << c.msg;
    }
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(displays->current.width, 1280u);
    EXPECT_TRUE(log.has("[resolution] host display change applied: 1280x720"));

    const auto out = handleResolutionChange(
        *r, *parseJson(R"({"width":999,"height":555,"changeRemote":true})"), send);
    EXPECT_FALSE(out.hostChanged);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0],
              "{\"reason\":\"host_mode_not_supported\",\"requestedHeight\":555,"
              "\"requestedWidth\":999,\"type\":\"resolution_change_failed\",\"v\":1}");
    EXPECT_TRUE(log.has("[resolution] host display change REJECTED: 999x555"));
}

TEST_F(ResolutionFixture, HostChangesFromTheViewerAreSpacedOut) {
    ManualClock clock;
    auto r = make();
    r->limitHostChanges(clock, 1000);
    std::vector<std::string> sent;
    auto send = [&](const std::string& s) { sent.push_back(s); };
    auto change = [&](int w, int h) {
        return handleResolutionChange(*r, Json{{"width", w}, {"height", h}, {"changeRemote", true}},
                                      send);
    };
    EXPECT_TRUE(change(1280, 720).hostChanged);
    // A flood inside the interval reaches the display not once.
    const size_t appliedBefore = displays->applied.size();
    for (int i = 0; i < 50; ++i) {
        const auto out = change(i % 2 ? 1024 : 1920, i % 2 ? 768 : 1080);
        EXPECT_FALSE(out.hostChanged);
        EXPECT_TRUE(out.targetChanged);  // the encoder target still follows
    }
    EXPECT_EQ(displays->applied.size(), appliedBefore);
    ASSERT_EQ(sent.size(), 50u);
    EXPECT_NE(sent[0].find("\"reason\":\"rate_limited\""), std::string::npos);
    EXPECT_TRUE(
        log.has("[resolution] host display change throttled: 1920x1080 (at most one per "
                "1000 ms)"));
    clock.advanceMs(1000);
    EXPECT_TRUE(change(1024, 768).hostChanged);
    EXPECT_EQ(displays->current.width, 1024u);
}

TEST(Topology, DiffersOnCountOrAnyFieldAtTheSamePosition) {
    const std::vector<platform::MonitorInfo> base = {{"A", 0, 0, 10, 10, true},
                                                     {"B", 10, 0, 10, 10, false}};
    EXPECT_FALSE(topologyDiffers(base, base));
    auto changed = [&](auto edit) {
        auto b = base;
        edit(b[1]);
        return topologyDiffers(base, b);
    };
    EXPECT_TRUE(changed([](auto& m) { m.name = "C"; }));
    EXPECT_TRUE(changed([](auto& m) { m.x = 11; }));
    EXPECT_TRUE(changed([](auto& m) { m.y = 1; }));
    EXPECT_TRUE(changed([](auto& m) { m.width = 9; }));
    EXPECT_TRUE(changed([](auto& m) { m.height = 9; }));
    EXPECT_TRUE(changed([](auto& m) { m.primary = true; }));
    EXPECT_TRUE(topologyDiffers(base, {base[0]}));
    EXPECT_TRUE(topologyDiffers(base, {base[1], base[0]}));
}

// Displays that may be edited while the watcher thread reads them.
class LockedDisplays : public FakeDisplays {
  public:
    LockedDisplays(std::shared_ptr<DisplaysState> s, std::mutex& mu)
        : FakeDisplays(std::move(s)), mu_(mu) {}
    std::vector<platform::MonitorInfo> monitors() override {
        std::lock_guard<std::mutex> lk(mu_);
        return FakeDisplays::monitors();
    }

  private:
    std::mutex& mu_;
};

TEST(Topology, WatcherReportsAnUnpluggedMonitor) {
    LogRecorder log;
    std::mutex mu;
    auto state = std::make_shared<DisplaysState>();
    state->monitors = {{"A", 0, 0, 10, 10, true}, {"B", 10, 0, 10, 10, false}};
    std::atomic<int> changes{0};
    DisplayTopologyWatcher w(20, std::make_unique<LockedDisplays>(state, mu));
    ASSERT_TRUE(w.start([&] { ++changes; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(changes.load(), 0);
    {
        std::lock_guard<std::mutex> lk(mu);
        state->monitors.pop_back();
    }
    for (int i = 0; i < 200 && changes.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    w.stop();
    EXPECT_EQ(changes.load(), 1);
    EXPECT_TRUE(log.has("[topology] display topology changed: 2 -> 1 monitor(s)"));
    EXPECT_TRUE(log.has("[topology]   A 10x10 @ (0,0) primary=true"));
}

}  // namespace
}  // namespace kvd
