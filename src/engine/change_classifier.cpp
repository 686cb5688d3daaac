#include "engine/change_classifier.h"

#include <algorithm>

namespace kvd {

ChangeClassifier::ChangeClassifier(int32_t width, int32_t height, size_t historyLength,
                                   float noneThreshold, float majorThreshold)
    : width_(width),
      height_(height),
      historyLength_(std::max<size_t>(historyLength, 1)),
      noneThreshold_(noneThreshold),
      majorThreshold_(majorThreshold) {
    ring_.reserve(historyLength_);
}

double ChangeClassifier::ratio(const std::vector<DirtyRect>& rects) const {
    if (width_ <= 0 || height_ <= 0) return 1.0;
    const int64_t w = width_, h = height_;
    int64_t area = 0;
    for (const auto& r : rects) {
        const int64_t x0 = std::clamp<int64_t>(r.x, 0, w);
        const int64_t y0 = std::clamp<int64_t>(r.y, 0, h);
        const int64_t x1 = std::clamp<int64_t>(int64_t{r.x} + r.width, 0, w);
        const int64_t y1 = std::clamp<int64_t>(int64_t{r.y} + r.height, 0, h);
        if (x1 > x0 && y1 > y0) area += (x1 - x0) * (y1 - y0);
    }
    return std::clamp(static_cast<double>(area) / static_cast<double>(w * h), 0.0, 1.0);
}

ChangeClass ChangeClassifier::classify(const std::vector<DirtyRect>& rects) {
    const auto r = static_cast<float>(ratio(rects));
    ChangeClass c;
    if (!(r > noneThreshold_)) {
        c = ChangeClass::None;
        ++none_;
    } else if (r < majorThreshold_) {
        c = ChangeClass::Partial;
        ++partial_;
    } else {
        c = ChangeClass::Major;
        ++major_;
    }
    ++frames_;
    if (ring_.size() < historyLength_) {
        ring_.push_back(r);
    } else {
        ring_[next_] = r;
    }
    next_ = (next_ + 1) % historyLength_;
    return c;
}

void ChangeClassifier::resize(int32_t width, int32_t height) {
    width_ = width;
    height_ = height;
}

std::vector<float> ChangeClassifier::history() const {
    if (ring_.size() < historyLength_) return ring_;
    std::vector<float> out;
    out.reserve(ring_.size());
    for (size_t i = 0; i < ring_.size(); ++i) out.push_back(ring_[(next_ + i) % ring_.size()]);
    return out;
}

}  // namespace kvd
