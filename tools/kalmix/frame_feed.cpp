#include "tools/kalmix/frame_feed.h"

namespace kalmix::tool {

FrameFeed::FrameFeed(FrameReader& reader, std::uint8_t* first, std::uint8_t* second)
    : reader_(reader), buffers_{first, second} {
    if (reader_.readsWithoutWaiting()) thread_ = std::thread([this] { readAhead(); });
}

FrameFeed::~FrameFeed() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FrameFeed::readAhead() {
    for (std::int64_t frame = 0;; ++frame) {
        {
            // Frame n goes where frame n - 2 was: it waits for the loop to be done with that one.
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || frame < released_ + 2; });
            if (stopping_) return;
        }
        const int slot = static_cast<int>(frame % 2);
        bool more = false;
        std::exception_ptr failure;
        try {
            more = reader_.read(buffers_[slot], infos_[slot]);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (more) {
                read_ = frame + 1;
            } else {
                ended_ = true;
                exception_ = failure;
            }
        }
        changed_.notify_all();
        if (!more) return;
    }
}

std::uint8_t* FrameFeed::next(FrameInfo& info) {
    if (!thread_.joinable()) {
        if (!reader_.read(buffers_[0], info)) return nullptr;
        ++handed_;
        return buffers_[0];
    }
    std::unique_lock<std::mutex> lock(mutex_);
    released_ = handed_;  // the frame handed out last is done with
    changed_.notify_all();
    changed_.wait(lock, [&] { return read_ > handed_ || ended_; });
    if (read_ > handed_) {
        const int slot = static_cast<int>(handed_ % 2);
        ++handed_;
        info = infos_[slot];
        return buffers_[slot];
    }
    if (exception_) std::rethrow_exception(exception_);
    return nullptr;
}

}  // namespace kalmix::tool
