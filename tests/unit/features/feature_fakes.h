#pragma once
// Stand-ins for the clipboard platform interface, shared by the feature tests.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "unit/input/fakes.h"
#include "unit/webrtc/fakes.h"

namespace kvd::test {

class FakeClipboard final : public platform::ClipboardAccess {
  public:
    bool start(std::function<void()> onChange) override {
        if (!startOk) return false;
        onChange_ = std::move(onChange);
        started = true;
        return true;
    }
    void stop() override { started = false; }
    uint64_t windowId() const override { return 42; }
    std::optional<std::string> readText(size_t maxBytes) override {
        if (!text || text->size() > maxBytes) return std::nullopt;
        return text;
    }
    // Like the desktop: a write or clear is itself a change.
    bool writeText(const std::string& utf8) override {
        writes.push_back(utf8);
        if (!writeOk) return false;
        text = utf8;
        change();
        return true;
    }
    bool clear() override {
        ++clears;
        text.reset();
        change();
        return true;
    }
    // Another program copies text.
    void copy(const std::string& t) {
        text = t;
        change();
    }
    void change() {
        if (onChange_) onChange_();
    }

    bool startOk = true, writeOk = true, started = false;
    int clears = 0;
    std::optional<std::string> text;
    std::vector<std::string> writes;

  private:
    std::function<void()> onChange_;
};

}  // namespace kvd::test
