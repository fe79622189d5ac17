// The tool's FFmpeg side: video files, image sequences and pictures through
// FFmpeg's libraries, in a library of its own (kalmix-ffmpeg.so) that kalmix
// loads only when a run needs it. FFmpeg's libraries pull in about 140 shared
// libraries whose loading costs more CPU than a hundred raw frames, and raw
// pipes, MD5 checks, --help and --version need none of them.
//
// This header is free of FFmpeg's: what the rest of the tool sees.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/kalmix/video_io.h"

namespace kalmix::tool {

struct FrameSize {
    int width;
    int height;
};

struct ReaderOptions {
    bool fit = false;
    std::string format;  // container name; empty: probed
    std::vector<std::pair<std::string, std::string>> demuxerOptions;  // each one the demuxer must take
    std::string map;     // "v:N" (Nth video stream) or "N" (stream N); empty: the largest video stream
    bool strict = false; // a damaged packet ends the run
    // The selection, in microseconds from the input's start: frames and
    // packets before seekTo or from the end on are dropped.
    std::optional<std::int64_t> seekTo;
    std::optional<std::int64_t> duration;
    std::optional<std::int64_t> endAt;
    std::function<void(const std::string&)> warn;  // warnings for the user, or empty
};

// A reader of a file or pipe in any format FFmpeg reads.
class MediaReader : public FrameReader {
public:
    // The size of the input's own frames, before --fit.
    virtual FrameSize sourceSize() const = 0;
    // Packets that failed to decode or frames the decoder reported damaged.
    virtual std::int64_t damagedPackets() const = 0;
};

// How a file is written; the choices of the command line.
struct OutputOptions {
    std::string format;       // container name; empty: by the output's name
    std::string codec;        // encoder name; empty: by the container
    std::string pixelFormat;  // empty: the best the encoder takes for BGRA
    std::vector<std::pair<std::string, std::string>> codecOptions;  // to the encoder, else the container
    std::function<void(const std::string&)> note;  // remarks for the user, or empty
    std::string muxerOptions;  // "key=value:key=value" for the container, or empty
    bool replaceAppearing = false;  // -y: TempOutput::replaceAppearing
    // The source's other streams of each kind are copied unless -an, -sn or -dn.
    bool copyAudio = true;
    bool copySubtitles = true;
    bool copyData = true;
    int compliance = 0;  // -strict: FF_COMPLIANCE_* for the container and the encoder (0: normal)
    // -metadata: the file's tags set over the source's, in order; an empty value removes one.
    std::vector<std::pair<std::string, std::string>> metadata;
};

// The library's entry points. A library whose version differs from the
// program's is refused rather than called. Raised whenever the types the two
// share change, the virtual functions of the readers and writers included.
inline constexpr int MEDIA_API_VERSION = 4;
struct MediaApi {
    int version;
    // FFmpeg's log goes into the tool's error lines and remarks (see
    // ffmpeg_common.h) from here on, shown up to level (AV_LOG_*).
    void (*captureLog)(int level);
    void (*flushRemarks)();
    void (*dropRemarks)();
    bool (*readsFormat)(const std::string& name);
    bool (*writesFormat)(const std::string& name);
    // True when the name holds a frame-number pattern such as %04d.
    bool (*isSequencePattern)(const std::string& path);
    std::string (*sequenceName)(const std::string& pattern, int n);
    // These throw ToolError when the input or output cannot be used.
    std::unique_ptr<MediaReader> (*openReader)(const std::string& path, const ReaderOptions& options);
    // With a source (a reader of this library), the output also gets the
    // source's other streams, chapters and tags, and its selection.
    std::unique_ptr<FrameWriter> (*openWriter)(const std::string& path, const VideoFormat& format,
                                               const OutputOptions& options, MediaReader* source);
    void (*writePng)(const std::string& path, const std::uint8_t* bgra, int width, int height);
    // Removes the temporary files the library's writers have in flight;
    // safe in a signal handler.
    void (*removeTempFilesNow)() noexcept;
};

// Loads the library on first use (KALMIX_FFMPEG_LIBRARY names it, else the
// installed one beside the program, else the one this build made) and sets
// its log up. Throws ToolError when it cannot be loaded.
const MediaApi& media();
// The library if it is loaded, else null; safe in a signal handler.
const MediaApi* loadedMedia() noexcept;
// The log level for FFmpeg (AV_LOG_*), applied when the library loads.
void setMediaLogLevel(int level);
// FFmpeg's remarks since the last call printed, or dropped on a failure;
// nothing to do while the library is not loaded.
void flushMediaRemarks();
void dropMediaRemarks();

}  // namespace kalmix::tool
