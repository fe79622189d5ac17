// Real-world input: damaged packets, trimming with -ss/-t/-to, and how much
// -v lets through.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>

#include "tool_test_support.h"

namespace kalmix::tool::test {
namespace {

constexpr int W = 32;
constexpr int H = 32;

std::size_t countOf(const std::string& text, const std::string& word) {
    std::size_t n = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

class Input : public ::testing::Test {
protected:
    RunResult run(std::vector<std::string> args) {
        freshStateDirectory();
        return runKalmix(args);
    }
    // The module's record: the last position it saw and the clip total.
    static std::pair<int, int> positionAndTotal() {
        const Bytes state = readFile(std::string(std::getenv("WINDIR")) + "/KALMIX_STAT.bin");
        if (state.size() < 16) return {-1, -1};
        return {state[0] | state[1] << 8, state[8] | state[9] << 8};
    }
    ScratchDir dir;
};

TEST_F(Input, OneDamagedPacketIsConcealedAndCounted) {
    // onebad: 100 MJPEG frames, the 40th packet overwritten with junk.
    ClipRecipe recipe;
    recipe.codec = "mjpeg";
    recipe.pixelFormat = "yuvj420p";
    recipe.width = 16;
    recipe.height = 16;
    recipe.frames = 100;
    recipe.damagedPacket = 39;
    writeClip(dir / "onebad.avi", recipe);

    const RunResult result = run({dir / "onebad.avi", "-o", dir / "out.mkv"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(decodeFile(dir / "out.mkv").count, 99);
    EXPECT_NE(result.err.find("warning:"), std::string::npos) << result.err;
    const std::string summary = result.errLines().back();
    EXPECT_NE(summary.find("99 frames filtered"), std::string::npos) << summary;
    EXPECT_NE(summary.find("1 damaged packet"), std::string::npos) << summary;

    // --strict (or -xerror) stops at it: one line, no output.
    for (const char* flag : {"--strict", "-xerror"}) {
        const RunResult strict = run({dir / "onebad.avi", "-o", dir / "strict.mkv", flag});
        EXPECT_EQ(strict.status, 1);
        ASSERT_EQ(strict.errLines().size(), 1u) << strict.err;
        EXPECT_NE(strict.err.find("damaged"), std::string::npos) << strict.err;
    }
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"onebad.avi", "out.mkv"}));
}

// A file cut off in the middle of a frame (a recording that stopped): the
// demuxer hands over the packet it could read and flags it corrupt. That is a
// damaged packet like any other: counted, and the end of a strict run.
TEST_F(Input, APacketCutShortIsCountedAndStopsAStrictRun) {
    ClipRecipe recipe;
    recipe.frames = 10;
    writeClip(dir / "whole.avi", recipe);
    Bytes bytes = readFile(dir / "whole.avi");
    bytes.resize(bytes.size() / 2);  // inside the frames, which fill the file
    writeFile(dir / "cut.avi", bytes);

    const RunResult result = run({dir / "cut.avi", "-o", dir / "out.mkv"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("warning: input"), std::string::npos) << result.err;
    EXPECT_NE(result.errLines().back().find("damaged packet"), std::string::npos) << result.err;

    for (const char* flag : {"--strict", "-xerror"}) {
        const RunResult strict = run({dir / "cut.avi", "-o", dir / "strict.mkv", flag});
        EXPECT_EQ(strict.status, 1) << flag;
        ASSERT_EQ(strict.errLines().size(), 1u) << strict.err;
        EXPECT_NE(strict.err.find("damaged"), std::string::npos) << strict.err;
    }
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"cut.avi", "out.mkv", "whole.avi"}));
}

// A Matroska file cut off (the tool's own output, a recording that stopped)
// holds whole frames up to the cut; the demuxer drops the partial one and
// reports the early end as an error. The frames before it are kept, and the
// early end counts as damage: warned about, and the end of a strict run.
TEST_F(Input, AFileThatEndsEarlyIsNoted) {
    ClipRecipe recipe;
    recipe.frames = 10;
    writeClip(dir / "whole.mkv", recipe);
    Bytes bytes = readFile(dir / "whole.mkv");
    bytes.resize(bytes.size() / 2);
    writeFile(dir / "cut.mkv", bytes);

    const RunResult whole = run({dir / "whole.mkv", "-o", dir / "whole-out.mkv"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_EQ(whole.err.find("warning"), std::string::npos) << whole.err;

    const RunResult result = run({dir / "cut.mkv", "-o", dir / "out.mkv"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("warning: input"), std::string::npos) << result.err;
    EXPECT_NE(result.errLines().back().find("damaged packet"), std::string::npos) << result.err;
    const RunResult strict = run({dir / "cut.mkv", "-o", dir / "strict.mkv", "--strict"});
    EXPECT_EQ(strict.status, 1) << strict.err;
    EXPECT_EQ(strict.errLines().size(), 1u) << strict.err;
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"cut.mkv", "out.mkv", "whole-out.mkv", "whole.mkv"}));
}

