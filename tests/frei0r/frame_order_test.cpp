// The frame order of the frei0r plug-in: positions from the host's times, and
// which frames may be filtered at once.
#include "tools/frei0r/frame_order.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

namespace {

using kalmix::frei0r::FrameOrder;

// A serial host: every frame arrives and is filtered (after its wait, if any).
std::vector<std::int32_t> serialPositions(FrameOrder& order, const std::vector<double>& times) {
    std::vector<std::int32_t> positions;
    for (double time : times) {
        order.arrive(time);
        positions.push_back(order.take(time));
    }
    return positions;
}

// Calls of a host that renders on several threads, arriving in a given
// order (times in frames of 1/25 s): after each event every waiting call that
// is ready is filtered, as the plug-in's waiting calls retry whenever another
// call comes or goes. Records the frames in the order filtered.
struct Calls {
    static constexpr double d = 1.0 / 25;
    FrameOrder order;
    std::vector<int> waiting, filtered;
    std::vector<std::int32_t> positions;

    void arrive(std::initializer_list<int> frames) {
        for (int index : frames) {
            order.arrive(index * d);
            waiting.push_back(index);
            drain();
        }
    }
    void settle() {
        order.settle();
        drain();
    }
    void drain() {
        for (bool progress = true; progress;) {
            progress = false;
            for (auto it = waiting.begin(); it != waiting.end(); ++it) {
                if (order.ready(*it * d)) {
                    filtered.push_back(*it);
                    positions.push_back(order.take(*it * d));
                    waiting.erase(it);
                    progress = true;
                    break;
                }
            }
        }
    }
};

TEST(FrameOrder, PositionsCountFrameDurationsWithoutDrift) {
    // 29.97 fps stored in whole milliseconds: gaps of 33 and 34 ms.
    std::vector<double> times;
    for (int i = 0; i < 3000; ++i) times.push_back(std::floor(i * 1001.0 / 30.0) / 1000.0);
    FrameOrder order;
    order.settle();
    const auto positions = serialPositions(order, times);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(positions[i], i) << times[i];
    EXPECT_NEAR(order.duration(), 0.033, 1e-9);
    // Consecutive frames never wait once settled.
    order.arrive(100.1);
    EXPECT_TRUE(order.ready(100.1));
}

TEST(FrameOrder, GapsRepeatsAndSeeksArePassedOnAsJumps) {
    FrameOrder order;
    order.settle();
    // A host starting mid-clip: its first frame is position 0.
    const auto positions =
        serialPositions(order, {10.0, 10.04, 10.08, 10.16, 10.16, 50.0, 50.04, 9.0, 0.0});
    EXPECT_EQ(positions, (std::vector<std::int32_t>{0, 1, 2, 4, 4, 1000, 1001, 0, 0}));
}

TEST(FrameOrder, FramesAFewAheadWaitAndSeeksGoAtOnce) {
    FrameOrder order;
    order.settle();
    for (double time : {0.0, 0.04, 0.08}) {
        order.arrive(time);
        order.take(time);
    }
    const double d = 0.04;
    EXPECT_TRUE(order.ready(3 * d));                                // next
    EXPECT_FALSE(order.ready(4 * d));                               // one missing
    EXPECT_FALSE(order.ready((3 + FrameOrder::MAX_WAIT_GAP) * d));  // the most that wait
    EXPECT_TRUE(order.ready((4 + FrameOrder::MAX_WAIT_GAP) * d));   // a seek
    EXPECT_TRUE(order.ready(2 * d));                                // the same again
    EXPECT_TRUE(order.ready(0.5 * d));                              // behind
    EXPECT_TRUE(order.ready(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(order.take(std::numeric_limits<double>::quiet_NaN()), 3);  // counted on
    // A frame waits while an earlier one waits, even one that is a seek.
    order.arrive(100.0);
    order.arrive(100.04);
    EXPECT_TRUE(order.ready(100.0));
    EXPECT_FALSE(order.ready(100.04));
}

TEST(FrameOrder, OutOfOrderArrivalsAreFilteredInTimeOrder) {
    Calls calls;
    calls.arrive({2, 3, 1, 0});
    EXPECT_EQ(calls.filtered, (std::vector<int>{0}));  // frame 0 needs no settling
    calls.settle();
    calls.arrive({5, 4, 7, 6, 9, 10, 8});
    EXPECT_TRUE(calls.waiting.empty());
    EXPECT_EQ(calls.filtered, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(calls.positions, (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(FrameOrder, OnlyTheFrameAtTimeZeroGoesBeforeTheOrderSettles) {
    // Frames 0, 2 and 4 first: 2 and 4 would pass for frames 1 and 2.
    Calls calls;
    calls.arrive({2, 0, 4});
    EXPECT_EQ(calls.filtered, (std::vector<int>{0}));
    calls.arrive({1});  // frame 1 comes within the start
    calls.settle();
    EXPECT_EQ(calls.filtered, (std::vector<int>{0, 1, 2}));
    // Frame 3 never comes: after the wait limit frame 4 goes, as a jump.
    EXPECT_EQ(calls.order.take(4 * Calls::d), 4);
}

TEST(FrameOrder, ASettledStartLaterThanZeroGoesEarliestFirst) {
    // A serial host starting mid-clip goes once settled.
    FrameOrder serial;
    serial.arrive(5.0);
    EXPECT_FALSE(serial.ready(5.0));
    serial.settle();
    EXPECT_TRUE(serial.ready(5.0));
    // A parallel one starting after a seek: the earliest waiting frame first.
    FrameOrder parallel;
    for (double time : {5.08, 5.04, 5.0}) parallel.arrive(time);
    parallel.settle();
    EXPECT_FALSE(parallel.ready(5.08));
    EXPECT_TRUE(parallel.ready(5.0));
    EXPECT_EQ(parallel.take(5.0), 0);
    EXPECT_TRUE(parallel.ready(5.04));
}

TEST(FrameOrder, PositionsStayInTheModulesRange) {
    FrameOrder order;
    for (double time : {0.0, 1.0, 2.0}) {
        order.arrive(time);
        order.take(time);
    }
    order.arrive(-5.0);
    EXPECT_EQ(order.take(-5.0), 0);  // before the first frame: afresh at 0
    order.arrive(1e300);
    EXPECT_EQ(order.take(1e300), 0);  // beyond 2^31-1 frames: afresh at 0
    order.arrive(std::numeric_limits<double>::infinity());
    EXPECT_EQ(order.take(std::numeric_limits<double>::infinity()), 1);
}

}  // namespace
