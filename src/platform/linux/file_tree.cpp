#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/file_tree.h"

namespace kvd::platform {

PathStatus inspectPath(const std::string& path) {
    PathStatus s;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        s.error = errno;
        return s;
    }
    s.exists = true;
    s.symlink = S_ISLNK(st.st_mode);
    s.directory = S_ISDIR(st.st_mode);
    if (s.directory) {
        struct stat parent {};
        if (stat((path + "/..").c_str(), &parent) == 0) s.mountPoint = parent.st_dev != st.st_dev;
    }
    return s;
}

bool canonicalPath(const std::string& path, std::string& out, std::string& error) {
    char* r = realpath(path.c_str(), nullptr);
    if (!r) {
        error = std::strerror(errno);
        return false;
    }
    out = r;
    free(r);
    return true;
}

namespace {

constexpr int kMaxDepth = 128;

void removeBelow(int dirFd, const std::string& dirPath, dev_t device, int depth, uint64_t& files,
                 uint64_t& bytes, const TreeRemovalEvents& ev) {
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        if (ev.iteratorError) ev.iteratorError(dirPath + ": " + std::strerror(errno));
        close(dirFd);
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    if (errno != 0 && ev.iteratorError) ev.iteratorError(dirPath + ": " + std::strerror(errno));
    const int fd = dirfd(dir);
    for (const auto& name : names) {
        const std::string path = dirPath + "/" + name;
        struct stat st {};
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (ev.iteratorError) ev.iteratorError(path + ": " + std::strerror(errno));
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            if (unlinkat(fd, name.c_str(), 0) == 0) {
                ++files;
                bytes += static_cast<uint64_t>(st.st_size);
            } else if (ev.deleteFailed) {
                ev.deleteFailed(path, std::strerror(errno));
            }
        } else if (S_ISDIR(st.st_mode) && st.st_dev == device) {
            if (depth >= kMaxDepth) {
                if (ev.iteratorError) ev.iteratorError(path + ": too deep");
                continue;
            }
            const int sub =
                openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat now {};
            if (sub < 0) {
                if (ev.iteratorError) ev.iteratorError(path + ": " + std::strerror(errno));
                continue;
            }
            // Swapped for a mount between the look and the open: leave it.
            if (fstat(sub, &now) != 0 || now.st_dev != device) {
                close(sub);
                continue;
            }
            removeBelow(sub, path, device, depth + 1, files, bytes, ev);
        }
    }
    closedir(dir);
}

}  // namespace

void removeRegularFiles(const std::string& root, uint64_t& files, uint64_t& bytes,
                        const TreeRemovalEvents& events) {
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (events.iteratorError) events.iteratorError(root + ": " + std::strerror(errno));
        return;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        if (events.iteratorError) events.iteratorError(root + ": " + std::strerror(errno));
        close(fd);
        return;
    }
    removeBelow(fd, root, st.st_dev, 0, files, bytes, events);
}

}  // namespace kvd::platform
