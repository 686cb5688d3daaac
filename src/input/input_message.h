#pragma once
// The binary messages of the input channel (also carried as binary messages on
// the control channel). Parsing is pure so that every byte string has exactly
// one meaning and nothing is touched before a message is known to be whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kvd {

namespace input_msg {

enum Type : uint8_t {
    kMouseMove = 0x01,
    kMouseDown = 0x02,
    kMouseUp = 0x03,
    kWheel = 0x04,
    kKeyDown = 0x05,
    kKeyUp = 0x06,
    kKeyStateSync = 0x07,
    kSendSas = 0x10,
};

// Shorter than the minimum length of its type.
struct Malformed {
    uint8_t type;
    size_t length;
};
struct MouseMove {
    uint16_t x, y;
};
struct MouseButton {
    uint8_t button;
    bool down;
};
struct Wheel {
    int16_t vertical, horizontal;
};
struct Key {
    uint16_t scanCode;
    uint16_t virtualKey;
    uint8_t flags;
    bool down;
};
// The DOM codes of the keys the viewer believes to be down.
struct KeyStateSync {
    std::vector<std::string> codes;
};
struct KeyStateSyncInvalid {
    enum class Reason { TooShort, Truncated, TruncatedCode } reason;
    size_t value;  // the length for TooShort, else the entry index
};
struct SendSas {};
struct Unknown {
    uint8_t type;
};

}  // namespace input_msg

using InputMessage =
    std::variant<std::monostate, input_msg::Malformed, input_msg::MouseMove, input_msg::MouseButton,
                 input_msg::Wheel, input_msg::Key, input_msg::KeyStateSync,
                 input_msg::KeyStateSyncInvalid, input_msg::SendSas, input_msg::Unknown>;

// Minimum length of a message of this type (1 for unknown types).
size_t minimumInputMessageLength(uint8_t type);

// std::monostate for an empty message.
InputMessage parseInputMessage(const uint8_t* data, size_t length);

// "sc:0x1d:ext" style key ids.
std::string keyIdForScanCode(uint16_t scanCode, bool extended);
// The key id of a DOM KeyboardEvent.code; "dom:<code>" when not in the table.
std::string keyIdForDomCode(std::string_view code);

}  // namespace kvd
