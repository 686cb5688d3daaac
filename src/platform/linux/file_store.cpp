#include "platform/file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kvd::platform {

namespace {

std::string errnoText(int e) {
    return std::error_code(e, std::generic_category()).message();
}

class PosixWritableFile final : public WritableFile {
  public:
    explicit PosixWritableFile(int fd) : fd_(fd) {}
    ~PosixWritableFile() override { close(); }

    bool write(const void* data, size_t size) override {
        if (fd_ < 0 || failed_) return false;
        const auto* p = static_cast<const uint8_t*>(data);
        while (size > 0) {
            const ssize_t n = ::write(fd_, p, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail(errno);
                return false;
            }
            if (n == 0) {
                fail(EIO);
                return false;
            }
            p += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    bool flush() override { return fd_ >= 0 && !failed_; }
    bool close() override {
        if (fd_ < 0) return !failed_;
        if (::close(fd_) != 0) fail(errno);
        fd_ = -1;
        return !failed_;
    }
    bool failed() const override { return failed_; }
    std::string errorText() const override { return error_; }

  private:
    void fail(int e) {
        failed_ = true;
        error_ = errnoText(e);
    }
    int fd_;
    bool failed_ = false;
    std::string error_;
};

class PosixReadableFile final : public ReadableFile {
  public:
    explicit PosixReadableFile(int fd) : fd_(fd) {}
    ~PosixReadableFile() override { ::close(fd_); }
    int64_t readAt(uint64_t offset, void* data, size_t size) override {
        size_t done = 0;
        auto* p = static_cast<uint8_t*>(data);
        while (done < size) {
            const ssize_t n =
                ::pread(fd_, p + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (n == 0) break;
            done += static_cast<size_t>(n);
        }
        return static_cast<int64_t>(done);
    }

  private:
    int fd_;
};

class HostFileStore final : public FileStore {
  public:
    bool createDirectories(const std::string& path, std::string& error) override {
        std::error_code ec;
        // Directories made here hold private data (recordings): only the
        // owner may enter them. Existing ones keep their permissions.
        const bool created = std::filesystem::create_directories(path, ec);
        if (ec) {
            error = ec.message();
            return false;
        }
        if (created) ::chmod(path.c_str(), 0700);
        return true;
    }
    std::unique_ptr<WritableFile> openWrite(const std::string& path) override {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return nullptr;
        return std::make_unique<PosixWritableFile>(fd);
    }
    std::unique_ptr<ReadableFile> openRead(const std::string& path) override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        return std::make_unique<PosixReadableFile>(fd);
    }
    std::optional<uint64_t> fileSize(const std::string& path, std::string& error) override {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            error = errnoText(errno);
            return std::nullopt;
        }
        if (!S_ISREG(st.st_mode)) {
            error = "not a regular file";
            return std::nullopt;
        }
        return static_cast<uint64_t>(st.st_size);
    }
    bool exists(const std::string& path) override {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    }
    bool remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
    bool rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0;
    }
    std::optional<uint64_t> freeSpace(const std::string& path) override {
        struct statvfs vs {};
        if (::statvfs(path.c_str(), &vs) != 0) return std::nullopt;
        return static_cast<uint64_t>(vs.f_bavail) * static_cast<uint64_t>(vs.f_frsize);
    }
};

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

}  // namespace

FileStore& hostFileStore() {
    static HostFileStore store;
    return store;
}

std::vector<std::string> recordingDirCandidates() {
    std::vector<std::string> out;
    out.push_back("/var/lib/kelvandrum/recordings");
    std::string data = envOr("XDG_DATA_HOME", "");
    if (data.empty()) {
        const std::string home = envOr("HOME", "");
        if (!home.empty()) data = home + "/.local/share";
    }
    if (!data.empty()) out.push_back(data + "/kelvandrum/recordings");
    out.push_back(envOr("TMPDIR", "/tmp") + "/kelvandrum/recordings");
    return out;
}

}  // namespace kvd::platform
