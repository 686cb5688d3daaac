#pragma once
// Collects what the process logger writes while a test runs.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "common/log.h"
#include "support/log_hub.h"

namespace kvd::test {

class CaptureSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lk(mutex_);
        return lines_;
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines_.push_back(std::string(spdlog::level::to_string_view(msg.level).data(),
                                     spdlog::level::to_string_view(msg.level).size()) +
                         "|" + std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}

  private:
    std::vector<std::string> lines_;
};

// Lines are "<level>|<message>", e.g. "warning|Malformed signaling message".
class LogCapture {
  public:
    LogCapture() : sink_(std::make_shared<CaptureSink>()) {
        auto& l = logger();
        previous_ = l.level();
        l.set_level(spdlog::level::trace);
        CaptureHub::instance().attach(sink_);
    }
    ~LogCapture() {
        CaptureHub::instance().detach(sink_);
        logger().set_level(previous_);
    }
    std::vector<std::string> lines() { return sink_->lines(); }
    // How many lines equal `line` exactly.
    size_t count(const std::string& line) {
        size_t n = 0;
        for (const auto& l : lines()) n += l == line;
        return n;
    }
    bool has(const std::string& line) { return count(line) > 0; }
    // Whether any line contains `part`.
    bool contains(const std::string& part) {
        for (const auto& l : lines())
            if (l.find(part) != std::string::npos) return true;
        return false;
    }

  private:
    std::shared_ptr<CaptureSink> sink_;
    spdlog::level::level_enum previous_;
};

}  // namespace kvd::test
