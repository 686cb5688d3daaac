#pragma once
// Files, directories and free space for components that write their own data
// (recordings). Paths are UTF-8 text; errors come back as text.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kvd::platform {

class WritableFile {
  public:
    virtual ~WritableFile() = default;
    // Appends all bytes; false (and failed() from then on) when they could
    // not all be written.
    virtual bool write(const void* data, size_t size) = 0;
    virtual bool flush() = 0;
    virtual bool close() = 0;
    virtual bool failed() const = 0;
    // The last error's text, e.g. "No space left on device".
    virtual std::string errorText() const = 0;
};

class ReadableFile {
  public:
    virtual ~ReadableFile() = default;
    // Up to size bytes at offset; the count read (0 at the end), -1 on error.
    virtual int64_t readAt(uint64_t offset, void* data, size_t size) = 0;
};

class FileStore {
  public:
    virtual ~FileStore() = default;
    // Creates the directory and its parents (the new ones private to the
    // owner); false with error text.
    virtual bool createDirectories(const std::string& path, std::string& error) = 0;
    // Opens for writing, truncating an existing file; null when it cannot.
    virtual std::unique_ptr<WritableFile> openWrite(const std::string& path) = 0;
    virtual std::unique_ptr<ReadableFile> openRead(const std::string& path) = 0;
    // Size of a regular file; nullopt with error text when it cannot be read.
    virtual std::optional<uint64_t> fileSize(const std::string& path, std::string& error) = 0;
    virtual bool exists(const std::string& path) = 0;
    virtual bool remove(const std::string& path) = 0;
    // Replaces the destination when it exists.
    virtual bool rename(const std::string& from, const std::string& to) = 0;
    // Bytes available to this process on the volume holding path.
    virtual std::optional<uint64_t> freeSpace(const std::string& path) = 0;
};

// The host's file system.
FileStore& hostFileStore();

// Where recordings may go, most preferred first (each still has to pass a
// write test).
std::vector<std::string> recordingDirCandidates();

}  // namespace kvd::platform
