// Encoders as ffmpeg users choose them: defaults by container, -c:v and the
// options that pass through, pixel formats, and the range and matrix of
// full-range encoders.
#include <gtest/gtest.h>

#include "tool_test_support.h"

namespace kalmix::tool::test {
namespace {

constexpr int W = 32;
constexpr int H = 32;

struct Probe {
    std::string codec;
    AVPixelFormat pixels = AV_PIX_FMT_NONE;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    std::int64_t bitRate = 0;
};

Probe probe(const std::string& path) {
    InputPtr input = openInput(path);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters* p = input->streams[i]->codecpar;
        if (p->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        return {avcodec_get_name(p->codec_id), static_cast<AVPixelFormat>(p->format), p->color_range, p->color_space,
                p->bit_rate};
    }
    return {};
}

class Encoders : public ::testing::Test {
protected:
    void SetUp() override {
        ClipRecipe recipe;
        recipe.frames = 6;
        writeClip(dir / "in.mkv", recipe);
    }
    RunResult run(std::vector<std::string> args) {
        freshStateDirectory();
        args.insert(args.begin(), dir / "in.mkv");
        return runKalmix(args);
    }
    static std::size_t count(const std::string& text, const std::string& word) {
        std::size_t n = 0;
        for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
        return n;
    }
    ScratchDir dir;
};

TEST_F(Encoders, DefaultsArePlayableForMp4AndLosslessForMkv) {
    for (const char* name : {"out.mp4", "out.mov"}) {
        const RunResult result = run({"-o", dir / name});
        ASSERT_EQ(result.status, 0) << result.err;
        const Probe p = probe(dir / name);
        EXPECT_EQ(p.codec, "h264") << name;
        EXPECT_EQ(p.pixels, AV_PIX_FMT_YUV420P) << name;
        EXPECT_EQ(count(result.err, "note:"), 1u) << result.err;
        EXPECT_NE(result.err.find("4:2:0"), std::string::npos) << result.err;
    }
    const RunResult mkv = run({"-o", dir / "out.mkv"});
    ASSERT_EQ(mkv.status, 0) << mkv.err;
    EXPECT_EQ(probe(dir / "out.mkv").codec, "ffv1");
    EXPECT_EQ(probe(dir / "out.mkv").pixels, AV_PIX_FMT_BGRA);
    EXPECT_EQ(count(mkv.err, "note:"), 0u) << mkv.err;

    // Any other encoder: the best pixel format it takes for BGRA, with one
    // note because that loses information.
    const RunResult x264 = run({"-o", dir / "x.mkv", "-c:v", "libx264"});
    ASSERT_EQ(x264.status, 0) << x264.err;
    EXPECT_EQ(probe(dir / "x.mkv").pixels, AV_PIX_FMT_YUV444P);
    EXPECT_EQ(count(x264.err, "note:"), 1u) << x264.err;
    EXPECT_NE(x264.err.find("yuv444p"), std::string::npos) << x264.err;
}

TEST_F(Encoders, OptionsPassThroughAndUnknownOnesAreRefused) {
    const RunResult pix = run({"-o", dir / "p.mkv", "-c:v", "ffv1", "-pix_fmt", "yuv420p"});
    ASSERT_EQ(pix.status, 0) << pix.err;
    EXPECT_EQ(probe(dir / "p.mkv").pixels, AV_PIX_FMT_YUV420P);

    // A lower -crf and a slower -preset make a bigger, better file; -opt and
    // -x264-params reach the encoder too.
    const RunResult high = run({"-o", dir / "high.mp4", "-crf", "10", "-preset", "veryslow"});
    const RunResult low = run({"-o", dir / "low.mp4", "-crf", "45", "-preset", "ultrafast"});
    ASSERT_EQ(high.status, 0) << high.err;
    ASSERT_EQ(low.status, 0) << low.err;
    EXPECT_GT(readFile(dir / "high.mp4").size(), readFile(dir / "low.mp4").size() + 1000);
    const RunResult opt = run({"-o", dir / "gop.mp4", "-opt", "g=2", "-x264-params", "keyint=2:min-keyint=1"});
    ASSERT_EQ(opt.status, 0) << opt.err;
    // A container option: the index moves before the media data.
    const RunResult faststart = run({"-o", dir / "fast.mp4", "-opt", "movflags=+faststart"});
    ASSERT_EQ(faststart.status, 0) << faststart.err;
    const Bytes fast = readFile(dir / "fast.mp4");
    const std::string text(fast.begin(), fast.end());
    EXPECT_LT(text.find("moov"), text.find("mdat"));
    // The same under ffmpeg's own spellings, with settings of the encoder beside it.
    const RunResult spelled = run({"-o", dir / "spelled.mp4", "-movflags", "+faststart", "-profile:v", "high", "-tune",
                                   "film", "-g", "2", "-bf", "0", "-maxrate", "2M", "-bufsize", "4M"});
    ASSERT_EQ(spelled.status, 0) << spelled.err;
    const Bytes spelledBytes = readFile(dir / "spelled.mp4");
    const std::string spelledText(spelledBytes.begin(), spelledBytes.end());
    EXPECT_LT(spelledText.find("moov"), spelledText.find("mdat"));
    EXPECT_EQ(openInput(dir / "spelled.mp4")->streams[0]->codecpar->profile, FF_PROFILE_H264_HIGH);
    const RunResult bitrate = run({"-o", dir / "b.ts", "-b:v", "3M"});
    ASSERT_EQ(bitrate.status, 0) << bitrate.err;
    // x265 prints its own lines past FFmpeg's log; -q silences it too.
    const RunResult hevc = run({"-o", dir / "h.mkv", "-c:v", "libx265", "-q"});
    ASSERT_EQ(hevc.status, 0) << hevc.err;
    EXPECT_EQ(hevc.err, "");
    EXPECT_GT(readFile(dir / "b.ts").size(), readFile(dir / "low.mp4").size());

    // Mistakes: one line, status 2, no file.
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> mentions;
    };
    for (const Case& c : std::vector<Case>{
             {{"-o", dir / "e1.mkv", "-opt", "nosuchoption=3"}, {"nosuchoption", "ffv1", "matroska"}},
             {{"-o", dir / "e2.mkv", "-crf", "20"}, {"crf", "ffv1"}},
             {{"-o", dir / "e3.mp4", "-pix_fmt", "rgb24"}, {"-pix_fmt", "rgb24", "libx264"}},
             {{"-o", dir / "e4.mkv", "-c:v", "nosuchcodec"}, {"nosuchcodec"}},
             {{"-o", dir / "e5.mkv", "-pix_fmt", "nosuchformat"}, {"-pix_fmt", "nosuchformat"}},
         }) {
        const RunResult result = run(c.args);
        EXPECT_EQ(result.status, 2) << result.err;
        ASSERT_EQ(result.errLines().size(), 1u) << result.err;
        for (const std::string& word : c.mentions) EXPECT_NE(result.err.find(word), std::string::npos) << result.err;
    }
    for (const std::string& name : dir.list()) EXPECT_NE(name.rfind("e", 0), 0u) << "left behind: " << name;
}

TEST_F(Encoders, FullRangeEncodersKeepPureRedAsFfmpegDoes) {
    // Pure red through MJPEG (yuvj444p, full range): ffmpeg's own round trip
    // gives (0, 0, 254); limited-range samples in a yuvj stream gave
    // (14, 14, 238).
    Bytes red(static_cast<std::size_t>(W) * H * 4 * 3);
    for (std::size_t i = 0; i < red.size(); i += 4) {
        red[i] = 0;
        red[i + 1] = 0;
        red[i + 2] = 255;
        red[i + 3] = 255;
    }
    ClipRecipe recipe;
    recipe.bgra = &red;
    recipe.frames = 3;
    writeClip(dir / "red.mkv", recipe);
    for (const char* name : {"red.avi", "red.jpg"}) {
        freshStateDirectory();
        std::vector<std::string> args = {dir / "red.mkv", "-o", dir / name};
        if (std::string(name) == "red.avi") args.insert(args.end(), {"-c:v", "mjpeg"});
        const RunResult result = runKalmix(args);
        ASSERT_EQ(result.status, 0) << result.err;
        const Probe p = probe(dir / name);
        EXPECT_EQ(p.range, AVCOL_RANGE_JPEG) << name;
        EXPECT_EQ(p.matrix, AVCOL_SPC_BT470BG) << name;
        const DecodedClip decoded = decodeFile(dir / name);
        ASSERT_FALSE(decoded.frames.empty());
        // Row 8 (below the module's frame mark), middle pixel.
        const std::uint8_t* pixel = decoded.frames.data() + (8 * W + W / 2) * 4;
        EXPECT_LE(pixel[0], 2) << name;
        EXPECT_LE(pixel[1], 2) << name;
        EXPECT_GE(pixel[2], 252) << name;
    }
}

}  // namespace
}  // namespace kalmix::tool::test
