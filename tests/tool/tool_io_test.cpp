// Where the tool reads from and writes to: inputs that can be read only once
// (pipes, FIFOs, process substitution) give every frame; outputs that are
// not plain files (/dev/stdout, /proc/self/fd/N, links) are written in place
// and never replaced; the temporary file beside a plain output is never
// opened through a planted link, and long output names work.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tool_test_support.h"
#include "tools/kalmix/output_file.h"

namespace kalmix::tool::test {
namespace {

constexpr int W = 64;
constexpr int H = 48;
constexpr int FRAMES = 40;

// Runs a shell command line with $KALMIX set to the program; its exit status.
int shell(const std::string& command) {
    ::setenv("KALMIX", KALMIX_TOOL_PATH, 1);
    const int status = std::system(("bash -c '" + command + "' 2>/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::int32_t stateClipTotal() {
    const Bytes state = readFile(std::string(std::getenv("WINDIR")) + "/KALMIX_STAT.bin");
    if (state.size() < 16) return -1;
    return static_cast<std::int32_t>(state[8] | state[9] << 8 | state[10] << 16 |
                                     static_cast<std::uint32_t>(state[11]) << 24);
}

class OnceOnlyInput : public ::testing::Test {
protected:
    void SetUp() override {
        clip = makeClip(W, H, FRAMES, 5);
        // Matroska declares no frame count: exactly the case that was counted
        // by opening the input a second time.
        writeMkv(dir / "in.mkv", clip, W, H, {1, 25}, {25, 1});
    }
    void expectEveryFrame(const std::string& how) {
        const DecodedClip out = decodeFile(dir / "out.mkv");
        EXPECT_EQ(out.count, FRAMES) << how;
        EXPECT_TRUE(out.frames == filterDirect(clip, W, H, host::UserSettings{}, 0, 0)) << how;
        // A pipe has no length the tool could know in advance: clip total 0.
        EXPECT_EQ(stateClipTotal(), 0) << how;
        std::filesystem::remove(dir / "out.mkv");
    }

    ScratchDir dir;
    Bytes clip;
};

TEST_F(OnceOnlyInput, PipesFifosAndProcessSubstitutionGiveEveryFrame) {
    const std::string in = dir / "in.mkv";
    const std::string out = dir / "out.mkv";
    freshStateDirectory();
    ASSERT_EQ(shell("cat " + in + " | \"$KALMIX\" /dev/stdin -o " + out), 0);
    expectEveryFrame("a pipe on standard input");

    freshStateDirectory();
    ASSERT_EQ(shell("\"$KALMIX\" <(cat " + in + ") -o " + out), 0);
    expectEveryFrame("process substitution");

    freshStateDirectory();
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread feeder([&] { shell("cat " + in + " > " + fifo); });
    const RunResult run = runKalmix({fifo, "-o", out});
    feeder.join();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("40 frames filtered"), std::string::npos) << run.err;
    expectEveryFrame("a FIFO");

    // A plain file keeps its count, so a later run can resume the same clip.
    freshStateDirectory();
    ASSERT_EQ(runKalmix({in, "-o", out}).status, 0);
    EXPECT_EQ(stateClipTotal(), FRAMES);
}

class InPlaceOutput : public ::testing::Test {
protected:
    void SetUp() override {
        clip = makeClip(W, H, 6, 9);
        writeFile(dir / "in.raw", clip);
        freshStateDirectory();
        expected = filterDirect(clip, W, H, host::UserSettings{}, 0, 6);
        freshStateDirectory();
    }
    ScratchDir dir;
    Bytes clip;
    Bytes expected;
};

TEST_F(InPlaceOutput, DevStdoutAndProcSelfFdDeliverTheFramesAndReplaceNothing) {
    const auto devBefore = std::filesystem::directory_iterator("/dev");
    const std::size_t devEntries = static_cast<std::size_t>(std::distance(devBefore, {}));

    const RunResult toStdout = runKalmix({"--raw", "64x48", dir / "in.raw", "-o", "/dev/stdout"}, "", dir / "cap.raw");
    ASSERT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_TRUE(readFile(dir / "cap.raw") == expected);
    if (!std::filesystem::is_symlink("/dev/stdout")) {
        ADD_FAILURE() << "/dev/stdout was replaced";
        // Put the machine right again for everything else that runs on it.
        std::filesystem::remove("/dev/stdout");
        std::filesystem::create_symlink("/proc/self/fd/1", "/dev/stdout");
    }
    EXPECT_EQ(static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/dev"), {})), devEntries)
        << "something was left in /dev";

    freshStateDirectory();
    ASSERT_EQ(shell("\"$KALMIX\" --raw 64x48 " + (dir / "in.raw") + " -o /proc/self/fd/3 3>" + (dir / "fd3.raw")), 0);
    EXPECT_TRUE(readFile(dir / "fd3.raw") == expected);
}

TEST_F(InPlaceOutput, ALinkIsWrittenThroughAndStaysALink) {
    const std::string target = dir / "target.raw";
    writeFile(target, Bytes(10, 1));
    std::filesystem::create_symlink(target, dir / "link.raw");
    // The file behind the link is replaced only as the file itself would be.
    for (const char* flag : {"-n", ""}) {
        std::vector<std::string> args{"--raw", "64x48", dir / "in.raw", "-o", dir / "link.raw"};
        if (*flag != '\0') args.emplace_back(flag);
        const RunResult refused = runKalmix(args);
        EXPECT_EQ(refused.status, 1) << flag;
        EXPECT_NE(refused.err.find("exists"), std::string::npos) << refused.err;
        EXPECT_EQ(readFile(target), Bytes(10, 1)) << flag;
    }
    const RunResult run = runKalmix({"--raw", "64x48", dir / "in.raw", "-o", dir / "link.raw", "-y"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.raw"));
    EXPECT_TRUE(readFile(target) == expected);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.raw", "link.raw", "target.raw"}));
}

// A run that fails after its output was opened (here: no frame within -ss)
// must not leave the file behind a link cut down to a header, nor make one
// behind a link that led nowhere; a run that succeeds still writes through.
TEST_F(InPlaceOutput, AFailedRunThroughALinkLeavesTheFileBehindItAlone) {
    writeMkv(dir / "in.mkv", clip, W, H, {1, 25}, {25, 1});
    const Bytes kept(10, 1);
    writeFile(dir / "target.mkv", kept);
    std::filesystem::create_symlink("target.mkv", dir / "link.mkv");
    std::filesystem::create_symlink("later.mkv", dir / "dangling.mkv");
    for (const char* name : {"link.mkv", "dangling.mkv"}) {
        const RunResult failed = runKalmix({dir / "in.mkv", "-o", dir / name, "-y", "-ss", "100"});
        EXPECT_EQ(failed.status, 1) << name << ": " << failed.err;
    }
    EXPECT_EQ(readFile(dir / "target.mkv"), kept);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"dangling.mkv", "in.mkv", "in.raw", "link.mkv", "target.mkv"}));

    for (const char* name : {"link.mkv", "dangling.mkv"}) {
        freshStateDirectory();
        const RunResult run = runKalmix({dir / "in.mkv", "-o", dir / name, "-y"});
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
        EXPECT_TRUE(std::filesystem::is_symlink(dir / name)) << name;
        EXPECT_TRUE(decodeFile(dir / name).frames == expected) << name;
    }
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"dangling.mkv", "in.mkv", "in.raw", "later.mkv", "link.mkv",
                                                    "target.mkv"}));
}

