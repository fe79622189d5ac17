// Overwriting as ffmpeg does it: -y replaces, -n never does, a terminal is
// asked, no terminal means one line and the file untouched; devices are
// written in place. Also: an interrupt's one line, --fit never enlarging.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "tool_test_support.h"

namespace kalmix::tool::test {
namespace {

class Overwrite : public ::testing::Test {
protected:
    void SetUp() override {
        ClipRecipe recipe;
        recipe.frames = 3;
        writeClip(dir / "in.mkv", recipe);
        writeFile(dir / "out.mkv", keep);
    }
    bool kept() const { return readFile(dir / "out.mkv") == keep; }
    RunResult run(std::vector<std::string> args) {
        freshStateDirectory();
        return runKalmix(args);
    }
    ScratchDir dir;
    const Bytes keep = Bytes(100, 'k');
};

TEST_F(Overwrite, WithoutATerminalTheFileIsKept) {
    // No -y, standard input not a terminal: refused, one line, untouched.
    const RunResult refused = run({dir / "in.mkv", "-o", dir / "out.mkv"});
    EXPECT_EQ(refused.status, 1);
    ASSERT_EQ(refused.errLines().size(), 1u) << refused.err;
    EXPECT_NE(refused.err.find("-y"), std::string::npos) << refused.err;
    EXPECT_TRUE(kept());

    const RunResult never = run({dir / "in.mkv", "-o", dir / "out.mkv", "-n"});
    EXPECT_EQ(never.status, 1);
    EXPECT_EQ(never.errLines().size(), 1u) << never.err;
    EXPECT_TRUE(kept());

    // The same for raw output, --md5 files and the first picture of a sequence.
    writeFile(dir / "f0001.png", keep);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--raw", "32x32", dir / "in.mkv", "-o", dir / "out.mkv"},
          std::vector<std::string>{dir / "in.mkv", "--md5", "-o", dir / "out.mkv"},
          std::vector<std::string>{dir / "in.mkv", "-o", dir / "f%04d.png"}}) {
        const RunResult result = run(args);
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(result.errLines().size(), 1u) << result.err;
    }
    EXPECT_TRUE(kept());
    EXPECT_EQ(readFile(dir / "f0001.png"), keep);

    const RunResult yes = run({dir / "in.mkv", "-o", dir / "out.mkv", "-y"});
    ASSERT_EQ(yes.status, 0) << yes.err;
    EXPECT_EQ(decodeFile(dir / "out.mkv").count, 3);

    // Devices are written in place, without a question.
    EXPECT_EQ(run({dir / "in.mkv", "-o", "/dev/null", "-n"}).status, 0);
    EXPECT_EQ(run({"-y", "-n", dir / "in.mkv", "-o", dir / "x.mkv"}).status, 2);
}

TEST_F(Overwrite, OnATerminalTheUserIsAsked) {
    const RunResult no = runKalmixOnTerminal({dir / "in.mkv", "-o", dir / "out.mkv"}, "n");
    EXPECT_EQ(no.status, 1) << no.out;
    EXPECT_NE(no.out.find("Overwrite? [y/N]"), std::string::npos) << no.out;
    EXPECT_NE(no.out.find("not overwritten"), std::string::npos) << no.out;
    EXPECT_TRUE(kept());

    freshStateDirectory();
    const RunResult yes = runKalmixOnTerminal({dir / "in.mkv", "-o", dir / "out.mkv"}, "y");
    EXPECT_EQ(yes.status, 0) << yes.out;
    EXPECT_EQ(decodeFile(dir / "out.mkv").count, 3);

    // -n is never asked.
    const RunResult never = runKalmixOnTerminal({dir / "in.mkv", "-o", dir / "out.mkv", "-n"}, "y");
    EXPECT_EQ(never.status, 1);
    EXPECT_EQ(never.out.find("Overwrite?"), std::string::npos) << never.out;

    // Nor is -nostdin (ffmpeg's, for runs in the background): it refuses as without a terminal.
    const RunResult unasked = runKalmixOnTerminal({"-nostdin", dir / "in.mkv", "-o", dir / "out.mkv"}, "y");
    EXPECT_EQ(unasked.status, 1);
    EXPECT_EQ(unasked.out.find("Overwrite?"), std::string::npos) << unasked.out;
    EXPECT_NE(unasked.out.find("add -y"), std::string::npos) << unasked.out;
}

