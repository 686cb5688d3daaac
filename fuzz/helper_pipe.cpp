// Lines the input helper reads from its pipe: the hello check and every
// command, executed on a counting injector, with fake capture producers so
// the "shm2" and secure-desktop paths run without a display.
#include <cstdint>
#include <memory>
#include <string>

#include "common/clock.h"
#include "fuzz_support.h"
#include "helper/input_helper.h"
#include "input/input_injector.h"

namespace {

class CountingInjector final : public kvd::InputInjector {
  public:
    void mouseMove(uint16_t, uint16_t) override { ++calls; }
    void mouseDown(uint8_t) override { ++calls; }
    void mouseUp(uint8_t) override { ++calls; }
    void mouseWheel(int16_t, int16_t) override { ++calls; }
    void keyDown(uint16_t, uint16_t, uint8_t) override { ++calls; }
    void keyUp(uint16_t, uint16_t, uint8_t) override { ++calls; }
    void typeText(const std::string& s, uint32_t) override { calls += s.size(); }
    void sendSas() override { ++calls; }
    void setActiveMonitorBounds(int32_t, int32_t, int32_t, int32_t) override { ++calls; }
    bool isAvailable() override { return true; }
    uint64_t calls = 0;
};

class FakeProducer final : public kvd::ProducerControl {
  public:
    bool start(const std::string&, const std::string&) override { return running_ = true; }
    void stop() override { running_ = false; }
    bool running() override { return running_; }

  private:
    bool running_ = false;
};

struct Rig {
    kvd::ManualClock clock;
    std::unique_ptr<kvd::InputHelper> helper;
    Rig() {
        kvd::InputHelperOptions o;
        o.sessionId = "sess-fuzz";
        o.token = "tok";
        o.shmV2 = true;
        o.transitionBridge = true;
        o.mainDisplay = ":1";
        o.secureDisplay = ":2";
        kvd::InputHelperSeams s;
        s.clock = &clock;
        s.wallNowMs = [] { return int64_t{777}; };
        s.desktopName = [] { return std::string("Winlogon"); };
        s.watcherProbe = [] { return std::string("Default"); };
        auto producer = [](const std::string&, const std::string&) {
            return std::make_unique<FakeProducer>();
        };
        s.makeV1Producer = producer;
        s.makeV2Producer = producer;
        s.exitProcess = [](int) {};
        s.keepRunning = [] { return false; };
        helper = std::make_unique<kvd::InputHelper>(o, s);
        helper->initProducers();
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    CountingInjector injector;
    uint64_t replied = 0;
    const kvd::InputHelper::ReplyFn reply = [&](const std::string& line) {
        replied += line.size();
    };
    kvd::fuzz::Reader in(data, size);
    // Newline-separated lines, as the pipe delivers them; a leading 0x01 byte
    // on a line also drives the secure-desktop and watchdog transitions.
    std::string_view all = in.rest();
    while (!all.empty()) {
        const size_t nl = all.find('\n');
        std::string_view line = all.substr(0, nl);
        all = nl == std::string_view::npos ? std::string_view{} : all.substr(nl + 1);
        if (!line.empty() && line[0] == '\x01') {
            const char what = line.size() > 1 ? line[1] : 0;
            if (what & 1)
                rig.helper->onSecureEnter();
            else
                rig.helper->onSecureExit();
            rig.clock.advanceMs((what & 0x70) * 100);
            (void)rig.helper->watchdogTick();
            continue;
        }
        (void)rig.helper->verifyHello(std::string(line));
        rig.helper->executeCommand(std::string(line), injector, reply);
    }
    return replied == 0xffffffffffffffffull;
}
