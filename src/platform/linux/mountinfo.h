#pragma once
// /proc/self/mountinfo to browsable volumes; separate from the file system
// calls so that the selection rules can be tested on sample text.
#include <functional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace kvd::platform::linux_fs {

struct MountProbes {
    std::function<bool(unsigned major, unsigned minor)> removable;
    // Label of a device path ("/dev/sdb1"), empty when it has none.
    std::function<std::string(const std::string& device)> label;
    std::function<bool(const std::string& path)> isDirectory;
};

// Undoes mountinfo's octal escapes (\040 for a space and the like).
std::string unescapeMountField(const std::string& s);

std::vector<Volume> volumesFromMountInfo(const std::string& text, const MountProbes& probes);

}  // namespace kvd::platform::linux_fs
