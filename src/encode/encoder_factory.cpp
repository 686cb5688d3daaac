#include <cstdlib>

#include "common/log.h"
#include "encode/hw_encoder.h"
#include "encode/sw_encoder.h"
#include "encode/video_encoder.h"

namespace kvd {

std::unique_ptr<VideoEncoder> createEncoder(const EncoderConfig& config) {
    return createEncoder(config, EncoderFactoryOptions{});
}

std::unique_ptr<VideoEncoder> createEncoder(const EncoderConfig& config,
                                            const EncoderFactoryOptions& options) {
    const bool forceSw = options.forceSoftware.has_value()
                             ? *options.forceSoftware
                             : std::getenv("KELVANDRUM_FORCE_SW_ENCODER") != nullptr;
    if (!forceSw) {
        auto hw = std::make_unique<HwEncoder>(
            options.hwCandidates.empty() ? HwEncoder::defaultCandidates() : options.hwCandidates);
        if (hw->init(config)) {
            logger().info("Using hardware encoder: {}", hw->name());
            return hw;
        }
        logger().warn("Hardware encoder not available, falling back to openh264 software encoder");
    }
    auto sw = std::make_unique<SwEncoder>();
    if (sw->init(config)) {
        logger().info("Using software encoder: {}", sw->name());
        return sw;
    }
    logger().error("No encoder available!");
    return nullptr;
}

}  // namespace kvd
