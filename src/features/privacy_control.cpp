#include "features/privacy_control.h"

#include "common/log.h"

namespace kvd {

bool isViewOnly(const ControlDispatcher& dispatcher) {
    return dispatcher.policy().accessMode == "VIEW_ONLY";
}

void installPrivacyControl(ControlDispatcher& d, PrivacyMode& privacy, LocalInputBlock& block) {
    d.setTextHandler("privacy_mode", [&d, &privacy](const Json&, const std::string& text) {
        const bool accepted = privacy.updateFromJson(text);
        d.sendReply(Json{{"accepted", accepted},
                         {"active", privacy.isActive()},
                         {"type", "privacy_mode_ack"},
                         {"v", 1}});
    });
    d.setHandler("input_block", [&d, &block](const Json& msg) {
        bool accepted = false;
        if (isViewOnly(d)) {
            logger().warn("[input-block] refused — view-only session");
        } else if (msg.value("enabled", false)) {
            accepted = block.block();
        } else {
            block.release();
            accepted = true;
        }
        d.sendReply(Json{{"accepted", accepted},
                         {"enabled", block.isBlocked()},
                         {"scope", "user"},
                         {"type", "input_block_ack"},
                         {"v", 1}});
    });
}

}  // namespace kvd
