// Feeds both encoders BGRA pictures whose last byte is the last byte before
// an inaccessible page, the way a capture buffer can end. Any read past the
// picture crashes this program; it prints "ok <encoder> WxH" per case.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "encode/hw_encoder.h"
#include "encode/sw_encoder.h"

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const std::pair<int, int> sizes[] = {{641, 361}, {1366, 768}, {33, 17}, {2, 2}, {1, 1}};
    for (const std::string kind : {"openh264", "libx264"}) {
        for (const auto& [w, h] : sizes) {
            const size_t bytes = static_cast<size_t>(w) * h * 4;
            const size_t span = (bytes + page - 1) / page * page;
            void* base = mmap(nullptr, span + page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (base == MAP_FAILED || mprotect(static_cast<uint8_t*>(base) + span, page, PROT_NONE))
                return 1;
            uint8_t* pixels = static_cast<uint8_t*>(base) + span - bytes;
            std::memset(pixels, 0x80, bytes);

            std::unique_ptr<kvd::VideoEncoder> enc;
            if (kind == "openh264")
                enc = std::make_unique<kvd::SwEncoder>();
            else
                enc = std::make_unique<kvd::HwEncoder>(std::vector<std::string>{"libx264"});
            kvd::EncoderConfig cfg;
            cfg.width = w;
            cfg.height = h;
            if (!enc->init(cfg)) return 1;
            for (int i = 0; i < 3; ++i) enc->encode(pixels, w * 4, int64_t{i} * 33'333);
            // A scaled path as well: the source stays, the encoded size halves.
            if (enc->reconfigure(w / 2, h / 2, 30, 1000, w, h)) enc->encode(pixels, w * 4, 100'000);
            std::printf("ok %s %dx%d\n", kind.c_str(), w, h);
            enc.reset();
            munmap(base, span + page);
        }
    }
    return 0;
}
