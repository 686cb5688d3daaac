#include <gtest/gtest.h>

#include "features/consent.h"
#include "support/log_capture.h"
#include "unit/features/fake_windows.h"

namespace kvd {
namespace {

using platform::DialogEvent;

// A dialog that plays a script of events, one per wait, then stays quiet.
struct DialogProbe {
    std::mutex mu;
    std::deque<DialogEvent> script;
    platform::DialogOptions options;
    int created = 0, shown = 0, destroyed = 0;
    std::vector<std::string> ops;
};

class FakeDialog final : public platform::DialogWindow {
  public:
    FakeDialog(DialogProbe& p, const platform::DialogOptions& o)
        : p_(p), surface_({o.width, o.height}) {}
    ~FakeDialog() override {
        std::lock_guard<std::mutex> lk(p_.mu);
        ++p_.destroyed;
    }
    platform::DrawingSurface& surface() override { return surface_; }
    bool present() override {
        std::lock_guard<std::mutex> lk(p_.mu);
        p_.ops.insert(p_.ops.end(), surface_.ops.begin(), surface_.ops.end());
        surface_.ops.clear();
        return true;
    }
    void show() override {
        std::lock_guard<std::mutex> lk(p_.mu);
        ++p_.shown;
    }
    DialogEvent waitEvent(int32_t) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard<std::mutex> lk(p_.mu);
        if (p_.script.empty()) return {};
        DialogEvent ev = p_.script.front();
        p_.script.pop_front();
        return ev;
    }

