// Sequences of input-channel messages through InputChannelHandler: key
// tracking, the key-state sync reconciliation, the stuck-key sweep and the
// access-mode switch. A held key must be gone after releaseAllKeys.
#include <cstdint>
#include <memory>
#include <string>

#include "common/clock.h"
#include "fuzz_support.h"
#include "input/input_channel_handler.h"
#include "input/input_injector.h"

namespace {

// Counts what reached it; keeps nothing, so long inputs stay cheap.
class CountingInjector final : public kvd::InputInjector {
  public:
    void mouseMove(uint16_t, uint16_t) override { ++calls; }
    void mouseDown(uint8_t) override { ++calls; }
    void mouseUp(uint8_t) override { ++calls; }
    void mouseWheel(int16_t, int16_t) override { ++calls; }
    void keyDown(uint16_t, uint16_t, uint8_t) override { ++downs; }
    void keyUp(uint16_t, uint16_t, uint8_t) override { ++ups; }
    void typeText(const std::string&, uint32_t) override { ++calls; }
    void sendSas() override { ++calls; }
    void setActiveMonitorBounds(int32_t, int32_t, int32_t, int32_t) override { ++calls; }
    bool isAvailable() override { return true; }
    uint64_t calls = 0, downs = 0, ups = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvd::ManualClock clock;
    auto injector = std::make_unique<CountingInjector>();
    kvd::InputChannelHandler handler(std::move(injector), clock);
    kvd::fuzz::Reader in(data, size);
    int sas = 0;
    while (!in.empty()) {
        const uint8_t op = in.byte();
        switch (op % 8) {
            case 5:
                clock.advanceMs(int64_t{in.u16()} * 4);
                handler.sweepStuckKeys(clock.nowMs());
                break;
            case 6:
                handler.applyAccessMode((op & 8) ? "VIEW_ONLY" : "FULL_CONTROL", op & 16);
                break;
            case 7:
                if (op & 8) handler.setSasCallback([&sas] { ++sas; });
                handler.releaseAllKeys();
                if (!handler.heldKeyIds().empty()) __builtin_trap();
                break;
            default: {
                const std::string_view msg = in.piece();
                handler.handleMessage(reinterpret_cast<const uint8_t*>(msg.data()), msg.size());
                break;
            }
        }
    }
    handler.releaseAllKeys();
    if (!handler.heldKeyIds().empty()) __builtin_trap();
    return 0;
}
