#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/file_system.h"
#include "platform/linux/mountinfo.h"

namespace kvd::platform {

namespace {

std::string errnoText(int e) {
    return std::string(std::strerror(e)) + " (errno " + std::to_string(e) + ")";
}

FileStatus fromStat(const struct stat& st) {
    FileStatus s;
    if (S_ISREG(st.st_mode))
        s.kind = FileKind::Regular;
    else if (S_ISDIR(st.st_mode))
        s.kind = FileKind::Directory;
    else if (S_ISLNK(st.st_mode))
        s.kind = FileKind::Symlink;
    else
        s.kind = FileKind::Other;
    s.size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.mtimeKnown = true;
    return s;
}

FileStatus failedStatus(int e) {
    FileStatus s;
    if (e != ENOENT && e != ENOTDIR) {
        s.kind = FileKind::Other;
        s.error = e;
        s.errorText = errnoText(e);
    }
    return s;
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }

  private:
    int fd_;
};

class PosixReader final : public FileReader {
  public:
    explicit PosixReader(int fd) : fd_(fd) {}
    int64_t readAt(uint64_t offset, void* buf, size_t len, std::string& error) override {
        if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
        for (;;) {
            const ssize_t n = ::pread(fd_.get(), buf, len, static_cast<off_t>(offset));
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            error = errnoText(errno);
            return -1;
        }
    }
    FileStatus status() override {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0) return failedStatus(errno);
        return fromStat(st);
    }

  private:
    Fd fd_;
};

class PosixWriter final : public FileWriter {
  public:
    explicit PosixWriter(int fd) : fd_(fd) {}
    bool writeAt(uint64_t offset, const void* data, size_t len, std::string& error) override {
        const auto* p = static_cast<const uint8_t*>(data);
        while (len > 0) {
            if (offset > static_cast<uint64_t>(INT64_MAX) - len) {
                error = errnoText(EFBIG);
                return false;
            }
            const ssize_t n = ::pwrite(fd_.get(), p, len, static_cast<off_t>(offset));
            if (n < 0) {
                if (errno == EINTR) continue;
                error = errnoText(errno);
                return false;
            }
            if (n == 0) {
                error = errnoText(ENOSPC);
                return false;
            }
            p += n;
            len -= static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
        }
        return true;
    }
    bool finish(std::string& error) override {
        bool ok = true;
        if (::fdatasync(fd_.get()) != 0 && errno != EINVAL) {
            error = errnoText(errno);
            ok = false;
        }
        const int fd = fd_.release();
        if (::close(fd) != 0 && ok) {
            error = errnoText(errno);
            ok = false;
        }
        return ok;
    }

  private:
    Fd fd_;
};

// Only single components ever reach the directory calls: a separator or a
// dot step would let a name leave the directory.
bool plainComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

class PosixDirectory final : public DirectoryHandle {
  public:
    PosixDirectory(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    const std::string& path() const override { return path_; }

    std::unique_ptr<FileWriter> createNew(const std::string& name, std::string& error) override {
        if (!plainComponent(name)) {
            error = errnoText(EINVAL);
            return nullptr;
        }
        const int fd = ::openat(fd_.get(), name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = errnoText(errno);
            return nullptr;
        }
        return std::make_unique<PosixWriter>(fd);
    }

    bool renameReplacing(const std::string& from, const std::string& to,
                         std::string& error) override {
        if (!plainComponent(from) || !plainComponent(to)) {
            error = errnoText(EINVAL);
            return false;
        }
        if (::renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()) != 0) {
            error = errnoText(errno);
            return false;
        }
        ::fsync(fd_.get());  // the new name itself must survive a crash
        return true;
    }

    bool removeFile(const std::string& name) override {
        return plainComponent(name) && ::unlinkat(fd_.get(), name.c_str(), 0) == 0;
    }

