// The frame loop's own work per frame: the refreshed-block map against a
// pixel-by-pixel reference, raw files read with the same frames a pipe
// gives, failing with one line when cut short, and the frames read ahead of
// the loop and written behind it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>

#include "pipeline/cpu.h"
#include "tool_test_support.h"
#include "tools/kalmix/block_prints.h"
#include "tools/kalmix/ffmpeg_common.h"
#include "tools/kalmix/ffmpeg_reader.h"
#include "tools/kalmix/frame_feed.h"
#include "tools/kalmix/frame_loop.h"
#include "tools/kalmix/frame_sink.h"
#include "tools/kalmix/raw_io.h"

namespace kalmix::tool::test {
namespace {

// The map as the loop defines it, one pixel at a time.
std::vector<std::uint8_t> referenceMap(const Bytes& a, const Bytes& b, int width, int height) {
    const int across = (width + 3) / 4, down = (height + 3) / 4;
    std::vector<std::uint8_t> map(static_cast<std::size_t>(across * down), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>((y * width + x) * 4);
            if (a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2]) {
                map[static_cast<std::size_t>(y / 4 * across + x / 4)] = 1;
            }
        }
    }
    return map;
}

// The map and count through the prints of both frames.
std::uint64_t refreshedMap(const Bytes& previous, const Bytes& current, int width, int height,
                           std::vector<std::uint8_t>& map) {
    std::vector<BlockPrint> before(map.size()), after(map.size());
    blockPrints(previous.data(), width, height, before.data());
    blockPrints(current.data(), width, height, after.data());
    return markRefreshedBlocks(before.data(), after.data(), map.size(), map.data());
}

TEST(RefreshedBlocks, EveryColourByteCountsAndAlphaNeverDoes) {
    std::mt19937 random(7);
    for (const auto& [width, height] : {std::pair{16, 8}, std::pair{384, 288}, std::pair{10, 7}, std::pair{3, 5}}) {
        const std::size_t bytes = static_cast<std::size_t>(width * height * 4);
        Bytes previous(bytes);
        for (std::uint8_t& value : previous) value = static_cast<std::uint8_t>(random());
        // One changed byte per trial, at every byte position of a pixel and
        // at pixels all over the frame (each position in a block, the edges).
        for (int trial = 0; trial < 64; ++trial) {
            Bytes current = previous;
            const std::size_t at = random() % bytes;
            current[at] = static_cast<std::uint8_t>(current[at] + 1 + random() % 255);
            std::vector<std::uint8_t> map(static_cast<std::size_t>(((width + 3) / 4) * ((height + 3) / 4)), 9);
            const std::uint64_t count = refreshedMap(previous, current, width, height, map);
            const std::vector<std::uint8_t> expected = referenceMap(previous, current, width, height);
            EXPECT_EQ(map, expected) << width << "x" << height << ", byte " << at;
            EXPECT_EQ(count, at % 4 == 3 ? 0U : 1U) << width << "x" << height << ", byte " << at;
            // The tiled loop compares whole frames instead of prints.
            std::vector<std::uint8_t> direct(map.size(), 9);
            EXPECT_EQ(markRefreshedBlocks(previous.data(), current.data(), width, height, direct.data()), count);
            EXPECT_EQ(direct, expected) << width << "x" << height << ", byte " << at << ", whole frames";
        }
        // Many scattered changes at once.
        Bytes current = previous;
        for (int k = 0; k < width * height / 8; ++k) current[random() % bytes] ^= 0x10;
        std::vector<std::uint8_t> map(static_cast<std::size_t>(((width + 3) / 4) * ((height + 3) / 4)));
        const std::uint64_t count = refreshedMap(previous, current, width, height, map);
        const std::vector<std::uint8_t> expected = referenceMap(previous, current, width, height);
        EXPECT_EQ(map, expected);
        std::uint64_t expectedCount = 0;
        for (std::uint8_t flag : expected) expectedCount += flag;
        EXPECT_EQ(count, expectedCount);
        std::vector<std::uint8_t> direct(map.size());
        EXPECT_EQ(markRefreshedBlocks(previous.data(), current.data(), width, height, direct.data()), expectedCount);
        EXPECT_EQ(direct, expected);
    }
}

