#pragma once
// Rates how much of the image a captured frame changed, from its dirty
// rectangles, so that the frame pipeline can skip frames that changed nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/screen_capture.h"

namespace kvd {

enum class ChangeClass : uint8_t { None = 0, Partial = 1, Major = 2 };

class ChangeClassifier {
  public:
    explicit ChangeClassifier(int32_t width = 0, int32_t height = 0, size_t historyLength = 30,
                              float noneThreshold = 0.0f, float majorThreshold = 0.3f);

    // Classifies one frame's dirty rectangles and records the result.
    ChangeClass classify(const std::vector<DirtyRect>& rects);
    // Changed area over image area, 0..1; a zero-size image counts as fully
    // changed. Rectangles are clipped to the image so that overlapping or
    // out-of-range rectangles cannot push the ratio past the image.
    double ratio(const std::vector<DirtyRect>& rects) const;

    void resize(int32_t width, int32_t height);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    // The last `historyLength` ratios, oldest first.
    std::vector<float> history() const;

    uint64_t frames() const { return frames_; }
    uint64_t none() const { return none_; }
    uint64_t partial() const { return partial_; }
    uint64_t major() const { return major_; }

  private:
    int32_t width_;
    int32_t height_;
    size_t historyLength_;
    float noneThreshold_;
    float majorThreshold_;
    std::vector<float> ring_;
    size_t next_ = 0;
    uint64_t frames_ = 0, none_ = 0, partial_ = 0, major_ = 0;
};

}  // namespace kvd
