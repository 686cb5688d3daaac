#pragma once
// Shared helpers of the recording tests: a temporary directory, real H.264
// frames from the software encoder, and a file store that fails on request.
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "encode/sw_encoder.h"
#include "platform/file_store.h"

namespace kvd::test {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/kvd-rec-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> names() const {
        std::set<std::string> s;
        for (auto& e : std::filesystem::directory_iterator(path_)) s.insert(e.path().filename());
        return {s.begin(), s.end()};
    }

  private:
    std::string path_;
};

inline std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Access units of a small moving picture; the first is a keyframe.
inline std::vector<EncodedFrame> encodeFrames(int count, int w = 160, int h = 96,
                                              int keyEvery = 0) {
    SwEncoder enc;
    EncoderConfig cfg;
    cfg.width = w;
    cfg.height = h;
    cfg.keyframeIntervalSec = 60;
    std::vector<EncodedFrame> out;
    if (!enc.init(cfg)) return out;
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (int i = 0; i < count; ++i) {
        for (size_t p = 0; p < px.size(); p += 4) {
            const size_t x = (p / 4) % w;
            px[p] = static_cast<uint8_t>(x * 3 + i * 7);
            px[p + 1] = static_cast<uint8_t>((p / 4 / w) * 2);
            px[p + 2] = static_cast<uint8_t>(i * 5);
            px[p + 3] = 255;
        }
        if (keyEvery > 0 && i > 0 && i % keyEvery == 0) enc.requestKeyframe();
        auto f = enc.encode(px.data(), w * 4, int64_t{i} * 33'333);
        if (!f.data.empty()) out.push_back(std::move(f));
    }
    return out;
}

// The host's files, with failures injected by path or by byte budget.
class ScriptedFileStore final : public platform::FileStore {
  public:
    std::set<std::string> refuseCreate, refuseOpen;
    std::optional<uint64_t> free;  // nullopt: the query fails
    int64_t writeBudget = -1;      // bytes every file may still take; -1 = no limit
    std::string budgetPathSuffix;  // only files ending so; empty = all

    bool createDirectories(const std::string& path, std::string& error) override {
        if (refuseCreate.count(path)) {
            error = "Permission denied";
            return false;
        }
        return host().createDirectories(path, error);
    }
    std::unique_ptr<platform::WritableFile> openWrite(const std::string& path) override {
        for (const auto& r : refuseOpen)
            if (path.size() >= r.size() && path.compare(path.size() - r.size(), r.size(), r) == 0)
                return nullptr;
        auto f = host().openWrite(path);
        const bool budgeted = budgetPathSuffix.empty() ||
                              (path.size() >= budgetPathSuffix.size() &&
                               path.compare(path.size() - budgetPathSuffix.size(),
                                            budgetPathSuffix.size(), budgetPathSuffix) == 0);
        if (!f || writeBudget < 0 || !budgeted) return f;
        return std::make_unique<Budgeted>(std::move(f), writeBudget);
    }
    std::unique_ptr<platform::ReadableFile> openRead(const std::string& path) override {
        return host().openRead(path);
    }
    std::optional<uint64_t> fileSize(const std::string& path, std::string& error) override {
        return host().fileSize(path, error);
    }
    bool exists(const std::string& path) override { return host().exists(path); }
    bool remove(const std::string& path) override { return host().remove(path); }
    bool rename(const std::string& from, const std::string& to) override {
        return host().rename(from, to);
    }
    std::optional<uint64_t> freeSpace(const std::string&) override { return free; }

  private:
    static platform::FileStore& host() { return platform::hostFileStore(); }
    class Budgeted final : public platform::WritableFile {
      public:
        Budgeted(std::unique_ptr<platform::WritableFile> f, int64_t budget)
            : f_(std::move(f)), left_(budget) {}
        bool write(const void* d, size_t n) override {
            if (static_cast<int64_t>(n) > left_) {
                f_->write(d, static_cast<size_t>(left_));
                left_ = 0;
                failed_ = true;
                return false;
            }
            left_ -= static_cast<int64_t>(n);
            return f_->write(d, n);
        }
        bool flush() override { return f_->flush(); }
        bool close() override { return f_->close() && !failed_; }
        bool failed() const override { return failed_ || f_->failed(); }
        std::string errorText() const override { return "No space left on device"; }

      private:
        std::unique_ptr<platform::WritableFile> f_;
        int64_t left_;
        bool failed_ = false;
    };
};

}  // namespace kvd::test
