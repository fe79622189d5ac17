#include "tools/kalmix/frame_sink.h"

#include <algorithm>

namespace kalmix::tool {

FrameSink::FrameSink(FrameWriter& writer, std::size_t frameBytes)
    : writer_(writer),
      slots_(writer.writesWithoutWaiting() ? framesInHand(frameBytes) : 1),
      batch_(std::max(1, slots_ - 2)),
      buffers_(frameBytes, slots_) {
    if (slots_ > 1) thread_ = std::thread([this] { writeBehind(); });
}

FrameSink::~FrameSink() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    writerWakes_.notify_one();
    thread_.join();
}

void FrameSink::writeBehind() {
    for (std::int64_t frame = 0;; ++frame) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (frame >= queued_ && !finishing_) {
                writerWaitsFor_ = frame + batch_;
                writerWakes_.wait(lock, [&] { return stopping_ || finishing_ || queued_ >= writerWaitsFor_; });
                writerWaitsFor_ = -1;
            }
            if (stopping_ || frame >= queued_) return;  // stopped, or finishing with every frame written
        }
        const int slot = static_cast<int>(frame % slots_);
        std::exception_ptr failure;
        try {
            writer_.write(buffers_.frame(slot), infos_[slot]);
        } catch (...) {
            failure = std::current_exception();
        }
        bool wake = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (failure) {
                failure_ = failure;
            } else {
                written_ = frame + 1;
            }
            wake = loopWaits_;
        }
        if (wake) loopWakes_.notify_one();
        if (failure) return;
    }
}

void FrameSink::rethrowFailure() {
    if (failure_) std::rethrow_exception(failure_);
}

std::uint8_t* FrameSink::buffer() {
    if (!thread_.joinable()) return buffers_.frame(0);
    std::unique_lock<std::mutex> lock(mutex_);
    // Frame n goes where frame n - slots_ was, once it is written.
    if (queued_ - written_ >= slots_ && !failure_) {
        loopWaits_ = true;
        loopWakes_.wait(lock, [&] { return queued_ - written_ < slots_ || failure_; });
        loopWaits_ = false;
    }
    rethrowFailure();
    return buffers_.frame(static_cast<int>(queued_ % slots_));
}

void FrameSink::write(const FrameInfo& info) {
    if (!thread_.joinable()) {
        writer_.write(buffers_.frame(0), info);
        return;
    }
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        infos_[queued_ % slots_] = info;
        ++queued_;
        wake = writerWaitsFor_ >= 0 && queued_ >= writerWaitsFor_;
    }
    if (wake) writerWakes_.notify_one();
}

void FrameSink::finish() {
    if (thread_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            finishing_ = true;
        }
        writerWakes_.notify_one();
        thread_.join();
        rethrowFailure();
    }
    writer_.finish();
}

}  // namespace kalmix::tool
