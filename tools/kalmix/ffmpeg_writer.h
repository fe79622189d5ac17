// Encodes BGRA frames into a file, a pipe or an image sequence whose
// container -f or the name picks, with the encoder ffmpeg would pick for it
// (lossless FFV1 wherever the container takes it, as in .mkv; playable H.264
// 4:2:0 in .mp4 and .mov), the reader's time stamps, the filtered stream's
// tags and side data, and a copy of every other stream and the chapters the
// container can hold. Also writes single pictures as PNG.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/kalmix/ffmpeg_common.h"
#include "tools/kalmix/output_file.h"
#include "tools/kalmix/output_sequence.h"
#include "tools/kalmix/media.h"

namespace kalmix::tool {

// The command line's choices, and what the writer takes from its input.
struct WriterOptions : OutputOptions {
    const AVStream* audio = nullptr;  // one stream to copy (writeAudio), or null
    // The input: every stream but the filtered one is copied when the
    // container can hold it, with the chapters and tags; or null.
    const AVFormatContext* source = nullptr;
    const AVStream* videoSource = nullptr;  // the filtered stream: tags and side data to keep
    std::int64_t timeOffset = 0;            // microseconds the reader took off its time stamps
    std::int64_t selectionStart = INT64_MIN;  // the part of the source kept, microseconds
    std::int64_t selectionEnd = INT64_MAX;
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
    bool copiesAudio() const { return options_.audio != nullptr && copies_.count(options_.audio->index) != 0; }
    // A packet of source stream packet->stream_index; takes its data.
    // Packets of streams that are not kept are dropped.
    void writeCopied(AVPacket* packet);
    std::string codecName() const { return encoder_ ? encoder_->codec->name : ""; }
    AVPixelFormat pixelFormat() const { return encoder_ ? encoder_->pix_fmt : AV_PIX_FMT_NONE; }

private:
    void openContainer(const std::string& path);
    void setUpEncoder(const AVCodec* codec, const VideoFormat& format);
    void noteLostRotation(const AVStream* source);
    void addCopiedStreams();
    void copyChapters();
    void drainEncoder();
    [[noreturn]] void failWrite(int error);

    WriterOptions options_;
    std::string path_;
    std::optional<TempOutput> output_;        // a file, a device or standard output
    DescriptorSink sink_;                     // outlives the container that writes to it
    std::optional<TempSequence> sequence_;    // an image sequence
    bool ownsFile_ = false;                   // the container writes through pb
    std::map<int, AVStream*> copies_;         // source stream index -> output stream
    std::set<int> awaitingKeyFrame_;          // copied video tracks cut by -ss, until their first key frame
    AVDictionary* unusedCodecOptions_ = nullptr;  // what the encoder did not take
    VideoFormat format_;
    OutputPtr container_;
    // A reader that reads ahead hands over the other streams' packets
    // (writeCopied) from its own thread: every write into the container
    // takes this lock.
    std::mutex muxing_;
    AVStream* videoStream_ = nullptr;
    CodecContextPtr encoder_;
    FramePtr frame_;
    PacketPtr packet_;
    Scaler converter_;  // BGRA to the encoder's pixels, when they differ
    bool converts_ = false;
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
