// The tile engine against the module driven directly through the host
// library: one tile is the plain path, every tile is the module on its crop
// alone (also across a stop and a resumed start), a worker that dies or
// hangs is reported with its tile, and a worker waits for its turn to filter.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/private_windows_directory.h"
#include "tools/host/plugin_host.h"
#include "tools/tiles/tile_engine.h"
#include "tools/tiles/tile_protocol.h"

namespace kalmix::tiles {
namespace {

using Frame = std::vector<std::uint8_t>;
using kalmix::testing::PrivateWindowsDirectory;

// A still, noisy scene with a square moving across it; the same bytes on
// every run.
std::vector<Frame> makeClip(int width, int height, int count) {
    std::vector<Frame> clip;
    std::uint32_t seed = 12345;
    for (int f = 0; f < count; ++f) {
        Frame frame(frameBytes(width, height));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p = &frame[frameBytes(width, y) + frameBytes(x, 1)];
                const bool square = x >= 20 + 23 * f && x < 80 + 23 * f && y >= 30 && y < 90;
                for (int c = 0; c < 3; ++c) {
                    seed = seed * 1664525u + 1013904223u;
                    const int noise = static_cast<int>(seed >> 29) - 4;
                    const int base = square ? 200 - 40 * c : 60 + (x * 3 + y * (c + 1)) % 90;
                    p[c] = static_cast<std::uint8_t>(base + noise);
                }
                p[3] = static_cast<std::uint8_t>(x + y);
            }
        }
        clip.push_back(std::move(frame));
    }
    return clip;
}

host::UserSettings testSettings() {
    host::UserSettings settings;
    settings.primaryLevel = 5;
    settings.secondaryLevel = 8;  // the first frame is filtered too
    settings.transitionFrames = 2;
    return settings;
}

std::unique_ptr<host::PluginModule> loadModule() {
    std::string error;
    auto module = host::PluginModule::load(host::defaultModulePath(), error);
    if (!module) throw std::runtime_error(error);
    return module;
}

// A temporary folder for the engine's per-tile Windows directories.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kalmix-tiles-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

EngineSettings engineSettings(const std::filesystem::path& folder, int threads = 2) {
    EngineSettings settings;
    settings.modulePath = host::defaultModulePath();
    settings.stateFolder = folder;
    settings.threads = threads;
    return settings;
}

// The module alone on one tile's crop of every frame, from position `first`;
// with `reloadAt`, it is unloaded and loaded again before that frame, as a
// second run does.
std::vector<Frame> plainOnTile(const std::vector<Frame>& clip, int width, int height, const Tile& tile,
                               std::int32_t clipTotal, std::size_t reloadAt = SIZE_MAX) {
    PrivateWindowsDirectory windir;
    auto module = loadModule();
    module->setup(testSettings());
    std::vector<Frame> outputs;
    Frame crop(frameBytes(tile.source.width, tile.source.height));
    for (std::size_t f = 0; f < clip.size(); ++f) {
        if (f == reloadAt) {
            module.reset();
            module = loadModule();
            module->setup(testSettings());
        }
        cutTile(clip[f].data(), width, height, tile, crop.data());
        Frame out(crop.size());
        module->execute(crop.data(), out.data(), tile.source.width, tile.source.height,
                        static_cast<std::int32_t>(f), clipTotal);
        outputs.push_back(std::move(out));
    }
    return outputs;
}

// Every tile's interior of every output frame equals the module on its crop.
void expectComposition(const std::vector<Frame>& clip, const std::vector<Frame>& outputs, int width, int height,
                       const TileGrid& grid, std::int32_t clipTotal, std::size_t reloadAt = SIZE_MAX) {
    for (std::size_t t = 0; t < grid.tiles.size(); ++t) {
        const Tile& tile = grid.tiles[t];
        const std::vector<Frame> plain = plainOnTile(clip, width, height, tile, clipTotal, reloadAt);
        for (std::size_t f = 0; f < clip.size(); ++f) {
            Frame expected(frameBytes(width, height), 0);
            Frame actual(expected.size(), 0);
            pasteInterior(plain[f].data(), tile, expected.data(), width);
            // The engine's interior, cut out the same way.
            Frame engineTile(plain[f].size());
            cutTile(outputs[f].data(), width, height, tile, engineTile.data());
            pasteInterior(engineTile.data(), tile, actual.data(), width);
            ASSERT_EQ(expected, actual) << "tile " << t << ", frame " << f;
        }
    }
}

