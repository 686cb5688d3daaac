#pragma once
// A thread that can be joined with a time limit: on time-out it is detached,
// and the state it captured stays alive through shared ownership.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace kvd {

class BoundedThread {
  public:
    BoundedThread() = default;
    BoundedThread(const BoundedThread&) = delete;
    BoundedThread& operator=(const BoundedThread&) = delete;
    ~BoundedThread() {
        if (thread_.joinable()) thread_.detach();
    }

    void start(std::function<void()> body) {
        done_ = std::make_shared<std::atomic<bool>>(false);
        thread_ = std::thread([done = done_, body = std::move(body)] {
            body();
            done->store(true);
        });
    }

    bool joinable() const { return thread_.joinable(); }

    // True when joined; false when the time ran out and the thread was detached.
    bool joinFor(std::chrono::milliseconds limit) {
        if (!thread_.joinable()) return true;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done_->load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (done_->load()) {
            thread_.join();
            return true;
        }
        thread_.detach();
        return false;
    }

  private:
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> done_;
};

}  // namespace kvd
