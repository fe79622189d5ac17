// Reads the first video stream of any file FFmpeg's libraries can read and
// delivers its frames as packed BGRA, optionally scaled down to the largest
// size the filter takes. Packets of the first audio stream can be handed on
// for copying.
#pragma once

#include <functional>
#include <string>

#include "tools/kalmix/ffmpeg_common.h"
#include "tools/kalmix/video_io.h"

namespace kalmix::tool {

struct FrameSize {
    int width;
    int height;
};

// The size --fit scales to: aspect kept, both sides multiples of 4, at most
// 384 x 288, never enlarged.
FrameSize fitFrameSize(int width, int height);

class FfmpegReader final : public FrameReader {
public:
    FfmpegReader(const std::string& path, bool fit);
    ~FfmpegReader() override;
    const VideoFormat& format() const override { return format_; }
    bool read(std::uint8_t* bgra, FrameInfo& info) override;

    FrameSize sourceSize() const { return sourceSize_; }
    // The first audio stream, or null.
    const AVStream* audioStream() const { return audioIndex_ < 0 ? nullptr : input_->streams[audioIndex_]; }
    // Receives the audio stream's packets as they are demuxed; may take
    // ownership of the packet's data.
    void setAudioSink(std::function<void(AVPacket*)> sink) { audioSink_ = std::move(sink); }

private:
    std::int64_t countVideoPackets(const std::string& path) const;
    void convert(const AVFrame& frame, std::uint8_t* bgra);

    std::string path_;
    InputPtr input_;
    int videoIndex_ = -1;
    int audioIndex_ = -1;
    CodecContextPtr decoder_;
    FramePtr frame_;
    PacketPtr packet_;
    SwsContext* scaler_ = nullptr;  // cached across frames; rebuilt only if the source changes
    int colourSpace_ = -1;  // what the scaler was last set up for
    int colourRange_ = -1;
    bool draining_ = false;
    VideoFormat format_;
    FrameSize sourceSize_{0, 0};
    std::int64_t nextPts_ = 0;  // for frames that come without a time stamp
    std::function<void(AVPacket*)> audioSink_;
};

}  // namespace kalmix::tool