TEST_F(InPlaceOutput, LongOutputNamesWork) {
    for (const std::size_t length : {235u, 245u, 255u}) {
        const std::string name = std::string(length - 4, 'n') + ".raw";
        const RunResult run = runKalmix({"-q", "--raw", "64x48", dir / "in.raw", "-o", dir / name});
        ASSERT_EQ(run.status, 0) << length << ": " << run.err;
        EXPECT_TRUE(readFile(dir / name) == expected) << length;
        EXPECT_EQ(dir.list().size(), 2u) << "a temporary file was left behind";
        std::filesystem::remove(dir / name);
    }
    // Multi-byte characters are not cut in half in the temporary name.
    std::string accented;
    while (accented.size() + 2 <= 250) accented += "\xc3\xa9";
    const RunResult run = runKalmix({"-q", "--raw", "64x48", dir / "in.raw", "-o", dir / (accented + ".raw")});
    EXPECT_EQ(run.status, 0) << run.err;
}

// A caller (a daemon, a script with 2>&-) may start the tool with a standard
// descriptor closed. The output must not take its number: the warnings of a
// damaged packet went into the middle of the output file, which still exited 0.
TEST(StandardDescriptors, AClosedOneIsNeverTakenByTheOutput) {
    ScratchDir dir;
    ClipRecipe recipe;
    recipe.codec = "mjpeg";
    recipe.pixelFormat = "yuvj420p";
    recipe.frames = 12;
    recipe.damagedPacket = 5;
    writeClip(dir / "damaged.avi", recipe);
    freshStateDirectory();
    ASSERT_EQ(shell("\"$KALMIX\" - -o " + (dir / "out.mkv") + " < " + (dir / "damaged.avi") + " 2>&-"), 0);
    const Bytes written = readFile(dir / "out.mkv");
    EXPECT_EQ(std::string(written.begin(), written.end()).find("kalmix:"), std::string::npos)
        << "messages were written into the output";
    EXPECT_EQ(decodeFile(dir / "out.mkv").count, 11);

    // Standard output closed: -o - fails, as before, rather than going anywhere.
    writeFile(dir / "in.raw", makeClip(W, H, 2, 1));
    freshStateDirectory();
    EXPECT_EQ(shell("\"$KALMIX\" --raw 64x48 " + (dir / "in.raw") + " -o - >&-"), 1);
    EXPECT_EQ(shell("\"$KALMIX\" --raw 64x48 - -o - < " + (dir / "in.raw") + " >&-"), 1);
}

