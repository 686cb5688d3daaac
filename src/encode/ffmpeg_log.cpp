#include "encode/ffmpeg_log.h"

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "common/log.h"

namespace kvd {
namespace {

void ffmpegLogCallback(void* avcl, int level, const char* fmt, va_list vl) {
    if (level > av_log_get_level()) return;
    char line[1024];
    int printPrefix = 1;
    va_list copy;
    va_copy(copy, vl);
    av_log_format_line2(avcl, level, fmt, copy, line, sizeof line, &printPrefix);
    va_end(copy);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) return;
    if (level <= AV_LOG_ERROR)
        logger().warn("[ffmpeg] {}", text);
    else if (level <= AV_LOG_WARNING)
        logger().info("[ffmpeg] {}", text);
    else
        logger().debug("[ffmpeg] {}", text);
}

}  // namespace

void routeFfmpegLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(ffmpegLogCallback); });
}

}  // namespace kvd
