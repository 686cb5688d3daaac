// The binary input-channel messages, the key-state sync among them, and the
// key ids made from what they carry.
#include <cstdint>
#include <type_traits>
#include <variant>

#include "input/input_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kvd::InputMessage m = kvd::parseInputMessage(data, size);
    std::visit(
        [&](const auto& msg) {
            using T = std::decay_t<decltype(msg)>;
            if constexpr (std::is_same_v<T, kvd::input_msg::KeyStateSync>) {
                for (const auto& code : msg.codes) (void)kvd::keyIdForDomCode(code);
            } else if constexpr (std::is_same_v<T, kvd::input_msg::Key>) {
                (void)kvd::keyIdForScanCode(msg.scanCode, msg.flags & 1);
            }
        },
        m);
    // Whatever parsed as a message needed at least its type's length.
    if (size > 0 && !std::holds_alternative<kvd::input_msg::Malformed>(m) &&
        size < kvd::minimumInputMessageLength(data[0]))
        __builtin_trap();
    return 0;
}
