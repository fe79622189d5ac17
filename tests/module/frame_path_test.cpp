// The frame path through the loaded module: sequences, pass-through, the
// first frame at each level, alpha, and the state file across a reload.
#include <sys/mman.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>

#include "module_fixture.h"

namespace kalmix::testing {
namespace {

constexpr int W = 32, H = 32;
constexpr std::int32_t CLIP = 100;

class FramePath : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        module->setParams(FilterParams{5, 5, 5, 2, 1});
    }
    Frame frame(int index, std::uint32_t seed, bool moving = false) {
        return syntheticFrame(W, H, index, seed, 6, moving);
    }
    Frame run(const Frame& source, std::int32_t position, std::int32_t clipTotal = CLIP) {
        return ModuleTest::run(source, W, H, position, clipTotal);
    }
    // A state file that any frame 1 to 6 positions after `last` of clip
    // `clipTotal` would resume, with an all-zero saved state.
    void plantStateFile(std::int32_t last, std::int32_t clipTotal) {
        std::vector<std::uint8_t> bytes(829456, 0);
        const std::int32_t fields[4] = {last, 5, clipTotal, static_cast<std::int32_t>(std::time(nullptr))};
        for (int f = 0; f < 4; ++f) {
            for (int i = 0; i < 4; ++i) {
                bytes[static_cast<std::size_t>(4 * f + i)] =
                    static_cast<std::uint8_t>(static_cast<std::uint32_t>(fields[f]) >> (8 * i));
            }
        }
        std::ofstream(statePath(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
};

TEST_F(FramePath, SequencesContinueWithinThirtyPositionsOfOneClip) {
    const Frame a = frame(0, 1), b = frame(0, 2);
    const Frame freshA = run(a, 0);
    const Frame freshB = run(b, 0);  // position 0 again: a new sequence
    ASSERT_NE(freshA, freshB);
    // A state file that would resume any of the restarts below, were it read.
    plantStateFile(58, CLIP);

    EXPECT_NE(run(a, 30), freshA) << "a jump of 30 continues";
    EXPECT_EQ(run(b, 61), freshB) << "a jump of 31 starts afresh";
    EXPECT_NE(run(a, 62), freshA);
    EXPECT_EQ(run(b, 50), freshB) << "a backward jump starts afresh";
    EXPECT_NE(run(a, 51), freshA);
    EXPECT_EQ(run(b, 51), freshB) << "the same position again starts afresh";
    EXPECT_NE(run(a, 52), freshA);
    EXPECT_EQ(run(b, 53, CLIP + 1), freshB) << "another clip starts afresh";
    EXPECT_TRUE(messages.empty());
}

TEST_F(FramePath, UnsupportedSizesPassThroughAndLeaveTheSequenceAlone) {
    const Frame a = frame(0, 1), b = frame(0, 2);
    const Frame freshB = run(b, 0);
    run(a, 0);
    struct Size {
        int width, height;
    };
    for (Size size : {Size{388, 32}, Size{32, 292}, Size{32, 286}, Size{30, 32}, Size{384, 289}}) {
        const Frame big = syntheticFrame(size.width, size.height, 3, 9);
        const Frame out = ModuleTest::run(big, size.width, size.height, 1, CLIP);
        EXPECT_EQ(out, big) << size.width << "x" << size.height;
    }
    // Still continuing from position 0, not restarted by the pass-throughs.
    EXPECT_NE(run(b, 2), freshB);

    // Bounds with a negative side describe no frame: nothing is copied.
    Frame source = frame(0, 3), destination(source.size(), 0);
    EXPECT_EQ(module->execute(HostRect{W, 0, 0, H}, source.data(), destination.data(), 3, CLIP), 0);
    EXPECT_EQ(destination, Frame(source.size(), 0));
    // Nor do sides beyond the 32-bit range: a 4-billion-wide frame is not in memory.
    const std::int32_t most = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(module->execute(HostRect{-most - 1, 0, most - 15, H}, source.data(), destination.data(),
                              3, CLIP),
              0);
    EXPECT_EQ(destination, Frame(source.size(), 0));
}

TEST_F(FramePath, EmptyFrameIsProcessedWithoutWriting) {
    Frame source(16, 1), destination(16, 0);
    EXPECT_EQ(module->execute(source.data(), destination.data(), 0, 0, 4, CLIP), 0);
    EXPECT_EQ(module->execute(source.data(), destination.data(), 4, 0, 5, CLIP), 0);
    EXPECT_EQ(destination, Frame(16, 0));
    module.reset();
    const auto bytes = stateBytes();
    ASSERT_EQ(bytes.size(), 829456u);
    EXPECT_EQ(readInt32(bytes, 0), 5);
    EXPECT_EQ(readInt32(bytes, 4), 2);
}

TEST_F(FramePath, AlphaAlwaysComesFromTheSource) {
    // Varied alpha, then the same clip with alpha one value throughout (which
    // takes a path of its own) and with a single pixel's alpha off that value:
    // the colour bytes never depend on alpha, and alpha is always the source's.
    std::vector<Frame> varied;
    for (int i = 0; i < 4; ++i) {
        const Frame source = frame(i, 7, true);
        const Frame out = run(source, i);
        for (std::size_t p = 3; p < source.size(); p += 4) ASSERT_EQ(out[p], source[p]);
        varied.push_back(out);
    }
    for (const int alpha : {255, 0, 254}) {
        for (int i = 0; i < 4; ++i) {
            Frame source = frame(i, 7, true);
            for (std::size_t p = 3; p < source.size(); p += 4)
                source[p] = static_cast<std::uint8_t>(alpha);
            if (alpha == 254) source[source.size() - 1] = 255;  // the last pixel's alpha differs
            const Frame out = run(source, i);
            for (std::size_t p = 0; p < source.size(); ++p) {
                ASSERT_EQ(out[p], p % 4 == 3 ? source[p] : varied[i][p])
                    << "alpha " << alpha << ", frame " << i << ", byte " << p;
            }
        }
    }
}

TEST_F(FramePath, NullParameterHandleUsesTheWorkingValues) {
    const Frame a = frame(0, 1, true), b = frame(1, 1, true);
    const Frame withRecord0 = run(a, 0), withRecord1 = run(b, 1);
    module->clearParams();
    EXPECT_EQ(run(a, 0), withRecord0);
    EXPECT_EQ(run(b, 1), withRecord1);
}

// Grey frames convert exactly, so the first frame's output shows the
// filter's effect alone.
TEST_F(FramePath, FirstFrameIsUnfilteredUpToLevelSixAndHeldNearTheInputAbove) {
    Frame grey(W * H * 4);
    for (int i = 0; i < W * H; ++i) {
        const auto v = static_cast<std::uint8_t>((i * 37 + (i / W) * 11) % 256);
        grey[static_cast<std::size_t>(4 * i)] = grey[static_cast<std::size_t>(4 * i + 1)] =
            grey[static_cast<std::size_t>(4 * i + 2)] = v;
        grey[static_cast<std::size_t>(4 * i + 3)] = 255;
    }
    auto inMark = [](int i) { return (i / W == 1 || i / W == 2) && i % W < 32; };
    for (int level = 0; level <= 10; ++level) {
        module->setParams(FilterParams{5, 5, level, 2, 1});
        const Frame out = run(grey, 0);
        const int bound = level <= 6 ? 0 : level <= 8 ? 4 : 8;
        int changed = 0;
        for (int i = 0; i < W * H; ++i) {
            const std::uint8_t* o = &out[static_cast<std::size_t>(4 * i)];
            ASSERT_TRUE(o[0] == o[1] && o[1] == o[2]) << "level " << level << " pixel " << i;
            if (inMark(i)) continue;
            const int difference = std::abs(o[0] - grey[static_cast<std::size_t>(4 * i)]);
            ASSERT_LE(difference, bound) << "level " << level << " pixel " << i;
            changed += difference != 0;
        }
        if (level >= 7) {
            EXPECT_GT(changed, 0) << "level " << level;
        }
    }
}

// The host asks for the pages of the module's static frame state when it
// loads it, so that the first frame of a run does not take a page fault for
// each of them (some 545 at the largest frame, about 10 us each in a virtual
// machine, and every tile worker pays them again).
TEST_F(FramePath, FirstLargestFrameFindsTheModulesStateInMemory) {
    // Where the kernel cannot provide pages up front (before Linux 5.14, or
    // under an emulator that ignores the request), the faults remain.
    void* probe = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(probe, MAP_FAILED);
    unsigned char resident = 0;
    const bool provided = madvise(probe, 4096, MADV_POPULATE_WRITE) == 0 && mincore(probe, 4096, &resident) == 0 &&
                          (resident & 1U) != 0;
    munmap(probe, 4096);
    if (!provided) GTEST_SKIP() << "this kernel does not provide pages up front";

    constexpr int LARGE_W = 384, LARGE_H = 288;
    const Frame source = syntheticFrame(LARGE_W, LARGE_H, 0, 3);
    Frame destination(source.size(), 0);  // both frames' pages touched before
    rusage before{};
    rusage after{};
    getrusage(RUSAGE_SELF, &before);
    ASSERT_EQ(module->execute(source.data(), destination.data(), LARGE_W, LARGE_H, 0, CLIP), 0);
    getrusage(RUSAGE_SELF, &after);
    // Without the request this frame takes about 545 faults.
    EXPECT_LT(after.ru_minflt - before.ru_minflt, 100);
}

TEST_F(FramePath, StateFileIsWrittenAtUnloadAndResumesTheClip) {
    module->setParams(FilterParams{5, 5, 0, 2, 1});  // copies changed blocks: resumes compare exactly
    const std::time_t before = std::time(nullptr);
    for (int i = 10; i <= 20; ++i) run(frame(i, 3, true), i, 50);
    const std::time_t after = std::time(nullptr);
    module.reset();
    const auto saved = stateBytes();
    ASSERT_EQ(saved.size(), 829456u);
    EXPECT_EQ(readInt32(saved, 0), 20);
    EXPECT_EQ(readInt32(saved, 4), 11);
    EXPECT_EQ(readInt32(saved, 8), 50);
    EXPECT_GE(readInt32(saved, 12), before);
    EXPECT_LE(readInt32(saved, 12), after);

    auto restore = [&](std::vector<std::uint8_t> bytes) {
        std::ofstream(statePath(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    auto freshOutput = [&](const Frame& source) {
        reload();
        module->setParams(FilterParams{5, 5, 0, 2, 1});
        return run(source, 0, 50);
    };
    const Frame frame23 = frame(23, 3, true);
    const Frame fresh23 = freshOutput(frame23);

    // Resumed: frame 23 continues from the saved reference, output and history.
    module.reset();
    restore(saved);
    load();
    module->setParams(FilterParams{5, 5, 0, 2, 1});
    const Frame resumed = run(frame23, 23, 50);
    EXPECT_NE(resumed, fresh23);
    module.reset();
    EXPECT_EQ(readInt32(stateBytes(), 4), 12) << "the count goes on from the saved count";

    // The same frames without the unload give the same output.
    load();
    module->setParams(FilterParams{5, 5, 0, 2, 1});
    for (int i = 10; i <= 20; ++i) run(frame(i, 3, true), i, 50);
    EXPECT_EQ(run(frame23, 23, 50), resumed);

    struct Case {
        const char* what;
        std::int32_t position, clipTotal, timeShift;
        std::size_t truncateTo;
    };
    const Case cases[] = {
        {"7 positions on", 27, 50, 0, 0},
        {"the saved position", 20, 50, 0, 0},
        {"another clip", 23, 51, 0, 0},
        {"saved 301 s ago", 23, 50, -301, 0},
        {"saved in the future", 23, 50, 3600, 0},
        {"a file cut after the header", 23, 50, 0, 16},
    };
    for (const Case& c : cases) {
        const Frame source = frame(c.position, 3, true);
        const Frame expected = freshOutput(source);
        auto bytes = saved;
        const std::int32_t time = readInt32(bytes, 12) + c.timeShift;
        for (int i = 0; i < 4; ++i) {
            bytes[static_cast<std::size_t>(12 + i)] =
                static_cast<std::uint8_t>(static_cast<std::uint32_t>(time) >> (8 * i));
        }
        if (c.truncateTo != 0) bytes.resize(c.truncateTo);
        module.reset();
        restore(bytes);
        load();
        module->setParams(FilterParams{5, 5, 0, 2, 1});
        EXPECT_EQ(run(source, c.position, c.clipTotal), expected) << c.what;
    }
    EXPECT_TRUE(messages.empty());

    module.reset();
    std::filesystem::remove(statePath());
    load();
    module->setParams(FilterParams{5, 5, 0, 2, 1});
    EXPECT_EQ(run(frame23, 23, 50), fresh23) << "a missing file is a fresh start";
    EXPECT_TRUE(messages.empty());
}

TEST_F(FramePath, SetupBetweenFramesStartsAfreshUnlessTheStateFileMatches) {
    const Frame a = frame(0, 1), b = frame(0, 2);
    const Frame freshB = run(b, 0);
    run(a, 0);
    ASSERT_EQ(module->setup(), 0);  // the default user accepts and presses OK
    EXPECT_EQ(run(b, 1), freshB);

    reload();
    module->setParams(FilterParams{5, 5, 5, 2, 1});
    run(a, 1);       // a fresh sequence of its own: the saved one ended at 1 too
    module.reset();  // saves position 1
    load();
    module->setParams(FilterParams{5, 5, 5, 2, 1});
    ASSERT_EQ(module->setup(), 0);
    EXPECT_NE(run(b, 2), freshB) << "the saved sequence resumes";
}

TEST_F(FramePath, UnloadWithoutFramesWritesAZeroState) {
    module.reset();
    const auto bytes = stateBytes();
    ASSERT_EQ(bytes.size(), 829456u);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), 829456);
}

TEST_F(FramePath, StateFileFailuresAreReportedAndKeepTheOldFile) {
    const std::string saveMessage =
        "Kalmix Noise Filter: Unable to save status file.\r\nFilter will not function correctly";
    const std::string openMessage =
        "Kalmix Noise Filter: Unable to open status file.\r\nFilter will not function correctly";
    const std::string loadMessage =
        "Kalmix Noise Filter: Unable to load status file.\r\nFilter will not function correctly";
    run(frame(0, 1), 0);
    module.reset();
    const auto good = stateBytes();

    standin::setWindowsDirectoryFails(true);
    load();
    run(frame(0, 1), 0);  // position 0 never reads the file
    run(frame(1, 1), 1);  // a continuing frame does not either
    EXPECT_TRUE(messages.empty());
    reload();
    run(frame(2, 1), 2);  // no sequence, position above 0: the load is tried
    EXPECT_EQ(messages, (std::vector<std::string>{saveMessage, loadMessage}));
    standin::setWindowsDirectoryFails(false);

    // A save stopped midway (here by the file size limit): reported, the
    // previous file stays whole and no temporary file is left.
    messages.clear();
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    rlimit small = limit;
    small.rlim_cur = 100000;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    module.reset();
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(messages, std::vector<std::string>{saveMessage});
    EXPECT_EQ(stateBytes(), good);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(windowsDirectory.path()), {}), 1);

    // The file cannot be created (the Windows directory is a file): reported.
    messages.clear();
    load();
    setenv("WINDIR", statePath().c_str(), 1);
    module.reset();
    setenv("WINDIR", windowsDirectory.path().c_str(), 1);
    EXPECT_EQ(messages, std::vector<std::string>{openMessage});
    EXPECT_EQ(stateBytes(), good);
    load();
}

}  // namespace
}  // namespace kalmix::testing
