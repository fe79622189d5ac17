// FFmpeg log capture and error texts.
#include "tools/kalmix/ffmpeg_common.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace kalmix::tool {
namespace {

// FFmpeg logs from the caller's thread and from its own (a decoder's frame
// threads, the reading thread): the error and the remarks kept are shared.
std::mutex logMutex;
char lastLogged[512];
std::atomic<int> shownLevel{AV_LOG_WARNING};
// FFmpeg's remarks wait here until the work goes on: a failure prints its
// one line and drops them.
constexpr int PENDING_MAX = 16;
char pending[PENDING_MAX][sizeof lastLogged];
int pendingCount = 0;
int pendingDropped = 0;
std::atomic<std::uint64_t> demuxerErrors{0};
thread_local bool remarksMuted = false;

bool fromDemuxer(void* object) {
    if (object == nullptr) return false;
    const AVClass* type = *static_cast<const AVClass**>(object);
    if (type == nullptr) return false;
    const AVClassCategory category = type->get_category != nullptr ? type->get_category(object) : type->category;
    return category == AV_CLASS_CATEGORY_DEMUXER;
}

void logCallback(void* object, int level, const char* format, va_list arguments) {
    // Errors are kept for the one line of a failure (avErrorText); what is
    // less than an error is shown as FFmpeg's own remark, up to -v's level.
    if (level > AV_LOG_ERROR && (level > shownLevel || remarksMuted)) return;
    if (level <= AV_LOG_ERROR && fromDemuxer(object)) ++demuxerErrors;
    int printPrefix = 1;
    char line[sizeof lastLogged];
    av_log_format_line2(object, level, format, arguments, line, sizeof line, &printPrefix);
    std::size_t n = 0;
    while (line[n] != '\0' && line[n] != '\n' && line[n] != '\r') ++n;
    line[n] = '\0';
    if (n == 0) return;
    const std::lock_guard<std::mutex> lock(logMutex);
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

void clearFfmpegLog() {
    const std::lock_guard<std::mutex> lock(logMutex);
    lastLogged[0] = '\0';
}

std::uint64_t demuxerErrorCount() { return demuxerErrors.load(); }

void flushFfmpegRemarks() {
    const std::lock_guard<std::mutex> lock(logMutex);
    for (int i = 0; i < pendingCount; ++i) std::fprintf(stderr, "kalmix: ffmpeg: %s\n", pending[i]);
    if (pendingDropped > 0) std::fprintf(stderr, "kalmix: ffmpeg: (%d more remarks not shown)\n", pendingDropped);
    pendingCount = 0;
    pendingDropped = 0;
}

MutedFfmpegRemarks::MutedFfmpegRemarks() : wasMuted_(remarksMuted) { remarksMuted = true; }
MutedFfmpegRemarks::~MutedFfmpegRemarks() { remarksMuted = wasMuted_; }

void dropFfmpegRemarks() {
    const std::lock_guard<std::mutex> lock(logMutex);
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
    const std::lock_guard<std::mutex> lock(logMutex);
    if (lastLogged[0] != '\0') result += std::string(" (") + lastLogged + ")";
    lastLogged[0] = '\0';
    return result;
}

Scaler::Scaler(int threads) : threads_(threads), shell_(av_frame_alloc()), sourceShell_(av_frame_alloc()) {}

SwsContext* Scaler::prepare(int sourceWidth, int sourceHeight, AVPixelFormat source, int width, int height,
                            AVPixelFormat destination, int flags, bool& rebuilt) {
    const int key[7] = {sourceWidth, sourceHeight, source, width, height, destination, flags};
    rebuilt = false;
    if (context_ && std::equal(std::begin(key), std::end(key), std::begin(key_))) return context_.get();
    context_.reset(sws_alloc_context());
    if (!context_ || !shell_ || !sourceShell_) return nullptr;
    SwsContext* c = context_.get();
    const bool set = av_opt_set_int(c, "srcw", sourceWidth, 0) >= 0 && av_opt_set_int(c, "srch", sourceHeight, 0) >= 0 &&
                     av_opt_set_int(c, "src_format", source, 0) >= 0 && av_opt_set_int(c, "dstw", width, 0) >= 0 &&
                     av_opt_set_int(c, "dsth", height, 0) >= 0 && av_opt_set_int(c, "dst_format", destination, 0) >= 0 &&
                     av_opt_set_int(c, "sws_flags", flags, 0) >= 0 && av_opt_set_int(c, "threads", threads_, 0) >= 0;
    if (!set || sws_init_context(c, nullptr, nullptr) < 0) {
        context_.reset();
        return nullptr;
    }
    std::copy(std::begin(key), std::end(key), std::begin(key_));
    rebuilt = true;
    return c;
}

namespace {

void keepBuffer(void*, std::uint8_t*) {}

// The caller's packed picture as a frame that swscale takes without copying
// it: a reference to memory the frame does not own.
int wrapPacked(AVFrame& shell, const std::uint8_t* packed, int stride, int width, int height, AVPixelFormat format) {
    av_frame_unref(&shell);
    auto* bytes = const_cast<std::uint8_t*>(packed);
    shell.buf[0] = av_buffer_create(bytes, static_cast<std::size_t>(stride) * static_cast<std::size_t>(height),
                                    keepBuffer, nullptr, 0);
    if (shell.buf[0] == nullptr) return AVERROR(ENOMEM);
    shell.data[0] = bytes;
    shell.linesize[0] = stride;
    shell.width = width;
    shell.height = height;
    shell.format = format;
    return 0;
}

}  // namespace

int Scaler::scale(const AVFrame& source, std::uint8_t* packed, int stride) {
    // A new reference to the decoder's frame, in the layout the context was
    // made for (a yuvj frame is taken as its plain YUV layout).
    if (const int error = av_frame_ref(sourceShell_.get(), &source); error < 0) return error;
    sourceShell_->format = key_[2];
    int result = wrapPacked(*shell_, packed, stride, key_[3], key_[4], static_cast<AVPixelFormat>(key_[5]));
    if (result >= 0) result = sws_scale_frame(context_.get(), shell_.get(), sourceShell_.get());
    av_frame_unref(shell_.get());
    av_frame_unref(sourceShell_.get());
    return result < 0 ? result : 0;
}

int Scaler::scale(const std::uint8_t* packed, int stride, AVFrame& destination) {
    if (const int error = wrapPacked(*shell_, packed, stride, key_[0], key_[1], static_cast<AVPixelFormat>(key_[2]));
        error < 0) {
        return error;
    }
    const int result = sws_scale_frame(context_.get(), &destination, shell_.get());
    av_frame_unref(shell_.get());
    return result < 0 ? result : 0;
}

}  // namespace kalmix::tool