// The AVX2 prints against the definition, over random frames of every width
// and height around its steps of two blocks and its block rows, each in a
// buffer of exactly the frame's size (the sanitizer build sees any read past it).
TEST(RefreshedBlocks, VectorPrintsMatchTheDefinition) {
    std::mt19937 random(11);
    std::vector<std::pair<int, int>> sizes{{384, 288}, {1920, 9}, {35, 17}};
    for (int width = 1; width <= 20; ++width) {
        for (int height = 1; height <= 9; ++height) sizes.emplace_back(width, height);
    }
    for (const auto& [width, height] : sizes) {
        const std::size_t bytes = static_cast<std::size_t>(width * height * 4);
        const std::size_t blocks = static_cast<std::size_t>(((width + 3) / 4) * ((height + 3) / 4));
        Bytes frame(bytes);
        for (std::uint8_t& value : frame) value = static_cast<std::uint8_t>(random());
        std::vector<BlockPrint> plain(blocks), vector(blocks);
        blockPrintsPlain(frame.data(), width, height, plain.data());
        for (BlockPrint& print : vector) print.lane[0] = print.lane[3] = 0xDEADBEEF;  // all written, none kept
        if (!blockPrintsAvx2(frame.data(), width, height, vector.data())) GTEST_SKIP() << "no AVX2 here";
        for (std::size_t k = 0; k < blocks; ++k) {
            ASSERT_EQ(std::memcmp(&plain[k], &vector[k], sizeof(BlockPrint)), 0)
                << width << "x" << height << ", block " << k;
        }
    }
}

class RawFile : public ::testing::Test {
protected:
    static constexpr int W = 20, H = 12, FRAMES = 5;
    void SetUp() override {
        clip = makeClip(W, H, FRAMES, 3);
        writeFile(path, clip);
    }
    ScratchDir dir;
    std::string path = dir / "in.bgra";
    Bytes clip;
};

TEST_F(RawFile, FramesMatchTheFile) {
    const std::size_t frameBytes = static_cast<std::size_t>(W * H * 4);
    RawReader reader(path, W, H, false);
    Bytes buffer(frameBytes);
    FrameInfo info;
    for (int i = 0; i < FRAMES; ++i) {
        ASSERT_TRUE(reader.read(buffer.data(), info));
        EXPECT_EQ(info.pts, i);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), clip.begin() + static_cast<std::ptrdiff_t>(i * frameBytes)));
    }
    EXPECT_FALSE(reader.read(buffer.data(), info));
}

TEST(RawFileRead, FillsTheBufferAtAnyAlignmentAndNothingPastIt) {
    // Frames of 7x5 (140 bytes: whole cache lines and a rest) and of 2x2
    // (16 bytes), into buffers at every offset from a cache line.
    ScratchDir dir;
    for (const auto& [width, height] : {std::pair{7, 5}, std::pair{2, 2}, std::pair{64, 3}}) {
        const std::size_t frameBytes = static_cast<std::size_t>(width * height * 4);
        const Bytes clip = makeClip(width, height, 3, 9);
        const std::string path = dir / ("in-" + std::to_string(width) + ".bgra");
        writeFile(path, clip);
        for (std::size_t offset : {0, 4, 16, 60}) {
            RawReader reader(path, width, height, false);
            Bytes space(frameBytes + 192, 0xA5);
            const auto base = reinterpret_cast<std::uintptr_t>(space.data());
            const std::size_t start = (64 - base % 64) % 64 + offset;
            FrameInfo info;
            for (int i = 0; i < 3; ++i) {
                ASSERT_TRUE(reader.read(space.data() + start, info));
                EXPECT_TRUE(std::equal(space.begin() + static_cast<std::ptrdiff_t>(start),
                                       space.begin() + static_cast<std::ptrdiff_t>(start + frameBytes),
                                       clip.begin() + static_cast<std::ptrdiff_t>(i * frameBytes)))
                    << width << "x" << height << ", offset " << offset << ", frame " << i;
                EXPECT_TRUE(std::all_of(space.begin(), space.begin() + static_cast<std::ptrdiff_t>(start),
                                        [](std::uint8_t b) { return b == 0xA5; }));
                EXPECT_TRUE(std::all_of(space.begin() + static_cast<std::ptrdiff_t>(start + frameBytes), space.end(),
                                        [](std::uint8_t b) { return b == 0xA5; }));
            }
            EXPECT_FALSE(reader.read(space.data() + start, info));
        }
    }
}

TEST_F(RawFile, TheToolGivesTheSameOutputFromAFileAndFromAPipe) {
    const RunResult fromFile = runKalmix({"--raw", "20x12", path, "-o", "-", "-q"});
    const RunResult fromPipe = runKalmix({"--raw", "20x12", "-", "-o", "-", "-q"}, path);
    ASSERT_EQ(fromFile.status, 0) << fromFile.err;
    ASSERT_EQ(fromPipe.status, 0) << fromPipe.err;
    EXPECT_EQ(fromFile.out.size(), clip.size());
    EXPECT_EQ(fromFile.out, fromPipe.out);
}

