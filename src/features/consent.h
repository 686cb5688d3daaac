#pragma once
// Asking the person at the host for permission before a session streams:
// a dialog with a countdown that declines by itself, and the watchdog around
// it that start-up blocks on.
#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "platform/dialog_window.h"

namespace kvd {

struct DialogRequest {
    std::string technicianName;  // empty: "Your technician"
    std::string mspName;         // heading; empty: "Remote Support"
    std::string sessionLabel;    // carried, not drawn
    std::string detail;          // carried, not drawn
    int64_t timeoutSeconds = 60;
};

struct ConsentResult {
    bool granted = false;
    bool timedOut = false;
};

class ConsentRenderer {
  public:
    virtual ~ConsentRenderer() = default;
    virtual std::future<ConsentResult> request(DialogRequest req) = 0;
    // A showing dialog closes and resolves as denied.
    virtual void cancel() = 0;
};

using DialogWindowFactory = std::function<std::unique_ptr<platform::DialogWindow>(
    const platform::DialogOptions& options, std::string& error)>;

// The consent dialog on the platform's dialog window.
class Win32ConsentRenderer final : public ConsentRenderer {
  public:
    static constexpr int32_t kAllowId = 1001;
    static constexpr int32_t kDenyId = 1002;

    Win32ConsentRenderer(DialogWindowFactory windows, double dpiScale,
                         const Clock& clock = SteadyClock::instance());
    ~Win32ConsentRenderer() override;

    std::future<ConsentResult> request(DialogRequest req) override;
    void cancel() override;

    // The texts the dialog shows for a request (countdown for `secondsLeft`).
    struct Texts {
        std::string heading, body, countdown, footer;
    };
    static Texts texts(const DialogRequest& req, int64_t secondsLeft);
    static int32_t scaled(double units, double dpiScale);

  private:
    struct Shared {
        std::mutex mu;
        DialogRequest req;
        int64_t deadlineMs = 0;
        std::atomic<bool> resolved{false};
        std::promise<ConsentResult> promise;
        void resolve(ConsentResult r);
    };
    void workerMain(std::shared_ptr<Shared> st);
    void paint(platform::DrawingSurface& s, const Shared& st, bool countdownOnly);

    DialogWindowFactory windows_;
    double scale_;
    const Clock& clock_;
    std::mutex mu_;
    std::shared_ptr<Shared> state_;
    std::atomic<bool> cancelled_{false};
    std::thread thread_;
};

class ConsentService {
  public:
    using Observer = std::function<void(const DialogRequest&, const ConsentResult&)>;
    // `renderer` may be null: then nothing is ever granted.
    explicit ConsentService(std::unique_ptr<ConsentRenderer> renderer)
        : renderer_(std::move(renderer)) {}
    ConsentResult request(const DialogRequest& req);
    void setObserver(Observer observer) { observer_ = std::move(observer); }

  private:
    std::unique_ptr<ConsentRenderer> renderer_;
    Observer observer_;
};

// Whether start-up must ask: "--require-consent" anywhere in the arguments,
// else KELVANDRUM_REQUIRE_CONSENT set, non-empty and not "0" (logged as
// deprecated).
bool consentRequired(const std::vector<std::string>& args,
                     const std::optional<std::string>& envValue);

// The dialog's countdown: KELVANDRUM_CONSENT_TIMEOUT_SECONDS (for tests)
// when it is a whole number from 1 to 600, else 60.
int64_t consentTimeoutSeconds(const std::optional<std::string>& envValue);

}  // namespace kvd
