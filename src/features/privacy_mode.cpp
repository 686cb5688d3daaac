#include "features/privacy_mode.h"

#include <cerrno>
#include <chrono>

#include "common/clock.h"
#include "common/json_util.h"
#include "common/log.h"

namespace kvd {

namespace {

constexpr size_t kMaxPayload = 16384;
constexpr size_t kMaxOverlayText = 256;
// How long the notice window handles its events between looks at the state.
constexpr int kNoticePumpMs = 100;

// Finds the parse error of a text without building a document.
class ErrorOnlySax final : public nlohmann::json_sax<Json> {
  public:
    std::string error;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& ex) override {
        error = ex.what();
        return false;
    }
};

std::string parseErrorText(std::string_view text) {
    ErrorOnlySax sax;
    Json::sax_parse(text, &sax);
    return sax.error.empty() ? std::string("nesting too deep") : sax.error;
}

}  // namespace

std::string cutUtf8(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    // text[maxBytes] is the first byte cut away; when it continues a
    // character, that character would be split: drop it whole.
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

// ---- SharedInputBlocker ----

bool SharedInputBlocker::acquire(int& error) {
    std::lock_guard<std::mutex> lk(mu_);
    if (holders_ == 0) {
        if (!impl_) {
            error = ENOTSUP;
            return false;
        }
        if (!impl_->block(error)) return false;
    }
    ++holders_;
    return true;
}

void SharedInputBlocker::releaseOne() {
    std::lock_guard<std::mutex> lk(mu_);
    if (holders_ == 0) return;
    if (--holders_ == 0 && impl_) impl_->unblock();
}

int SharedInputBlocker::holders() const {
    std::lock_guard<std::mutex> lk(mu_);
    return holders_;
}

// ---- LocalInputBlock ----

bool LocalInputBlock::block() {
    std::lock_guard<std::mutex> lk(mu_);
    if (blocked_) return true;
    int err = 0;
    if (!blocker_.acquire(err)) {
        logger().warn("[input-block] BlockInput(TRUE) failed err={}", err);
        return false;
    }
    blocked_ = true;
    logger().info("[input-block] local user input BLOCKED");
    return true;
}

void LocalInputBlock::release() {
    std::lock_guard<std::mutex> lk(mu_);
    if (!blocked_.exchange(false)) return;
    blocker_.releaseOne();
    logger().info("[input-block] local user input RELEASED");
}

// ---- PrivacyMode ----

PrivacyMode::PrivacyMode(Deps deps) : deps_(std::move(deps)) {}

PrivacyMode::~PrivacyMode() {
    shutdown();
    if (worker_.joinable()) worker_.join();
}

PrivacyConfig PrivacyMode::config() const {
    std::lock_guard<std::mutex> lk(configMu_);
    return config_;
}

void PrivacyMode::setEventCallback(EventCallback cb) {
    std::lock_guard<std::mutex> lk(configMu_);
    onEvent_ = std::move(cb);
}

void PrivacyMode::emit(const char* event) {
    EventCallback cb;
    {
        std::lock_guard<std::mutex> lk(configMu_);
        cb = onEvent_;
    }
    if (cb) cb(event, wallNowMs());
}

bool PrivacyMode::updateFromJson(std::string_view payload) {
    if (payload.size() > kMaxPayload) {
        logger().warn("updateFromJson: control message too large ({} bytes), rejected",
                      payload.size());
        return false;
    }
    const auto doc = parseJson(payload);
    if (!doc) {
        logger().warn("updateFromJson: parse error: {}", parseErrorText(payload));
        return false;
    }
    const Json& msg = *doc;
    if (!msg.is_object() || jsonString(msg, "type") != "privacy_mode") return false;
    bool enabled = false;
    if (auto it = msg.find("enabled"); it != msg.end()) {
        if (!it->is_boolean()) return false;
        enabled = it->get<bool>();
    }
    if (!enabled) {
        disable();
        return true;
    }
    PrivacyConfig next = config();
    if (auto text = jsonString(msg, "overlayText"))
        next.overlayText = cutUtf8(*text, kMaxOverlayText);
    if (auto v = jsonBool(msg, "blockLocalInput")) next.blockLocalInput = *v;
    if (auto v = jsonBool(msg, "dimMonitor")) next.dimMonitor = *v;
    enable(std::move(next));
    return true;
}

bool PrivacyMode::blockInput(int& error) {
    if (!deps_.inputBlocker) {
        error = ENOTSUP;
        return false;
    }
    return deps_.inputBlocker->acquire(error);
}

void PrivacyMode::releaseInput() {
    if (deps_.inputBlocker) deps_.inputBlocker->releaseOne();
}

void PrivacyMode::enable(PrivacyConfig config) {
    std::lock_guard<std::mutex> tl(transitionMu_);
    transitioning_ = true;
    if (config.blockLocalInput && deps_.inputBlockAllowed && !deps_.inputBlockAllowed()) {
        config.blockLocalInput = false;
        logger().info(
            "[privacy] blockLocalInput ignored — a view-only session cannot block "
            "local input");
    }
    const bool wasActive = active_.load();
    const bool wantBlock = config.blockLocalInput;
    {
        std::lock_guard<std::mutex> lk(configMu_);
        config_ = std::move(config);
    }
    active_ = true;
    int err = 0;
    if (!wasActive) {
        stopRequested_ = false;
        if (worker_.joinable()) worker_.join();
        worker_ = std::thread([this] { workerMain(); });
        if (wantBlock) {
            if (blockInput(err))
                inputBlocked_ = true;
            else
                logger().warn("BlockInput(TRUE) failed, err={} — continuing without input block",
                              err);
        }
        emit("PRIVACY_MODE_ACTIVATED");
        logger().info("privacy mode ENABLED");
    } else {
        if (!wantBlock && inputBlocked_.exchange(false)) {
            releaseInput();
        } else if (wantBlock && !inputBlocked_) {
            if (blockInput(err))
                inputBlocked_ = true;
            else
                logger().warn("BlockInput(TRUE) retry failed, err={} — continuing", err);
        }
        emit("PRIVACY_MODE_ACTIVATED");
    }
    transitioning_ = false;
}

void PrivacyMode::disable() {
    std::lock_guard<std::mutex> tl(transitionMu_);
    transitioning_ = true;
    if (!active_.exchange(false)) {
        transitioning_ = false;
        return;
    }
    {
        std::lock_guard<std::mutex> lk(wakeMu_);
        stopRequested_ = true;
    }
    wakeCv_.notify_all();
    if (worker_.joinable()) worker_.join();
    if (inputBlocked_.exchange(false)) releaseInput();
    emit("PRIVACY_MODE_DEACTIVATED");
    logger().info("privacy mode DISABLED");
    transitioning_ = false;
}

void PrivacyMode::dropInputBlock() {
    std::lock_guard<std::mutex> tl(transitionMu_);
    {
        std::lock_guard<std::mutex> lk(configMu_);
        config_.blockLocalInput = false;
    }
    if (inputBlocked_.exchange(false)) releaseInput();
}

void PrivacyMode::shutdown() {
    if (active_) {
        disable();
        return;
    }
    std::lock_guard<std::mutex> tl(transitionMu_);
    if (inputBlocked_.exchange(false)) releaseInput();
}

void PrivacyMode::workerMain() {
    std::unique_ptr<platform::DisplayPower> power;
    std::unique_ptr<PrivacyNotice> notice;
    try {
        int err = ENOTSUP;
        if (deps_.makeDisplayPower) power = deps_.makeDisplayPower();
        if (power && power->sleep(err)) {
            screen_ = Screen::Asleep;
            logger().info(
                "[privacy] physical outputs asleep (DPMS) — technician keeps view, "
                "physical monitor goes black");
        } else {
            power.reset();
            logger().warn(
                "[privacy] DPMS power-off unavailable err={} — falling back to the "
                "visible overlay (the technician sees it too)",
                err);
            std::string why = "no overlay windows on this platform";
            if (deps_.makeNotice) notice = deps_.makeNotice();
            if (notice && notice->show(config().overlayText, why)) {
                screen_ = Screen::Notice;
            } else {
                logger().error("workerMain: overlay window creation failed err={}", why);
                notice.reset();
            }
        }
        std::string shown = notice ? config().overlayText : std::string();
        while (!stopRequested_ && active_) {
            if (notice) {
                const std::string text = config().overlayText;
                if (text != shown) {
                    notice->setText(text);
                    shown = text;
                }
                notice->pump(kNoticePumpMs);
            } else {
                std::unique_lock<std::mutex> lk(wakeMu_);
                wakeCv_.wait_for(lk, std::chrono::milliseconds(deps_.reassertMs),
                                 [this] { return stopRequested_.load(); });
            }
            if (power) power->reassert();
        }
    } catch (const std::exception& e) {
        logger().error("[privacy] overlay thread failed: {}", e.what());
    }
    notice.reset();
    if (power) power->wake();
    screen_ = Screen::None;
}

}  // namespace kvd