TEST_F(RawFile, AFileCutShortWhileReadIsAFailureNotAnEnd) {
    // Shortened after it was opened: to nothing, and to inside the second frame.
    const auto frameBytes = static_cast<off_t>(W * H * 4);
    for (const off_t size : {off_t{0}, frameBytes + 7}) {
        writeFile(path, clip);
        RawReader reader(path, W, H, false);
        ASSERT_EQ(::truncate(path.c_str(), size), 0);
        Bytes buffer(static_cast<std::size_t>(frameBytes));
        FrameInfo info;
        if (size > 0) {
            ASSERT_TRUE(reader.read(buffer.data(), info));
        }
        try {
            reader.read(buffer.data(), info);
            ADD_FAILURE() << "no error at size " << size;
        } catch (const ToolError& error) {
            EXPECT_EQ(error.what(), "cannot read input '" + path + "': it was cut short while being read");
        }
    }
}

// Frames numbered in every byte and in their time stamp; it throws at
// failAt, and counts the frames it has read.
class NumberedReader final : public FrameReader {
public:
    NumberedReader(bool withoutWaiting, int frames, int failAt = -1)
        : withoutWaiting_(withoutWaiting), frames_(frames), failAt_(failAt) {
        format_.width = 2;
        format_.height = 2;
    }
    const VideoFormat& format() const override { return format_; }
    bool readsWithoutWaiting() const override { return withoutWaiting_; }
    bool read(std::uint8_t* bgra, FrameInfo& info) override {
        const int frame = count_.load();
        if (frame == failAt_) throw ToolError("frame " + std::to_string(frame) + " is damaged");
        if (frame == frames_) return false;
        std::fill_n(bgra, format_.frameBytes(), static_cast<std::uint8_t>(frame));
        info.pts = frame;
        count_.store(frame + 1);
        return true;
    }
    int count() const { return count_.load(); }

private:
    bool withoutWaiting_;
    int frames_;
    int failAt_;
    VideoFormat format_;
    std::atomic<int> count_{0};
};