TEST(TileEngine, OneTileGivesThePlainPathsBytes) {
    const int width = 384;
    const int height = 288;
    const auto clip = makeClip(width, height, 5);
    std::vector<Frame> plain;
    {
        PrivateWindowsDirectory windir;
        auto module = loadModule();
        module->setup(testSettings());
        for (std::size_t f = 0; f < clip.size(); ++f) {
            Frame out(clip[f].size());
            module->execute(clip[f].data(), out.data(), width, height, static_cast<std::int32_t>(f), 5);
            plain.push_back(std::move(out));
        }
    }
    TempFolder folder;
    TileEngine engine(width, height, engineSettings(folder.path()));
    ASSERT_EQ(engine.workerCount(), 1);
    engine.setup(testSettings());
    for (std::size_t f = 0; f < clip.size(); ++f) {
        Frame out(clip[f].size());
        engine.filter(clip[f].data(), out.data(), static_cast<std::int32_t>(f), 5);
        ASSERT_EQ(out, plain[f]) << "frame " << f;
    }
}

TEST(TileEngine, EachTileIsTheModuleOnItsCropAlone) {
    // Odd sides: padded by repeating the edge; 2 x 2 tiles.
    const int width = 501;
    const int height = 299;
    const auto clip = makeClip(width, height, 4);
    TempFolder folder;
    std::vector<Frame> outputs;
    TileGrid grid;
    {
        TileEngine engine(width, height, engineSettings(folder.path()));
        grid = engine.grid();
        ASSERT_EQ(engine.workerCount(), 4);
        engine.setup(testSettings());
        for (std::size_t f = 0; f < clip.size(); ++f) {
            Frame frame = clip[f];  // in place, through the dispatching thread
            engine.start(frame.data(), frame.data(), static_cast<std::int32_t>(f), 4);
            engine.finish();
            outputs.push_back(std::move(frame));
        }
    }
    EXPECT_NE(outputs[2], clip[2]);
    expectComposition(clip, outputs, width, height, grid, 4);
}

TEST(TileEngine, ResumesEachTileFromItsOwnStateFile) {
    const int width = 400;
    const int height = 200;  // two tiles side by side
    const auto clip = makeClip(width, height, 6);
    const std::int32_t total = 6;
    TempFolder folder;
    std::vector<Frame> outputs;
    TileGrid grid;
    for (std::size_t part : {0, 1}) {  // two runs: frames 0..2, then 3..5
        TileEngine engine(width, height, engineSettings(folder.path(), 1));
        grid = engine.grid();
        engine.setup(testSettings());
        for (std::size_t f = 3 * part; f < 3 * part + 3; ++f) {
            Frame out(clip[f].size());
            engine.filter(clip[f].data(), out.data(), static_cast<std::int32_t>(f), total);
            outputs.push_back(std::move(out));
        }
    }
    ASSERT_EQ(grid.tiles.size(), 2u);
    for (std::size_t t = 0; t < grid.tiles.size(); ++t) {
        EXPECT_TRUE(std::filesystem::exists(folder.path() / ("tile-" + std::to_string(t)) / "KALMIX_STAT.bin"));
    }
    expectComposition(clip, outputs, width, height, grid, total, 3);

    // Without the state files the second run starts afresh and differs.
    std::filesystem::remove_all(folder.path());
    TileEngine fresh(width, height, engineSettings(folder.path(), 1));
    fresh.setup(testSettings());
    Frame out(clip[3].size());
    fresh.filter(clip[3].data(), out.data(), 3, total);
    EXPECT_NE(out, outputs[3]);
}

// Refreshed 4x4 blocks of a whole frame, the plain way.
std::int64_t refreshedBlocks(const Frame& a, const Frame& b, int width, int height) {
    std::int64_t count = 0;
    for (int by = 0; by < height; by += 4) {
        for (int bx = 0; bx < width; bx += 4) {
            bool differs = false;
            for (int y = by; y < std::min(by + 4, height); ++y) {
                for (int x = bx; x < std::min(bx + 4, width); ++x) {
                    const std::size_t i = frameBytes(width, y) + frameBytes(x, 1);
                    differs = differs || a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2];
                }
            }
            count += differs ? 1 : 0;
        }
    }
    return count;
}

