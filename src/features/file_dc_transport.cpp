#include "features/file_dc_transport.h"

#include "common/log.h"
#include "webrtc/peer_connection_manager.h"

namespace kvd_dev {

bool FileDcTransport::sendBinary(const uint8_t* data, size_t size) {
    auto ch = pcm_ ? pcm_->fileChannel() : nullptr;
    if (!ch || !ch->isOpen() || !data || size == 0) return false;
    try {
        ch->sendBinary(std::vector<uint8_t>(data, data + size));
        return true;
    } catch (const std::exception& e) {
        kvd::logger().warn("sendFileBinary failed: {}", e.what());
        return false;
    }
}

uint64_t FileDcTransport::bufferedAmount() {
    auto ch = pcm_ ? pcm_->fileChannel() : nullptr;
    return ch ? ch->bufferedAmount() : 0;
}

bool FileDcTransport::isOpen() {
    auto ch = pcm_ ? pcm_->fileChannel() : nullptr;
    return ch && ch->isOpen();
}

}  // namespace kvd_dev
