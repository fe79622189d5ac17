// The frames of a reader, one at a time, for the frame loop.
//
// A reader that never waits on another program (a regular file) is read one
// frame ahead on a thread of its own: while the module filters a frame, the
// next one is read into the other buffer. Reading a 384x288 frame from the
// page cache costs some 40 us of kernel copying, an eighth of the module's
// time for it, and on a second core it no longer adds to the run's length.
// Other readers (pipes, the terminal) are read when a frame is asked for: a
// thread waiting on a pipe could not be stopped when the run fails.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "tools/kalmix/video_io.h"

namespace kalmix::tool {

class FrameFeed {
public:
    // Frames go into first and second in turn; each holds frameBytes.
    FrameFeed(FrameReader& reader, std::uint8_t* first, std::uint8_t* second);
    ~FrameFeed();  // stops the reading thread and waits for it
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // The next frame, valid until the next call, or null at the end of the
    // input. Throws what the reader threw, after the frames read before it.
    std::uint8_t* next(FrameInfo& info);

private:
    void readAhead();

    FrameReader& reader_;
    std::uint8_t* buffers_[2];
    FrameInfo infos_[2];
    std::int64_t handed_ = 0;  // frames next() returned
    // Shared with the reading thread, under mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::int64_t read_ = 0;      // frames read
    std::int64_t released_ = 0;  // frames the loop is done with: their buffers may be read into
    bool ended_ = false;         // no more frames: the end, or exception_
    bool stopping_ = false;
    std::exception_ptr exception_;
    std::thread thread_;
};

}  // namespace kalmix::tool
