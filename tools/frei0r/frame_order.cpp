#include "tools/frei0r/frame_order.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kalmix::frei0r {

namespace {
constexpr double STEP_LIMIT = 4.0e9;  // beyond any position step
}

void FrameOrder::arrive(double time) {
    if (!std::isfinite(time)) return;
    for (int i = 0; i < recentCount_; ++i) {
        const double gap = std::fabs(time - recent_[i]);
        if (gap >= SAME_FRAME_SECONDS && (duration_ == 0.0 || gap < duration_)) duration_ = gap;
    }
    recent_[recentNext_] = time;
    recentNext_ = (recentNext_ + 1) % RECENT_TIMES;
    recentCount_ = std::min(recentCount_ + 1, RECENT_TIMES);
    if (waitingCount_ < MAX_WAITING) waiting_[waitingCount_++] = time;
}

std::int64_t FrameOrder::stepsFromLast(double time) const {
    const double gap = time - lastTime_;
    if (std::fabs(gap) < SAME_FRAME_SECONDS) return 0;
    // Every time that reaches here was seen by arrive(), so the duration is
    // known; without it any other time is one step on or back.
    if (duration_ == 0.0) return gap > 0 ? 1 : -1;
    return std::llround(std::clamp(gap / duration_, -STEP_LIMIT, STEP_LIMIT));
}

bool FrameOrder::repeatsLast(double time) const {
    return started_ && std::isfinite(time) && std::fabs(time - lastTime_) < SAME_FRAME_SECONDS;
}

bool FrameOrder::earlierWaiting(double time) const {
    return std::any_of(waiting_.begin(), waiting_.begin() + waitingCount_,
                       [time](double other) { return other <= time - SAME_FRAME_SECONDS; });
}

bool FrameOrder::ready(double time) const {
    if (!std::isfinite(time)) return true;  // nothing to order it by
    if (earlierWaiting(time)) return false;
    if (!started_ && time < SAME_FRAME_SECONDS) return true;  // the start of the clip
    if (!settled_) return false;
    std::int64_t ahead = 0;  // frames before this one still to come
    if (started_) {
        ahead = stepsFromLast(time) - 1;
    } else if (duration_ != 0.0 && !startsAnywhere_) {
        ahead = std::llround(std::min(time / duration_, STEP_LIMIT));  // frames from time 0
    }
    return ahead <= 0 || ahead > MAX_WAIT_GAP;
}

std::int32_t FrameOrder::take(double time) {
    constexpr std::int64_t LARGEST = std::numeric_limits<std::int32_t>::max();
    std::int64_t position = 0;
    if (started_) {
        position = std::isfinite(time) ? lastPosition_ + stepsFromLast(time) : lastPosition_ + 1;
        // Positions stay in 0..2^31-1; leaving the range starts afresh at 0.
        if (position < 0 || position > LARGEST) position = 0;
    }
    if (std::isfinite(time)) {
        lastTime_ = time;
        const auto end = waiting_.begin() + waitingCount_;
        const auto found = std::find(waiting_.begin(), end, time);
        if (found != end) {
            *found = waiting_[static_cast<std::size_t>(waitingCount_ - 1)];
            --waitingCount_;
        }
    }
    lastPosition_ = static_cast<std::int32_t>(position);
    started_ = true;
    ++filteredCount_;
    return lastPosition_;
}

}  // namespace kalmix::frei0r
