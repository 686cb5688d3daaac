#pragma once
// The technician's drawings on the host screen: strokes from
// "annotation_draw" messages painted on a click-through overlay window that
// covers the virtual screen, wiped by "annotation_clear".
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/json_util.h"
#include "features/overlay_factory.h"

namespace kvd {

enum class AnnotationTool { Arrow, Circle, Rectangle, Freehand, Text, Pointer };

struct AnnotationStroke {
    std::string id;
    AnnotationTool tool = AnnotationTool::Freehand;
    uint8_t red = 255, green = 0, blue = 0;
    int32_t strokeWidth = 3;
    // Overlay-window pixels (origin at the virtual screen's top-left corner).
    std::vector<std::pair<int32_t, int32_t>> points;
    std::string text;
};

class AnnotationOverlay {
  public:
    // Bounds on what one viewer can make the host hold and draw.
    static constexpr size_t kMaxStrokes = 1000;
    static constexpr size_t kMaxPointsPerStroke = 10000;

    using ScreenSize = std::function<platform::SurfaceRect()>;
    using DrawObserver = std::function<void(const AnnotationStroke&)>;
    using ClearObserver = std::function<void()>;

    AnnotationOverlay(OverlayWindowFactory windows, ScreenSize screen);
    ~AnnotationOverlay();
    AnnotationOverlay(const AnnotationOverlay&) = delete;
    AnnotationOverlay& operator=(const AnnotationOverlay&) = delete;

    bool start();
    // One "annotation_draw" message; false when it was rejected.
    bool drawFromJson(const Json& msg);
    bool drawFromJson(std::string_view text);
    void clear();
    void stop();

    bool running() const { return running_.load(); }
    std::vector<AnnotationStroke> strokes() const;
    void setObservers(DrawObserver onDraw, ClearObserver onClear);

    // The parsing rules of one message; nullopt when a rule rejects it.
    // `truncatedPoints` tells whether points beyond the cap were dropped.
    static std::optional<AnnotationStroke> parseStroke(const Json& msg, bool* truncatedPoints);
    // Paints every stroke in order on a transparent surface.
    static void paint(platform::DrawingSurface& surface, const std::vector<AnnotationStroke>& s);
    static int32_t textHeight(int32_t strokeWidth);

  private:
    void threadMain();

    OverlayWindowFactory windows_;
    ScreenSize screen_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<AnnotationStroke> strokes_;
    int32_t screenWidth_ = 0, screenHeight_ = 0;
    bool dirty_ = false;
    DrawObserver onDraw_;
    ClearObserver onClear_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace kvd
