#pragma once
// Named auto-reset events shared between processes: set() wakes one waiter,
// and a successful wait() consumes the signal.
#include <memory>
#include <string>

namespace kvd::platform {

class NamedEvent {
  public:
    virtual ~NamedEvent() = default;
    virtual void set() = 0;
    // True when the event was signalled (and is now clear again) within
    // timeoutMs; false on timeout.
    virtual bool wait(int timeoutMs) = 0;
};

struct EventResult {
    std::unique_ptr<NamedEvent> event;  // null on failure
    int error = 0;                      // errno-style code
    bool created = false;               // this call created the object
};

// Creates the event; when the name is taken and openExisting is true the
// existing event is opened instead (it keeps its state), otherwise a stale
// object of that name is replaced. The creator removes the name on
// destruction.
EventResult createNamedEvent(const std::string& name, bool initiallySet, bool openExisting);

// Opens an existing event for waiting and setting.
EventResult openNamedEvent(const std::string& name);

}  // namespace kvd::platform