TEST(FrameFeed, HandsOverEveryFrameInOrderAndNeverRefillsTheOneInUse) {
    // Read when asked, ahead into every buffer, ahead into two (frames too
    // large for more), and when asked again (frames that only pass through,
    // too large to hold twice).
    const std::size_t passedThrough = (std::size_t{16} << 20) + 1;
    for (const auto& [ahead, bytes, slots] :
         {std::tuple{false, std::size_t{16}, 1}, std::tuple{true, std::size_t{16}, MAX_FRAMES_IN_HAND},
          std::tuple{true, std::size_t{4} << 20, 2}, std::tuple{true, passedThrough, 1}}) {
        NumberedReader reader(ahead, 40);
        FrameFeed feed(reader, bytes);
        if (slots > 1 && framesInHand(16) == 1) GTEST_SKIP() << "this process may run on one CPU only";
        EXPECT_EQ(feed.slots(), slots) << bytes << " bytes";
        FrameInfo info;
        int frames = 0;
        while (const std::uint8_t* frame = feed.next(info)) {
            EXPECT_EQ(info.pts, frames);
            // The reader goes on meanwhile; this frame must stay as it was.
            if (frames % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            EXPECT_TRUE(std::all_of(frame, frame + 16, [&](std::uint8_t b) { return b == frames; }))
                << "frame " << frames << ", " << feed.slots() << " buffers";
            ++frames;
        }
        EXPECT_EQ(frames, 40);
        EXPECT_EQ(feed.next(info), nullptr);
    }
}

TEST(FrameFeed, AReadersFailureComesAfterTheFramesReadBeforeIt) {
    for (const bool ahead : {false, true}) {
        NumberedReader reader(ahead, 40, 3);
        FrameFeed feed(reader, 16);
        FrameInfo info;
        for (int i = 0; i < 3; ++i) {
            const std::uint8_t* frame = feed.next(info);
            ASSERT_NE(frame, nullptr);
            EXPECT_EQ(frame[0], i);
        }
        try {
            feed.next(info);
            ADD_FAILURE() << "no failure" << (ahead ? ", read ahead" : "");
        } catch (const ToolError& error) {
            EXPECT_STREQ(error.what(), "frame 3 is damaged");
        }
    }
}

TEST(FrameFeed, ReadsAheadAsFarAsItsBuffersAndStopsWhenTheLoopEndsEarly) {
    NumberedReader reader(true, 1000);
    {
        FrameFeed feed(reader, 16);
        if (framesInHand(16) == 1) GTEST_SKIP() << "this process may run on one CPU only";
        ASSERT_EQ(feed.slots(), MAX_FRAMES_IN_HAND);
        FrameInfo info;
        ASSERT_NE(feed.next(info), nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(reader.count(), MAX_FRAMES_IN_HAND);  // the one in use and the next ones
    }  // the loop failed here: the feed stops rather than reading on
    EXPECT_EQ(reader.count(), MAX_FRAMES_IN_HAND);
}

// Checks that each frame it is given holds its number in every byte and in
// its time stamp; throws at failAt.
class NumberedWriter final : public FrameWriter {
public:
    NumberedWriter(bool withoutWaiting, std::size_t bytes, int failAt = -1)
        : withoutWaiting_(withoutWaiting), bytes_(bytes), failAt_(failAt) {}
    bool writesWithoutWaiting() const override { return withoutWaiting_; }
    void write(const std::uint8_t* bgra, const FrameInfo& info) override {
        const int frame = count_.load();
        if (frame == failAt_ && !failed_.exchange(true)) throw ToolError("no room for frame " + std::to_string(frame));
        if (frame % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a slow disk
        if (info.pts != frame || !std::all_of(bgra, bgra + bytes_, [&](std::uint8_t b) { return b == frame % 256; })) {
            ++damaged_;
        }
        count_.store(frame + 1);
    }
    void finish() override { finished_ = true; }
    int count() const { return count_.load(); }
    int damaged() const { return damaged_.load(); }
    bool finished() const { return finished_; }

private:
    bool withoutWaiting_;
    std::size_t bytes_;
    int failAt_;
    std::atomic<int> count_{0};
    std::atomic<int> damaged_{0};
    std::atomic<bool> failed_{false};  // once: what comes after a failure gets written
    bool finished_ = false;
};

// The loop's side: frame n filtered into the buffer the sink gives.
void fillFrames(FrameSink& sink, int frames, std::size_t bytes) {
    for (int frame = 0; frame < frames; ++frame) {
        std::uint8_t* buffer = sink.buffer();
        std::fill_n(buffer, bytes, static_cast<std::uint8_t>(frame));
        FrameInfo info;
        info.pts = frame;
        sink.write(info);
    }
}

TEST(FrameSink, WritesEveryFrameInOrderAndNeverRefillsOneNotYetWritten) {
    // Written in the loop, behind it into every buffer, behind it into two
    // (frames too large for more), and in the loop again (frames too large
    // to hold twice).
    const std::size_t passedThrough = (std::size_t{16} << 20) + 1;
    for (const auto& [behind, bytes, slots] :
         {std::tuple{false, std::size_t{16}, 1}, std::tuple{true, std::size_t{16}, MAX_FRAMES_IN_HAND},
          std::tuple{true, std::size_t{4} << 20, 2}, std::tuple{true, passedThrough, 1}}) {
        NumberedWriter writer(behind, bytes);
        FrameSink sink(writer, bytes);
        if (slots > 1 && framesInHand(16) == 1) GTEST_SKIP() << "this process may run on one CPU only";
        EXPECT_EQ(sink.slots(), slots) << bytes << " bytes";
        const int frames = bytes > 16 ? 6 : 40;  // enough to go round two buffers
        fillFrames(sink, frames, bytes);
        sink.finish();
        EXPECT_EQ(writer.count(), frames) << sink.slots() << " buffers";
        EXPECT_EQ(writer.damaged(), 0) << sink.slots() << " buffers";
        EXPECT_TRUE(writer.finished());
    }
}

TEST(FrameSink, AWritersFailureEndsTheRunWithoutFinishingTheOutput) {
    for (const bool behind : {false, true}) {
        NumberedWriter writer(behind, 16, 5);
        try {
            FrameSink sink(writer, 16);
            fillFrames(sink, 40, 16);
            sink.finish();
            ADD_FAILURE() << "no failure" << (behind ? ", written behind" : "");
        } catch (const ToolError& error) {
            EXPECT_STREQ(error.what(), "no room for frame 5");
        }
        EXPECT_EQ(writer.count(), 5);
        EXPECT_FALSE(writer.finished());
    }
}

TEST(FrameSink, ARunThatFailsElsewhereStopsTheWritingAndFinishesNothing) {
    NumberedWriter writer(true, 16);
    {
        FrameSink sink(writer, 16);
        fillFrames(sink, 3, 16);
    }  // the module failed here
    EXPECT_LE(writer.count(), 3);
    EXPECT_EQ(writer.damaged(), 0);
    EXPECT_FALSE(writer.finished());
}

TEST(FfmpegFileRead, IsReadAheadAndGivesUpOnceInterrupted) {
    // A file may open streams that wait (a playlist's segments, an SDP
    // file's stream): a reader the loop stopped must give up on them.
    ScratchDir dir;
    const std::string path = dir / "in.mkv";
    // Larger than what opening it reads ahead: the reads go on to the file.
    writeMkv(path, makeClip(128, 96, 40, 3), 128, 96, {1, 25}, {25, 1});
    FfmpegReader reader(path, false);
    EXPECT_TRUE(reader.readsWithoutWaiting());
    Bytes frame(reader.format().frameBytes());
    FrameInfo info;
    ASSERT_TRUE(reader.read(frame.data(), info));
    reader.interrupt();
    int after = 0;
    while (reader.read(frame.data(), info)) ++after;
    // What the decoder holds still comes out; the file's other frames do not.
    EXPECT_LT(after, 20);
    EXPECT_EQ(reader.damagedPackets(), 1);
}

TEST(FfmpegLog, RemarksFromDecoderThreadsAtOnceAreCountedWhole) {
    // A decoder's frame threads log at the same time as the reading thread
    // and the loop: the remarks kept and the count of those dropped must add
    // up, and never overrun the lines kept.
    captureFfmpegLog();
    setFfmpegLogLevel(AV_LOG_VERBOSE);
    dropFfmpegRemarks();
    constexpr int THREADS = 4, EACH = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < EACH; ++i) av_log(nullptr, AV_LOG_WARNING, "remark %d of thread %d\n", i, t);
        });
    }
    for (std::thread& thread : threads) thread.join();
    testing::internal::CaptureStderr();
    flushFfmpegRemarks();
    const std::string shown = testing::internal::GetCapturedStderr();
    setFfmpegLogLevel(AV_LOG_WARNING);
    const auto lines = static_cast<int>(std::count(shown.begin(), shown.end(), '\n'));
    const std::string::size_type more = shown.find("(");
    ASSERT_NE(more, std::string::npos) << shown;
    const int dropped = std::atoi(shown.c_str() + more + 1);
    EXPECT_EQ(lines - 1 + dropped, THREADS * EACH) << shown;
}