TEST_F(Input, TrimmingSelectsFramesAndPositionsStartAtZero) {
    constexpr int FRAMES = 20;  // 25 a second: frame n at n * 40 ms
    const Bytes clip = makeClip(W, H, FRAMES, 4);
    ClipRecipe recipe;
    recipe.bgra = &clip;
    recipe.frames = FRAMES;
    writeClip(dir / "in.mkv", recipe);
    const std::size_t frameBytes = static_cast<std::size_t>(W) * H * 4;
    const auto frames = [&](int first, int count) {
        return Bytes(clip.begin() + static_cast<std::ptrdiff_t>(frameBytes) * first,
                     clip.begin() + static_cast<std::ptrdiff_t>(frameBytes) * (first + count));
    };
    struct Case {
        std::vector<std::string> args;
        int first;
        int count;
    };
    // The same clip with time stamps from 2 s on, as a cut from a recording
    // has: times count from the input's first stamp, with or without -ss.
    recipe.firstPts = 50;
    writeClip(dir / "late.mkv", recipe);
    for (const char* input : {"in.mkv", "late.mkv"}) {
        for (const Case& c : std::vector<Case>{{{"-ss", "0.4"}, 10, 10},
                                               {{"-ss", "0.2", "-t", "0.4"}, 5, 10},
                                               {{"-ss", "00:00:00.2", "-to", "0.6"}, 5, 10},
                                               {{"-t", "0.2"}, 0, 5},
                                               {{"-to", "0.32"}, 0, 8}}) {
            std::vector<std::string> args = {dir / input, "-o", dir / "out.mkv", "-y"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            const RunResult result = run(args);
            ASSERT_EQ(result.status, 0) << result.err;
            const DecodedClip out = decodeFile(dir / "out.mkv");
            ASSERT_EQ(out.count, c.count) << input << " " << c.args[1];
            // The selection is the clip: positions from 0 and its length as total.
            freshStateDirectory();
            EXPECT_TRUE(out.frames == filterDirect(frames(c.first, c.count), W, H, host::UserSettings{}, 0, c.count))
                << input << " " << c.args[1];
            EXPECT_EQ(out.pts.front(), 0) << input << " " << c.args[0] << ": the output starts at 0";
        }
    }
    // --start still places the selection in a longer clip.
    const RunResult placed = run({dir / "in.mkv", "-o", dir / "placed.mkv", "-ss", "0.4", "--start", "10"});
    ASSERT_EQ(placed.status, 0) << placed.err;
    EXPECT_EQ(positionAndTotal(), (std::pair<int, int>{19, 10}));
}

// MPEG-TS has no index of key frames: a seek there lands on whatever frame
// is stamped near the start, and the decoder skips ahead to the next key
// frame, which may lie well inside the selection. None of it may be lost:
// with MPEG-2's key frame every 12 frames, nor with H.264's B-frames and one
// key frame, stamped after the frame that comes before it in the file.
TEST_F(Input, SeekingWithoutAnIndexLosesNoFrameOfTheSelection) {
    constexpr int FRAMES = 50;  // 25 a second
    for (const char* codec : {"mpeg2video", "libx264"}) {
        ClipRecipe recipe;
        recipe.codec = codec;
        recipe.pixelFormat = "yuv420p";
        recipe.frames = FRAMES;
        writeClip(dir / "in.ts", recipe);
        for (const auto& [start, first] :
             {std::pair{"0", 0}, std::pair{"0.5", 13}, std::pair{"0.9", 23}, std::pair{"1.3", 33}}) {
            const RunResult result = run({dir / "in.ts", "-o", dir / "out.mkv", "-y", "-ss", start});
            ASSERT_EQ(result.status, 0) << result.err;
            const DecodedClip out = decodeFile(dir / "out.mkv");
            EXPECT_EQ(out.count, FRAMES - first) << codec << " -ss " << start;
            // The frame at the selection's start comes out at its own distance from it.
            ASSERT_FALSE(out.pts.empty());
            EXPECT_EQ(out.pts.front(), first * 40 - static_cast<int>(std::stod(start) * 1000))
                << codec << " -ss " << start;
        }
    }
}

// A selection past the end, or an input without a frame, leaves nothing to
// write: the run fails rather than leave a file no player opens (an empty
// picture, a Matroska file with a broken header).
TEST_F(Input, NoFramesToWriteIsAFailure) {
    ClipRecipe recipe;
    recipe.frames = 10;
    writeClip(dir / "in.mkv", recipe);
    for (const char* output : {"out.mkv", "out.png", "out%02d.png", "out.mp4"}) {
        const RunResult result = run({dir / "in.mkv", "-o", dir / output, "-ss", "5"});
        EXPECT_EQ(result.status, 1) << output << ": " << result.err;
        ASSERT_FALSE(result.errLines().empty());
        EXPECT_NE(result.errLines().back().find("no frame"), std::string::npos) << result.err;
    }
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.mkv"}));
}

TEST_F(Input, VerbosityGovernsFfmpegAndTheToolAlike) {
    ClipRecipe recipe;
    recipe.frames = 3;
    writeClip(dir / "in.mkv", recipe);
    // "-c:v libx264" in .mkv: a note, the summary, and libx264's info lines
    // only at verbose.
    struct Case {
        const char* level;
        bool notes;
        bool ffmpegInfo;
    };
    for (const Case& c : {Case{"quiet", false, false}, Case{"error", false, false}, Case{"warning", false, false},
                          Case{"info", true, false}, Case{"verbose", true, true}}) {
        const RunResult result = run({dir / "in.mkv", "-o", dir / "out.mkv", "-c:v", "libx264", "-v", c.level, "-y"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err.find("frames filtered") != std::string::npos, c.notes) << c.level << ": " << result.err;
        EXPECT_EQ(result.err.find("kalmix: ffmpeg: [libx264") != std::string::npos, c.ffmpegInfo)
            << c.level << ": " << result.err;
    }
    // Failures: one line at every level but quiet.
    EXPECT_EQ(run({dir / "none.mkv", "-o", dir / "x.mkv", "-v", "warning"}).errLines().size(), 1u);
    const RunResult quiet = run({dir / "none.mkv", "-o", dir / "x.mkv", "-v", "quiet"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(countOf(run({dir / "in.mkv", "-o", dir / "y.mkv", "-v", "loud"}).err, "kalmix:"), 1u);
}

}  // namespace
}  // namespace kalmix::tool::test

namespace kalmix::tool::test {
namespace {

// The BGRA of pixel (x, y) of frame f of raw frames of the given width and height.
std::array<int, 3> pixelAt(const Bytes& frames, int width, int height, int f, int x, int y) {
    const std::size_t at = (static_cast<std::size_t>(f) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y)) *
                               static_cast<std::size_t>(width) * 4 +
                           static_cast<std::size_t>(x) * 4;
    return {frames[at], frames[at + 1], frames[at + 2]};
}

void expectNear(const std::array<int, 3>& got, const std::array<int, 3>& want, int tolerance, const std::string& what) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], tolerance) << what << ", channel " << c;
}

