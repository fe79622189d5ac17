// What the FFmpeg reader and writer share: error texts that carry FFmpeg's
// own explanation, and owning handles for FFmpeg's objects.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace kalmix::tool {

// Routes FFmpeg's log into a buffer instead of standard error, so that a
// failure ends in one line: the last error FFmpeg logged is appended to the
// text of the failing call's code by avErrorText.
// FFmpeg's remarks below errors (warnings, and info/verbose with -v verbose)
// are printed as "kalmix: ffmpeg: ..." up to level.
void captureFfmpegLog();
void setFfmpegLogLevel(int level);
// Prints the remarks FFmpeg made since the last call; on a failure they are
// dropped instead, so that it ends in one line.
void flushFfmpegRemarks();
void dropFfmpegRemarks();
void clearFfmpegLog();
// While one lives, the remarks FFmpeg makes on this thread are not kept: a
// second pass over an input would repeat the first one's.
class MutedFfmpegRemarks {
public:
    MutedFfmpegRemarks();
    ~MutedFfmpegRemarks();
    MutedFfmpegRemarks(const MutedFfmpegRemarks&) = delete;
    MutedFfmpegRemarks& operator=(const MutedFfmpegRemarks&) = delete;

private:
    bool wasMuted_;
};
std::string avErrorText(int error);
// Errors demuxers have logged so far ("File ended prematurely"): a demuxer
// that meets the end of a file cut short says so only in its log.
std::uint64_t demuxerErrorCount();

// The plain YUV layout of a yuvj (full-range) format, else the format
// itself: swscale takes the range from sws_setColorspaceDetails, and the yuvj
// names only draw its warning.
AVPixelFormat plainLayout(AVPixelFormat format);

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct InputClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputClose {  // closes the file FFmpeg opened, if any, and frees
    void operator()(AVFormatContext* c) const {
        if ((c->oformat->flags & AVFMT_NOFILE) == 0 && (c->flags & AVFMT_FLAG_CUSTOM_IO) == 0) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputClose>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputClose>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;

// A swscale context that converts each picture in slices on several threads,
// through swscale's frame interface (its only threaded one): at HD sizes the
// exact conversion the tool asks for costs more than decoding. The bytes are
// those of one thread. Rebuilt only when the pictures change.
class Scaler {
public:
    // threads: 0 for one per core.
    explicit Scaler(int threads = 0);
    // A context for these pictures, kept from the last call when they are the
    // same; null when swscale cannot convert them. `rebuilt` tells whether a
    // new one was made (its colour details then need setting again).
    SwsContext* prepare(int sourceWidth, int sourceHeight, AVPixelFormat source, int width, int height,
                        AVPixelFormat destination, int flags, bool& rebuilt);
    // One picture from a frame FFmpeg made into the caller's packed buffer,
    // or from the caller's packed buffer into a frame FFmpeg made; an
    // FFmpeg error code, or 0.
    int scale(const AVFrame& source, std::uint8_t* packed, int stride);
    int scale(const std::uint8_t* packed, int stride, AVFrame& destination);

private:
    int threads_;
    SwsPtr context_;
    int key_[7] = {};
    FramePtr shell_;        // the caller's buffer, seen as a frame
    FramePtr sourceShell_;  // a reference to the decoder's frame
};

}  // namespace kalmix::tool
