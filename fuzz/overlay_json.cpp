// The overlay messages: "annotation_draw"/"annotation_clear" through the
// annotation overlay (parse, the stroke cap, and painting what was kept on a
// surface that only counts), and "privacy_mode" bodies through
// PrivacyMode::updateFromJson with fake screen power and input blocker. The
// input block is held exactly while privacy mode says it is. First byte:
// which.
#include <cstdint>
#include <memory>
#include <string>

#include "features/annotation_overlay.h"
#include "features/privacy_mode.h"
#include "fuzz_support.h"

namespace {

using namespace kvd::platform;

class CountingSurface final : public DrawingSurface {
  public:
    SurfaceSize size() const override { return {1920, 1080}; }
    void clear(Argb) override { ++ops; }
    void fillRect(const SurfaceRect&, Argb) override { ++ops; }
    void strokeRect(const SurfaceRect&, int32_t, Argb) override { ++ops; }
    void line(SurfacePoint, SurfacePoint, int32_t, Argb) override { ++ops; }
    void polyline(const std::vector<SurfacePoint>& p, int32_t, Argb) override { ops += p.size(); }
    void strokeEllipse(const SurfaceRect&, int32_t, Argb) override { ++ops; }
    void fillEllipse(const SurfaceRect&, Argb) override { ++ops; }
    void fillPolygon(const std::vector<SurfacePoint>& p, Argb) override { ops += p.size(); }
    void text(const SurfaceRect&, const std::string& t, const TextStyle&) override {
        ops += t.size();
    }
    SurfaceSize measureText(const std::string& t, int32_t h, bool) override {
        return {static_cast<int32_t>(t.size()) * h / 2, h};
    }
    void putPixels(int32_t, int32_t, int32_t, int32_t, const std::vector<uint32_t>&) override {
        ++ops;
    }
    uint64_t ops = 0;
};

struct Blocker final : LocalInputBlocker {
    explicit Blocker(int& held, bool ok) : held_(held), ok_(ok) {}
    bool block(int& error) override {
        if (!ok_) {
            error = 1;
            return false;
        }
        ++held_;
        return true;
    }
    void unblock() override { --held_; }
    int& held_;
    bool ok_;
};

struct Power final : DisplayPower {
    explicit Power(bool ok) : ok_(ok) {}
    bool sleep(int& error) override {
        error = ok_ ? 0 : 1;
        return ok_;
    }
    void reassert() override {}
    void wake() override {}
    bool ok_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvd::fuzz::Reader in(data, size);
    const uint8_t mode = in.byte();

    if (!(mode & 1)) {
        // The overlay is never started: no window, the strokes are kept all
        // the same and painted here.
        kvd::AnnotationOverlay overlay(nullptr, [] { return SurfaceRect{0, 0, 1920, 1080}; });
        while (!in.empty()) {
            const uint8_t op = in.byte();
            if (op == 0) {
                overlay.clear();
                continue;
            }
            const std::string_view text = op & 1 ? in.piece() : in.take(in.u16());
            if (op & 2) {
                (void)overlay.drawFromJson(text);
            } else if (auto msg = kvd::parseJson(text)) {
                bool truncated = false;
                if (auto st = kvd::AnnotationOverlay::parseStroke(*msg, &truncated)) {
                    if (st->points.size() > kvd::AnnotationOverlay::kMaxPointsPerStroke ||
                        st->strokeWidth < 1 || st->strokeWidth > 32)
                        __builtin_trap();
                }
                (void)overlay.drawFromJson(*msg);
            }
        }
        const auto strokes = overlay.strokes();
        if (strokes.size() > kvd::AnnotationOverlay::kMaxStrokes) __builtin_trap();
        CountingSurface surface;
        kvd::AnnotationOverlay::paint(surface, strokes);
        return 0;
    }

    int held = 0;
    kvd::SharedInputBlocker blocker(std::make_unique<Blocker>(held, !(mode & 2)));
    kvd::PrivacyMode::Deps deps;
    const bool powerOk = !(mode & 4);
    deps.makeDisplayPower = [powerOk] { return std::make_unique<Power>(powerOk); };
    deps.makeNotice = [] { return std::unique_ptr<kvd::PrivacyNotice>(); };
    deps.inputBlocker = &blocker;
    deps.inputBlockAllowed = [mode] { return !(mode & 8); };
    kvd::PrivacyMode privacy(std::move(deps));
    uint64_t events = 0;
    privacy.setEventCallback([&events](const std::string&, int64_t) { ++events; });
    kvd::LocalInputBlock inputBlock(blocker);
    while (!in.empty()) {
        const uint8_t op = in.byte();
        if (op == 0) {
            if (inputBlock.isBlocked())
                inputBlock.release();
            else
                inputBlock.block();
        } else if (op == 1) {
            privacy.dropInputBlock();
        } else {
            (void)privacy.updateFromJson(op & 1 ? in.piece() : in.take(in.u16()));
        }
        if (privacy.config().overlayText.size() > 256) __builtin_trap();
        const int wanted = (privacy.isInputBlocked() ? 1 : 0) + (inputBlock.isBlocked() ? 1 : 0);
        if (blocker.holders() != wanted || held != (wanted > 0 ? 1 : 0)) __builtin_trap();
    }
    privacy.shutdown();
    inputBlock.release();
    if (held != 0 || blocker.holders() != 0) __builtin_trap();
    return 0;
}