  private:
    DialogProbe& p_;
    test::RecordingSurface surface_;
};

DialogWindowFactory fakeDialogs(DialogProbe& probe, bool fail = false) {
    return [&probe, fail](const platform::DialogOptions& o,
                          std::string& error) -> std::unique_ptr<platform::DialogWindow> {
        if (fail) {
            error = "cannot open display";
            return nullptr;
        }
        std::lock_guard<std::mutex> lk(probe.mu);
        ++probe.created;
        probe.options = o;
        return std::make_unique<FakeDialog>(probe, o);
    };
}

DialogEvent key(uint32_t k) {
    DialogEvent e;
    e.kind = DialogEvent::Kind::KeyPressed;
    e.key = k;
    return e;
}
DialogEvent button(int32_t id) {
    DialogEvent e;
    e.kind = DialogEvent::Kind::ButtonClicked;
    e.buttonId = id;
    return e;
}
DialogEvent of(DialogEvent::Kind k) {
    DialogEvent e;
    e.kind = k;
    return e;
}

TEST(ConsentDialog, Answers) {
    struct Case {
        const char* name;
        std::vector<DialogEvent> events;
        bool granted;
    };
    const Case cases[] = {
        {"A", {key('a')}, true},
        {"D", {key('d')}, false},
        {"Escape", {key(DialogEvent::kEscape)}, false},
        {"other keys are ignored", {key('x'), key(DialogEvent::kReturn), key('a')}, true},
        {"Allow", {button(Win32ConsentRenderer::kAllowId)}, true},
        {"Deny", {button(Win32ConsentRenderer::kDenyId)}, false},
        {"unknown button", {button(7), key('a')}, true},
        {"window manager close", {of(DialogEvent::Kind::CloseRequested), key('a')}, false},
        {"window destroyed", {of(DialogEvent::Kind::WindowGone)}, false},
    };
    for (const auto& c : cases) {
        DialogProbe probe;
        probe.script.assign(c.events.begin(), c.events.end());
        ManualClock clock;
        Win32ConsentRenderer r(fakeDialogs(probe), 1.0, clock);
        auto f = r.request(DialogRequest{});
        ASSERT_EQ(f.wait_for(std::chrono::seconds(5)), std::future_status::ready) << c.name;
        const ConsentResult res = f.get();
        EXPECT_EQ(res.granted, c.granted) << c.name;
        EXPECT_FALSE(res.timedOut) << c.name;
        ASSERT_TRUE(test::eventually([&] {
            std::lock_guard<std::mutex> lk(probe.mu);
            return probe.destroyed == 1;
        })) << c.name;
    }
}

TEST(ConsentDialog, CountsDownAndTimesOut) {
    DialogProbe probe;
    ManualClock clock;
    Win32ConsentRenderer r(fakeDialogs(probe), 1.0, clock);
    DialogRequest req;
    req.timeoutSeconds = 3;
    auto f = r.request(req);
    auto hasOp = [&](const std::string& part) {
        std::lock_guard<std::mutex> lk(probe.mu);
        for (const auto& o : probe.ops)
            if (o.find(part) != std::string::npos) return true;
        return false;
    };
    ASSERT_TRUE(test::eventually([&] { return hasOp("'Auto-declines in 3 seconds'"); }));
    EXPECT_TRUE(hasOp("'Remote Support'"));
    EXPECT_TRUE(hasOp("'Your technician wants to connect to your computer for remote support.'"));
    EXPECT_TRUE(hasOp("'Powered by Kelvandrum'"));
    // a second request while this one shows: a ready denial, no second window
    auto second = r.request(req);
    ASSERT_EQ(second.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_FALSE(second.get().granted);
    clock.advanceMs(1000);
    ASSERT_TRUE(test::eventually([&] { return hasOp("'Auto-declines in 2 seconds'"); }));
    EXPECT_EQ(f.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    clock.advanceMs(2000);
    ASSERT_EQ(f.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const ConsentResult res = f.get();
    EXPECT_FALSE(res.granted);
    EXPECT_TRUE(res.timedOut);
    std::lock_guard<std::mutex> lk(probe.mu);
    EXPECT_EQ(probe.created, 1);
}

TEST(ConsentDialog, LayoutScalesWithDpi) {
    DialogProbe probe;
    probe.script.push_back(key('d'));
    ManualClock clock;
    Win32ConsentRenderer r(fakeDialogs(probe), 1.5, clock);
    DialogRequest req;
    req.technicianName = "Ann";
    req.mspName = "Acme";
    r.request(req).get();
    std::lock_guard<std::mutex> lk(probe.mu);
    EXPECT_EQ(probe.options.title, "Remote Support Consent");
    EXPECT_EQ(probe.options.width, 750);
    EXPECT_EQ(probe.options.height, 420);
    ASSERT_EQ(probe.options.buttons.size(), 2u);
    const auto& allow = probe.options.buttons[0];
    const auto& deny = probe.options.buttons[1];
    EXPECT_EQ(allow.label, "&Allow");
    EXPECT_TRUE(allow.isDefault);
    EXPECT_EQ(allow.id, 1001);
    EXPECT_EQ(deny.id, 1002);
    EXPECT_EQ(std::vector<int>({allow.rect.x, allow.rect.y, allow.rect.width, allow.rect.height}),
              std::vector<int>({390, 300, 150, 48}));
    EXPECT_EQ(deny.rect.x, 555);
    // heading 24 bold, body 16, footer 12 units, all scaled
    auto find = [&](const std::string& part) {
        for (const auto& o : probe.ops)
            if (o.find(part) != std::string::npos) return o;
        return std::string();
    };
    EXPECT_EQ(find("'Acme'"), "text ff141414 30,30,690x60 h36 bold 'Acme'");
    EXPECT_NE(find("h24 'Ann wants to connect"), "");
    EXPECT_NE(find("h18 'Powered by Kelvandrum'"), "");
}

TEST(ConsentDialog, AHostThatCannotShowItNeverGrants) {
    DialogProbe probe;
    test::LogCapture logs;
    Win32ConsentRenderer r(fakeDialogs(probe, true), 1.0);
    const ConsentResult res = r.request(DialogRequest{}).get();
    EXPECT_FALSE(res.granted);
    EXPECT_FALSE(res.timedOut);
    EXPECT_TRUE(logs.has("error|workerMain: CreateWindowExW failed err=cannot open display"));
    EXPECT_FALSE(ConsentService(nullptr).request(DialogRequest{}).granted);
}

// A renderer that answers only when cancelled (or never).
class StuckRenderer final : public ConsentRenderer {
  public:
    explicit StuckRenderer(bool answersCancel) : answers_(answersCancel) {}
    std::future<ConsentResult> request(DialogRequest) override { return p_.get_future(); }
    void cancel() override {
        cancelled = true;
        if (answers_) p_.set_value({false, false});
    }
    bool cancelled = false;

  private:
    bool answers_;
    std::promise<ConsentResult> p_;
};

TEST(ConsentService, WatchdogCancelsAStuckDialog) {
    for (bool answers : {true, false}) {
        test::LogCapture logs;
        auto stuck = std::make_unique<StuckRenderer>(answers);
        StuckRenderer* raw = stuck.get();
        ConsentService service(std::move(stuck));
        std::vector<ConsentResult> observed;
        service.setObserver(
            [&](const DialogRequest&, const ConsentResult& r) { observed.push_back(r); });
        DialogRequest req;
        req.timeoutSeconds = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const ConsentResult res = service.request(req);
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_TRUE(raw->cancelled);
        EXPECT_FALSE(res.granted);
        EXPECT_EQ(res.timedOut, !answers);
        EXPECT_GE(took, std::chrono::milliseconds(1000));
        EXPECT_LT(took, std::chrono::milliseconds(answers ? 1150 : 1500));
        EXPECT_TRUE(logs.has("warning|request: watchdog timeout elapsed"));
        ASSERT_EQ(observed.size(), 1u);
    }
}

TEST(ConsentGate, RequiredAndTimeout) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> env;
        bool required, deprecated;
    };
    const Case cases[] = {
        {{"--session-id", "s", "--require-consent"}, std::nullopt, true, false},
        {{"--require-consent"}, "0", true, false},
        {{}, std::nullopt, false, false},
        {{}, "", false, false},
        {{}, "0", false, false},
        {{}, "1", true, true},
        {{}, "yes", true, true},
        {{}, "00", true, true},
    };
    for (const auto& c : cases) {
        test::LogCapture logs;
        EXPECT_EQ(consentRequired(c.args, c.env), c.required) << c.env.value_or("(unset)");
        EXPECT_EQ(logs.contains("KELVANDRUM_REQUIRE_CONSENT env-var fallback is DEPRECATED"),
                  c.deprecated);
    }
    EXPECT_EQ(consentTimeoutSeconds(std::nullopt), 60);
    EXPECT_EQ(consentTimeoutSeconds("3"), 3);
    EXPECT_EQ(consentTimeoutSeconds("600"), 600);
    for (const char* bad : {"0", "601", "-3", "3s", "", "99999999999999999999"})
        EXPECT_EQ(consentTimeoutSeconds(std::string(bad)), 60) << bad;
}

}  // namespace
}  // namespace kvd
