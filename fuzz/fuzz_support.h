#pragma once
// Shared set-up of the fuzz targets: the logger formats every line it would
// write (peer text goes through the JSON line formatter, as in production),
// checks that the line is still one JSON object whatever bytes were logged,
// and throws it away, so runs stay quiet.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <spdlog/sinks/base_sink.h>

#include "common/json_util.h"
#include "common/log.h"

namespace kvd::fuzz {

class DiscardingSink final : public spdlog::sinks::base_sink<std::mutex> {
  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t buf;
        formatter_->format(msg, buf);
        // A syntax check, not a parse: building the document for every line
        // cost more than the code under test. The lexer also rejects invalid
        // UTF-8, so peer bytes that slipped through unreplaced are caught.
        const std::string_view line(buf.data(), buf.size());
        const size_t first = line.find_first_not_of(" \t\r\n");
        if (first == std::string_view::npos || line[first] != '{' ||
            !Json::accept(line.begin(), line.end()))
            __builtin_trap();
    }
    void flush_() override {}
};

inline void quietLogging() {
    setupLogging("fuzz", {"/dev/null"}, "debug");
    auto sink = std::make_shared<DiscardingSink>();
    sink->set_formatter(makeJsonLineFormatter("fuzz"));
    auto& log = logger();
    log.sinks().clear();
    log.sinks().push_back(sink);
    log.set_level(spdlog::level::debug);
}

// Consumes the input front to back: small integers and length-prefixed
// pieces, so one input can describe a sequence of messages.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    size_t left() const { return static_cast<size_t>(end_ - p_); }
    uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    // Up to `max` bytes, the length taken from the next byte.
    std::string_view piece(size_t max = 255) {
        size_t n = byte();
        if (n > max) n = max;
        return take(n);
    }
    std::string_view take(size_t n) {
        if (n > left()) n = left();
        std::string_view v(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return v;
    }
    std::string_view rest() { return take(left()); }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace kvd::fuzz
