// Containers and pipes an ffmpeg user reaches for: each decodes to the
// frames the module gave, and none leaves a partial file behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "tool_test_support.h"

namespace kalmix::tool::test {
namespace {

constexpr int W = 32;
constexpr int H = 32;
constexpr int FRAMES = 8;

class Formats : public ::testing::Test {
protected:
    void SetUp() override {
        clip = makeClip(W, H, FRAMES, 11);
        ClipRecipe recipe;
        recipe.bgra = &clip;
        recipe.frames = FRAMES;
        writeClip(dir / "in.mkv", recipe);
        freshStateDirectory();
        expected = filterDirect(clip, W, H, host::UserSettings{}, 0, FRAMES);
    }
    RunResult run(std::vector<std::string> args, const std::string& stdinPath = "", const std::string& stdoutPath = "") {
        freshStateDirectory();
        return runKalmix(args, stdinPath, stdoutPath);
    }
    // Mean absolute difference of the BGR bytes: lossy codecs come close.
    static double meanDifference(const Bytes& a, const Bytes& b) {
        if (a.size() != b.size() || a.empty()) return 1e9;
        double sum = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (i % 4 != 3) sum += std::abs(a[i] - b[i]);
        }
        return sum / static_cast<double>(a.size() / 4 * 3);
    }

    ScratchDir dir;
    Bytes clip;
    Bytes expected;
};

TEST_F(Formats, PipesCarryContainersBothWays) {
    // Out: -o - with -f, each decoding to the module's frames.
    for (const char* format : {"nut", "matroska"}) {
        SCOPED_TRACE(format);
        const std::string piped = dir / (std::string("piped.") + format);
        const RunResult out = run({dir / "in.mkv", "-o", "-", "-f", format}, "", piped);
        ASSERT_EQ(out.status, 0) << out.err;
        const DecodedClip decoded = decodeFile(piped);
        EXPECT_EQ(decoded.count, FRAMES);
        EXPECT_TRUE(decoded.frames == expected);
    }
    const RunResult y4m = run({dir / "in.mkv", "-o", "-", "-f", "yuv4mpegpipe"}, "", dir / "piped.y4m");
    ASSERT_EQ(y4m.status, 0) << y4m.err;
    EXPECT_LT(meanDifference(decodeFile(dir / "piped.y4m").frames, expected), 3.0);

    // In: a container on standard input, probed or named with -f.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-", "-o", dir / "a.mkv"},
                                                 std::vector<std::string>{"-f", "nut", "-", "-o", dir / "b.mkv"}}) {
        const RunResult in = run(args, dir / "piped.nut");
        ASSERT_EQ(in.status, 0) << in.err;
        EXPECT_NE(in.err.find("8 frames filtered"), std::string::npos) << in.err;
        EXPECT_EQ(decodeFile(args.back()).frames, filterDirect(expected, W, H, host::UserSettings{}, 0, 0));
    }
    // A y4m stream through two kalmix processes.
    const RunResult chained = run({"-", "-o", dir / "c.mkv"}, dir / "piped.y4m");
    ASSERT_EQ(chained.status, 0) << chained.err;
    EXPECT_EQ(decodeFile(dir / "c.mkv").count, FRAMES);
}

