// Raw mode end to end: the tool's output is, byte for byte, what the module
// gives when driven directly with the same frames, positions and clip total.
#include <gtest/gtest.h>

#include <filesystem>

#include "tool_test_support.h"

namespace kalmix::tool::test {
namespace {

constexpr int W = 64;
constexpr int H = 48;
constexpr int FRAMES = 12;

class RawMode : public ::testing::Test {
protected:
    void SetUp() override {
        clip = makeClip(W, H, FRAMES, 7);
        writeFile(dir / "in.raw", clip);
    }
    // The clip total the module recorded for the last frame (bytes 8..11 of its state file).
    static std::int32_t recordedClipTotal() {
        const Bytes state = readFile(std::string(std::getenv("WINDIR")) + "/KALMIX_STAT.bin");
        if (state.size() < 12) return -1;
        return static_cast<std::int32_t>(state[8] | state[9] << 8 | state[10] << 16 |
                                         static_cast<std::uint32_t>(state[11]) << 24);
    }
    // Runs the tool and the direct reference, each from a fresh state file.
    Bytes tool(std::vector<std::string> args, const std::string& stdinPath = "") {
        freshStateDirectory();
        args.push_back("-y");  // each case replaces out.raw
        const RunResult run = runKalmix(args, stdinPath);
        EXPECT_EQ(run.status, 0) << run.err;
        last = run;
        return readFile(dir / "out.raw");
    }
    Bytes direct(const Bytes& frames, const host::UserSettings& settings, std::int32_t start, std::int32_t total) {
        freshStateDirectory();
        return filterDirect(frames, W, H, settings, start, total);
    }

