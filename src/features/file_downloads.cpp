#include "features/file_downloads.h"

#include "common/clock.h"
#include "common/log.h"
#include "platform/paths.h"

namespace kvd {

namespace {

const std::string kPartialPrefix = ".kvd-";

std::optional<std::string> nonEmpty(const EnvLookup& env, const char* name) {
    if (!env) return std::nullopt;
    auto v = env(name);
    if (!v || v->empty()) return std::nullopt;
    return v;
}

// Length of the UTF-8 sequence starting at s[i] that fits in limit bytes;
// a cut never splits a character.
size_t utf8Prefix(const std::string& s, size_t limit) {
    if (s.size() <= limit) return s.size();
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return n;
}

}  // namespace

std::string FileDownloads::defaultDirectory(const EnvLookup& env) {
    if (auto profile = nonEmpty(env, "USERPROFILE"))
        return platform::joinPath(platform::joinPath(*profile, "Kelvandrum"), "downloads");
    return platform::joinPath(platform::tempDir(), "Kelvandrum-downloads");
}

std::string FileDownloads::safeFileName(const std::string& name, size_t maxBytes) {
    const auto sep = name.find_last_of("/\\");
    std::string out = sep == std::string::npos ? name : name.substr(sep + 1);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' ||
            c == '?' || c == '*')
            c = '_';
    }
    if (out.empty() || out == "." || out == "..") return "download.bin";
    // Our partial files live beside the final ones under this prefix; a
    // peer's name that took it could replace another transfer's partial
    // when it is renamed into place.
    if (out.rfind(kPartialPrefix, 0) == 0) out[0] = '_';
    if (maxBytes == 0 || out.size() <= maxBytes) return out;
    // Too long for the file system: shorten the stem, keep a short extension.
    std::string ext;
    if (const auto dot = out.find_last_of('.'); dot != std::string::npos && dot > 0 &&
                                                out.size() - dot <= 16 &&
                                                out.size() - dot < maxBytes)
        ext = out.substr(dot);
    std::string stem = out.substr(0, out.size() - ext.size());
    stem.resize(utf8Prefix(stem, maxBytes - ext.size()));
    return stem + ext;
}

FileDownloads::FileDownloads(std::string downloadDir, EnvLookup env)
    : dir_(std::move(downloadDir)), env_(std::move(env)) {}

bool FileDownloads::prepare() {
    std::string error;
    if (!platform::createDirectories(dir_, error)) {
        logger().warn("failed to create downloads dir {}: {}", dir_, error);
        return false;
    }
    logger().info("file downloads will be saved to: {}", dir_);
    return true;
}

bool FileDownloads::start(const FileStartMessage& s) {
    logger().info("[file] incoming request: id={} name={} size={} dest='{}'", s.transferId, s.name,
                  s.size, s.dest);
    std::string chosen = dir_;
    if (s.dest == "Desktop" || s.dest == "Documents" || s.dest == "Downloads") {
        if (auto profile = nonEmpty(env_, "USERPROFILE"))
            chosen = platform::joinPath(*profile, s.dest);
    }
    std::string error;
    const std::string dirCanon = platform::canonicalPath(chosen);
    auto dir = platform::openDirectory(dirCanon, error);
    if (!dir) {
        logger().error("[file] failed to open output file: {} ({})", chosen, error);
        return false;
    }
    const std::string fileName = safeFileName(s.name, dir->maxNameBytes());
    const std::string target = platform::canonicalPath(platform::joinPath(dirCanon, fileName));
    const std::string inside = platform::joinPath(dirCanon, "");
    if (target.size() <= inside.size() || target.compare(0, inside.size(), inside) != 0 ||
        target.find('/', inside.size()) != std::string::npos) {
        logger().error("[file] rejected request {} — target {} escapes download dir {}",
                       s.transferId, target, dirCanon);
        return false;
    }
    const std::string finalPath = platform::joinPath(dirCanon, fileName);
    if (dir->entryStatus(fileName).kind == platform::FileKind::Directory) {
        logger().error("[file] failed to open output file: {} (a directory has that name)",
                       finalPath);
        return false;
    }
    IncomingFileState st;
    for (int attempt = 0; attempt < 8 && !st.out; ++attempt) {
        st.tempName = kPartialPrefix + std::to_string(s.transferId) + "-" +
                      std::to_string(steadyNowUs() % 1000000000) + "-" +
                      std::to_string(++tempCounter_) + ".part";
        st.out = dir->createNew(st.tempName, error);
    }
    if (!st.out) {
        logger().error("[file] failed to open output file: {} ({})", finalPath, error);
        return false;
    }
    st.dir = std::move(dir);
    st.finalName = fileName;
    st.path = finalPath;
    logger().info("[file] saving request {} to {}", s.transferId, finalPath);
    states_[s.transferId] = std::move(st);
    return true;
}

bool FileDownloads::chunk(uint32_t id, const uint8_t* data, size_t len) {
    auto it = states_.find(id);
    if (it == states_.end() || !it->second.out) return true;
    auto& st = it->second;
    std::string error;
    if (!st.out->writeAt(st.bytesWritten, data, len, error)) {
        logger().warn("[file] write failed for request {} ({}): {}", id, st.path, error);
        return false;
    }
    st.bytesWritten += len;
    return true;
}

void FileDownloads::discard(IncomingFileState& st) {
    st.out.reset();
    if (st.dir) st.dir->removeFile(st.tempName);
}

CompleteStatus FileDownloads::completion(uint32_t id, CompleteStatus status,
                                         const std::string& name) {
    auto it = states_.find(id);
    if (it == states_.end()) {
        logger().info("[file] outgoing transfer {} complete: status={} name={}", id, status, name);
        return status;
    }
    auto st = std::move(it->second);
    states_.erase(it);
    if (status != kCompleteSuccess) {
        discard(st);
        logger().warn("[file] transfer {} failed (status={}), partial file removed: {}", id, status,
                      st.path);
        return status;
    }
    std::string error;
    if (!st.out->finish(error) || !st.dir->renameReplacing(st.tempName, st.finalName, error)) {
        st.out.reset();
        st.dir->removeFile(st.tempName);
        logger().warn("[file] transfer {} could not be stored at {}: {}", id, st.path, error);
        return kCompleteStoreFailed;
    }
    logger().info("[file] saved request {} ({} bytes) to {}", id, st.bytesWritten, st.path);
    return kCompleteSuccess;
}

void FileDownloads::ended(uint32_t id, uint8_t reason) {
    auto it = states_.find(id);
    if (it == states_.end()) return;
    discard(it->second);
    logger().warn(
        "[file] transfer {} ended without completion (reason={}), partial file removed: {}", id,
        reason, it->second.path);
    states_.erase(it);
}

}  // namespace kvd
