#include "tools/kalmix/frame_feed.h"

#include <algorithm>

namespace kalmix::tool {

FrameFeed::FrameFeed(FrameReader& reader, std::size_t frameBytes)
    : reader_(reader),
      slots_(reader.readsWithoutWaiting() ? framesInHand(frameBytes) : 1),
      refill_(std::max(1, slots_ - 2)),
      buffers_(frameBytes, slots_) {
    if (slots_ > 1) thread_ = std::thread([this] { readAhead(); });
}

FrameFeed::~FrameFeed() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    reader_.interrupt();
    readerWakes_.notify_one();
    thread_.join();
}

void FrameFeed::readAhead() {
    for (std::int64_t frame = 0;; ++frame) {
        {
            // Frame n goes where frame n - slots_ was: with no buffer free,
            // the thread sleeps until refill_ of them are.
            std::unique_lock<std::mutex> lock(mutex_);
            if (frame >= released_ + slots_) {
                readerWaitsFor_ = frame - slots_ + refill_;
                readerWakes_.wait(lock, [&] { return stopping_ || released_ >= readerWaitsFor_; });
                readerWaitsFor_ = -1;
            }
            if (stopping_) return;
        }
        const int slot = static_cast<int>(frame % slots_);
        bool more = false;
        std::exception_ptr failure;
        try {
            more = reader_.read(buffers_.frame(slot), infos_[slot]);
        } catch (...) {
            failure = std::current_exception();
        }
        bool wake = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (more) {
                read_ = frame + 1;
            } else {
                ended_ = true;
                exception_ = failure;
            }
            wake = loopWaits_;
        }
        if (wake) loopWakes_.notify_one();
        if (!more) return;
    }
}

std::uint8_t* FrameFeed::next(FrameInfo& info) {
    if (!thread_.joinable()) {
        if (!reader_.read(buffers_.frame(0), info)) return nullptr;
        ++handed_;
        return buffers_.frame(0);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    released_ = handed_;  // the frame handed out last is done with
    if (readerWaitsFor_ >= 0 && released_ >= readerWaitsFor_) readerWakes_.notify_one();
    if (read_ <= handed_ && !ended_) {
        loopWaits_ = true;
        loopWakes_.wait(lock, [&] { return read_ > handed_ || ended_; });
        loopWaits_ = false;
    }
    if (read_ > handed_) {
        const int slot = static_cast<int>(handed_ % slots_);
        ++handed_;
        info = infos_[slot];
        return buffers_.frame(slot);
    }
    if (exception_) std::rethrow_exception(exception_);
    return nullptr;
}

}  // namespace kalmix::tool
