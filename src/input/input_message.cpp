#include "input/input_message.h"

#include <fmt/format.h>

namespace kvd {

namespace {

uint16_t u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

struct DomCode {
    std::string_view code;
    uint16_t scanCode;
    bool extended;
};

// Searched in this order.
constexpr DomCode kDomCodes[] = {
    {"Escape", 0x01, false},       {"F1", 0x3B, false},          {"F2", 0x3C, false},
    {"F3", 0x3D, false},           {"F4", 0x3E, false},          {"F5", 0x3F, false},
    {"F6", 0x40, false},           {"F7", 0x41, false},          {"F8", 0x42, false},
    {"F9", 0x43, false},           {"F10", 0x44, false},         {"F11", 0x57, false},
    {"F12", 0x58, false},          {"Backquote", 0x29, false},   {"Digit1", 0x02, false},
    {"Digit2", 0x03, false},       {"Digit3", 0x04, false},      {"Digit4", 0x05, false},
    {"Digit5", 0x06, false},       {"Digit6", 0x07, false},      {"Digit7", 0x08, false},
    {"Digit8", 0x09, false},       {"Digit9", 0x0A, false},      {"Digit0", 0x0B, false},
    {"Minus", 0x0C, false},        {"Equal", 0x0D, false},       {"Backspace", 0x0E, false},
    {"Tab", 0x0F, false},          {"KeyQ", 0x10, false},        {"KeyW", 0x11, false},
    {"KeyE", 0x12, false},         {"KeyR", 0x13, false},        {"KeyT", 0x14, false},
    {"KeyY", 0x15, false},         {"KeyU", 0x16, false},        {"KeyI", 0x17, false},
    {"KeyO", 0x18, false},         {"KeyP", 0x19, false},        {"BracketLeft", 0x1A, false},
    {"BracketRight", 0x1B, false}, {"Backslash", 0x2B, false},   {"CapsLock", 0x3A, false},
    {"KeyA", 0x1E, false},         {"KeyS", 0x1F, false},        {"KeyD", 0x20, false},
    {"KeyF", 0x21, false},         {"KeyG", 0x22, false},        {"KeyH", 0x23, false},
    {"KeyJ", 0x24, false},         {"KeyK", 0x25, false},        {"KeyL", 0x26, false},
    {"Semicolon", 0x27, false},    {"Quote", 0x28, false},       {"Enter", 0x1C, false},
    {"ShiftLeft", 0x2A, false},    {"KeyZ", 0x2C, false},        {"KeyX", 0x2D, false},
    {"KeyC", 0x2E, false},         {"KeyV", 0x2F, false},        {"KeyB", 0x30, false},
    {"KeyN", 0x31, false},         {"KeyM", 0x32, false},        {"Comma", 0x33, false},
    {"Period", 0x34, false},       {"Slash", 0x35, false},       {"ShiftRight", 0x36, false},
    {"ControlLeft", 0x1D, false},  {"MetaLeft", 0x5B, true},     {"AltLeft", 0x38, false},
    {"Space", 0x39, false},        {"AltRight", 0x38, true},     {"MetaRight", 0x5C, true},
    {"ContextMenu", 0x5D, true},   {"ControlRight", 0x1D, true}, {"Insert", 0x52, true},
    {"Home", 0x47, true},          {"PageUp", 0x49, true},       {"Delete", 0x53, true},
    {"End", 0x4F, true},           {"PageDown", 0x51, true},     {"ArrowUp", 0x48, true},
    {"ArrowDown", 0x50, true},     {"ArrowLeft", 0x4B, true},    {"ArrowRight", 0x4D, true},
};
static_assert(std::size(kDomCodes) == 84);

input_msg::KeyStateSyncInvalid invalid(input_msg::KeyStateSyncInvalid::Reason r, size_t v) {
    return {r, v};
}

InputMessage parseKeyStateSync(const uint8_t* data, size_t length) {
    using R = input_msg::KeyStateSyncInvalid::Reason;
    if (length < 2) return invalid(R::TooShort, length);
    const size_t count = data[1];
    input_msg::KeyStateSync sync;
    sync.codes.reserve(count);
    size_t p = 2;
    for (size_t i = 0; i < count; ++i) {
        if (p + 1 > length) return invalid(R::Truncated, i);
        const size_t len = data[p];
        if (p + 1 + len > length) return invalid(R::TruncatedCode, i);
        sync.codes.emplace_back(reinterpret_cast<const char*>(data + p + 1), len);
        p += 1 + len;
    }
    return sync;
}

}  // namespace

size_t minimumInputMessageLength(uint8_t type) {
    switch (type) {
        case input_msg::kMouseMove:
            return 7;
        case input_msg::kMouseDown:
        case input_msg::kMouseUp:
            return 4;
        case input_msg::kWheel:
        case input_msg::kKeyDown:
        case input_msg::kKeyUp:
            return 6;
        case input_msg::kKeyStateSync:
            return 2;
        default:
            return 1;
    }
}

InputMessage parseInputMessage(const uint8_t* data, size_t length) {
    if (!data || length == 0) return std::monostate{};
    const uint8_t type = data[0];
    if (length < minimumInputMessageLength(type)) return input_msg::Malformed{type, length};
    switch (type) {
        case input_msg::kMouseMove:
            return input_msg::MouseMove{u16(data + 1), u16(data + 3)};
        case input_msg::kMouseDown:
        case input_msg::kMouseUp:
            return input_msg::MouseButton{data[1], type == input_msg::kMouseDown};
        case input_msg::kWheel:
            return input_msg::Wheel{static_cast<int16_t>(u16(data + 1)),
                                    static_cast<int16_t>(u16(data + 3))};
        case input_msg::kKeyDown:
        case input_msg::kKeyUp:
            return input_msg::Key{u16(data + 1), u16(data + 4), data[3],
                                  type == input_msg::kKeyDown};
        case input_msg::kKeyStateSync:
            return parseKeyStateSync(data, length);
        case input_msg::kSendSas:
            return input_msg::SendSas{};
        default:
            return input_msg::Unknown{type};
    }
}

std::string keyIdForScanCode(uint16_t scanCode, bool extended) {
    return fmt::format("sc:0x{:x}{}", scanCode, extended ? ":ext" : "");
}

std::string keyIdForDomCode(std::string_view code) {
    for (const auto& e : kDomCodes)
        if (e.code == code) return keyIdForScanCode(e.scanCode, e.extended);
    return "dom:" + std::string(code);
}

}  // namespace kvd