// Runs kalmix on a FIFO as its standard input and feeds it; once ready()
// holds, with the FIFO still open, another program creates `output`; then
// the input ends and kalmix finishes.
RunResult runWhileTheOutputAppears(ScratchDir& dir, const std::vector<std::string>& args, const Bytes& input,
                                   const std::function<bool()>& ready, const std::string& output,
                                   const Bytes& appearing) {
    const std::string fifo = dir / "in.fifo";
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    freshStateDirectory();
    RunResult result;
    std::thread run([&] { result = runKalmix(args, fifo); });
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    EXPECT_EQ(::write(writer, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(ready());
    writeFile(output, appearing);
    ::close(writer);
    run.join();
    std::filesystem::remove(fifo);
    return result;
}

// The question (or -n) is about the file there when the run starts. A file
// that appears at the output's name while kalmix works (another run,
// another program) was replaced at the end without a word, even with -n;
// only -y replaces it.
TEST(AppearingOutput, IsKeptUnlessMinusY) {
    const Bytes keep(100, 'k');
    // Raw input larger than a pipe holds: once it is written, kalmix is
    // filtering, its output opened.
    const Bytes frames = makeClip(64, 48, 12, 4);
    const auto filtering = [] { return true; };
    for (const std::vector<std::string>& extra : {std::vector<std::string>{"-n"}, std::vector<std::string>{},
                                                  std::vector<std::string>{"--md5"}}) {
        ScratchDir dir;
        std::vector<std::string> args{"--raw", "64x48", "-", "-o", dir / "out.raw"};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult refused = runWhileTheOutputAppears(dir, args, frames, filtering, dir / "out.raw", keep);
        EXPECT_EQ(refused.status, 1) << refused.err;
        ASSERT_EQ(refused.errLines().size(), 1u) << refused.err;
        EXPECT_NE(refused.err.find("not overwritten"), std::string::npos) << refused.err;
        EXPECT_EQ(readFile(dir / "out.raw"), keep);
        EXPECT_EQ(dir.list(), std::vector<std::string>{"out.raw"});
    }
    {
        // A file written through FFmpeg: its temporary file shows that it is open.
        ScratchDir source;
        writeMkv(source / "in.mkv", makeClip(32, 32, 4, 1), 32, 32, {1, 25}, {25, 1});
        ScratchDir dir;
        const auto opened = [&dir] { return dir.list().size() > 1; };
        const RunResult refused =
            runWhileTheOutputAppears(dir, {"-", "-o", dir / "out.mkv"}, readFile(source / "in.mkv"), opened,
                                     dir / "out.mkv", keep);
        EXPECT_EQ(refused.status, 1) << refused.err;
        EXPECT_EQ(readFile(dir / "out.mkv"), keep);
        EXPECT_EQ(dir.list(), std::vector<std::string>{"out.mkv"});
    }
    ScratchDir dir;
    const RunResult replaced = runWhileTheOutputAppears(dir, {"--raw", "64x48", "-", "-o", dir / "out.raw", "-y"},
                                                        frames, filtering, dir / "out.raw", keep);
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(readFile(dir / "out.raw").size(), frames.size());
}

// Runs kalmix on a FIFO it reads from, feeds it, and sends it `signal` once
// ready() holds, with the FIFO still open; then checks the one line, the
// status, and that only the FIFO and the captured standard error are left.
void interruptWhileReading(ScratchDir& dir, const std::vector<std::string>& args, const Bytes& input,
                           const std::function<bool()>& ready, int signal = SIGINT) {
    const std::string fifo = dir / "in.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string errPath = dir / "err.txt";
    freshStateDirectory();
    std::vector<std::string> full = {KALMIX_TOOL_PATH};
    for (const std::string& a : args) full.push_back(a == "@in" ? fifo : a);
    std::vector<char*> argv;
    for (std::string& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, 2);
        ::execv(KALMIX_TOOL_PATH, argv.data());
        ::_exit(127);
    }
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(ready());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(writer);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), signal == SIGINT ? 130 : 128 + signal);
    RunResult result;
    const Bytes err = readFile(errPath);
    result.err = std::string(err.begin(), err.end());
    std::vector<std::string> lines;
    for (const std::string& line : result.errLines()) {
        if (!line.empty()) lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_EQ(lines[0].rfind("kalmix: ", 0), 0u) << result.err;
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"err.txt", "in.fifo"}));
}

