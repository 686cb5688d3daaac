#include "features/file_browser.h"

#include <filesystem>
#include <vector>

#include "common/clock.h"
#include "common/codec.h"
#include "common/log.h"

namespace kvd {

namespace {

using platform::FileKind;

const char* volumeTypeName(platform::VolumeType t) {
    switch (t) {
        case platform::VolumeType::Removable:
            return "removable";
        case platform::VolumeType::Fixed:
            return "fixed";
        case platform::VolumeType::Network:
            return "network";
        case platform::VolumeType::Cdrom:
            return "cdrom";
        case platform::VolumeType::Ramdisk:
            return "ramdisk";
        case platform::VolumeType::Unknown:
            break;
    }
    return "unknown";
}

bool isDirectory(const std::string& path) {
    return platform::fileStatus(path, true).kind == FileKind::Directory;
}

// Trailing separators say nothing about the directory (except for the root).
std::string withoutTrailingSeparators(std::string p) {
    while (p.size() > 1 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
    return p;
}

std::string parentOf(const std::string& path) {
    return std::filesystem::path(path).parent_path().string();
}

std::string mtimeText(const platform::FileStatus& st) {
    if (!st.mtimeKnown) return "";
    int64_t secs = st.mtimeNs / 1000000000;
    if (st.mtimeNs < 0 && st.mtimeNs % 1000000000 != 0) --secs;  // rounded down
    return utcTimeText(secs);
}

}  // namespace

FileSource::FileSource(std::unique_ptr<platform::FileReader> reader, uint64_t size, int64_t mtimeNs,
                       std::array<uint8_t, 32> sha)
    : reader_(std::move(reader)), size_(size), mtimeNs_(mtimeNs), sha_(sha) {}

OutgoingSource::Read FileSource::check() {
    const auto st = reader_->status();
    if (st.kind != FileKind::Regular) return Read::Failed;
    if (st.size != size_ || st.mtimeNs != mtimeNs_) return Read::Changed;
    return Read::Ok;
}

OutgoingSource::Read FileSource::read(uint64_t offset, uint8_t* out, size_t len) {
    if (const auto c = check(); c != Read::Ok) return c;
    size_t got = 0;
    while (got < len) {
        std::string error;
        const int64_t n = reader_->readAt(offset + got, out + got, len - got, error);
        if (n < 0) return Read::Failed;
        if (n == 0) return Read::Changed;  // shorter than it was
        got += static_cast<size_t>(n);
    }
    return Read::Ok;
}

FileBrowser::FileBrowser(Deps deps) : deps_(std::move(deps)) {}

FileBrowser::~FileBrowser() {
    stop();
}

std::optional<std::string> FileBrowser::profileDir() const {
    for (const char* name : {"USERPROFILE", "HOME"}) {
        if (!deps_.env) break;
        if (auto v = deps_.env(name); v && !v->empty()) return v;
    }
    return std::nullopt;
}

void FileBrowser::specialFolders(const Json&) {
    Json shortcuts = Json::array();
    Json drives = Json::array();
    if (!deps_.allowFileTransfer()) {
        logger().info("[special-folders] denied — file transfer disabled for this session");
    } else {
        if (auto profile = profileDir()) {
            const std::pair<const char*, const char*> folders[] = {{"desktop", "Desktop"},
                                                                   {"documents", "Documents"},
                                                                   {"downloads", "Downloads"},
                                                                   {"onedrive", "OneDrive"}};
            for (const auto& [icon, name] : folders) {
                const std::string path = platform::joinPath(*profile, name);
                if (isDirectory(path))
                    shortcuts.push_back({{"icon", icon}, {"name", name}, {"path", path}});
            }
        }
        for (const auto& v : platform::listVolumes())
            drives.push_back({{"label", v.label},
                              {"letter", v.path},
                              {"path", v.path},
                              {"type", volumeTypeName(v.type)}});
        logger().info("[special-folders] shortcuts={} drives={}", shortcuts.size(), drives.size());
    }
    deps_.sendJson(Json{{"drives", std::move(drives)},
                        {"shortcuts", std::move(shortcuts)},
                        {"type", "special_folders_response"}});
}

Json FileBrowser::dirListError(const std::string& path, const std::string& parent,
                               const char* error) const {
    return Json{{"error", error},
                {"parent", parent},
                {"path", path},
                {"type", "dir_list_response"},
                {"v", 1}};
}

void FileBrowser::dirList(const Json& msg) {
    const std::string arg = msg.value("path", std::string());
    if (!deps_.allowFileTransfer()) {
        logger().info("[dir-list] denied — file transfer disabled for this session");
        deps_.sendJson(dirListError(arg, "", "policy_denied"));
        return;
    }
    std::string path = withoutTrailingSeparators(arg);
    if (path.empty()) {
        std::vector<std::string> candidates;
        if (auto profile = profileDir()) {
            candidates.push_back(platform::joinPath(*profile, "Desktop"));
            candidates.push_back(
                platform::joinPath(platform::joinPath(*profile, "OneDrive"), "Desktop"));
        }
        if (deps_.env)
            if (auto home = deps_.env("HOME"); home && !home->empty()) candidates.push_back(*home);
        candidates.push_back(platform::fileSystemRoot());
        path = candidates.front();
        for (const auto& c : candidates) {
            if (isDirectory(c)) {
                path = c;
                break;
            }
        }
    }
    logger().info("[dir-list] recv arg='{}' resolved='{}'", arg, path);
    const std::string parent = parentOf(path);
    const auto st = platform::fileStatus(path, true);
    if (st.kind == FileKind::Missing || (st.kind == FileKind::Other && st.error != 0)) {
        logger().warn("[dir-list] not found: {}", path);
        deps_.sendJson(dirListError(path, parent, "not_found"));
        return;
    }
    if (st.kind != FileKind::Directory) {
        deps_.sendJson(dirListError(path, parent, "not_a_directory"));
        return;
    }
    std::vector<platform::DirectoryEntry> list;
    std::string error;
    if (!platform::listDirectory(path, list, error)) {
        logger().warn("[dir-list] cannot read {}: {}", path, error);
        deps_.sendJson(dirListError(path, parent, "access_denied"));
        return;
    }
    Json entries = Json::array();
    size_t bytes = 200;
    bool truncated = false;
    for (const auto& e : list) {
        Json entry{{"isDir", e.status.kind == FileKind::Directory},
                   {"mtime", mtimeText(e.status)},
                   {"name", e.name},
                   {"size", e.status.kind == FileKind::Regular ? e.status.size : 0}};
        bytes += dumpJson(entry).size() + 1;
        if (bytes > kMaxListingBytes) {
            truncated = true;
            break;
        }
        entries.push_back(std::move(entry));
    }
    const size_t count = entries.size();
    Json reply{{"entries", std::move(entries)},
               {"parent", parent},
               {"path", path},
               {"type", "dir_list_response"},
               {"v", 1}};
    if (truncated) {
        reply["truncated"] = true;
        logger().warn("[dir-list] {} has {} entries; the reply lists the first {}", path,
                      list.size(), count);
    }
    deps_.sendJson(reply);
    logger().info("[dir-list] {} -> {} entries", path, count);
}

void FileBrowser::pullError(const std::string& path, const char* reason) {
    deps_.sendJson(Json{{"path", path}, {"reason", reason}, {"type", "file_pull_error"}, {"v", 1}});
}

void FileBrowser::reapFinished() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void FileBrowser::filePull(const Json& msg) {
    const std::string path = msg.value("path", std::string());
    if (path.empty()) {
        logger().warn("[file-pull] empty path");
        pullError(path, "empty_path");
        return;
    }
    const auto st = platform::fileStatus(path, true);
    if (st.kind == FileKind::Other && st.error != 0) {
        logger().warn("[file-pull] stat failed for {}: {}", path, st.errorText);
        pullError(path, "stat_failed");
        return;
    }
    if (st.kind != FileKind::Regular) {
        logger().warn("[file-pull] not a regular file: {}", path);
        pullError(path, "not_found");
        return;
    }
    if (st.size > 2147483648ull) {
        logger().warn("[file-pull] file too large: {} ({} bytes)", path, st.size);
        pullError(path, "too_large");
        return;
    }
    std::string error;
    auto reader = platform::openForReading(path, error);
    if (!reader) {
        logger().warn("[file-pull] open failed: {}", path);
        pullError(path, "read_failed");
        return;
    }
    // The opened file is what gets hashed and sent, whatever the path names
    // meanwhile.
    const auto opened = reader->status();
    std::lock_guard lk(mu_);
    reapFinished();
    if (stopping_ || workers_.size() >= deps_.maxPendingPulls || !deps_.engine ||
        !deps_.engine->outgoingAllowed(0, opened.size)) {
        logger().warn("[file-pull] enqueueOutgoing rejected: {}", path);
        pullError(path, "enqueue_rejected");
        return;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([this, path, r = std::move(reader), opened, done]() mutable {
        try {
            runPull(path, std::move(r), opened);
        } catch (const std::exception& e) {
            logger().error("[file-pull] worker failed for {}: {}", path, e.what());
        }
        done->store(true);
    });
    workers_.push_back({std::move(t), done});
}

void FileBrowser::runPull(std::string path, std::unique_ptr<platform::FileReader> reader,
                          platform::FileStatus st) {
    Sha256 sha;
    std::vector<uint8_t> buf(256 * 1024);
    uint64_t off = 0;
    while (off < st.size) {
        if (stopping_) return;
        std::string error;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), st.size - off));
        const int64_t n = reader->readAt(off, buf.data(), want, error);
        if (n < 0) {
            logger().warn("[file-pull] read failed: {}: {}", path, error);
            pullError(path, "read_failed");
            return;
        }
        if (n == 0) {
            logger().warn("[file-pull] read truncated: {}", path);
            pullError(path, "read_truncated");
            return;
        }
        sha.update(buf.data(), static_cast<size_t>(n));
        off += static_cast<uint64_t>(n);
    }
    const auto now = reader->status();
    if (now.size != st.size || now.mtimeNs != st.mtimeNs) {
        logger().warn("[file-pull] read truncated: {} (the file changed while it was read)", path);
        pullError(path, "read_truncated");
        return;
    }
    buf = {};
    const std::string name = std::filesystem::path(path).filename().string();
    auto source =
        std::make_shared<FileSource>(std::move(reader), st.size, st.mtimeNs, sha.finish());
    const uint32_t id = deps_.engine->enqueueOutgoing(0, name, std::move(source));
    if (id == 0) {
        logger().warn("[file-pull] enqueueOutgoing rejected: {}", path);
        pullError(path, "enqueue_rejected");
        return;
    }
    logger().info("[file-pull] started id={} path={} size={}", id, path, st.size);
    deps_.sendJson(Json{{"id", id},
                        {"name", name},
                        {"path", path},
                        {"size", st.size},
                        {"type", "file_pull_started"},
                        {"v", 1}});
}

void FileBrowser::stop() {
    stopping_ = true;
    std::list<Worker> workers;
    {
        std::lock_guard lk(mu_);
        workers.swap(workers_);
    }
    for (auto& w : workers)
        if (w.thread.joinable()) w.thread.join();
}

}  // namespace kvd
