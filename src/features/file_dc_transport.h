#pragma once
// The file transfer engine's view of the peer connection's "file" channel.
// The channel is looked up on every call: it changes whenever the peer
// connection is rebuilt for a new viewer.
#include "features/file_transfer_engine.h"

namespace kvd {
class PeerConnectionManager;
}

namespace kvd_dev {

class FileDcTransport final : public kvd::IFileTransport {
  public:
    explicit FileDcTransport(kvd::PeerConnectionManager* pcm) : pcm_(pcm) {}
    bool sendBinary(const uint8_t* data, size_t size) override;
    uint64_t bufferedAmount() override;
    bool isOpen() override;

  private:
    kvd::PeerConnectionManager* pcm_;
};

}  // namespace kvd_dev
