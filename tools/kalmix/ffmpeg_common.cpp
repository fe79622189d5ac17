// FFmpeg log capture and error texts.
#include "tools/kalmix/ffmpeg_common.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/log.h>
}

namespace kalmix::tool {
namespace {

char lastLogged[512];
int shownLevel = AV_LOG_WARNING;
// FFmpeg's remarks wait here until the work goes on: a failure prints its
// one line and drops them.
constexpr int PENDING_MAX = 16;
char pending[PENDING_MAX][sizeof lastLogged];
int pendingCount = 0;
int pendingDropped = 0;

void logCallback(void* object, int level, const char* format, va_list arguments) {
    // Errors are kept for the one line of a failure (avErrorText); what is
    // less than an error is shown as FFmpeg's own remark, up to -v's level.
    if (level > AV_LOG_ERROR && level > shownLevel) return;
    int printPrefix = 1;
    char line[sizeof lastLogged];
    av_log_format_line2(object, level, format, arguments, line, sizeof line, &printPrefix);
    std::size_t n = 0;
    while (line[n] != '\0' && line[n] != '\n' && line[n] != '\r') ++n;
    line[n] = '\0';
    if (n == 0) return;
    if (level <= AV_LOG_ERROR) {
        // Keep the first line only, without its newline or the object prefix.
        const char* text = line;
        if (text[0] == '[') {
            if (const char* end = std::strstr(text, "] ")) text = end + 2;
        }
        std::snprintf(lastLogged, sizeof lastLogged, "%s", text);
        // Errors FFmpeg recovers from (a damaged macroblock) show at verbose.
        if (shownLevel >= AV_LOG_VERBOSE && pendingCount < PENDING_MAX) {
            std::snprintf(pending[pendingCount++], sizeof pending[0], "%s", line);
        }
    } else if (pendingCount < PENDING_MAX) {
        std::snprintf(pending[pendingCount++], sizeof pending[0], "%s", line);
    } else {
        ++pendingDropped;
    }
}

}  // namespace

void captureFfmpegLog() { av_log_set_callback(logCallback); }

void setFfmpegLogLevel(int level) {
    shownLevel = level;
    av_log_set_level(level);
}

void clearFfmpegLog() { lastLogged[0] = '\0'; }

void flushFfmpegRemarks() {
    for (int i = 0; i < pendingCount; ++i) std::fprintf(stderr, "kalmix: ffmpeg: %s\n", pending[i]);
    if (pendingDropped > 0) std::fprintf(stderr, "kalmix: ffmpeg: (%d more remarks not shown)\n", pendingDropped);
    dropFfmpegRemarks();
}

void dropFfmpegRemarks() {
    pendingCount = 0;
    pendingDropped = 0;
}

AVPixelFormat plainLayout(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        return AV_PIX_FMT_YUV411P;
    default:
        return format;
    }
}

std::string avErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    std::string result = text;
    if (lastLogged[0] != '\0') result += std::string(" (") + lastLogged + ")";
    clearFfmpegLog();
    return result;
}

}  // namespace kalmix::tool