TEST_F(Formats, EachPreviouslyFailingOutputWorks) {
    // /dev/null and -f null: everything is decoded and filtered, nothing kept.
    for (const std::vector<std::string>& args : {std::vector<std::string>{dir / "in.mkv", "-o", "/dev/null"},
                                                 std::vector<std::string>{dir / "in.mkv", "-f", "null"},
                                                 std::vector<std::string>{dir / "in.mkv", "-f", "null", "-o", "-"}}) {
        const RunResult result = run(args);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.err.find("8 frames filtered"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    // .y4m, .ts (MPEG-2 at the frame rate, not the input's 1/1000 clock),
    // .avi and .mp4: every frame, close to the module's output.
    for (const char* name : {"out.y4m", "out.ts", "out.avi", "out.mp4", "out.mov", "out.nut"}) {
        SCOPED_TRACE(name);
        const RunResult result = run({dir / "in.mkv", "-o", dir / name});
        ASSERT_EQ(result.status, 0) << result.err;
        const DecodedClip decoded = decodeFile(dir / name);
        EXPECT_EQ(decoded.count, FRAMES);
        EXPECT_LT(meanDifference(decoded.frames, expected), 12.0);
        EXPECT_EQ(decoded.format.frameRate.num * 1, 25 * decoded.format.frameRate.den);
    }
}

TEST_F(Formats, OnlyTheNullDeviceKeepsNothingUnasked) {
    // /dev/full, a tape, a terminal: a device whose name says no container
    // is not /dev/null. Taken for it, the frames went nowhere and the run
    // still said it was done.
    const RunResult full = run({dir / "in.mkv", "-o", "/dev/full"});
    EXPECT_EQ(full.status, 1) << full.err;
    EXPECT_EQ(full.errLines().size(), 1u) << full.err;
    const RunResult named = run({dir / "in.mkv", "-o", "/dev/full", "-f", "nut"});
    EXPECT_EQ(named.status, 1) << named.err;
    EXPECT_NE(named.err.find("No space left on device"), std::string::npos) << named.err;
    // /dev/null under another name still keeps nothing.
    const RunResult null = run({dir / "in.mkv", "-o", "/dev/stdout"}, "", "/dev/null");
    EXPECT_EQ(null.status, 0) << null.err;
}

TEST_F(Formats, PicturesUseTheEncoderTheirNameSays) {
    // One .png: a real PNG holding the last frame.
    const RunResult single = run({dir / "in.mkv", "-o", dir / "last.png"});
    ASSERT_EQ(single.status, 0) << single.err;
    const Bytes png = readFile(dir / "last.png");
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png[1], 'P');
    EXPECT_EQ(png[2], 'N');
    EXPECT_EQ(png[3], 'G');
    const std::size_t frameBytes = static_cast<std::size_t>(W) * H * 4;
    EXPECT_TRUE(decodeFile(dir / "last.png").frames ==
                Bytes(expected.end() - static_cast<std::ptrdiff_t>(frameBytes), expected.end()));

    // A %04d pattern: one PNG per frame, numbered from 1, lossless.
    const RunResult sequence = run({dir / "in.mkv", "-o", dir / "f%04d.png"});
    ASSERT_EQ(sequence.status, 0) << sequence.err;
    for (int n = 1; n <= FRAMES; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "f%04d.png", n);
        const Bytes frame = decodeFile(dir / name).frames;
        EXPECT_TRUE(frame == Bytes(expected.begin() + static_cast<std::ptrdiff_t>(frameBytes) * (n - 1),
                                   expected.begin() + static_cast<std::ptrdiff_t>(frameBytes) * n))
            << name;
    }
    EXPECT_EQ(dir.list().size(), 2u + FRAMES) << "in.mkv, last.png and the frames only";

    // The pattern reads them back, as ffmpeg -i f%04d.png does, by name or
    // with -f image2; a pattern that matches no picture is still refused.
    for (const std::vector<std::string>& input : {std::vector<std::string>{dir / "f%04d.png"},
                                                  std::vector<std::string>{"-f", "image2", dir / "f%04d.png"}}) {
        std::vector<std::string> args = input;
        args.insert(args.end(), {"-o", dir / "back.mkv", "-y"});
        const RunResult back = run(args);
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(decodeFile(dir / "back.mkv").count, FRAMES);
        std::filesystem::remove(dir / "back.mkv");
    }
    const RunResult none = run({dir / "g%04d.png", "-o", dir / "back.mkv"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("No such file or directory"), std::string::npos) << none.err;

    // A sequence that fails part way leaves none of its files: the fifth
    // packet is damaged and --strict stops there, after four pictures.
    ScratchDir failing;
    ClipRecipe damaged;
    damaged.codec = "mjpeg";
    damaged.pixelFormat = "yuvj420p";
    damaged.bgra = &clip;
    damaged.frames = FRAMES;
    damaged.damagedPacket = 4;
    writeClip(failing / "damaged.avi", damaged);
    const RunResult broken = run({failing / "damaged.avi", "-o", failing / "g%04d.png", "--strict"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.errLines().size(), 1u) << broken.err;
    EXPECT_EQ(failing.list(), std::vector<std::string>{"damaged.avi"});
}

}  // namespace
}  // namespace kalmix::tool::test
