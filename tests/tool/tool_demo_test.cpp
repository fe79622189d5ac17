// kalmix demo: writes its clips, picture and report; its filtered clip is
// what the tool makes of its noisy clip; the filter calms the still areas.
#include <gtest/gtest.h>

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
    for (const char* name : {"noisy.mkv", "filtered.mkv", "clean.mkv", "comparison.png"}) {
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