// A flat colour keeps its colour: in a palette picture scaled down (a palette
// holds RGB colours, to which no stream's YUV matrix applies), and across a
// change of frame size in the middle of a stream (the new conversion gets the
// stream's matrix and range again).
TEST_F(Input, FlatColoursStayWhereTheyAre) {
    // The inputs are made by the ffmpeg program.
    if (std::system("command -v ffmpeg > /dev/null") != 0) GTEST_SKIP() << "no ffmpeg program";
    const std::string palette = dir / "palette.png";
    ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i color=c=0x3060C0:s=1280x720 -frames:v 1 -pix_fmt pal8 " +
                           palette).c_str()),
              0);
    const RunResult scaled = run({palette, "-o", dir / "palette.bgra", "-f", "rawvideo", "--fit", "--tiles", "off", "-q"});
    ASSERT_EQ(scaled.status, 0) << scaled.err;
    expectNear(pixelAt(readFile(dir / "palette.bgra"), 384, 216, 0, 100, 100), {192, 96, 48}, 3, "palette, scaled down");

    // Two segments of full-range BT.709 H.264, the second smaller, one after
    // the other in one MPEG-TS stream.
    for (const char* size : {"320x240", "160x120"}) {
        const std::string command =
            std::string("ffmpeg -v error -f lavfi -i color=c=0x3060C0:s=") + size +
            ":r=25:d=0.4 -vf format=yuv420p -c:v libx264 -colorspace bt709 -color_primaries bt709 -color_trc bt709 "
            "-color_range pc -bsf:v h264_metadata=video_full_range_flag=1 " + dir / (std::string(size) + ".ts");
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    Bytes joined = readFile(dir / "320x240.ts");
    const Bytes second = readFile(dir / "160x120.ts");
    joined.insert(joined.end(), second.begin(), second.end());
    writeFile(dir / "joined.ts", joined);
    const RunResult changing = run({dir / "joined.ts", "-o", dir / "joined.bgra", "-f", "rawvideo", "--tiles", "off", "-q"});
    ASSERT_EQ(changing.status, 0) << changing.err;
    const Bytes frames = readFile(dir / "joined.bgra");
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(320) * 240 * 4 * 20);
    const std::array<int, 3> first = pixelAt(frames, 320, 240, 0, 160, 120);
    for (const int f : {5, 12, 18}) expectNear(pixelAt(frames, 320, 240, f, 160, 120), first, 1, "frame " + std::to_string(f));
}

}  // namespace
}  // namespace kalmix::tool::test
