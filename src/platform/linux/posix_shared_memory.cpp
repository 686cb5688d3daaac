// Named file mappings as POSIX shared memory objects (shm_open + mmap), and
// named auto-reset events as one futex word in a small shared object.
//
// Name mapping: a name such as "Global\kelvandrum-shm-abcd1234" becomes the
// POSIX name "/Global.kelvandrum-shm-abcd1234": a leading "/", every backslash
// turned into ".", and every byte outside [A-Za-z0-9_-] (so also "/", "." and
// "%" coming from a session id) written as "%XX". The mapping is injective,
// and the result never holds a second slash.
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/named_event.h"
#include "platform/shared_memory.h"

namespace kvd::platform {

namespace {

// No layout of the exchange comes near this; a bigger object is refused
// rather than mapped.
constexpr uint64_t kMaxMappingBytes = 8ull << 30;
constexpr uint64_t kEventBytes = 64;

// Another process with write access can shrink an object under our mapping;
// touching the lost pages then raises SIGBUS, which would end the engine in
// the middle of reading a frame. Every mapping is registered here, and a
// SIGBUS inside one replaces the lost pages with private zero pages and marks
// the mapping truncated, so the access completes and the reader refuses the
// frame. The registry is fixed-size and lock-free for the handler.
struct GuardedRange {
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> truncated{false};
};
constexpr int kMaxGuarded = 256;
GuardedRange gGuarded[kMaxGuarded];
std::mutex gGuardedMu;  // register and unregister only; never in the handler
struct sigaction gPrevSigbus {};
std::once_flag gSigbusInstalled;

void onSigbus(int sig, siginfo_t* info, void* context) {
    const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    for (auto& r : gGuarded) {
        const uintptr_t start = r.start.load(std::memory_order_acquire);
        const uintptr_t end = r.end.load(std::memory_order_acquire);
        if (start == 0 || addr < start || addr >= end) continue;
        const uintptr_t from = addr & ~(page - 1);
        void* p = ::mmap(reinterpret_cast<void*>(from), end - from, PROT_READ | PROT_WRITE,
                         MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            r.truncated.store(true, std::memory_order_release);
            return;  // the faulting access is retried on the zero pages
        }
    }
    // Not one of ours: whatever was installed before, else the default
    // action (the access is retried and ends the process as it would have).
    if ((gPrevSigbus.sa_flags & SA_SIGINFO) && gPrevSigbus.sa_sigaction) {
        gPrevSigbus.sa_sigaction(sig, info, context);
        return;
    }
    if (!(gPrevSigbus.sa_flags & SA_SIGINFO) && gPrevSigbus.sa_handler != SIG_DFL &&
        gPrevSigbus.sa_handler != SIG_IGN && gPrevSigbus.sa_handler != nullptr) {
        gPrevSigbus.sa_handler(sig);
        return;
    }
    ::signal(SIGBUS, SIG_DFL);
}

int guardRange(uint8_t* view, uint64_t size) {
    std::call_once(gSigbusInstalled, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onSigbus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGBUS, &sa, &gPrevSigbus);
    });
    std::lock_guard<std::mutex> lk(gGuardedMu);
    for (int i = 0; i < kMaxGuarded; ++i) {
        auto& r = gGuarded[i];
        if (r.start.load() != 0) continue;
        r.truncated.store(false);
        r.end.store(reinterpret_cast<uintptr_t>(view) + size, std::memory_order_release);
        r.start.store(reinterpret_cast<uintptr_t>(view), std::memory_order_release);
        return i;
    }
    return -1;  // more mappings than slots: unguarded, as before
}

void unguardRange(int slot) {
    if (slot < 0) return;
    std::lock_guard<std::mutex> lk(gGuardedMu);
    gGuarded[slot].start.store(0, std::memory_order_release);
    gGuarded[slot].end.store(0, std::memory_order_release);
}

std::atomic<long> gShareWithUid{-1};

class PosixSharedMemory final : public SharedMemory {
  public:
    PosixSharedMemory(std::string name, uint8_t* view, uint64_t size, bool removeOnClose)
        : name_(std::move(name)),
          view_(view),
          size_(size),
          removeOnClose_(removeOnClose),
          guard_(guardRange(view, size)) {}
    ~PosixSharedMemory() override {
        unguardRange(guard_);
        if (view_) ::munmap(view_, size_);
        if (removeOnClose_) ::shm_unlink(sharedObjectName(name_).c_str());
    }
    uint8_t* data() override { return view_; }
    uint64_t size() const override { return size_; }
    const std::string& name() const override { return name_; }
    bool truncated() const override {
        return guard_ >= 0 && gGuarded[guard_].truncated.load(std::memory_order_acquire);
    }

  private:
    std::string name_;
    uint8_t* view_;
    uint64_t size_;
    bool removeOnClose_;
    int guard_;
};

ShmStatus statusFor(int err) {
    switch (err) {
        case ENOENT:
            return ShmStatus::NotFound;
        case EEXIST:
            return ShmStatus::AlreadyExists;
        case EACCES:
        case EPERM:
            return ShmStatus::AccessDenied;
        default:
            return ShmStatus::OpenFailed;
    }
}

ShmResult failure(ShmStatus st, int err) {
    ShmResult r;
    r.status = st;
    r.error = err;
    return r;
}

bool trustedOwner(uid_t uid) {
    return uid == 0 || uid == ::geteuid();
}

}  // namespace

