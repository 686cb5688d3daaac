#pragma once
// File-system queries and the guarded deletion that temporary-file clean-up
// needs: nothing here follows a symbolic link.
#include <cstdint>
#include <functional>
#include <string>

namespace kvd::platform {

struct PathStatus {
    bool exists = false;
    bool directory = false;  // a real directory, never a link to one
    bool symlink = false;
    bool mountPoint = false;  // on another file system than its parent
    int error = 0;            // errno-style, when !exists
};

PathStatus inspectPath(const std::string& path);

// Absolute path without links, "." or ".."; false with the reason.
bool canonicalPath(const std::string& path, std::string& out, std::string& error);

struct TreeRemovalEvents {
    std::function<void(const std::string& path, const std::string& error)> deleteFailed;
    std::function<void(const std::string& error)> iteratorError;
};

// Deletes every regular file below root, adding to files and bytes. Never
// follows a symbolic link and never enters a directory on another file system.
void removeRegularFiles(const std::string& root, uint64_t& files, uint64_t& bytes,
                        const TreeRemovalEvents& events);

}  // namespace kvd::platform
