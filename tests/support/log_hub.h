#pragma once
// Lets tests watch the process logger while other threads are logging.
#include <memory>
#include <mutex>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "common/log.h"

namespace kvd::test {

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
    void attach(const std::shared_ptr<spdlog::sinks::sink>& s) {
        std::lock_guard<std::mutex> lk(mutex_);
        sinks_.push_back(s);
    }
    void detach(const std::shared_ptr<spdlog::sinks::sink>& s) {
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
    std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks_;
};

// For recorders with sinks of their own.
inline void attachLogSink(const std::shared_ptr<spdlog::sinks::sink>& s) {
    CaptureHub::instance().attach(s);
}
inline void detachLogSink(const std::shared_ptr<spdlog::sinks::sink>& s) {
    CaptureHub::instance().detach(s);
}

}  // namespace kvd::test
