// kalmix demo: writes its clips, picture and report; its filtered clip is
// what the tool makes of its noisy clip; the filter calms the still areas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "tool_test_support.h"

namespace kalmix::tool::test {
namespace {

TEST(Demo, WritesClipsPictureAndReport) {
    ScratchDir dir;
    freshStateDirectory();
    const std::string out = dir / "results";
    const RunResult run = runKalmix({"demo", out, "--frames", "12"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const char* name : {"noisy.mkv", "filtered.mkv", "clean.mkv", "comparison.png", "animation.apng"}) {
        EXPECT_TRUE(std::filesystem::exists(out + "/" + name)) << name;
    }

    const DecodedClip noisy = decodeFile(out + "/noisy.mkv");
    const DecodedClip filtered = decodeFile(out + "/filtered.mkv");
    EXPECT_EQ(noisy.count, 12);
    EXPECT_EQ(filtered.count, 12);
    EXPECT_EQ(noisy.format.width, 384);
    EXPECT_EQ(noisy.format.height, 288);
    const DecodedClip picture = decodeFile(out + "/comparison.png");
    EXPECT_EQ(picture.count, 1);
    EXPECT_EQ(picture.format.width, 3 * 384 + 2 * 4);
    EXPECT_EQ(picture.format.height, 288 + 24);

    // The demo's filtered clip is what the tool makes of the noisy one.
    freshStateDirectory();
    const RunResult again = runKalmix({out + "/noisy.mkv", "--md5"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, md5Of(filtered.frames) + "\n");

    // The report: flicker falls in the still areas; PSNR and speed are there.
    const std::smatch flicker = [&run] {
        std::smatch m;
        std::regex_search(run.out, m, std::regex(R"(flicker[^\n]*noisy ([0-9.]+), filtered ([0-9.]+))"));
        return m;
    }();
    ASSERT_EQ(flicker.size(), 3u) << run.out;
    EXPECT_LT(std::stod(flicker[2]) * 4, std::stod(flicker[1])) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex(R"(PSNR[^\n]*noisy [0-9.]+ dB, filtered [0-9.]+ dB)"))) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex(R"([0-9]+ fps)"))) << run.out;
}

// A BGRA pixel of a decoded picture or frame.
const std::uint8_t* pixel(const Bytes& frames, int width, int height, int frame, int x, int y) {
    return &frames[((static_cast<std::size_t>(frame) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y)) *
                        static_cast<std::size_t>(width) +
                    static_cast<std::size_t>(x)) *
                   4];
}

TEST(Demo, PictureShowsTheChangeBetweenFramesAndTheAnimationTheTwoClips) {
    ScratchDir dir;
    freshStateDirectory();
    const std::string out = dir / "results";
    ASSERT_EQ(runKalmix({"demo", out, "--frames", "12", "-q"}).status, 0);
    const DecodedClip noisy = decodeFile(out + "/noisy.mkv");
    const DecodedClip filtered = decodeFile(out + "/filtered.mkv");
    const DecodedClip picture = decodeFile(out + "/comparison.png");
    ASSERT_EQ(picture.count, 1);
    constexpr int W = 384, H = 288, PW = 3 * 384 + 2 * 4, CAPTION = 24, SHOWN = 6;

    // Panels 1 and 2: the largest channel change from frame 5 to frame 6, x8.
    double noisyStill = 0, filteredStill = 0;
    for (int panel = 0; panel < 2; ++panel) {
        const DecodedClip& clip = panel == 0 ? noisy : filtered;
        for (int y = 0; y < H; ++y) {
            for (int x = 0; x < W; ++x) {
                const std::uint8_t* now = pixel(clip.frames, W, H, SHOWN, x, y);
                const std::uint8_t* before = pixel(clip.frames, W, H, SHOWN - 1, x, y);
                int largest = 0;
                for (int c = 0; c < 3; ++c) largest = std::max(largest, std::abs(now[c] - before[c]));
                const std::uint8_t* shown = pixel(picture.frames, PW, H + CAPTION, 0, panel * (W + 4) + x, CAPTION + y);
                ASSERT_EQ(shown[1], std::min(255, largest * 8)) << panel << " " << x << "," << y;
                if (y < 90) (panel == 0 ? noisyStill : filteredStill) += shown[1];  // the sky
            }
        }
    }
    // Still areas crawl grey in the input and stay (nearly) black in the output.
    EXPECT_GT(noisyStill, 10 * filteredStill);

    // The animation: the first frames, a crop of noisy beside the same crop
    // of filtered, each pixel shown as 2x2.
    const DecodedClip animation = decodeFile(out + "/animation.apng");
    ASSERT_EQ(animation.count, 12);
    const int AW = animation.format.width, AH = animation.format.height;
    ASSERT_EQ(AW, 2 * 96 * 2 + 4);
    ASSERT_EQ(AH, CAPTION + 72 * 2);
    for (int frame : {0, 11}) {
        for (int y = 0; y < 72 * 2; y += 7) {
            for (int x = 0; x < 96 * 2; x += 5) {
                for (int panel = 0; panel < 2; ++panel) {
                    const DecodedClip& clip = panel == 0 ? noisy : filtered;
                    const std::uint8_t* expected = pixel(clip.frames, W, H, frame, 168 + x / 2, 150 + y / 2);
                    const std::uint8_t* shown = pixel(animation.frames, AW, AH, frame, panel * (96 * 2 + 4) + x, CAPTION + y);
                    ASSERT_EQ(std::memcmp(expected, shown, 3), 0) << frame << " " << panel << " " << x << "," << y;
                }
            }
        }
    }
}

