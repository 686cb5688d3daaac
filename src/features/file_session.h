#pragma once
// File transfer and browsing as start-up wires them: the transfer engine over
// a transport, the download side's callbacks, the browser's control
// handlers, and a short timer that resumes transfers paused by the
// channel's back-pressure.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "features/file_browser.h"
#include "features/file_downloads.h"
#include "features/file_transfer_engine.h"

namespace kvd {

class ControlDispatcher;

class FileSession {
  public:
    struct Options {
        FileTransferConfig config;
        EnvLookup env;
        std::string downloadDir;  // empty: FileDownloads::defaultDirectory
        std::function<bool()> allowFileTransfer;
        std::function<void(const Json&)> sendJson;
    };
    FileSession(IFileTransport& transport, Options options,
                const Clock& clock = SteadyClock::instance());
    ~FileSession();
    FileSession(const FileSession&) = delete;
    FileSession& operator=(const FileSession&) = delete;

    void registerControlHandlers(ControlDispatcher& dispatcher);
    bool onFileBinary(const uint8_t* data, size_t size) { return engine_.onFileBinary(data, size); }
    void onChannelClosed() { engine_.reset(); }
    void stop();

    FileTransferEngine& engine() { return engine_; }
    FileBrowser& browser() { return browser_; }
    const FileDownloads& downloads() const { return downloads_; }

  private:
    void tick();

    FileTransferEngine engine_;
    FileDownloads downloads_;
    FileBrowser browser_;
    std::mutex tickMu_;
    std::condition_variable tickCv_;
    bool stopping_ = false;
    std::thread ticker_;
};

}  // namespace kvd
