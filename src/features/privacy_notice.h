#pragma once
// The privacy notice as an overlay window: black over the whole virtual
// screen with the notice text in the middle, click-through.
#include <memory>
#include <string>

#include "features/overlay_factory.h"
#include "features/privacy_mode.h"

namespace kvd {

class OverlayPrivacyNotice final : public PrivacyNotice {
  public:
    explicit OverlayPrivacyNotice(OverlayWindowFactory windows) : windows_(std::move(windows)) {}
    bool show(const std::string& text, std::string& error) override;
    void setText(const std::string& text) override;
    void pump(int ms) override;

  private:
    void paint();

    OverlayWindowFactory windows_;
    std::unique_ptr<platform::OverlayWindow> window_;
    std::string text_;
};

}  // namespace kvd
