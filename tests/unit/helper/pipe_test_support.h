#pragma once
// A private pipe directory per test and a scripted pipe server that reads
// and writes lines like the other side of the input pipe would.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/local_pipe.h"

namespace kvd::test {

class PipeDirScope {
  public:
    PipeDirScope() {
        char tmpl[] = "/tmp/kvd-pipe-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("KELVANDRUM_PIPE_DIR", dir_.c_str(), 1);
    }
    ~PipeDirScope() {
        ::unsetenv("KELVANDRUM_PIPE_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
};

inline bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

class ScriptedServer {
  public:
    explicit ScriptedServer(const std::string& name) { listen(name); }

    void listen(const std::string& name) {
        auto r = platform::createLocalPipeServer(name);
        ASSERT_TRUE(r.server) << r.step << " " << r.error;
        server_ = std::move(r.server);
    }
    void closeListener() { server_.reset(); }

    bool accept(int timeoutMs = 5000) {
        int error = 0;
        conn_ = server_->accept(timeoutMs, error);
        buf_.clear();
        return conn_ != nullptr;
    }
    // Next line, or nullopt on time-out or end of stream.
    std::optional<std::string> line(int timeoutMs = 5000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto pos = buf_.find('\n');
            if (pos != std::string::npos) {
                std::string l = buf_.substr(0, pos);
                buf_.erase(0, pos + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !conn_) return std::nullopt;
            char chunk[65536];
            const auto io = conn_->read(chunk, sizeof chunk, static_cast<int>(left));
            if (io.timedOut) return std::nullopt;
            if (io.bytes <= 0) return std::nullopt;
            buf_.append(chunk, static_cast<size_t>(io.bytes));
        }
    }
    // Next line that is not a ping.
    std::optional<std::string> command(int timeoutMs = 5000) {
        for (;;) {
            auto l = line(timeoutMs);
            if (!l || l->rfind("{\"t\":\"ping\"", 0) != 0) return l;
        }
    }
    bool send(const std::string& text) {
        int e = 0;
        return conn_ && conn_->writeAll(text.data(), text.size(), 1000, e);
    }
    void drop() {
        if (conn_) conn_->shutdown();
        conn_.reset();
    }

  private:
    std::unique_ptr<platform::LocalPipeServer> server_;
    std::unique_ptr<platform::LocalPipeConnection> conn_;
    std::string buf_;
};

}  // namespace kvd::test