TEST(Version, NamesTheFramePathLevelThatKalmixCpuCaps) {
    const char* saved = std::getenv("KALMIX_CPU");
    const std::string restore = saved != nullptr ? saved : "";
    ::setenv("KALMIX_CPU", "c", 1);
    const RunResult plain = runKalmix({"--version"});
    ::unsetenv("KALMIX_CPU");
    const RunResult best = runKalmix({"--version"});
    if (saved != nullptr) ::setenv("KALMIX_CPU", restore.c_str(), 1);
    ASSERT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "kalmix: frame path: c\n");
    EXPECT_EQ(best.err, std::string("kalmix: frame path: ") + cpuLevelName(supportedCpuLevel()) + "\n");
    EXPECT_EQ(plain.out, best.out);  // the man page is made from standard output
}

}  // namespace
}  // namespace kalmix::tool::test

namespace kalmix::tool::test {
namespace {

// The converter runs each picture in slices on several threads; the pictures
// must be byte for byte those of the one-threaded conversion the tool made
// before, in both directions, at odd sizes, scaled down (--fit) and from a
// full-range (yuvj) frame.
TEST(Scaler, ThreadsGiveTheBytesOfOneThread) {
    struct Case {
        int width, height, outWidth, outHeight;
        AVPixelFormat format;
        int flags;
    };
    const int readFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_BITEXACT;
    const int writeFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT;
    std::mt19937 random(7);
    for (const Case& c : {Case{402, 290, 402, 290, AV_PIX_FMT_YUV420P, readFlags},
                          Case{33, 17, 33, 17, AV_PIX_FMT_YUV422P10LE, readFlags},
                          Case{1280, 720, 384, 216, AV_PIX_FMT_YUVJ420P, readFlags},
                          Case{402, 290, 402, 290, AV_PIX_FMT_YUV444P, readFlags}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        FramePtr frame(av_frame_alloc());
        frame->format = c.format;
        frame->width = c.width;
        frame->height = c.height;
        ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
        for (int p = 0; p < 4 && frame->buf[p] != nullptr; ++p) {
            for (std::size_t i = 0; i < frame->buf[p]->size; ++i) frame->buf[p]->data[i] = static_cast<std::uint8_t>(random());
        }
        if (c.format == AV_PIX_FMT_YUV422P10LE) {  // keep 10-bit samples in range
            for (int p = 0; p < 4 && frame->buf[p] != nullptr; ++p) {
                for (std::size_t i = 1; i < frame->buf[p]->size; i += 2) frame->buf[p]->data[i] &= 0x03;
            }
        }
        const AVPixelFormat layout = plainLayout(c.format);
        const int stride = c.outWidth * 4;
        // What the tool did before: one context, one thread.
        SwsPtr single(sws_getContext(c.width, c.height, layout, c.outWidth, c.outHeight, AV_PIX_FMT_BGRA, c.flags,
                                     nullptr, nullptr, nullptr));
        sws_setColorspaceDetails(single.get(), sws_getCoefficients(AVCOL_SPC_BT709), 1,
                                 sws_getCoefficients(AVCOL_SPC_BT470BG), 1, 0, 1 << 16, 1 << 16);
        Bytes expected(static_cast<std::size_t>(stride) * static_cast<std::size_t>(c.outHeight));
        std::uint8_t* planes[4] = {expected.data()};
        const int strides[4] = {stride};
        sws_scale(single.get(), frame->data, frame->linesize, 0, c.height, planes, strides);
        for (const int threads : {1, 4}) {
            Scaler scaler(threads);
            bool rebuilt = false;
            SwsContext* context = scaler.prepare(c.width, c.height, layout, c.outWidth, c.outHeight, AV_PIX_FMT_BGRA,
                                                 c.flags, rebuilt);
            ASSERT_NE(context, nullptr);
            EXPECT_TRUE(rebuilt);
            sws_setColorspaceDetails(context, sws_getCoefficients(AVCOL_SPC_BT709), 1,
                                     sws_getCoefficients(AVCOL_SPC_BT470BG), 1, 0, 1 << 16, 1 << 16);
            Bytes bgra(expected.size());
            for (int round = 0; round < 2; ++round) {  // the kept context too
                ASSERT_EQ(scaler.scale(*frame, bgra.data(), stride), 0);
                EXPECT_TRUE(bgra == expected) << threads << " threads";
                EXPECT_EQ(scaler.prepare(c.width, c.height, layout, c.outWidth, c.outHeight, AV_PIX_FMT_BGRA, c.flags,
                                         rebuilt),
                          context);
                EXPECT_FALSE(rebuilt);
            }
            if (c.outWidth != c.width) continue;
            // And back, BGRA to the encoder's YUV, as the writer does.
            FramePtr single420(av_frame_alloc());
            FramePtr threaded420(av_frame_alloc());
            for (AVFrame* f : {single420.get(), threaded420.get()}) {
                f->format = AV_PIX_FMT_YUV420P;
                f->width = c.width;
                f->height = c.height;
                ASSERT_GE(av_frame_get_buffer(f, 0), 0);
            }
            SwsPtr back(sws_getContext(c.width, c.height, AV_PIX_FMT_BGRA, c.width, c.height, AV_PIX_FMT_YUV420P,
                                       writeFlags, nullptr, nullptr, nullptr));
            const std::uint8_t* source[4] = {bgra.data()};
            sws_scale(back.get(), source, strides, 0, c.height, single420->data, single420->linesize);
            Scaler backScaler(threads);
            ASSERT_NE(backScaler.prepare(c.width, c.height, AV_PIX_FMT_BGRA, c.width, c.height, AV_PIX_FMT_YUV420P,
                                         writeFlags, rebuilt),
                      nullptr);
            ASSERT_EQ(backScaler.scale(bgra.data(), stride, *threaded420), 0);
            for (int p = 0; p < 3; ++p) {
                const int rows = p == 0 ? c.height : (c.height + 1) / 2;
                const int bytes = p == 0 ? c.width : (c.width + 1) / 2;
                for (int y = 0; y < rows; ++y) {
                    ASSERT_EQ(std::memcmp(single420->data[p] + y * single420->linesize[p],
                                          threaded420->data[p] + y * threaded420->linesize[p], bytes),
                              0)
                        << "plane " << p << " row " << y << ", " << threads << " threads";
                }
            }
        }
    }
}

}  // namespace
}  // namespace kalmix::tool::test
