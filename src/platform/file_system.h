#pragma once
// Files and folders for file transfer and browsing: status, listing, mounted
// volumes, positioned reads of one open file, and a directory handle that
// writes only inside itself (names are single components; links are never
// followed on the way to a written file).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kvd::platform {

enum class FileKind { Missing, Regular, Directory, Symlink, Other };

struct FileStatus {
    FileKind kind = FileKind::Missing;
    uint64_t size = 0;
    int64_t mtimeNs = 0;  // last modification, nanoseconds since the Unix epoch
    bool mtimeKnown = false;
    int error = 0;  // the OS error when the status could not be read (0 when missing)
    std::string errorText;
};

// followLinks=false describes a link itself.
FileStatus fileStatus(const std::string& path, bool followLinks);

struct DirectoryEntry {
    std::string name;   // raw bytes as the file system holds them
    FileStatus status;  // through a link when it leads somewhere, else the link itself
};

// Entries in the file system's order, without "." and "..". Entries whose
// status cannot be read are left out; reading stops quietly at the first
// error after the directory was opened. False (with error) only when the
// directory cannot be opened.
bool listDirectory(const std::string& path, std::vector<DirectoryEntry>& out, std::string& error);

enum class VolumeType { Removable, Fixed, Network, Cdrom, Ramdisk, Unknown };

struct Volume {
    std::string path;   // where it is browsed from
    std::string label;  // the file system label when known, else the device
    VolumeType type = VolumeType::Unknown;
};

// The mounted volumes a person would browse, in mount order.
std::vector<Volume> listVolumes();

// The root every path descends from, and the separator of joined paths.
std::string fileSystemRoot();
std::string joinPath(const std::string& dir, const std::string& name);

// The path with links and dot steps resolved as far as it exists; the rest
// is appended lexically. Empty when the path is empty.
std::string canonicalPath(const std::string& path);

// Creates the directory and its missing parents.
bool createDirectories(const std::string& path, std::string& error);

// One file opened for reading; reads are positioned and never move a cursor.
class FileReader {
  public:
    virtual ~FileReader() = default;
    // Up to len bytes at offset: the count (0 at the end), or -1 with error.
    virtual int64_t readAt(uint64_t offset, void* buf, size_t len, std::string& error) = 0;
    // Status of the open file itself (not of the path it was opened by).
    virtual FileStatus status() = 0;
};

// Opens a regular file for reading (never blocks on a pipe or device).
std::unique_ptr<FileReader> openForReading(const std::string& path, std::string& error);

class FileWriter {
  public:
    virtual ~FileWriter() = default;
    // Writes all len bytes at offset; false with error (disk full, I/O).
    virtual bool writeAt(uint64_t offset, const void* data, size_t len, std::string& error) = 0;
    // Flushes to stable storage and closes; false when any of it failed.
    virtual bool finish(std::string& error) = 0;
};

// An open directory. Every name is one component; the handle keeps pointing
// at the same directory even when its path is renamed or replaced by a link.
class DirectoryHandle {
  public:
    virtual ~DirectoryHandle() = default;
    virtual const std::string& path() const = 0;
    // A new file that did not exist before (an existing name or a link
    // there fails).
    virtual std::unique_ptr<FileWriter> createNew(const std::string& name, std::string& error) = 0;
    // Moves from onto to, replacing what to names (a link there is replaced,
    // not followed).
    virtual bool renameReplacing(const std::string& from, const std::string& to,
                                 std::string& error) = 0;
    virtual bool removeFile(const std::string& name) = 0;
    // The entry itself, links not followed.
    virtual FileStatus entryStatus(const std::string& name) = 0;
    // Longest file name in bytes this file system takes.
    virtual size_t maxNameBytes() = 0;
};

std::unique_ptr<DirectoryHandle> openDirectory(const std::string& path, std::string& error);

}  // namespace kvd::platform
