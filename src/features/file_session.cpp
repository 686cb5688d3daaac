#include "features/file_session.h"

#include "common/log.h"
#include "features/control_dispatcher.h"

namespace kvd {

namespace {
constexpr auto kPausedPumpPeriod = std::chrono::milliseconds(10);
}

FileSession::FileSession(IFileTransport& transport, Options o, const Clock& clock)
    : engine_(transport, o.config, clock),
      downloads_(o.downloadDir.empty() ? FileDownloads::defaultDirectory(o.env) : o.downloadDir,
                 o.env),
      browser_(FileBrowser::Deps{o.env, o.allowFileTransfer, o.sendJson, &engine_,
                                 o.config.maxConcurrent}) {
    downloads_.prepare();
    FileTransferEngine::Callbacks cb;
    cb.start = [this](const FileStartMessage& s) { return downloads_.start(s); };
    cb.chunk = [this](uint32_t id, uint32_t, const uint8_t* d, size_t n) {
        return downloads_.chunk(id, d, n);
    };
    cb.completion = [this](uint32_t id, CompleteStatus st, const std::string& name) {
        return downloads_.completion(id, st, name);
    };
    cb.error = [this](uint32_t id, uint8_t reason) { downloads_.ended(id, reason); };
    engine_.setCallbacks(std::move(cb));
    ticker_ = std::thread([this] { tick(); });
}

FileSession::~FileSession() {
    stop();
}

void FileSession::tick() {
    std::unique_lock lk(tickMu_);
    while (!stopping_) {
        tickCv_.wait_for(lk, kPausedPumpPeriod);
        if (stopping_) break;
        lk.unlock();
        try {
            engine_.pumpPaused();
        } catch (const std::exception& e) {
            logger().error("[file] paused-transfer pump failed: {}", e.what());
        }
        lk.lock();
    }
}

void FileSession::registerControlHandlers(ControlDispatcher& d) {
    d.setHandler("request_special_folders", [this](const Json& m) { browser_.specialFolders(m); });
    d.setHandler("request_dir_list", [this](const Json& m) { browser_.dirList(m); });
    d.setHandler("request_file_pull", [this](const Json& m) { browser_.filePull(m); });
}

void FileSession::stop() {
    {
        std::lock_guard lk(tickMu_);
        stopping_ = true;
    }
    tickCv_.notify_all();
    if (ticker_.joinable()) ticker_.join();
    browser_.stop();
    engine_.reset();
}

}  // namespace kvd
