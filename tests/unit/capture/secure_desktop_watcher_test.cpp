#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "capture/secure_desktop_watcher.h"
#include "capture_fakes.h"

namespace kvd {
namespace {

using namespace kvd::test;
using Outcome = platform::DesktopProbeResult::Outcome;

TEST(SecureDesktopProbe, MapsProbeOutcomesToNames) {
    const std::pair<platform::DesktopProbeResult, std::string> cases[] = {
        {{Outcome::Ok, 0, "Default"}, "Default"},
        {{Outcome::Ok, 0, "Winlogon"}, "Winlogon"},
        {{Outcome::AccessDenied, 5, ""}, "Winlogon"},
        {{Outcome::Unsupported, 1, ""}, "Inaccessible"},
        {{Outcome::Failed, 111, ""}, ""},
    };
    for (const auto& [r, want] : cases) EXPECT_EQ(desktopNameFromProbe(r), want);
}

TEST(SecureDesktopWatcher, ReportsEnterAndExitOnlyOnChange) {
    LogRecorder log;
    std::mutex mu;
    std::deque<std::string> names = {"Default", "",          "Winlogon", "Winlogon",
                                     "",        "Screen\"1", "Default",  "Default"};
    std::atomic<bool> drained{false};
    std::vector<std::string> sent, events;
    SecureDesktopWatcher w(1);
    w.setNameProbe([&] {
        std::lock_guard<std::mutex> lk(mu);
        if (names.empty()) {
            drained = true;
            return std::string("Default");
        }
        auto n = names.front();
        names.pop_front();
        return n;
    });
    w.setOnEnter([&] { events.push_back("enter"); });
    w.setOnExit([&] { events.push_back("exit"); });
    ASSERT_TRUE(w.start([&](const std::string& s) { sent.push_back(s); }));
    EXPECT_TRUE(w.start(nullptr));  // a second start starts no second thread
    for (int i = 0; i < 500 && !drained; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    w.stop();
    EXPECT_EQ(events, (std::vector<std::string>{"enter", "exit"}));
    EXPECT_EQ(sent,
              (std::vector<std::string>{
                  "{\"type\":\"secure_desktop\",\"v\":1,\"active\":true,\"name\":\"Winlogon\"}",
                  "{\"type\":\"secure_desktop\",\"v\":1,\"active\":false}"}));
    EXPECT_FALSE(w.isSecureActive());
    EXPECT_EQ(w.currentName(), "Default");
    EXPECT_EQ(log.count("secure desktop entered: Winlogon"), 1);
    EXPECT_EQ(log.count("secure desktop exited -> Default"), 1);
}

TEST(SecureDesktopWatcher, NameIsEscapedAndThrowingCallbacksAreContained) {
    EXPECT_EQ(buildSecureDesktopJson(true, "a\"b\n"),
              "{\"type\":\"secure_desktop\",\"v\":1,\"active\":true,\"name\":\"a\\\"b\\n\"}");
    std::atomic<int> probes{0};
    SecureDesktopWatcher w(1);
    w.setNameProbe([&] { return ++probes < 3 ? "Winlogon" : "Default"; });
    w.setOnEnter([] { throw std::runtime_error("boom"); });
    ASSERT_TRUE(w.start(nullptr));
    for (int i = 0; i < 500 && probes < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_GE(probes.load(), 5);  // the thread lived on
    w.stop();
    // Stop returns promptly even with a long interval.
    SecureDesktopWatcher slow(60000);
    slow.setNameProbe([] { return std::string("Default"); });
    slow.start(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    slow.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

}  // namespace
}  // namespace kvd
