#pragma once
// Collects what the process logger writes while a test runs.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "common/log.h"

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

// The process logger's sink list is not safe to change while other threads
// log, so one hub sink stays installed for the whole test process and the
// captures attach to it under its lock.
class CaptureHub final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    static CaptureHub& instance() {
        static const std::shared_ptr<CaptureHub> hub = [] {
            auto h = std::make_shared<CaptureHub>();
            logger().sinks().push_back(h);
            return h;
        }();
        return *hub;
    }
    void attach(const std::shared_ptr<CaptureSink>& s) {
        std::lock_guard<std::mutex> lk(mutex_);
        sinks_.push_back(s);
    }
    void detach(const std::shared_ptr<CaptureSink>& s) {
        std::lock_guard<std::mutex> lk(mutex_);
        for (auto it = sinks_.begin(); it != sinks_.end(); ++it)
            if (*it == s) {
                sinks_.erase(it);
                break;
            }
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        for (auto& s : sinks_) s->log(msg);
    }
    void flush_() override {}

  private:
    std::vector<std::shared_ptr<CaptureSink>> sinks_;
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
