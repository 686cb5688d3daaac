#pragma once
// Where uploads from the viewer land. Each accepted offer is written through
// to a hidden temporary file in its target directory and gets its final name
// only once the whole file arrived with the announced hash; a failed,
// cancelled or abandoned transfer removes its temporary file and leaves an
// existing file of the final name untouched.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "features/file_transfer_engine.h"
#include "platform/file_system.h"

namespace kvd {

using EnvLookup = std::function<std::optional<std::string>(const std::string&)>;

class FileDownloads {
  public:
    // USERPROFILE/Kelvandrum/downloads, else <temp>/Kelvandrum-downloads.
    static std::string defaultDirectory(const EnvLookup& env);
    // The final component of a peer-supplied name, made safe to create:
    // both separators, reserved characters, control bytes, dot steps and
    // over-long names are dealt with.
    static std::string safeFileName(const std::string& name, size_t maxBytes);

    FileDownloads(std::string downloadDir, EnvLookup env);

    // Creates the download directory (start-up); logs either way.
    bool prepare();
    const std::string& directory() const { return dir_; }

    // The engine callbacks (run under the engine's mutex).
    bool start(const FileStartMessage& s);
    bool chunk(uint32_t id, const uint8_t* data, size_t len);
    CompleteStatus completion(uint32_t id, CompleteStatus status, const std::string& name);
    void ended(uint32_t id, uint8_t reason);

    size_t openTransfers() const { return states_.size(); }

  private:
    struct IncomingFileState {
        std::unique_ptr<platform::DirectoryHandle> dir;
        std::unique_ptr<platform::FileWriter> out;
        std::string tempName;
        std::string finalName;
        std::string path;  // final path
        uint64_t bytesWritten = 0;
    };
    void discard(IncomingFileState& st);

    std::string dir_;
    EnvLookup env_;
    std::map<uint32_t, IncomingFileState> states_;
    uint64_t tempCounter_ = 0;
};

}  // namespace kvd
