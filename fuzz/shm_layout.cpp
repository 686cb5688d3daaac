// Shared memory as a hostile producer could leave it. v2: a mapping judged
// against the directory's copy of its descriptor (judgeMapping). v1: the
// consumer attached to a real shared-memory object crafted from the input,
// then reading frames while the input rewrites the header.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "capture/shared_memory_capture.h"
#include "capture/shared_memory_layout.h"
#include "common/clock.h"
#include "fuzz_support.h"
#include "platform/shared_memory.h"

namespace {

using namespace kvd;

void judgeV2(fuzz::Reader& in) {
    shm::MappingDescriptor expected{};
    const std::string_view d = in.take(sizeof expected);
    std::memcpy(&expected, d.data(), d.size());
    // The region: input bytes, page-aligned like a mapping, at least the
    // header so that the slot rules are reached.
    const std::string_view body = in.rest();
    std::vector<uint64_t> region((std::max<size_t>(body.size(), 1) + 7) / 8);
    std::memcpy(region.data(), body.data(), body.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(region.data());
    shm::AcceptedMapping out;
    const int verdict = shm::judgeMapping(bytes, body.size(), expected, out);
    if (verdict != shm::kVerdictAccepted) return;
    // An accepted mapping's slots lie inside the region and hold a frame.
    if (out.width <= 0 || out.height <= 0 || out.stride < out.width * 4) __builtin_trap();
    for (uint64_t off : out.dataOffset)
        if (off < shm::kMappingHeaderBytes || off > body.size() ||
            out.frameBytes > body.size() - off)
            __builtin_trap();
}

void readV1(fuzz::Reader& in) {
    // Eight characters reach the object's name: six of this process, two of
    // the run, so that parallel runs never meet.
    static const std::string prefix = fmt::format("{:06x}", std::random_device{}() & 0xffffff);
    static unsigned counter = 0;
    const std::string session = prefix + fmt::format("{:02x}", ++counter & 0xff);
    // The size of the object (header plus a small frame area) and its header.
    const uint64_t size = shm::kV1HeaderBytes + in.u16();
    auto created =
        platform::createSharedMemory(shm::v1MemoryName(shm::sessionSuffix(session)), size);
    if (created.status != platform::ShmStatus::Ok) return;
    uint8_t* mem = created.memory->data();
    const std::string_view header = in.take(shm::kV1HeaderBytes);
    std::memcpy(mem, header.data(), header.size());

    ManualClock clock;
    SharedMemoryConsumerOptions o;
    o.clock = &clock;
    o.sleepMs = [](int) {};
    SharedMemoryCapture consumer(o);
    consumer.setSessionId(session);
    if (!consumer.init(0)) return;
    while (!in.empty()) {
        // offset, value: one header word rewritten between frames.
        const size_t at = in.byte() % (shm::kV1HeaderBytes / 4) * 4;
        const std::string_view word = in.take(4);
        std::memcpy(mem + at, word.data(), word.size());
        clock.advanceMs(in.byte() * 40);
        const CapturedFrame f = consumer.captureFrame();
        if (f.valid) {
            // A frame handed out lies inside the object (the consumer's own
            // view of it: reading its last byte must not fault).
            const uint64_t bytes = uint64_t(f.stride) * f.height;
            if (f.width <= 0 || f.height <= 0 || shm::kV1HeaderBytes + bytes > size)
                __builtin_trap();
            volatile uint8_t last = f.data[bytes - 1];
            (void)last;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    if (in.byte() & 1)
        readV1(in);
    else
        judgeV2(in);
    return 0;
}
