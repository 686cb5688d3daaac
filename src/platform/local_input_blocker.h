#pragma once
// Blocking the keyboard and pointer of the person at the host while synthetic
// input (the technician's) keeps working.
#include <memory>
#include <string>

namespace kvd::platform {

class LocalInputBlocker {
  public:
    virtual ~LocalInputBlocker() = default;
    // Stops the physical keyboards and pointers from reaching the desktop
    // until unblock. False with an errno-style code when it could not.
    virtual bool block(int& error) = 0;
    // Gives back every device block took; nothing when none is blocked.
    virtual void unblock() = 0;
};

// Never null; a display that cannot be reached makes block fail.
std::unique_ptr<LocalInputBlocker> createLocalInputBlocker(const std::string& display = {});

}  // namespace kvd::platform