std::string sharedObjectName(const std::string& name) {
    std::string out = "/";
    for (unsigned char c : name) {
        if (c == '\\') {
            out += '.';
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

ShmResult createSharedMemory(const std::string& name, uint64_t size) {
    if (size == 0 || size > kMaxMappingBytes) return failure(ShmStatus::OpenFailed, EINVAL);
    const std::string os = sharedObjectName(name);
    const int fd = ::shm_open(os.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return failure(statusFor(errno), errno);
    // Private to this user: anyone else who could open the object could also
    // shrink it under the reader. A privileged helper hands it to the
    // session's user, who is the only other side.
    const long shareUid = gShareWithUid.load();
    const bool giveAway = shareUid >= 0 && static_cast<uid_t>(shareUid) != ::geteuid();
    if (::fchmod(fd, 0600) != 0 ||
        (giveAway && ::fchown(fd, static_cast<uid_t>(shareUid), -1) != 0) ||
        ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        const int err = errno;
        ::close(fd);
        ::shm_unlink(os.c_str());
        return failure(ShmStatus::OpenFailed, err);
    }
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int err = errno;
    ::close(fd);
    if (view == MAP_FAILED) {
        ::shm_unlink(os.c_str());
        return failure(ShmStatus::MapFailed, err);
    }
    ShmResult r;
    r.memory = std::make_unique<PosixSharedMemory>(name, static_cast<uint8_t*>(view), size, true);
    r.status = ShmStatus::Ok;
    return r;
}

ShmResult openSharedMemory(const std::string& name, bool writable) {
    const std::string os = sharedObjectName(name);
    const int fd = ::shm_open(os.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    if (fd < 0) return failure(statusFor(errno), errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return failure(ShmStatus::OpenFailed, err);
    }
    if (!S_ISREG(st.st_mode) || !trustedOwner(st.st_uid)) {
        ::close(fd);
        return failure(ShmStatus::AccessDenied, EPERM);
    }
    const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (size == 0 || size > kMaxMappingBytes) {
        ::close(fd);
        return failure(ShmStatus::MapFailed, size == 0 ? EINVAL : EFBIG);
    }
    void* view =
        ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    const int err = errno;
    ::close(fd);
    if (view == MAP_FAILED) return failure(ShmStatus::MapFailed, err);
    ShmResult r;
    r.memory = std::make_unique<PosixSharedMemory>(name, static_cast<uint8_t*>(view), size, false);
    r.status = ShmStatus::Ok;
    return r;
}

void shareSharedMemoryWith(long uid) {
    gShareWithUid.store(uid);
}

uint32_t currentProcessId() {
    return static_cast<uint32_t>(::getpid());
}

bool removeSharedMemory(const std::string& name) {
    return ::shm_unlink(sharedObjectName(name).c_str()) == 0;
}

namespace {

class FutexEvent final : public NamedEvent {
  public:
    explicit FutexEvent(std::unique_ptr<SharedMemory> mem) : mem_(std::move(mem)) {}
    void set() override {
        __atomic_store_n(word(), 1u, __ATOMIC_RELEASE);
        ::syscall(SYS_futex, word(), FUTEX_WAKE, 1, nullptr, nullptr, 0);
    }
    bool wait(int timeoutMs) override {
        struct timespec deadline {};
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        for (;;) {
            // Any non-zero value counts as signalled: a word scribbled on by
            // the other side must not turn this into a busy loop.
            uint32_t v = __atomic_load_n(word(), __ATOMIC_ACQUIRE);
            while (v != 0) {
                if (__atomic_compare_exchange_n(word(), &v, 0u, false, __ATOMIC_ACQ_REL,
                                                __ATOMIC_ACQUIRE))
                    return true;
            }
            struct timespec now {};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            int64_t leftNs =
                (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
            if (leftNs <= 0) return false;
            struct timespec rel {
                static_cast<time_t>(leftNs / 1000000000LL), static_cast<long>(leftNs % 1000000000LL)
            };
            ::syscall(SYS_futex, word(), FUTEX_WAIT, 0u, &rel, nullptr, 0);
        }
    }

  private:
    uint32_t* word() { return reinterpret_cast<uint32_t*>(mem_->data()); }
    std::unique_ptr<SharedMemory> mem_;
};

}  // namespace

EventResult openNamedEvent(const std::string& name) {
    EventResult r;
    auto shm = openSharedMemory(name, true);
    if (shm.status != ShmStatus::Ok) {
        r.error = shm.error;
        return r;
    }
    if (shm.memory->size() < sizeof(uint32_t)) {
        r.error = EINVAL;
        return r;
    }
    r.event = std::make_unique<FutexEvent>(std::move(shm.memory));
    return r;
}

EventResult createNamedEvent(const std::string& name, bool initiallySet, bool openExisting) {
    EventResult r;
    auto shm = createSharedMemory(name, kEventBytes);
    if (shm.status == ShmStatus::AlreadyExists) {
        if (openExisting) {
            r = openNamedEvent(name);
            if (r.event) return r;
        }
        // A stale or foreign object holds the name: replace it.
        removeSharedMemory(name);
        shm = createSharedMemory(name, kEventBytes);
    }
    if (shm.status != ShmStatus::Ok) {
        r.event.reset();
        r.error = shm.error;
        return r;
    }
    auto* word = reinterpret_cast<uint32_t*>(shm.memory->data());
    __atomic_store_n(word, initiallySet ? 1u : 0u, __ATOMIC_RELEASE);
    r.event = std::make_unique<FutexEvent>(std::move(shm.memory));
    r.error = 0;
    r.created = true;
    return r;
}

}  // namespace kvd::platform