// The clip through an engine of its own, one frame at a time from private
// buffers (the engine cuts and pastes; nothing is counted), the clip total
// its length.
std::vector<Frame> filteredFrameByFrame(int width, int height, const std::vector<Frame>& clip) {
    TempFolder folder;
    TileEngine engine(width, height, engineSettings(folder.path()));
    engine.setup(testSettings());
    std::vector<Frame> filtered;
    for (std::size_t f = 0; f < clip.size(); ++f) {
        Frame out(clip[f].size());
        engine.filter(clip[f].data(), out.data(), static_cast<std::int32_t>(f), static_cast<std::int32_t>(clip.size()));
        EXPECT_EQ(engine.refreshedBlocks(), -1);
        filtered.push_back(std::move(out));
    }
    return filtered;
}

TEST(TileEngine, WorkersCutAndPasteSharedFramesAsTheEngineDoes) {
    const int width = 501;  // padded sides, 2 x 2 tiles
    const int height = 299;
    const auto clip = makeClip(width, height, 5);
    const std::vector<Frame> expected = filteredFrameByFrame(width, height, clip);
    TempFolder folder;
    EngineSettings settings = engineSettings(folder.path());
    settings.sharedFrames = 3;
    TileEngine engine(width, height, settings);
    ASSERT_EQ(engine.sharedFrameCount(), 3);
    engine.setup(testSettings());
    // Frame 0 in place in a shared frame (the engine cuts and pastes), then
    // from shared frame 0 into 1 and 2 in turn, through the dispatching thread.
    std::copy(clip[0].begin(), clip[0].end(), engine.sharedFrame(1));
    engine.filter(engine.sharedFrame(1), engine.sharedFrame(1), 0, 5);
    ASSERT_TRUE(std::equal(expected[0].begin(), expected[0].end(), engine.sharedFrame(1)));
    for (std::size_t f = 1; f < clip.size(); ++f) {
        std::uint8_t* output = engine.sharedFrame(f % 2 == 0 ? 1 : 2);
        const std::uint8_t* previous = engine.sharedFrame(f % 2 == 0 ? 2 : 1);
        std::copy(clip[f].begin(), clip[f].end(), engine.sharedFrame(0));
        engine.start(engine.sharedFrame(0), output, static_cast<std::int32_t>(f), 5, previous);
        engine.finish();
        ASSERT_TRUE(std::equal(expected[f].begin(), expected[f].end(), output)) << "frame " << f;
        EXPECT_EQ(engine.refreshedBlocks(), refreshedBlocks(expected[f - 1], expected[f], width, height))
            << "frame " << f;
    }
    EXPECT_GT(engine.refreshedBlocks(), 0);

    // A worker that dies while filtering shared frames is reported as before.
    ASSERT_EQ(::kill(engine.workerIds()[3], SIGKILL), 0);
    try {
        engine.filter(engine.sharedFrame(0), engine.sharedFrame(1), 5, 5, engine.sharedFrame(2));
        FAIL() << "no error";
    } catch (const TileError& error) {
        EXPECT_NE(std::string(error.what()).find("tile 4 of 4 (columns"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("died while filtering"), std::string::npos) << error.what();
    }
}

// As kalmix hands frames over: the next one before the current one has
// finished, into the input of the frame before it, counted against the
// output still being written.
TEST(TileEngine, TheNextFrameHandedOverEarlyGivesTheSameFramesAndCounts) {
    const int width = 501;
    const int height = 299;
    const auto clip = makeClip(width, height, 6);
    const std::vector<Frame> expected = filteredFrameByFrame(width, height, clip);
    TempFolder folder;
    EngineSettings settings = engineSettings(folder.path());
    settings.sharedFrames = 5;
    TileEngine engine(width, height, settings);
    engine.setup(testSettings());
    const auto input = [&](std::size_t f) { return engine.sharedFrame(static_cast<int>(f % 2)); };
    const auto output = [&](std::size_t f) { return engine.sharedFrame(static_cast<int>(2 + f % 3)); };
    const auto hand = [&](std::size_t f) {
        std::copy(clip[f].begin(), clip[f].end(), input(f));
        engine.start(input(f), output(f), static_cast<std::int32_t>(f), 6, f > 0 ? output(f - 1) : nullptr);
    };
    hand(0);
    for (std::size_t f = 0; f < clip.size(); ++f) {
        if (f + 1 < clip.size()) hand(f + 1);
        EXPECT_EQ(engine.unfinished(), f + 1 < clip.size() ? 2 : 1);
        engine.finish();
        ASSERT_TRUE(std::equal(expected[f].begin(), expected[f].end(), output(f))) << "frame " << f;
        EXPECT_EQ(engine.refreshedBlocks(),
                  f > 0 ? refreshedBlocks(expected[f - 1], expected[f], width, height) : -1)
            << "frame " << f;
    }
    EXPECT_EQ(engine.unfinished(), 0);

    // A worker dying with two frames in the tiles: the first names its tile,
    // the second fails after it, and nothing is left unfinished.
    const pid_t victim = engine.workerIds()[2];
    ASSERT_EQ(::kill(victim, SIGKILL), 0);
    hand(0);
    hand(1);
    try {
        engine.finish();
        FAIL() << "no error";
    } catch (const TileError& error) {
        EXPECT_NE(std::string(error.what()).find("tile 3 of 4 (columns"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("(process " + std::to_string(victim) +
                                                 ") died while filtering: killed by signal 9"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_THROW(engine.finish(), TileError);
    EXPECT_EQ(engine.unfinished(), 0);
}

TEST(TileEngine, RefusesFramesTheWorkersCannotTakeInOneLine) {
    TempFolder folder;
    for (const auto& [width, height] : {std::pair{70000, 4}, std::pair{4, 70000}}) {
        try {
            TileEngine engine(width, height, engineSettings(folder.path()));
            FAIL() << "no error for " << width << "x" << height;
        } catch (const TileError& error) {
            EXPECT_NE(std::string(error.what()).find("too large for the tiles"), std::string::npos) << error.what();
        }
    }
}

TEST(TileEngine, DeadOrHungWorkerIsReportedWithItsTile) {
    const int width = 400;
    const int height = 200;
    const auto clip = makeClip(width, height, 2);
    TempFolder folder;
    Frame out(clip[0].size());
    {
        TileEngine engine(width, height, engineSettings(folder.path()));
        engine.setup(testSettings());
        engine.filter(clip[0].data(), out.data(), 0, 2);
        ASSERT_EQ(::kill(engine.workerIds()[1], SIGKILL), 0);
        try {
            engine.filter(clip[1].data(), out.data(), 1, 2);
            FAIL() << "no error";
        } catch (const TileError& error) {
            EXPECT_NE(std::string(error.what()).find("tile 2 of 2 (columns"), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("died while filtering: killed by signal 9"), std::string::npos)
                << error.what();
        }
        EXPECT_THROW(engine.filter(clip[1].data(), out.data(), 1, 2), TileError);  // stays failed
    }
    {
        EngineSettings settings = engineSettings(folder.path());
        settings.timeout = std::chrono::milliseconds(500);
        TileEngine engine(width, height, settings);
        engine.setup(testSettings());
        ASSERT_EQ(::kill(engine.workerIds()[0], SIGSTOP), 0);  // the destructor kills it
        try {
            engine.filter(clip[0].data(), out.data(), 0, 2);
            FAIL() << "no error";
        } catch (const TileError& error) {
            EXPECT_NE(std::string(error.what()).find("tile 1 of 2"), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("did not answer within"), std::string::npos) << error.what();
        }
    }
    EngineSettings missing = engineSettings(folder.path());
    missing.modulePath = (folder.path() / "no-such-module.PRM").string();
    try {
        TileEngine engine(width, height, missing);
        FAIL() << "no error";
    } catch (const TileError& error) {
        EXPECT_NE(std::string(error.what()).find("cannot load module"), std::string::npos)
            << error.what();
    }
}

// The engine's process stopped (Ctrl-Z, a debugger) while its workers answer:
// answers waiting when it continues are taken, however late it looks for
// them, and no worker is called hung for the time the engine stood still.
TEST(TileEngine, AnEngineStoppedPastTheTimeOutTakesTheAnswersWaiting) {
    const int width = 400;
    const int height = 200;
    const auto clip = makeClip(width, height, 2);
    TempFolder folder;
    int quit[2];
    ASSERT_EQ(::pipe(quit), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // filters until the test closes the pipe; exit 1 on a tile error
        ::close(quit[1]);
        EngineSettings settings = engineSettings(folder.path());
        settings.timeout = std::chrono::milliseconds(1000);
        int status = 0;
        try {
            TileEngine engine(width, height, settings);
            engine.setup(testSettings());
            Frame out(clip[0].size());
            pollfd done{quit[0], POLLIN, 0};
            for (std::int32_t f = 0; ::poll(&done, 1, 0) == 0; ++f) {
                engine.filter(clip[static_cast<std::size_t>(f % 2)].data(), out.data(), f, 0);
            }
        } catch (const TileError& error) {
            std::fprintf(stderr, "%s\n", error.what());
            status = 1;
        }
        ::_exit(status);
    }
    ::close(quit[0]);
    std::vector<pid_t> workers;
    for (int i = 0; i < 2000 && workers.size() < 2; ++i) {
        ::usleep(10000);
        std::ifstream list("/proc/" + std::to_string(child) + "/task/" + std::to_string(child) + "/children");
        workers.clear();
        for (pid_t worker = 0; list >> worker;) workers.push_back(worker);
    }
    ASSERT_EQ(workers.size(), 2u);
    ::usleep(300000);  // frames going
    // A worker held briefly keeps the engine waiting for its answer; the
    // engine stops while it waits, the worker answers, and the engine
    // continues after more than the time-out.
    ASSERT_EQ(::kill(workers[0], SIGSTOP), 0);
    ::usleep(100000);
    ASSERT_EQ(::kill(child, SIGSTOP), 0);
    ASSERT_EQ(::kill(workers[0], SIGCONT), 0);
    ::usleep(1500000);
    ASSERT_EQ(::kill(child, SIGCONT), 0);
    ::usleep(300000);
    ::close(quit[1]);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the engine reported a worker hung";
}

// A module that refuses its setup call would filter with other settings than
// the user's: the engine says so, as the plain path does, and every worker
// has answered by then.
TEST(TileEngine, ASetupCallTheModuleRefusesIsAnError) {
    const int width = 400;
    const int height = 200;
    TempFolder folder;
    EngineSettings settings = engineSettings(folder.path());
    settings.modulePath = KALMIX_REFUSING_MODULE;
    TileEngine engine(width, height, settings);
    ASSERT_GT(engine.workerCount(), 1);
    try {
        engine.setup(testSettings());
        FAIL() << "the refused setup was taken";
    } catch (const TileError& error) {
        EXPECT_NE(std::string(error.what()).find("the module refused its setup call (result -1)"), std::string::npos)
            << error.what();
    }
    // Every worker answered: the next command finds none of them busy.
    const auto clip = makeClip(width, height, 1);
    Frame out(clip[0].size(), 7);
    EXPECT_NO_THROW(engine.filter(clip[0].data(), out.data(), 0, 1));
}

// A worker of another build, found first (an older installation, say),
// reads the commands laid out otherwise and may answer without filtering:
// the engine refuses it at the start, in one line naming it.
TEST(TileEngine, RefusesAWorkerOfAnotherVersion) {
    const int width = 400;
    const int height = 200;
    const auto clip = makeClip(width, height, 1);
    TempFolder folder;
    EngineSettings settings = engineSettings(folder.path());
    // Where this kernel cannot run the build's programs, a script that runs
    // the stand-in under an emulator, as KALMIX_TILE_WORKER does the worker.
    const char* standin = std::getenv("KALMIX_OLD_WORKER_STANDIN");
    settings.workerPath = standin != nullptr && *standin != '\0' ? standin : KALMIX_OLD_WORKER_STANDIN;
    try {
        TileEngine engine(width, height, settings);
        Frame out(clip[0].size(), 7);
        engine.setup(testSettings());
        engine.filter(clip[0].data(), out.data(), 0, 1);
        FAIL() << "the old worker was taken";
    } catch (const TileError& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find("the tile worker " + settings.workerPath + " is of another version"), std::string::npos)
            << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
}

// An older installation must not stand in for the build's own worker when
// the build's program runs; an installed program keeps the installed worker.
TEST(TileEngine, AProgramOfTheBuildTreeRunsTheBuildsWorker) {
    TempFolder folder;
    const auto program = [&](const std::string& relative) {
        const std::filesystem::path path = folder.path() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    };
    WorkerSearch search;
    search.installed = program("usr/lib/kalmix/kalmix-tile-worker");
    search.built = program("build/tools/tiles/kalmix-tile-worker");
    search.buildRoot = (folder.path() / "build").string();
    search.folders = {(folder.path() / "build/tools/kalmix").string()};
    EXPECT_EQ(findWorker(search), search.built);
    search.folders = {(folder.path() / "usr/bin").string()};
    EXPECT_EQ(findWorker(search), search.installed);
    // A folder beside the build tree whose name only begins like it is not in it.
    search.folders = {(folder.path() / "build-old/tools/kalmix").string()};
    EXPECT_EQ(findWorker(search), search.installed);
    const std::string beside = program("usr/bin/kalmix-tile-worker");
    search.folders = {(folder.path() / "usr/bin").string()};
    EXPECT_EQ(findWorker(search), beside);
}

// True when pid has ended within `wait` (reaped here).
bool endsWithin(pid_t pid, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return true;
        ::usleep(5000);
    }
    return false;
}

// A reply within `wait`, or kind 0.
protocol::Kind replyWithin(int control, int milliseconds) {
    pollfd watch{control, POLLIN, 0};
    protocol::Reply reply{};
    if (::poll(&watch, 1, milliseconds) != 1 || ::recv(control, &reply, sizeof reply, 0) != sizeof reply) {
        return protocol::Kind{};
    }
    return reply.kind;
}

// One worker started by hand as the engine starts it, with the turns in the
// test's hands: it filters only with a turn, gives it back, and does not
// outlive the engine while it waits for one.
TEST(TileWorker, FiltersOnlyWithATurnAndEndsWhenTheEngineGoesWhileItWaits) {
    constexpr int side = 64;
    TempFolder folder;
    // Above the numbers the worker's descriptors get, as the engine keeps
    // them: a memory descriptor that happened to be 3 would be replaced by the
    // control socket before it was moved to 4.
    const auto high = [](int fd) {
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
        ::close(fd);
        return moved;
    };
    const int memory = high(::memfd_create("tile", MFD_CLOEXEC));
    const int turnsFd = high(::memfd_create("turns", MFD_CLOEXEC));
    ASSERT_EQ(::ftruncate(memory, static_cast<off_t>(2 * frameBytes(side, side))), 0);
    ASSERT_EQ(::ftruncate(turnsFd, sizeof(protocol::Turns)), 0);
    void* mapped = ::mmap(nullptr, sizeof(protocol::Turns), PROT_READ | PROT_WRITE, MAP_SHARED, turnsFd, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* turns = new (mapped) protocol::Turns;
    ASSERT_EQ(::sem_init(&turns->free, 1, 0), 0);  // no turn free
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
    ends[1] = high(ends[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], protocol::CONTROL_FD);
    posix_spawn_file_actions_adddup2(&actions, memory, protocol::MEMORY_FD);
    posix_spawn_file_actions_adddup2(&actions, turnsFd, protocol::TURNS_FD);
    const std::string worker = defaultWorkerPath();
    const std::string module = host::defaultModulePath();
    const std::string size = std::to_string(side);
    std::vector<std::string> arguments{worker, module, size, size};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment{"WINDIR=" + folder.path().string()};
    std::vector<char*> envp{environment[0].data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, worker.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    ASSERT_EQ(replyWithin(ends[0], 10000), protocol::Kind::Ready);

    protocol::Command frame{};
    frame.kind = protocol::Kind::Frame;
    frame.sourceFrame = frame.outputFrame = frame.previousFrame = protocol::NO_FRAME;
    ASSERT_EQ(::send(ends[0], &frame, sizeof frame, 0), static_cast<ssize_t>(sizeof frame));
    EXPECT_EQ(replyWithin(ends[0], 500), protocol::Kind{}) << "filtered without a turn";
    ASSERT_EQ(::sem_post(&turns->free), 0);
    EXPECT_EQ(replyWithin(ends[0], 10000), protocol::Kind::Done);
    int free = -1;
    ASSERT_EQ(::sem_getvalue(&turns->free, &free), 0);
    EXPECT_EQ(free, 1) << "the turn was not given back";
    for (const auto& slot : turns->filtering) EXPECT_EQ(slot.load(), 0) << "a filtering mark stayed";

    ASSERT_EQ(::sem_trywait(&turns->free), 0);  // none free again
    ASSERT_EQ(::send(ends[0], &frame, sizeof frame, 0), static_cast<ssize_t>(sizeof frame));
    ::usleep(100000);
    ::close(ends[0]);  // the engine goes while the worker waits
    const bool ended = endsWithin(pid, std::chrono::milliseconds(3000));
    EXPECT_TRUE(ended) << "the waiting worker outlived its engine";
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::munmap(mapped, sizeof(protocol::Turns));
    ::close(memory);
    ::close(turnsFd);
}

// defaultStateBase() as seen by `user` with no home: no passwd entry and
// neither WINDIR, XDG_STATE_HOME nor HOME. The folder, or "!" and the error.
std::string stateBaseWithoutAHome(uid_t user) {
    int ends[2];
    if (::pipe(ends) != 0) return "!pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        std::string answer;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 || ::setresuid(user, user, user) != 0) {
            answer = "!cannot become the user";
        } else {
            ::unsetenv("WINDIR");
            ::unsetenv("XDG_STATE_HOME");
            ::unsetenv("HOME");
            try {
                answer = defaultStateBase().string();
            } catch (const std::exception& error) {
                answer = std::string("!") + error.what();
            }
        }
        [[maybe_unused]] const auto n = ::write(ends[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(ends[1]);
    std::string answer;
    char buffer[512];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return answer;
}

// Users without a home share /var/tmp: each gets a private folder of their
// own there, so the first one's cannot lock the others out, and a name taken
// by another user (a link, a folder of theirs) is refused, not followed.
TEST(TileEngine, WithoutAHomeEachUserKeepsStateInAPrivateFolderOfTheirOwn) {
    if (::geteuid() != 0) GTEST_SKIP() << "becoming users without a passwd entry needs root";
    std::vector<uid_t> users;
    for (uid_t candidate = 61000 + static_cast<uid_t>(::getpid() % 2000); users.size() < 2; ++candidate) {
        if (::getpwuid(candidate) == nullptr) users.push_back(candidate);
    }
    const auto folderOf = [](uid_t user) { return "/var/tmp/kalmix-" + std::to_string(user); };
    struct Cleanup {
        std::vector<std::string> paths;
        ~Cleanup() {
            std::error_code ignored;
            for (const auto& path : paths) std::filesystem::remove_all(path, ignored);
        }
    } cleanup{{folderOf(users[0]), folderOf(users[1])}};

    std::vector<std::string> bases;
    for (uid_t user : users) {
        const std::string base = stateBaseWithoutAHome(user);
        ASSERT_EQ(base.rfind("/var/tmp/", 0), 0u) << base;
        struct stat info {};
        ASSERT_EQ(::lstat(base.c_str(), &info), 0) << base;
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << base;
        EXPECT_EQ(info.st_uid, user) << base;
        EXPECT_EQ(info.st_mode & 07777, 0700u) << base;
        bases.push_back(base);
    }
    EXPECT_NE(bases[0], bases[1]);

    // The second user's name taken: by a link to a folder of theirs, then by
    // the first user's folder. Neither is used, and the linked folder keeps its mode.
    TempFolder elsewhere;
    ASSERT_EQ(::chown(elsewhere.path().c_str(), users[1], users[1]), 0);
    ASSERT_EQ(::chmod(elsewhere.path().c_str(), 0755), 0);
    std::filesystem::remove_all(bases[1]);
    std::filesystem::create_directory_symlink(elsewhere.path(), bases[1]);
    std::string refused = stateBaseWithoutAHome(users[1]);
    EXPECT_EQ(refused.rfind("!", 0), 0u) << refused;
    EXPECT_NE(refused.find(bases[1]), std::string::npos) << refused;
    struct stat info {};
    ASSERT_EQ(::stat(elsewhere.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));

    std::filesystem::remove(bases[1]);
    std::filesystem::create_directory(bases[1]);
    ASSERT_EQ(::chown(bases[1].c_str(), users[0], users[0]), 0);
    refused = stateBaseWithoutAHome(users[1]);
    EXPECT_EQ(refused.rfind("!", 0), 0u) << refused;
}

}  // namespace
}  // namespace kalmix::tiles