    ScratchDir dir;
    Bytes clip;
    RunResult last;
};

TEST_F(RawMode, FileOutputIsTheModulesOutputAtDefaultAndOtherSettings) {
    const Bytes defaults = tool({"--raw", "64x48", dir / "in.raw", "-o", dir / "out.raw"});
    EXPECT_EQ(defaults, direct(clip, host::UserSettings{}, 0, FRAMES));
    EXPECT_NE(defaults, clip) << "the module changed nothing";

    host::UserSettings other;
    other.primaryLevel = 8;
    other.secondaryLevel = 9;
    other.enhancedSuppression = false;
    other.transitionFrames = 5;
    other.uvLevel = 1;
    const Bytes tuned = tool({"--raw", "64x48", dir / "in.raw", "-o", dir / "out.raw", "--primary", "8", "--secondary",
                              "9", "--enhanced", "off", "--transition-frames", "5", "--uv-level", "1"});
    EXPECT_EQ(tuned, direct(clip, other, 0, FRAMES));
    EXPECT_NE(tuned, defaults) << "the settings did not reach the module";

    // The summary counts the frames; nothing else is printed.
    ASSERT_EQ(last.errLines().size(), 1u) << last.err;
    EXPECT_NE(last.err.find("12 frames filtered, 0 passed through"), std::string::npos) << last.err;
    EXPECT_TRUE(tool({"-q", "--raw", "64x48", dir / "in.raw", "-o", dir / "out.raw"}).size() == clip.size());
    EXPECT_EQ(last.err, "");
}

TEST_F(RawMode, PositionsAndClipTotalReachTheModule) {
    // Start position and clip total as given; the state file records both for
    // the last frame (bytes 0..3 its position, 8..11 the clip total).
    const Bytes started = tool({"--raw", "64x48", dir / "in.raw", "-o", dir / "out.raw", "--start", "30", "--clip-total", "100"});
    const Bytes state = readFile(std::string(std::getenv("WINDIR")) + "/KALMIX_STAT.bin");
    ASSERT_GE(state.size(), 16u);
    const auto le32 = [&state](std::size_t at) {
        return static_cast<std::int32_t>(state[at] | state[at + 1] << 8 | state[at + 2] << 16 |
                                         static_cast<std::uint32_t>(state[at + 3]) << 24);
    };
    EXPECT_EQ(le32(0), 30 + FRAMES - 1);
    EXPECT_EQ(le32(8), 100);
    EXPECT_EQ(started, direct(clip, host::UserSettings{}, 30, 100));

    // A pipe has no length: its clip total is 0 unless given.
    const RunResult piped = runKalmix({"--raw", "64x48", "-", "-o", "-"}, dir / "in.raw", dir / "out.raw");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(readFile(dir / "out.raw"), direct(clip, host::UserSettings{}, 0, 0));
    const RunResult given = runKalmix({"--raw", "64x48", "-", "-o", "-", "--clip-total", "12"}, dir / "in.raw", dir / "out.raw");
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_EQ(readFile(dir / "out.raw"), direct(clip, host::UserSettings{}, 0, FRAMES));
}

// -frames:v ends the input early: the module sees the first frames, with a
// clip total of as many, as if the input held no more.
TEST_F(RawMode, FramesLimitEndsTheInputAndTheClipTotalThere) {
    const Bytes firstFive(clip.begin(), clip.begin() + static_cast<std::ptrdiff_t>(5 * W * H * 4));
    const Bytes limited = tool({"--raw", "64x48", dir / "in.raw", "-o", dir / "out.raw", "-frames:v", "5"});
    EXPECT_EQ(recordedClipTotal(), 5);
    EXPECT_EQ(limited, direct(firstFive, host::UserSettings{}, 0, 5));
    // A limit beyond the input changes nothing.
    EXPECT_EQ(tool({"--raw", "64x48", dir / "in.raw", "-o", dir / "out.raw", "-vframes", "99"}),
              direct(clip, host::UserSettings{}, 0, FRAMES));
    // From a pipe the clip total stays 0, and the rest of the pipe is left unread.
    const RunResult piped = runKalmix({"--raw", "64x48", "-", "-o", "-", "-frames", "5"}, dir / "in.raw", dir / "out.raw");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(readFile(dir / "out.raw"), direct(firstFive, host::UserSettings{}, 0, 0));
}

TEST_F(RawMode, PartialTrailingFrameIsDroppedOnlyWhenAllowed) {
    Bytes ragged = clip;
    ragged.resize(ragged.size() + 100, 7);
    writeFile(dir / "in.raw", ragged);
    const Bytes output = tool({"--raw", "64x48", dir / "in.raw", "-o", dir / "out.raw", "--allow-partial"});
    EXPECT_EQ(output, direct(clip, host::UserSettings{}, 0, FRAMES));
    EXPECT_NE(last.err.find("100 bytes"), std::string::npos) << last.err;

    const RunResult piped = runKalmix({"--raw", "64x48", "-", "-o", "-", "--allow-partial", "--clip-total", "12"},
                                      dir / "in.raw", dir / "out.raw");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(readFile(dir / "out.raw"), output);
}

TEST_F(RawMode, WithTilesOffFramesTheModuleCannotTakePassThroughWithOneNote) {
    for (const auto& [width, height] : {std::pair{388, 8}, std::pair{66, 48}}) {
        const Bytes big = makeClip(width, height, 3, 2);
        writeFile(dir / "big.raw", big);
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        const RunResult run =
            runKalmix({"--raw", size, dir / "big.raw", "-o", dir / "out.raw", "-y", "--tiles", "off"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(readFile(dir / "out.raw"), big);
        ASSERT_EQ(run.errLines().size(), 2u) << run.err;  // the note once, then the summary
        EXPECT_NE(run.errLines()[0].find("384x288"), std::string::npos) << run.err;
        EXPECT_NE(run.errLines()[1].find("0 frames filtered, 3 passed through"), std::string::npos) << run.err;
    }
}

TEST_F(RawMode, AnOutputNamedLikeAVideoFileIsWrittenRawWithOneWarning) {
    const Bytes expected = direct(clip, host::UserSettings{}, 0, FRAMES);
    freshStateDirectory();
    const RunResult named = runKalmix({"--raw", "64x48", dir / "in.raw", "-o", dir / "out.MKV"});
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(readFile(dir / "out.MKV"), expected);
    ASSERT_EQ(named.errLines().size(), 2u) << named.err;  // the warning, then the summary
    EXPECT_NE(named.errLines()[0].find("warning: '" + dir / "out.MKV" + "' will hold raw BGRA frames"),
              std::string::npos)
        << named.err;

    freshStateDirectory();
    const RunResult quiet = runKalmix({"-q", "--raw", "64x48", dir / "in.raw", "-o", dir / "quiet.mp4"});
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(readFile(dir / "quiet.mp4"), expected);
}

// Raw frames through FFmpeg's rawvideo demuxer, as ffmpeg's command line
// reads them, into a video file: the same frames and clip total as --raw.
TEST_F(RawMode, RawvideoInputWithFfmpegsInputOptionsGivesAVideoFileOfTheSameFrames) {
    const Bytes expected = direct(clip, host::UserSettings{}, 0, FRAMES);
    for (const std::vector<std::string>& describe :
         {std::vector<std::string>{"-video_size", "64x48", "-pixel_format", "bgra", "-framerate", "30"},
          std::vector<std::string>{"-pix_fmt", "bgra", "-s", "64x48"}}) {
        std::vector<std::string> args = {"-f", "rawvideo"};
        args.insert(args.end(), describe.begin(), describe.end());
        args.insert(args.end(), {"-i", dir / "in.raw", "-o", dir / "out.mkv", "-y"});
        freshStateDirectory();
        const RunResult run = runKalmix(args);
        ASSERT_EQ(run.status, 0) << run.err;
        // FFmpeg's own remark on the duration once (the count is exact), then the summary.
        EXPECT_LE(run.errLines().size(), 2u) << run.err;
        EXPECT_EQ(recordedClipTotal(), FRAMES) << "the frames were not counted";
        const DecodedClip decoded = decodeFile(dir / "out.mkv");
        EXPECT_EQ(decoded.count, FRAMES);
        EXPECT_EQ(decoded.frames, expected) << describe[0];
        // -framerate when given, else the demuxer's 25.
        const int rate = describe.back() == "30" ? 30 : 25;
        EXPECT_EQ(decoded.format.frameRate.num, rate * decoded.format.frameRate.den) << describe[0];
    }

    // The same from a pipe, whose clip total is 0 as with --raw.
    freshStateDirectory();
    const RunResult piped = runKalmix(
        {"-f", "rawvideo", "-s", "64x48", "-pixel_format", "bgra", "-i", "-", "-o", dir / "piped.mkv"}, dir / "in.raw");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(recordedClipTotal(), 0);
    EXPECT_EQ(decodeFile(dir / "piped.mkv").frames, direct(clip, host::UserSettings{}, 0, 0));

    // An option the input's demuxer does not take is a mistake on the command line.
    const RunResult wrong = runKalmix({"-video_size", "64x48", dir / "out.mkv", "-o", dir / "again.mkv"});
    EXPECT_EQ(wrong.status, 2);
    ASSERT_EQ(wrong.errLines().size(), 1u) << wrong.err;
    EXPECT_NE(wrong.err.find("-video_size does not apply to a matroska"), std::string::npos) << wrong.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "again.mkv"));
}

TEST_F(RawMode, Md5OfTheFramesAndVerify) {
    const Bytes expected = direct(clip, host::UserSettings{}, 0, FRAMES);
    freshStateDirectory();
    const RunResult hashed = runKalmix({"--raw", "64x48", dir / "in.raw", "--md5"});
    ASSERT_EQ(hashed.status, 0) << hashed.err;
    EXPECT_EQ(hashed.out, md5Of(expected) + "\n");

    const RunResult good = runKalmix({"--raw", "64x48", dir / "in.raw", "--verify", md5Of(expected)});
    EXPECT_EQ(good.status, 0) << good.err;
    const RunResult bad = runKalmix({"--raw", "64x48", dir / "in.raw", "--verify", md5Of(clip)});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("MD5 mismatch"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace kalmix::tool::test