    FileStatus entryStatus(const std::string& name) override {
        if (!plainComponent(name)) return failedStatus(EINVAL);
        struct stat st {};
        if (::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return failedStatus(errno);
        return fromStat(st);
    }

    size_t maxNameBytes() override {
        struct statvfs vfs {};
        if (::fstatvfs(fd_.get(), &vfs) == 0 && vfs.f_namemax > 0)
            return static_cast<size_t>(vfs.f_namemax);
        return NAME_MAX;
    }

  private:
    Fd fd_;
    std::string path_;
};

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool sysfsRemovable(unsigned major, unsigned minor) {
    const std::string base =
        "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    std::string flag = readSmallFile(base + "/removable");
    // A partition carries no flag of its own; its disk does.
    if (flag.empty()) flag = readSmallFile(base + "/../removable");
    return !flag.empty() && flag[0] == '1';
}

// Device path -> label, from the udev links under /dev/disk/by-label.
std::map<std::string, std::string> labelsByDevice() {
    std::map<std::string, std::string> out;
    const std::string dir = "/dev/disk/by-label";
    std::vector<DirectoryEntry> entries;
    std::string err;
    if (!listDirectory(dir, entries, err)) return out;
    for (const auto& e : entries) {
        char buf[PATH_MAX];
        if (::realpath((dir + "/" + e.name).c_str(), buf))
            out[buf] = linux_fs::unescapeMountField(e.name);  // udev escapes as \x20
    }
    return out;
}

}  // namespace

FileStatus fileStatus(const std::string& path, bool followLinks) {
    struct stat st {};
    const int rc = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) return failedStatus(errno);
    return fromStat(st);
}

bool listDirectory(const std::string& path, std::vector<DirectoryEntry>& out, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = errnoText(errno);
        return false;
    }
    DIR* d = ::fdopendir(fd);
    if (!d) {
        error = errnoText(errno);
        ::close(fd);
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* de = ::readdir(d);
        if (!de) break;  // end, or an error: the listing stops there
        const std::string name = de->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(fd, de->d_name, &st, 0) != 0 &&
            ::fstatat(fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        out.push_back({name, fromStat(st)});
    }
    ::closedir(d);
    return true;
}

std::vector<Volume> listVolumes() {
    const auto labels = labelsByDevice();
    linux_fs::MountProbes probes;
    probes.removable = sysfsRemovable;
    probes.label = [&labels](const std::string& dev) {
        char buf[PATH_MAX];
        const std::string real = ::realpath(dev.c_str(), buf) ? std::string(buf) : dev;
        auto it = labels.find(real);
        return it == labels.end() ? std::string() : it->second;
    };
    probes.isDirectory = [](const std::string& p) {
        return fileStatus(p, true).kind == FileKind::Directory;
    };
    return linux_fs::volumesFromMountInfo(readSmallFile("/proc/self/mountinfo"), probes);
}

std::string fileSystemRoot() {
    return "/";
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string canonicalPath(const std::string& path) {
    if (path.empty()) return {};
    // Resolve the longest existing prefix, then append the rest as written.
    std::string head = path;
    std::string tail;
    for (;;) {
        char buf[PATH_MAX];
        if (::realpath(head.c_str(), buf)) {
            std::string out = buf;
            if (!tail.empty()) out = joinPath(out, tail);
            return out;
        }
        const auto slash = head.find_last_of('/');
        if (slash == std::string::npos) return path;
        const std::string part = head.substr(slash + 1);
        tail = tail.empty() ? part : part + "/" + tail;
        head = slash == 0 ? "/" : head.substr(0, slash);
        if (head == "/" && part.empty()) return path;
    }
}

bool createDirectories(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = errnoText(ENOENT);
        return false;
    }
    std::string cur;
    size_t pos = 0;
    while (pos <= path.size()) {
        const size_t next = path.find('/', pos);
        const size_t end = next == std::string::npos ? path.size() : next;
        cur = path.substr(0, end);
        pos = end + 1;
        if (cur.empty()) continue;
        if (::mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) {
            error = errnoText(errno);
            return false;
        }
        if (next == std::string::npos) break;
    }
    if (fileStatus(path, true).kind != FileKind::Directory) {
        error = errnoText(ENOTDIR);
        return false;
    }
    return true;
}

