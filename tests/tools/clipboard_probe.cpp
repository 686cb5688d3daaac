// Drives the engine's clipboard sync against a real X display: the listener
// reports local changes, commands on stdin write, read and clear the
// clipboard. One JSON line per event on stdout:
//   {"ev":"ready"}  {"ev":"change","bytes":N,"sha":"..."}
//   {"ev":"set","ok":true}  {"ev":"get","bytes":N,"sha":"..."}  {"ev":"clear","ok":true}
// Commands: "set FILE", "get", "clear", "suppress" (the next update is the
// engine's own), "quit".
// Usage: kvdtool_clipboard_probe DISPLAY
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>

#include "common/codec.h"
#include "features/clipboard_sync.h"

namespace {

std::mutex outMu;

void emit(const std::string& line) {
    std::lock_guard<std::mutex> lock(outMu);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string describe(const char* ev, const std::string& text) {
    return std::string(R"({"ev":")") + ev + R"(","bytes":)" + std::to_string(text.size()) +
           R"(,"sha":")" + kvd::Sha256::hex(text.data(), text.size()) + "\"}";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvdtool_clipboard_probe DISPLAY\n");
        return 2;
    }
    auto access = kvd::platform::createClipboardAccess(argv[1]);
    if (!access) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    kvd::ClipboardPolicy policy({}, access.get());
    kvd::ClipboardListener listener(access.get());
    if (!listener.start([](const std::string& text, bool) { emit(describe("change", text)); }))
        return 1;
    emit(R"({"ev":"ready"})");
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("set ", 0) == 0) {
            std::ifstream f(line.substr(4), std::ios::binary);
            kvd::ClipboardPayload p;
            p.bytes.assign(std::istreambuf_iterator<char>(f), {});
            const bool ok = policy.setClipboardText(p);
            emit(std::string(R"({"ev":"set","ok":)") + (ok ? "true" : "false") + "}");
        } else if (line == "get") {
            const auto text = access->readText(10485760);
            emit(text ? describe("get", *text) : R"({"ev":"get","bytes":-1})");
        } else if (line == "clear") {
            const bool ok = policy.clearClipboard();
            emit(std::string(R"({"ev":"clear","ok":)") + (ok ? "true" : "false") + "}");
        } else if (line == "suppress") {
            listener.suppressNextUpdate();
        } else if (line == "quit") {
            break;
        }
    }
    listener.stop();
    return 0;
}
