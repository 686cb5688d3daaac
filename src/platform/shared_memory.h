#pragma once
// Named memory that several processes map at once: the carrier of the frame
// exchange between the SYSTEM helper and the engine.
#include <cstdint>
#include <memory>
#include <string>

namespace kvd::platform {

class SharedMemory {
  public:
    virtual ~SharedMemory() = default;
    // The mapped view: size() bytes, page aligned. Read-only when opened so.
    virtual uint8_t* data() = 0;
    // Size of the mapped region, measured from the object itself (never from
    // anything written inside it).
    virtual uint64_t size() const = 0;
    virtual const std::string& name() const = 0;
    // True once another process shrank the object under this mapping. The
    // pages past the new end then read as zeros instead of raising SIGBUS;
    // the contents are no longer the other side's, so callers refuse them.
    virtual bool truncated() const { return false; }
};

enum class ShmStatus {
    Ok,
    NotFound,       // no object of that name
    AlreadyExists,  // exclusive creation found the name taken
    AccessDenied,   // the object exists but may not be used by this process
    OpenFailed,     // any other failure to create or open
    MapFailed,      // the object opened but could not be mapped
};

struct ShmResult {
    std::unique_ptr<SharedMemory> memory;  // set exactly when status is Ok
    ShmStatus status = ShmStatus::OpenFailed;
    int error = 0;  // errno-style code of the failing step
};

// Creates a new object of `size` zero bytes, readable and writable only by
// this process's user (and, see shareSharedMemoryWith, the session's user),
// and maps it read/write. Never opens an existing one. The creator removes the
// name again when the returned object is destroyed.
ShmResult createSharedMemory(const std::string& name, uint64_t size);

// Opens an existing object and maps all of it. Objects owned by a user other
// than this process's or the system's are refused with AccessDenied, so that
// an unprivileged squatter cannot feed the engine.
ShmResult openSharedMemory(const std::string& name, bool writable);

// Removes the name (a stale object left by a crashed creator). Mappings that
// other processes hold stay valid. False when there was nothing to remove.
bool removeSharedMemory(const std::string& name);

// The name the operating system knows the object by (for logs and tests).
std::string sharedObjectName(const std::string& name);

// Objects created from now on belong to this user too (a privileged helper
// serving an unprivileged engine: the engine's user, as the authenticated pipe
// reports it). Only takes effect where this process may give objects away.
void shareSharedMemoryWith(long uid);

// This process's id, as the exchange records its producers.
uint32_t currentProcessId();

}  // namespace kvd::platform
