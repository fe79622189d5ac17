// Where the frame loop's filtered frames go: buffers to filter into, and the
// writer behind them.
//
// A writer that never waits on another program (a regular file, an MD5) is
// run on a thread of its own, behind the loop: while the module filters a
// frame, the ones before it are written. Writing a 384x288 frame into a file
// costs some 400 us in the kernel on these machines, more than the module
// takes for it, and an MD5 of it about 1 ms. The thread sleeps until a few
// frames are waiting, so that it is not woken for every frame.
//
// Other writers (pipes, the terminal, the FFmpeg side) are called in the loop:
// a thread waiting on a pipe could not be stopped when the run fails.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "tools/kalmix/frame_memory.h"
#include "tools/kalmix/video_io.h"

namespace kalmix::tool {

class FrameSink {
public:
    FrameSink(FrameWriter& writer, std::size_t frameBytes);
    ~FrameSink();  // a run that failed: stops the writing thread, frames not yet written are dropped
    FrameSink(const FrameSink&) = delete;
    FrameSink& operator=(const FrameSink&) = delete;

    // The buffer to filter the next frame into: one the writer is done with.
    // Throws what the writer threw.
    std::uint8_t* buffer();
    // Hands that buffer, filtered, to the writer. It stays as it is until the
    // next buffer() call.
    void write(const FrameInfo& info);
    // Every frame written, then the writer's finish(). Throws what the writer threw.
    void finish();

    // Buffers filtered into in turn: 1 when writing in the loop, else framesInHand().
    int slots() const { return slots_; }

private:
    void writeBehind();
    void rethrowFailure();

    FrameWriter& writer_;
    int slots_;
    int batch_;  // waiting frames that wake the writing thread
    FrameMemory buffers_;
    FrameInfo infos_[MAX_FRAMES_IN_HAND];
    // Shared with the writing thread, under mutex_.
    std::mutex mutex_;
    std::condition_variable writerWakes_;
    std::condition_variable loopWakes_;
    std::int64_t queued_ = 0;           // frames handed to write()
    std::int64_t written_ = 0;          // of those, frames written
    std::int64_t writerWaitsFor_ = -1;  // queued_ that wakes the writing thread, -1 while it writes
    bool loopWaits_ = false;
    bool finishing_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace kalmix::tool