// Nor is a closed one opened again under its names: -o /dev/stdout with
// standard output closed wrote the frames into nothing and exited 0, and
// /dev/stdin with standard input closed read no frames and exited 0.
TEST(StandardDescriptors, AClosedOneIsNotOpenedAgainUnderItsName) {
    ScratchDir dir;
    writeFile(dir / "in.raw", makeClip(W, H, 2, 1));
    freshStateDirectory();
    EXPECT_EQ(shell("\"$KALMIX\" --raw 64x48 " + (dir / "in.raw") + " -o /dev/stdout >&- 2>/dev/null"), 1);
    EXPECT_EQ(shell("\"$KALMIX\" --raw 64x48 " + (dir / "in.raw") + " -o /proc/self/fd/1 >&- 2>/dev/null"), 1);
    EXPECT_EQ(shell("\"$KALMIX\" --raw 64x48 /dev/stdin -o " + (dir / "out.raw") + " <&- 2>/dev/null"), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.raw"));
}

TEST(TemporaryOutput, APlantedLinkAtTheTemporaryNameIsNotFollowed) {
    ScratchDir dir;
    const std::string victim = dir / "victim";
    writeFile(victim, Bytes{'k', 'e', 'e', 'p'});
    // The first name tried is taken by a planted link; the next is free.
    std::filesystem::create_symlink(victim, dir / ".out.raw.kalmix-AAAAAA.part");
    const std::vector<std::string> names{"AAAAAA", "BBBBBB"};
    std::size_t next = 0;
    TempOutput output(dir / "out.raw", [&] { return names[next++ % names.size()]; });
    const int fd = output.open();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(output.tempPath(), dir / ".out.raw.kalmix-BBBBBB.part");
    ASSERT_EQ(::write(fd, "new", 3), 3);
    ::close(fd);
    output.commit();
    EXPECT_EQ(readFile(victim), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(readFile(dir / "out.raw"), (Bytes{'n', 'e', 'w'}));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / ".out.raw.kalmix-AAAAAA.part"));

    // Random names differ from one output to the next.
    TempOutput first(dir / "x.raw");
    TempOutput second(dir / "x.raw");
    ::close(first.open());
    ::close(second.open());
    EXPECT_NE(first.tempPath(), second.tempPath());
}

// The muxer opens each picture of a sequence by name: they are written in a
// private directory of the run's own, so a link planted at the names the
// temporary pictures once had (.f0002.png.kalmix-PID.part) leads nowhere.
TEST(TemporaryOutput, PicturesAreNeverWrittenThroughAPlantedLink) {
    ScratchDir dir;
    writeMkv(dir / "in.mkv", makeClip(W, H, 3, 2), W, H, {1, 25}, {25, 1});
    writeFile(dir / "victim", Bytes{'k', 'e', 'e', 'p'});
    freshStateDirectory();
    ASSERT_EQ(shell("cd " + dir.path().string() + " && ln -s victim .f0002.png.kalmix-$$.part && exec \"$KALMIX\" " +
                    "-q in.mkv -o f%04d.png"),
              0);
    EXPECT_EQ(readFile(dir / "victim"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "f0002.png"));
    std::vector<std::string> names = dir.list();
    std::erase_if(names, [](const std::string& name) { return name.rfind(".f0002.png.kalmix-", 0) == 0; });
    EXPECT_EQ(names, (std::vector<std::string>{"f0001.png", "f0002.png", "f0003.png", "in.mkv", "victim"}));

    // Pictures to standard output go there, one after another; no file
    // named "-" appears.
    ASSERT_EQ(shell("cd " + dir.path().string() + " && \"$KALMIX\" -q in.mkv -f image2 -o - -c:v png > out.png"), 0);
    const Bytes pictures = readFile(dir / "out.png");
    ASSERT_GT(pictures.size(), 8u);
    EXPECT_EQ(pictures[1], 'P');
    EXPECT_FALSE(std::filesystem::exists(dir / "-"));
}

TEST(TemporaryOutput, AnUnfinishedOutputLeavesNothingAndAnExistingFileIsReplacedWhole) {
    ScratchDir dir;
    writeFile(dir / "out.raw", Bytes(100, 7));
    {
        TempOutput dropped(dir / "out.raw");
        ::close(dropped.open());
    }
    EXPECT_EQ(dir.list(), std::vector<std::string>{"out.raw"});
    EXPECT_EQ(readFile(dir / "out.raw"), Bytes(100, 7));
    {
        TempOutput replaced(dir / "out.raw");
        const int fd = replaced.open();
        ASSERT_EQ(::write(fd, "ab", 2), 2);
        ::close(fd);
        replaced.commit();
    }
    EXPECT_EQ(readFile(dir / "out.raw"), (Bytes{'a', 'b'}));
    EXPECT_EQ(dir.list(), std::vector<std::string>{"out.raw"});

    // The new file keeps the mode of the one it replaces: a private output
    // does not come back readable by everyone.
    for (const mode_t mode : {0600, 0640, 0755}) {
        ASSERT_EQ(::chmod((dir / "out.raw").c_str(), mode), 0);
        TempOutput again(dir / "out.raw");
        ::close(again.open());
        again.commit();
        struct stat info {};
        ASSERT_EQ(::stat((dir / "out.raw").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
    }
}

}  // namespace
}  // namespace kalmix::tool::test
