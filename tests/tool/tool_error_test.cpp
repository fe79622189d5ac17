// Every bad input or output: one line on standard error naming the problem,
// a non-zero status, and no output file, finished or partial, left behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "tool_test_support.h"

namespace kalmix::tool::test {
namespace {

struct ErrorCase {
    const char* name;
    std::function<void(ScratchDir&)> prepare;  // makes the input files
    std::vector<std::string> args;             // "@x" stands for the scratch path of x
    const char* stdinFile;                     // or null
    int status;
    std::vector<std::string> mentions;
};

TEST(Errors, EachFailsWithOneLineAndLeavesNoOutput) {
    const Bytes clip = makeClip(64, 48, 3, 9);
    const auto rawInput = [&clip](ScratchDir& d) { writeFile(d / "in.raw", clip); };
    const auto mkvInput = [&clip](ScratchDir& d) { writeMkv(d / "in.mkv", clip, 64, 48, {1, 25}, {25, 1}); };
    const auto ragged = [&clip](ScratchDir& d) {
        Bytes bytes = clip;
        bytes.resize(bytes.size() + 1000, 1);
        writeFile(d / "in.raw", bytes);
    };
    const std::vector<ErrorCase> cases = {
        {"missing input", [](ScratchDir&) {}, {"@nothere.mkv", "-o", "@out.mkv"}, nullptr, 1,
         {"cannot read input", "nothere.mkv", "No such file"}},
        {"missing raw input", [](ScratchDir&) {}, {"--raw", "64x48", "@nothere.raw", "-o", "@out.raw"}, nullptr, 1,
         {"cannot read input", "nothere.raw"}},
        {"directory as input", [](ScratchDir& d) { std::filesystem::create_directory(d / "sub"); },
         {"@sub", "-o", "@out.mkv"}, nullptr, 1, {"cannot read input", "directory"}},
        {"not a video file", [](ScratchDir& d) { writeFile(d / "junk.mkv", Bytes(5000, 0x5a)); },
         {"@junk.mkv", "-o", "@out.mkv"}, nullptr, 1, {"cannot read input", "junk.mkv"}},
        {"no video stream",
         [](ScratchDir& d) {
             // A valid WAV file: sound only.
             Bytes wav = {'R', 'I', 'F', 'F', 44, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
                          0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 8, 0, 0, 0};
             wav.resize(wav.size() + 8, 0);
             writeFile(d / "sound.wav", wav);
         },
         {"@sound.wav", "-o", "@out.mkv"}, nullptr, 1, {"sound.wav", "no video stream"}},
        {"raw file not whole frames", ragged, {"--raw", "64x48", "@in.raw", "-o", "@out.raw"}, nullptr, 1,
         {"not a whole number", "1000 bytes left over after 3 frames", "--allow-partial"}},
        {"raw pipe not whole frames", ragged, {"--raw", "64x48", "-", "-o", "@out.raw"}, "in.raw", 1,
         {"not a whole number", "1000 bytes left over after 3 frames"}},
        {"output directory missing", mkvInput, {"@in.mkv", "-o", "@no/such/dir/out.mkv"}, nullptr, 1,
         {"cannot write output", "out.mkv"}},
        {"raw output directory missing", rawInput, {"--raw", "64x48", "@in.raw", "-o", "@no/out.raw"}, nullptr, 1,
         {"cannot write output", "out.raw"}},
        {"codec that cannot take the picture", mkvInput, {"@in.mkv", "-o", "@out.avi", "--codec", "h261"}, nullptr, 1,
         {"h261", "cannot encode", "64x48"}},
        {"codec that is not for video", mkvInput, {"@in.mkv", "-o", "@out.mkv", "--codec", "pcm_s16le"}, nullptr, 2,
         {"--codec", "pcm_s16le", "video"}},
        {"unknown codec", mkvInput, {"@in.mkv", "-o", "@out.mkv", "--codec", "nosuchcodec"}, nullptr, 2,
         {"--codec", "nosuchcodec"}},
        {"container without video", mkvInput, {"@in.mkv", "-o", "@out.wav"}, nullptr, 1, {"out.wav", "cannot hold video"}},
        {"unknown container", mkvInput, {"@in.mkv", "-o", "@out.nosuchext"}, nullptr, 1, {"out.nosuchext", "container"}},
        {"output is the input", mkvInput, {"@in.mkv", "-o", "@in.mkv"}, nullptr, 2, {"is the input"}},
        {"module missing", mkvInput, {"@in.mkv", "-o", "@out.mkv", "--module", "@Nothing.PRM"}, nullptr, 1,
         {"cannot load module", "Nothing.PRM"}},
        {"value out of range", mkvInput, {"@in.mkv", "-o", "@out.mkv", "--transition-frames", "9"}, nullptr, 2,
         {"--transition-frames", "0..7"}},
    };
    freshStateDirectory();
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        c.prepare(dir);
        const std::vector<std::string> before = dir.list();
        std::vector<std::string> args;
        for (const std::string& a : c.args) args.push_back(a.rfind('@', 0) == 0 ? dir / a.substr(1) : a);
        const RunResult run = runKalmix(args, c.stdinFile != nullptr ? dir / c.stdinFile : "");
        EXPECT_EQ(run.status, c.status);
        ASSERT_EQ(run.errLines().size(), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("kalmix: ", 0), 0u) << run.err;
        for (const std::string& word : c.mentions) EXPECT_NE(run.err.find(word), std::string::npos) << run.err;
        EXPECT_EQ(dir.list(), before) << "left output behind";
        EXPECT_EQ(run.out, "");
    }
}

// FFmpeg's side is a library of its own, loaded only by runs that read or
// write through it. With it missing or foreign, those runs fail in one line
// and leave nothing; raw and MD5 runs, --help and --version never load it.
TEST(Errors, FfmpegSideLoadedOnlyWhereNeededAndRefusedWhenForeign) {
    const Bytes clip = makeClip(32, 32, 2, 3);
    ScratchDir dir;
    writeFile(dir / "in.raw", clip);
    writeMkv(dir / "in.mkv", clip, 32, 32, {1, 25}, {25, 1});
    freshStateDirectory();
    struct Library {
        const char* path;
        const char* complaint;
    };
    // libm is a real library, but not kalmix's.
    for (const Library& library : {Library{"/nonexistent/kalmix-ffmpeg.so", "cannot load the FFmpeg support library"},
                                   Library{"libm.so.6", "is not the FFmpeg support library"}}) {
        SCOPED_TRACE(library.path);
        ::setenv("KALMIX_FFMPEG_LIBRARY", library.path, 1);
        const std::vector<std::string> before = dir.list();
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"--help"},
                 {"--version"},
                 {"--raw", "32x32", dir / "in.raw", "-o", dir / "out.raw"},
                 {"--raw", "32x32", dir / "in.raw", "--md5", "-o", "-"}}) {
            const RunResult run = runKalmix(args);
            EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
        }
        std::filesystem::remove(dir / "out.raw");
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {dir / "in.mkv", "-o", dir / "out.mkv"},
                 {dir / "in.mkv", "-f", "matroska", "-o", dir / "out.mkv"},
                 {"demo", dir / "demo"}}) {
            const RunResult run = runKalmix(args);
            EXPECT_EQ(run.status, 1) << args[0];
            ASSERT_EQ(run.errLines().size(), 1u) << run.err;
            EXPECT_EQ(run.err.rfind("kalmix: ", 0), 0u) << run.err;
            EXPECT_NE(run.err.find(library.complaint), std::string::npos) << run.err;
        }
        EXPECT_EQ(dir.list(), before) << "left output behind";
        ::unsetenv("KALMIX_FFMPEG_LIBRARY");
    }
}

}  // namespace
}  // namespace kalmix::tool::test
