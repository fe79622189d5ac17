// Encodes BGRA frames into a file whose container the extension picks, with
// a lossless default codec (FFV1 wherever the container takes it, as in
// .mkv), the reader's time stamps and, when the container takes it, a copy
// of the input's audio. Also writes single pictures as PNG.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tools/kalmix/ffmpeg_common.h"
#include "tools/kalmix/output_file.h"
#include "tools/kalmix/video_io.h"

namespace kalmix::tool {

struct WriterOptions {
    std::string codec;                  // encoder name; empty: by the container
    const AVStream* audio = nullptr;    // stream to copy, or null
    std::function<void(const std::string&)> note;  // remarks for the user, or empty
    std::string muxerOptions;           // "key=value:key=value" for the container, or empty
};

// The container's bytes written to a descriptor through FFmpeg's custom I/O,
// so that FFmpeg never opens the output by name itself.
class DescriptorSink {
public:
    DescriptorSink() = default;
    ~DescriptorSink();  // frees the context and closes the descriptor
    DescriptorSink(const DescriptorSink&) = delete;
    DescriptorSink& operator=(const DescriptorSink&) = delete;
    // Takes the descriptor. Null when out of memory.
    AVIOContext* open(int fd);
    // Flushes and closes: 0, or a negative FFmpeg error code.
    int close();

private:
    int fd_ = -1;
    AVIOContext* context_ = nullptr;
};

class FfmpegWriter final : public FrameWriter {
public:
    FfmpegWriter(const std::string& path, const VideoFormat& format, const WriterOptions& options);
    ~FfmpegWriter() override;
    void write(const std::uint8_t* bgra, const FrameInfo& info) override;
    void finish() override;

    // A packet of the copied audio stream, in sourceTimeBase; takes its data.
    void writeAudio(AVPacket* packet, AVRational sourceTimeBase);
    bool copiesAudio() const { return audioStream_ != nullptr; }
    std::string codecName() const { return encoder_ ? encoder_->codec->name : ""; }

private:
    void drainEncoder();
    [[noreturn]] void failWrite(int error);

    TempOutput output_;
    DescriptorSink sink_;  // outlives the container that writes to it
    VideoFormat format_;
    OutputPtr container_;
    AVStream* videoStream_ = nullptr;
    AVStream* audioStream_ = nullptr;
    CodecContextPtr encoder_;
    FramePtr frame_;
    PacketPtr packet_;
    SwsPtr converter_;  // BGRA to the encoder's pixels, when they differ
    bool headerWritten_ = false;
    std::int64_t lastPts_ = INT64_MIN;
    std::int64_t nominalDuration_ = 0;  // one frame in the encoder's time base
    // Durations of the frames in the encoder, by time stamp: the muxer needs
    // them for the last frame and the file's length.
    static constexpr int DURATION_SLOTS = 64;
    std::int64_t slotPts_[DURATION_SLOTS] = {};
    std::int64_t slotDuration_[DURATION_SLOTS] = {};
};

// Writes one BGRA picture as an RGB PNG, complete or not at all.
void writePng(const std::string& path, const std::uint8_t* bgra, int width, int height);

}  // namespace kalmix::tool
