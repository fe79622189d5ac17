// -frames:v: a reader that ends after a number of frames.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "tools/kalmix/video_io.h"

namespace kalmix::tool {

// Ends the input after `limit` frames, as ffmpeg's -frames:v ends its output:
// the source is not read past them, so the streams copied beside the frames
// end there too. The frame count it reports, and so the clip total, is the
// source's up to the limit; unknown stays unknown.
class FrameLimit final : public FrameReader {
public:
    FrameLimit(std::unique_ptr<FrameReader> source, std::int64_t limit)
        : source_(std::move(source)), limit_(limit), format_(source_->format()) {
        if (format_.frameCount >= 0) format_.frameCount = std::min(format_.frameCount, limit_);
    }
    const VideoFormat& format() const override { return format_; }
    bool read(std::uint8_t* bgra, FrameInfo& info) override {
        if (read_ >= limit_ || !source_->read(bgra, info)) return false;
        ++read_;
        return true;
    }
    bool readsWithoutWaiting() const override { return source_->readsWithoutWaiting(); }
    void interrupt() override { source_->interrupt(); }

private:
    std::unique_ptr<FrameReader> source_;
    std::int64_t limit_;
    std::int64_t read_ = 0;
    VideoFormat format_;
};

}  // namespace kalmix::tool
