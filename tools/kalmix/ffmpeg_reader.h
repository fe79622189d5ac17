// Reads one video stream of any file or pipe FFmpeg's libraries can read and
// delivers its frames as packed BGRA, optionally scaled down to the largest
// size the filter takes, within a selected stretch of time. Packets of every
// other stream can be handed on for copying. Damaged packets are skipped or
// concealed and counted, unless the reader is strict.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/kalmix/ffmpeg_common.h"
#include "tools/kalmix/media.h"

namespace kalmix::tool {

// The size --fit scales to: aspect kept, both sides multiples of 4, at most
// 384 x 288, never enlarged.
FrameSize fitFrameSize(int width, int height);

class FfmpegReader final : public MediaReader {
public:
    FfmpegReader(const std::string& path, bool fit) : FfmpegReader(path, withFit(fit)) {}
    FfmpegReader(const std::string& path, const ReaderOptions& options);
    ~FfmpegReader() override;
    const VideoFormat& format() const override { return format_; }
    bool read(std::uint8_t* bgra, FrameInfo& info) override;
    // A regular file or numbered pictures; the packet sink, if any, must
    // take packets from the reading thread (FfmpegWriter::writeCopied does).
    // What such a file opens in turn (a playlist's segments, a stream an SDP
    // file describes) gives up waiting once interrupted.
    bool readsWithoutWaiting() const override { return rereadable_; }
    void interrupt() override { interrupted_.store(true); }

    FrameSize sourceSize() const override { return sourceSize_; }
    const AVFormatContext* container() const { return input_.get(); }
    const AVStream* videoStream() const { return input_->streams[videoIndex_]; }
    // Receives the packets of every other stream as they are demuxed, within
    // the selection and with its start moved to 0; may take the packet's data.
    void setPacketSink(std::function<void(AVPacket*)> sink) { packetSink_ = std::move(sink); }
    std::int64_t damagedPackets() const override { return damaged_; }
    // Microseconds taken off every time stamp: the selection's start.
    std::int64_t timeOffset() const { return offset_; }
    // The selection, in microseconds of the input's own clock.
    std::int64_t selectionStart() const { return selectionStart_; }
    std::int64_t selectionEnd() const { return selectionEnd_; }

private:
    static ReaderOptions withFit(bool fit) {
        ReaderOptions options;
        options.fit = fit;
        return options;
    }
    int chooseVideoStream(const std::string& map) const;
    std::int64_t countVideoPackets(const std::string& path) const;
    // The command line's demuxer options, new for each opening of the input.
    AVDictionary* demuxerOptionsDictionary() const;
    void seekBefore(std::int64_t target, std::int64_t origin);
    enum class KeyFrame { ByTarget, AfterTarget, NoVideo };
    KeyFrame firstKeyFrame(std::int64_t target);
    void convert(const AVFrame& frame, std::uint8_t* bgra);
    // Counts a damaged packet or frame (what), which was `outcome`; ends a strict run.
    void damaged(const std::string& what, int error, const char* outcome = "skipped");
    bool inSelection(std::int64_t ts, AVRational timeBase) const;
    // False when the packet lies outside the selection and was not handed on.
    bool passOn(AVPacket* packet);

    static int interruptRequested(void* reader);

    std::string path_;
    const AVInputFormat* inputFormat_ = nullptr;  // -f, else probed
    std::vector<std::pair<std::string, std::string>> demuxerOptions_;
    bool rereadable_ = false;
    std::atomic<bool> interrupted_{false};
    InputPtr input_;
    int videoIndex_ = -1;
    bool strict_ = false;
    std::function<void(const std::string&)> warn_;
    std::int64_t damaged_ = 0;
    std::int64_t selectionStart_ = INT64_MIN;  // microseconds, the input's clock
    std::int64_t selectionEnd_ = INT64_MAX;
    std::int64_t offset_ = 0;
    CodecContextPtr decoder_;
    FramePtr frame_;
    PacketPtr packet_;
    Scaler scaler_;  // kept across frames; rebuilt only if the source changes
    int colourSpace_ = -1;  // what the scaler was last set up for
    int colourRange_ = -1;
    bool draining_ = false;
    bool finished_ = false;  // the selection's end was reached
    VideoFormat format_;
    FrameSize sourceSize_{0, 0};
    std::int64_t nextPts_ = 0;  // for frames that come without a time stamp
    std::function<void(AVPacket*)> packetSink_;
};

}  // namespace kalmix::tool
