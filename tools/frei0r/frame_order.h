// Frame positions from the times a frei0r host passes, and the order in
// which one instance's frames may be filtered.
//
// frei0r hands a filter a time in seconds, not a frame number. Positions are
// counted from the first frame filtered (position 0) in steps of the frame
// duration, which is learnt from the times seen: the smallest gap between two
// of them. Each position is the last one plus the rounded number of frame
// durations since the last frame, so the rounding of the host's time stamps
// never accumulates. A gap of several frames, backwards or forwards, is passed
// on as such: the module decides whether it continues the sequence.
//
// Hosts that render on several threads (MLT with real_time=-N) call in any
// order. Frames are filtered in the order of their times: a frame waits while
// an earlier one is waiting, and while it is a few frames ahead of the last
// one filtered, until the frames between have come. A larger step forward is
// a seek and goes at once, as does a frame behind the last.
//
// At the start the duration is a guess: frames 0, 2 and 4 look like 0, 1 and
// 2 until frame 1 comes. So until the plug-in settles the order (a short
// while after the first call), only a first frame at time 0 is filtered.
//
// Not thread-safe: the plug-in holds its lock around every call.
#pragma once

#include <array>
#include <cstdint>

namespace kalmix::frei0r {

class FrameOrder {
public:
    // Frames ahead of the next expected one that still wait for those
    // between: the spread that parallel render threads make.
    static constexpr int MAX_WAIT_GAP = 16;
    // Gaps between times below this are the same frame again (10000 fps).
    static constexpr double SAME_FRAME_SECONDS = 1e-4;

    // A call with this time has come in: learn the frame duration from it,
    // and hold it as waiting until take().
    void arrive(double time);
    // True when the frame at `time` may be filtered now.
    bool ready(double time) const;
    // The module position of the frame at `time`, filtered now; it becomes
    // the last frame.
    std::int32_t take(double time);

    // True when `time` is that of the last frame filtered: the same frame again.
    bool repeatsLast(double time) const;
    // True when no frame earlier than `time` is waiting: the frame that may go
    // ahead when the wait for those before it runs out.
    bool earliestWaiting(double time) const { return !earlierWaiting(time); }

    // The frames before the first ones to come went elsewhere (to the
    // sequence of other settings, before a change): once settled, the
    // earliest frame waiting starts, rather than waiting for frames from 0.
    void startAnywhere() { startsAnywhere_ = true; }

    // The start is over: the frame duration is taken as known.
    void settle() { settled_ = true; }
    bool settled() const { return settled_; }

    double duration() const { return duration_; }  // 0 while unknown
    bool started() const { return started_; }
    std::uint64_t filteredCount() const { return filteredCount_; }

private:
    // Frame durations from the last frame filtered to `time`, rounded and
    // limited to the range positions can take.
    std::int64_t stepsFromLast(double time) const;
    bool earlierWaiting(double time) const;

    static constexpr int RECENT_TIMES = 32;
    std::array<double, RECENT_TIMES> recent_{};  // the last times seen, for the duration
    int recentCount_ = 0;
    int recentNext_ = 0;
    // Times that have arrived and not been filtered; more than this many
    // calls at once on one instance are not ordered among themselves.
    static constexpr int MAX_WAITING = 64;
    std::array<double, MAX_WAITING> waiting_{};
    int waitingCount_ = 0;

    double duration_ = 0.0;
    bool settled_ = false;
    bool started_ = false;
    bool startsAnywhere_ = false;
    double lastTime_ = 0.0;
    std::int32_t lastPosition_ = 0;
    std::uint64_t filteredCount_ = 0;
};

}  // namespace kalmix::frei0r
