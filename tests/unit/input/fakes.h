#pragma once
// Recording fakes for the injector and the platform input backend.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "input/input_injector.h"
#include "platform/input_backend.h"

namespace kvd::test {

// Records every call as a short text, e.g. "keyUp(29,17,1)".
class RecordingInjector : public InputInjector {
  public:
    explicit RecordingInjector(std::string tag = {}) : tag_(std::move(tag)) {}
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lk(m_);
        return calls_;
    }
    void mouseMove(uint16_t x, uint16_t y) override { add(fmt::format("mouseMove({},{})", x, y)); }
    void mouseDown(uint8_t b) override { add(fmt::format("mouseDown({})", b)); }
    void mouseUp(uint8_t b) override { add(fmt::format("mouseUp({})", b)); }
    void mouseWheel(int16_t v, int16_t h) override { add(fmt::format("mouseWheel({},{})", v, h)); }
    void keyDown(uint16_t sc, uint16_t vk, uint8_t f) override {
        add(fmt::format("keyDown({},{},{})", sc, vk, f));
    }
    void keyUp(uint16_t sc, uint16_t vk, uint8_t f) override {
        add(fmt::format("keyUp({},{},{})", sc, vk, f));
    }
    void typeText(const std::string& s, uint32_t d) override {
        add(fmt::format("typeText({},{})", s, d));
    }
    void sendSas() override { add("sendSas()"); }
    void setActiveMonitorBounds(int32_t l, int32_t t, int32_t w, int32_t h) override {
        add(fmt::format("bounds({},{},{},{})", l, t, w, h));
    }
    bool isAvailable() override { return true; }

  private:
    void add(std::string s) {
        std::lock_guard<std::mutex> lk(m_);
        calls_.push_back(tag_ + s);
    }
    std::string tag_;
    std::mutex m_;
    std::vector<std::string> calls_;
};

// Scripted backend; every call is recorded as text.
class FakeBackend final : public platform::InputBackend {
  public:
    struct State {
        std::vector<std::string> calls;
        platform::ScreenMetrics metrics{1920, 1080, -1280, 0, 3200, 1080};
        bool attachOk = true;
        bool ok = true;                    // result of single operations
        std::vector<size_t> acceptLimits;  // per sendKeyRecords call, consumed in order
        int32_t cursorX = 0, cursorY = 0;
        int privilege = 1;
        int sasLoad = 0;
        bool sasEntry = true;
        std::vector<platform::KeyRecord> sent;
    };
    explicit FakeBackend(State& s) : s_(s) {}

    bool attachInputDesktop(int& error) override {
        s_.calls.push_back("attach");
        error = s_.attachOk ? 0 : 2;
        return s_.attachOk;
    }
    bool movePointer(int32_t x, int32_t y) override {
        s_.calls.push_back(fmt::format("move({},{})", x, y));
        s_.cursorX = x;
        s_.cursorY = y;
        return s_.ok;
    }
    bool pointerPosition(int32_t& x, int32_t& y) override {
        x = s_.cursorX;
        y = s_.cursorY;
        return true;
    }
    bool pointerButton(platform::PointerButton b, bool down) override {
        s_.calls.push_back(fmt::format("button({},{})", static_cast<int>(b), down ? "down" : "up"));
        return s_.ok;
    }
    bool wheel(int32_t delta, bool horizontal) override {
        s_.calls.push_back(fmt::format("wheel({},{})", delta, horizontal ? "h" : "v"));
        return s_.ok;
    }
    bool keyByScanCode(uint16_t sc, bool ext, bool down) override {
        s_.calls.push_back(
            fmt::format("scan(0x{:x},{},{})", sc, ext ? "ext" : "-", down ? "down" : "up"));
        return s_.ok;
    }
    bool keyByVirtualKey(uint16_t vk, bool down) override {
        s_.calls.push_back(fmt::format("vk(0x{:x},{})", vk, down ? "down" : "up"));
        return s_.ok;
    }
    size_t sendKeyRecords(const std::vector<platform::KeyRecord>& r, size_t offset,
                          size_t count) override {
        size_t accept = count;
        if (!s_.acceptLimits.empty()) {
            accept = std::min(count, s_.acceptLimits.front());
            s_.acceptLimits.erase(s_.acceptLimits.begin());
        }
        s_.calls.push_back(fmt::format("records({},{})", offset, count));
        for (size_t i = offset; i < offset + accept; ++i) s_.sent.push_back(r[i]);
        return accept;
    }
    platform::ScreenMetrics screenMetrics() override { return s_.metrics; }
    int lastError() override { return 5; }
    bool setSoftwareSasPolicy(uint32_t v) override {
        s_.calls.push_back(fmt::format("sasPolicy({})", v));
        return true;
    }
    int enableSasPrivilege() override { return s_.privilege; }
    int loadSasLibrary() override { return s_.sasLoad; }
    bool sasEntryAvailable() override { return s_.sasEntry; }
    void invokeSas(bool asUser) override { s_.calls.push_back(fmt::format("SendSAS({})", asUser)); }
    void unloadSasLibrary() override { s_.calls.push_back("sasUnload"); }

  private:
    State& s_;
};

}  // namespace kvd::test
