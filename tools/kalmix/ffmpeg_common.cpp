// FFmpeg log capture and error texts.
#include "tools/kalmix/ffmpeg_common.h"

#include <cstdarg>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

namespace kalmix::tool {
namespace {

char lastLogged[512];

void logCallback(void* object, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_ERROR) return;
    int printPrefix = 0;
    char line[sizeof lastLogged];
    av_log_format_line2(object, level, format, arguments, line, sizeof line, &printPrefix);
    // Keep the first line only, without its newline.
    std::size_t n = 0;
    while (line[n] != '\0' && line[n] != '\n' && line[n] != '\r') ++n;
    line[n] = '\0';
    if (n > 0) std::snprintf(lastLogged, sizeof lastLogged, "%s", line);
}

}  // namespace

void captureFfmpegLog() { av_log_set_callback(logCallback); }

void clearFfmpegLog() { lastLogged[0] = '\0'; }

std::string avErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    std::string result = text;
    if (lastLogged[0] != '\0') result += std::string(" (") + lastLogged + ")";
    clearFfmpegLog();
    return result;
}

}  // namespace kalmix::tool