TEST(Demo, KeepsTheFilesItFindsUnlessTold) {
    // The directory may be the user's own: a file at one of the demo's names
    // is replaced only as an output is (-y, or a yes on a terminal), and a
    // link there is never written through.
    ScratchDir dir;
    const std::string out = dir / "mine";
    std::filesystem::create_directory(out);
    const Bytes keep(100, 'k');
    writeFile(out + "/clean.mkv", keep);
    writeFile(dir / "elsewhere", keep);
    std::filesystem::create_symlink(dir / "elsewhere", out + "/noisy.mkv");
    const auto untouched = [&] {
        return readFile(out + "/clean.mkv") == keep && readFile(dir / "elsewhere") == keep &&
               std::filesystem::is_symlink(out + "/noisy.mkv") && !std::filesystem::exists(out + "/filtered.mkv");
    };
    for (const std::vector<std::string>& args : {std::vector<std::string>{"demo", out, "--frames", "2"},
                                                 std::vector<std::string>{"demo", out, "--frames", "2", "-n"},
                                                 std::vector<std::string>{"demo", out, "--frames", "2", "-y"}}) {
        freshStateDirectory();
        const RunResult run = runKalmix(args);
        EXPECT_EQ(run.status, 1) << args.back();
        ASSERT_EQ(run.errLines().size(), 1u) << run.err;
        EXPECT_NE(run.err.find("noisy.mkv"), std::string::npos) << run.err;
        EXPECT_TRUE(untouched()) << args.back();
    }

    std::filesystem::remove(out + "/noisy.mkv");
    freshStateDirectory();
    const RunResult refused = runKalmix({"demo", out, "--frames", "2"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("clean.mkv"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("-y"), std::string::npos) << refused.err;
    EXPECT_EQ(readFile(out + "/clean.mkv"), keep);
    EXPECT_EQ(runKalmixOnTerminal({"demo", out, "--frames", "2"}, "n").status, 1);
    EXPECT_EQ(readFile(out + "/clean.mkv"), keep);

    freshStateDirectory();
    const RunResult replaced = runKalmix({"demo", out, "--frames", "2", "-q", "-y"});
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(decodeFile(out + "/clean.mkv").count, 2);
}

TEST(Demo, ItsOwnDefaultFolderIsWrittenAgainWithoutAQuestion) {
    // No directory named: ./kalmix-demo is the demo's, and a second run (the
    // README's first command, run again) replaces what the first one wrote.
    ScratchDir dir;
    const auto back = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    freshStateDirectory();
    const RunResult first = runKalmix({"demo", "--frames", "2", "-q"});
    freshStateDirectory();
    const RunResult again = runKalmix({"demo", "--frames", "2", "-q"});
    freshStateDirectory();
    const RunResult kept = runKalmix({"demo", "--frames", "2", "-q", "-n"});
    std::filesystem::current_path(back);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(kept.status, 1);
    EXPECT_EQ(decodeFile(dir / "kalmix-demo/clean.mkv").count, 2);
}

TEST(Demo, AReportThatCannotBeWrittenFailsTheRun) {
    // Standard output on a full disk: the report (and the usage text) is
    // lost, so the run says so and fails instead of ending with status 0.
    ScratchDir dir;
    freshStateDirectory();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"demo", dir / "d", "--frames", "2"}, std::vector<std::string>{"--help"}}) {
        const RunResult run = runKalmix(args, "", "/dev/full");
        EXPECT_EQ(run.status, 1) << args[0];
        ASSERT_EQ(run.errLines().size(), 1u) << run.err;
        EXPECT_NE(run.err.find("standard output"), std::string::npos) << run.err;
    }
}

constexpr const char* DEMO_TWO_FRAMES_MD5 = "1b650330ab1f8a63837d02332e010249";

TEST(Demo, TheClipIsTheSameOnEveryRun) {
    // A committed hash of the first frames of the noisy clip: a change in
    // the generator or in the lossless path shows here.
    ScratchDir dir;
    freshStateDirectory();
    const RunResult run = runKalmix({"demo", dir / "d", "--frames", "2", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(md5Of(decodeFile(dir / "d/noisy.mkv").frames), DEMO_TWO_FRAMES_MD5);
}

}  // namespace
}  // namespace kalmix::tool::test
