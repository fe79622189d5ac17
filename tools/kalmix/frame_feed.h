// The frames of a reader, one at a time, for the frame loop.
//
// A reader that never waits on another program (a regular file) is read
// ahead on a thread of its own: while the module filters a frame, the next
// ones are read into other buffers. Reading a 384x288 frame from the page
// cache costs some 40 us of kernel copying, an eighth of the module's time for
// it, and on a second core it no longer adds to the run's length. The reading
// thread, faster than the module, sleeps until all but two buffers are free:
// in a virtual machine a wake-up costs about as much as the copy of a frame,
// so it wakes once every few frames rather than once a frame (at 384x288, 8
// buffers: the CPU time of a run rose 9 % with 2 buffers, 4 % with 8).
//
// Other readers (pipes, the terminal) are read when a frame is asked for: a
// thread waiting on a pipe could not be stopped when the run fails.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "tools/kalmix/frame_memory.h"
#include "tools/kalmix/video_io.h"

namespace kalmix::tool {

class FrameFeed {
public:
    FrameFeed(FrameReader& reader, std::size_t frameBytes);
    ~FrameFeed();  // stops the reading thread and waits for it
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // The next frame, valid until the next call, or null at the end of the
    // input. Throws what the reader threw, after the frames read before it.
    std::uint8_t* next(FrameInfo& info);

    // Buffers read into in turn: 1 when reading in the loop, else framesInHand().
    int slots() const { return slots_; }

private:
    void readAhead();

    FrameReader& reader_;
    int slots_;
    int refill_;  // free buffers that wake the reading thread
    FrameMemory buffers_;
    FrameInfo infos_[MAX_FRAMES_IN_HAND];
    std::int64_t handed_ = 0;  // frames next() returned
    // Shared with the reading thread, under mutex_.
    std::mutex mutex_;
    std::condition_variable readerWakes_;
    std::condition_variable loopWakes_;
    std::int64_t read_ = 0;             // frames read
    std::int64_t released_ = 0;         // frames the loop is done with: their buffers may be read into
    std::int64_t readerWaitsFor_ = -1;  // released_ that wakes the reading thread, -1 while it reads
    bool loopWaits_ = false;
    bool ended_ = false;  // no more frames: the end, or exception_
    bool stopping_ = false;
    std::exception_ptr exception_;
    std::thread thread_;
};

}  // namespace kalmix::tool
