// Control-channel JSON through ControlDispatcher::dispatch, with recording
// fakes behind it for a few feature types, and REMOTE_SESSION_CONFIG payloads
// through applySessionConfig. First byte: which of the two.
#include <atomic>
#include <cstdint>
#include <string>

#include "common/json_util.h"
#include "features/control_dispatcher.h"
#include "fuzz_support.h"

namespace {

struct Rig {
    std::atomic<bool> cursorOverlay{false}, inputChannel{false}, videoDc{false}, running{true};
    uint64_t replies = 0, relayed = 0, handled = 0;
    kvd::ControlDispatcher dispatcher{
        {&cursorOverlay, &inputChannel, &videoDc, &running},
        [this](const kvd::Json& reply) { replies += kvd::dumpJson(reply).size(); }};

    Rig() {
        // The shape of a feature handler: tolerant field reads, a reply.
        auto feature = [this](const kvd::Json& m) {
            ++handled;
            const std::string id = kvd::jsonStringOr(m, "id", "");
            const auto n = kvd::jsonInt(m, "seq");
            if (const kvd::Json* body = kvd::jsonObject(m, "payload")) handled += body->size();
            dispatcher.sendReply(kvd::Json{{"type", "ack"}, {"id", id}, {"seq", n.value_or(0)}});
        };
        for (const char* type : {"resolution_change", "clipboard", "ping", "monitor_select"})
            dispatcher.setHandler(type, feature);
        dispatcher.setHandler("throws", [](const kvd::Json& m) { (void)m.at("missing"); });
        kvd::ControlDispatcher::SessionConfigHooks hooks;
        hooks.accessModeChanged = [this](const std::string& m) { handled += m.size(); };
        hooks.clipboardPolicyChanged = [this](bool) { ++handled; };
        hooks.recordingReconfigure = [this](const kvd::ControlDispatcher::Policy& p) {
            handled += p.tenantId.size();
        };
        hooks.sendRelay = [this](const std::string&, const kvd::Json& payload) {
            relayed += kvd::dumpJson(payload).size();
        };
        dispatcher.setSessionConfigHooks(hooks);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    kvd::fuzz::Reader in(data, size);
    const uint8_t mode = in.byte();
    const std::string_view text = in.rest();
    if (mode & 1) {
        if (auto payload = kvd::parseJson(text)) rig.dispatcher.applySessionConfig(*payload);
    } else {
        rig.dispatcher.dispatch(std::string(text));
    }
    if (mode & 2) rig.dispatcher.reportDegradation(static_cast<int8_t>(mode) >> 2);
    return 0;
}
