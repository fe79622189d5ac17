// kalmix on frames the module does not take whole: through the tile engine by
// default, byte for byte what the engine gives; and the faults of a tiled
// run: a worker killed, kalmix killed, Ctrl-C.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tool_test_support.h"
#include "tools/tiles/tile_engine.h"

extern char** environ;

namespace kalmix::tool::test {
namespace {

constexpr int W = 402;  // 2 x 2 tiles, a side not a multiple of 4
constexpr int H = 290;
constexpr int FRAMES = 4;

std::vector<pid_t> childrenOf(pid_t pid) {
    std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> children;
    for (pid_t child = 0; list >> child;) children.push_back(child);
    return children;
}

bool gone(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status) return true;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("State:", 0) == 0) return line.find('Z') != std::string::npos;  // a zombie is gone
    }
    return true;
}

bool allGoneWithin(const std::vector<pid_t>& pids, std::chrono::seconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        bool all = true;
        for (pid_t pid : pids) all = all && gone(pid);
        if (all) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// kalmix reading raw frames from a pipe that the test feeds, so that a run
// can be caught in the middle.
class PipedRun {
public:
    PipedRun(const std::vector<std::string>& args, const std::string& errPath) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all{KALMIX_TOOL_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, KALMIX_TOOL_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("spawn");
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[0]);
        feed_ = ends[1];
    }
    ~PipedRun() {
        closeInput();
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool write(const Bytes& bytes) {
        ::signal(SIGPIPE, SIG_IGN);
        return ::write(feed_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    void closeInput() {
        if (feed_ >= 0) ::close(feed_);
        feed_ = -1;
    }
    // The workers, once all `count` are there.
    std::vector<pid_t> workers(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::vector<pid_t> children = childrenOf(pid_);
            if (children.size() >= count) return children;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int feed_ = -1;
};

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TiledRun : public ::testing::Test {
protected:
    void SetUp() override {
        freshStateDirectory();
        clip = makeClip(W, H, FRAMES, 3);
        writeFile(dir / "in.raw", clip);
    }
    Bytes frame(int index) const {
        const auto bytes = static_cast<std::ptrdiff_t>(tiles::frameBytes(W, H));
        return Bytes(clip.begin() + index * bytes, clip.begin() + (index + 1) * bytes);
    }
    ScratchDir dir;
    ScratchDir out;
    Bytes clip;
};

TEST_F(TiledRun, LargerFramesAreFilteredThroughTheTiles) {
    const RunResult run = runKalmix({"--raw", "402x290", dir / "in.raw", "-o", out / "out.raw", "--threads", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;  // no pass-through note
    EXPECT_NE(run.err.find("4 frames filtered in 4 tiles by 4 workers, 2 at a time, 0 passed through"),
              std::string::npos)
        << run.err;
    // The tiles' state folders, and every folder made on the way to them,
    // are the user's alone, as the module's own state directory is.
    const std::filesystem::path tilesFolder = std::string(std::getenv("WINDIR")) + "/tiles";
    ASSERT_TRUE(std::filesystem::is_directory(tilesFolder));
    EXPECT_EQ(std::filesystem::status(tilesFolder).permissions(), std::filesystem::perms::owner_all);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tilesFolder)) {
        if (entry.is_directory()) {
            EXPECT_EQ(entry.status().permissions(), std::filesystem::perms::owner_all) << entry.path();
        }
    }

    // The engine, driven directly, with the tool's defaults.
    ScratchDir state;
    tiles::EngineSettings settings;
    settings.modulePath = host::defaultModulePath();
    settings.stateFolder = state.path();
    tiles::TileEngine engine(W, H, settings);
    engine.setup(host::UserSettings{});
    Bytes expected;
    for (int f = 0; f < FRAMES; ++f) {
        Bytes filtered(tiles::frameBytes(W, H));
        engine.filter(frame(f).data(), filtered.data(), f, FRAMES);
        expected.insert(expected.end(), filtered.begin(), filtered.end());
    }
    EXPECT_EQ(readFile(out / "out.raw"), expected);
    EXPECT_NE(expected, clip);
}

TEST_F(TiledRun, AKilledWorkerFailsTheRunNamingItsTile) {
    const std::string errPath = dir / "err.txt";
    PipedRun run({"--raw", "402x290", "-", "-o", out / "out.raw"}, errPath);
    ASSERT_TRUE(run.write(frame(0)));
    const std::vector<pid_t> workers = run.workers(4);
    ASSERT_EQ(workers.size(), 4u);
    ASSERT_EQ(::kill(workers[2], SIGKILL), 0);
    run.write(frame(1));
    run.write(frame(2));
    run.closeInput();
    EXPECT_EQ(run.wait(), 1);
    const std::string err = readText(errPath);
    EXPECT_NE(err.find("kalmix: tile 3 of 4 (columns 0-"), std::string::npos) << err;
    EXPECT_NE(err.find("died while filtering: killed by signal 9"), std::string::npos) << err;
    EXPECT_TRUE(out.list().empty()) << "half-written output left";
    EXPECT_TRUE(allGoneWithin(workers, std::chrono::seconds(5)));
}

TEST_F(TiledRun, WorkersEndWhenKalmixIsKilledOrInterrupted) {
    for (const int signal : {SIGKILL, SIGINT}) {
        SCOPED_TRACE(signal);
        for (const std::string& name : out.list()) std::filesystem::remove(out / name);  // a killed run's part file
        const std::string errPath = dir / "err.txt";
        PipedRun run({"--raw", "402x290", "-", "-o", out / "out.raw"}, errPath);
        ASSERT_TRUE(run.write(frame(0)));
        const std::vector<pid_t> workers = run.workers(4);
        ASSERT_EQ(workers.size(), 4u);
        ASSERT_EQ(::kill(run.pid(), signal), 0);
        const int status = run.wait();
        EXPECT_EQ(status, signal == SIGINT ? EXIT_INTERRUPTED : 128 + SIGKILL);
        EXPECT_TRUE(allGoneWithin(workers, std::chrono::seconds(5))) << "orphan workers";
        if (signal == SIGINT) {
            EXPECT_TRUE(out.list().empty()) << "output left after Ctrl-C";
        }
    }
}

}  // namespace
}  // namespace kalmix::tool::test
