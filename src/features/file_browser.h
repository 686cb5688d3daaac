#pragma once
// Browsing the host's files from the viewer: shortcuts to the user's
// folders, the mounted volumes, one directory's entries, and pulls that send
// a file through the transfer engine. A pull is hashed on a worker thread of
// its own (never on the channel's thread) before its offer goes out, and is
// then read from the file as it is sent.
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/json_util.h"
#include "features/file_downloads.h"
#include "features/file_transfer_engine.h"
#include "platform/file_system.h"

namespace kvd {

// A file sent by positioned reads; it must stay what was hashed.
class FileSource final : public OutgoingSource {
  public:
    FileSource(std::unique_ptr<platform::FileReader> reader, uint64_t size, int64_t mtimeNs,
               std::array<uint8_t, 32> sha);
    uint64_t size() const override { return size_; }
    std::array<uint8_t, 32> sha256() const override { return sha_; }
    Read read(uint64_t offset, uint8_t* out, size_t len) override;
    Read check() override;

  private:
    std::unique_ptr<platform::FileReader> reader_;
    uint64_t size_;
    int64_t mtimeNs_;
    std::array<uint8_t, 32> sha_;
};

class FileBrowser {
  public:
    struct Deps {
        EnvLookup env;
        std::function<bool()> allowFileTransfer;  // the current session policy
        std::function<void(const Json&)> sendJson;
        FileTransferEngine* engine = nullptr;
        uint32_t maxPendingPulls = 3;
    };
    // Largest "dir_list_response" we send; longer listings are cut.
    static constexpr size_t kMaxListingBytes = 200000;

    explicit FileBrowser(Deps deps);
    ~FileBrowser();
    FileBrowser(const FileBrowser&) = delete;
    FileBrowser& operator=(const FileBrowser&) = delete;

    void specialFolders(const Json& msg);
    void dirList(const Json& msg);
    void filePull(const Json& msg);

    // Ends pending pulls and joins their workers.
    void stop();

  private:
    std::optional<std::string> profileDir() const;
    Json dirListError(const std::string& path, const std::string& parent, const char* error) const;
    void pullError(const std::string& path, const char* reason);
    void runPull(std::string path, std::unique_ptr<platform::FileReader> reader,
                 platform::FileStatus status);
    void reapFinished();

    Deps deps_;
    std::mutex mu_;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Worker> workers_;
    std::atomic<bool> stopping_{false};
};

}  // namespace kvd