TEST(Interrupt, PrintsOneLineAndLeavesNothing) {
    {
        // One raw frame in, then the pipe stays open: kalmix waits for the next.
        ScratchDir dir;
        interruptWhileReading(dir, {"--raw", "32x32", "@in", "-o", dir / "out.raw"}, makeClip(32, 32, 1, 1),
                              [] { return true; });
    }
    {
        // A whole Matroska file in, the pipe still open: the frames are
        // encoded into the output's temporary file, which must go too.
        ScratchDir dir;
        ScratchDir source;
        writeMkv(source / "in.mkv", makeClip(32, 32, 8, 1), 32, 32, {1, 25}, {25, 1});
        const auto tempFileThere = [&dir] { return dir.list().size() > 2; };
        interruptWhileReading(dir, {"@in", "-o", dir / "out.mkv"}, readFile(source / "in.mkv"), tempFileThere);
        // Ctrl-\ stops it the same way, with its own status.
        ScratchDir quitDir;
        const auto quitTempFileThere = [&quitDir] { return quitDir.list().size() > 2; };
        interruptWhileReading(quitDir, {"@in", "-o", quitDir / "out.mkv"}, readFile(source / "in.mkv"),
                              quitTempFileThere, SIGQUIT);
    }
}

// An output that reaches the file size limit (ulimit -f) is a failed write:
// one line, status 1, no partial file; the module's state file save fails
// the same way and leaves no temporary file either.
TEST(Interrupt, TheFileSizeLimitFailsTheRunCleanly) {
    ScratchDir dir;
    writeFile(dir / "in.raw", makeClip(64, 48, 40, 3));
    freshStateDirectory();
    const std::string windir = std::getenv("WINDIR");
    ::setenv("KALMIX", KALMIX_TOOL_PATH, 1);
    const std::string command = "ulimit -f 100; exec \"$KALMIX\" --raw 64x48 " + dir / "in.raw" + " -o " +
                                dir / "out.raw" + " 2>" + dir / "err.txt";
    const int status = std::system(("bash -c '" + command + "'").c_str());
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const Bytes err = readFile(dir / "err.txt");
    EXPECT_NE(std::string(err.begin(), err.end()).find("kalmix: cannot write output"), std::string::npos)
        << std::string(err.begin(), err.end());
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"err.txt", "in.raw"}));
    for (const auto& entry : std::filesystem::directory_iterator(windir)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

TEST(Fit, NeverEnlarges) {
    ScratchDir dir;
    for (const auto& [width, height] : {std::pair{2, 2}, std::pair{8, 2}, std::pair{6, 10}}) {
        ClipRecipe recipe;
        recipe.width = width;
        recipe.height = height;
        recipe.frames = 2;
        writeClip(dir / "tiny.mkv", recipe);
        freshStateDirectory();
        const RunResult result = runKalmix({dir / "tiny.mkv", "-o", dir / "out.mkv", "--fit", "-y"});
        ASSERT_EQ(result.status, 0) << result.err;
        const DecodedClip out = decodeFile(dir / "out.mkv");
        EXPECT_LE(out.format.width, width);
        EXPECT_LE(out.format.height, height);
    }
}

}  // namespace
}  // namespace kalmix::tool::test