std::unique_ptr<FileReader> openForReading(const std::string& path, std::string& error) {
    // Non-blocking so that a FIFO or device never stalls the open; the
    // status check below refuses them anyway.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        error = errnoText(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error = errnoText(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return nullptr;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return std::make_unique<PosixReader>(fd.release());
}

std::unique_ptr<DirectoryHandle> openDirectory(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = errnoText(errno);
        return nullptr;
    }
    return std::make_unique<PosixDirectory>(fd, path);
}

namespace linux_fs {

std::string unescapeMountField(const std::string& s) {
    auto oct = [](char c) { return c >= '0' && c <= '7'; };
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        // \ooo (mountinfo) or \xHH (udev links)
        if (s[i] == '\\' && i + 3 < s.size()) {
            if (s[i + 1] == 'x' && hex(s[i + 2]) && hex(s[i + 3])) {
                out.push_back(static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16)));
                i += 3;
                continue;
            }
            if (oct(s[i + 1]) && oct(s[i + 2]) && oct(s[i + 3])) {
                out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 +
                                                (s[i + 3] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

namespace {

const std::set<std::string>& pseudoTypes() {
    static const std::set<std::string> t = {
        "proc",       "sysfs",      "cgroup",    "cgroup2",         "devpts",      "mqueue",
        "devtmpfs",   "securityfs", "debugfs",   "tracefs",         "pstore",      "bpf",
        "configfs",   "fusectl",    "hugetlbfs", "autofs",          "binfmt_misc", "efivarfs",
        "rpc_pipefs", "nsfs",       "selinuxfs", "fuse.gvfsd-fuse", "fuse.portal", "nfsd",
        "squashfs"};
    return t;
}

bool under(const std::string& path, const std::string& dir) {
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           path[dir.size()] == '/');
}

VolumeType typeOf(const std::string& fsType, bool removable) {
    static const std::set<std::string> network = {"nfs",   "nfs4",  "cifs",       "smb3",
                                                  "smbfs", "sshfs", "fuse.sshfs", "9p"};
    if (network.count(fsType)) return VolumeType::Network;
    if (fsType == "iso9660" || fsType == "udf") return VolumeType::Cdrom;
    if (fsType == "tmpfs" || fsType == "ramfs") return VolumeType::Ramdisk;
    if (removable) return VolumeType::Removable;
    return VolumeType::Fixed;
}

}  // namespace

std::vector<Volume> volumesFromMountInfo(const std::string& text, const MountProbes& probes) {
    std::vector<Volume> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mountpoint options [optional...] - type source superopts
        std::istringstream f(line);
        std::vector<std::string> fields;
        for (std::string w; f >> w;) fields.push_back(w);
        auto dash = std::find(fields.begin(), fields.end(), std::string("-"));
        if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 3) continue;
        const std::string mountPoint = unescapeMountField(fields[4]);
        const std::string fsType = *(dash + 1);
        const std::string source = unescapeMountField(*(dash + 2));
        if (pseudoTypes().count(fsType)) continue;
        // Kernel and runtime trees are no place to browse; removable media
        // mounted by the desktop live under /run/media though.
        if (under(mountPoint, "/proc") || under(mountPoint, "/sys") || under(mountPoint, "/dev") ||
            (under(mountPoint, "/run") && !under(mountPoint, "/run/media")))
            continue;
        unsigned major = 0, minor = 0;
        const bool hasDev = std::sscanf(fields[2].c_str(), "%u:%u", &major, &minor) == 2;
        if (probes.isDirectory && !probes.isDirectory(mountPoint)) continue;  // file bind mounts
        const bool removable =
            hasDev && major != 0 && probes.removable && probes.removable(major, minor);
        Volume v;
        v.path = mountPoint;
        v.type = typeOf(fsType, removable);
        if (probes.label) v.label = probes.label(source);
        if (v.label.empty()) v.label = source;
        // A later mount over the same point hides the earlier one.
        auto same =
            std::find_if(out.begin(), out.end(), [&](const Volume& o) { return o.path == v.path; });
        if (same != out.end()) out.erase(same);
        out.push_back(std::move(v));
    }
    return out;
}

}  // namespace linux_fs

}  // namespace kvd::platform
