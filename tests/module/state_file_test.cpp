// The state file under the conditions of a real machine: several host
// processes saving into one Windows directory at once, a host killed
// mid-save, links planted by another user, and hostile files to resume from.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include "module_fixture.h"

namespace kalmix::testing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr int W = 64;
constexpr int H = 48;
constexpr std::size_t STATE_SIZE = 829456;
constexpr std::size_t TIME_FIELD = 12;

Bytes readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Loads the module, runs one frame that starts a sequence, and unloads it:
// one save. Returns false if the module cannot be loaded.
bool oneSave(int seed, std::int32_t position, std::int32_t clipTotal) {
    std::string error;
    auto module = host::PluginModule::load(host::defaultModulePath(), error);
    if (!module) return false;
    const Frame source = syntheticFrame(W, H, 0, static_cast<std::uint32_t>(seed));
    Frame destination(source.size());
    module->execute(source.data(), destination.data(), W, H, position, clipTotal);
    return true;  // the unload saves
}

std::vector<std::string> temporaryFiles(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name != "KALMIX_STAT.bin") names.push_back(name);
    }
    return names;
}

// The file without its time field.
Bytes timeless(Bytes bytes) {
    if (bytes.size() >= 16) std::fill_n(bytes.begin() + TIME_FIELD, 4, 0);
    return bytes;
}

class StateFile : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        standin::setMessageSink([this](const std::string& caption, const std::string& text) {
            messages.push_back(caption + ": " + text);
        });
    }
    void TearDown() override {
        standin::reset();
        EXPECT_TRUE(messages.empty()) << messages.front();
    }
    // What one process saves for `seed`, position and clip total, without
    // its time: made alone, in a directory of its own.
    Bytes expectedState(int seed, std::int32_t position, std::int32_t clipTotal) {
        Bytes state;
        {
            PrivateWindowsDirectory alone;
            EXPECT_TRUE(oneSave(seed, position, clipTotal));
            state = readAll(alone.statePath());
        }
        setenv("WINDIR", directory.path().c_str(), 1);
        return timeless(state);
    }

    PrivateWindowsDirectory directory;
    std::vector<std::string> messages;
};

TEST_F(StateFile, ConcurrentSavesLeaveExactlyOneProcesssState) {
    constexpr int PROCESSES = 8;
    constexpr int ROUNDS = 30;
    constexpr std::int32_t FIRST = 1000;
    constexpr std::int32_t STEP = 100;  // never within the resume window
    std::array<Bytes, PROCESSES> expected;
    for (int p = 0; p < PROCESSES; ++p) expected[p] = expectedState(p, FIRST, 100 + p);
    ASSERT_EQ(expected[0].size(), STATE_SIZE);
    ASSERT_NE(expected[0], expected[1]);

    // Each process saves once per round, all together; between rounds the
    // file is examined.
    std::array<std::array<int, 2>, PROCESSES> go{};
    std::array<int, 2> done{};
    ASSERT_EQ(pipe(done.data()), 0);
    std::array<pid_t, PROCESSES> children{};
    for (int p = 0; p < PROCESSES; ++p) {
        ASSERT_EQ(pipe(go[p].data()), 0);
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            char token = 0;
            for (int r = 0; r < ROUNDS && read(go[p][0], &token, 1) == 1; ++r) {
                token = oneSave(p, FIRST + r * STEP, 100 + p) ? 'y' : 'n';
                if (write(done[1], &token, 1) != 1) break;
            }
            _exit(0);
        }
    }
    int torn = 0;
    int failedSaves = 0;
    for (int r = 0; r < ROUNDS; ++r) {
        for (int p = 0; p < PROCESSES; ++p) ASSERT_EQ(write(go[p][1], "g", 1), 1);
        for (int p = 0; p < PROCESSES; ++p) {
            char token = 0;
            ASSERT_EQ(read(done[0], &token, 1), 1);
            failedSaves += token == 'y' ? 0 : 1;
        }
        Bytes state = timeless(readAll(directory.statePath()));
        // The one process whose state this should be, by its clip total.
        const std::int32_t p = state.size() >= 16 ? readInt32(state, 8) - 100 : -1;
        if (p < 0 || p >= PROCESSES) {
            ++torn;
            continue;
        }
        Bytes wanted = expected[p];
        const std::int32_t position = FIRST + r * STEP;
        for (int i = 0; i < 4; ++i) wanted[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(position >> (8 * i));
        torn += state == wanted ? 0 : 1;
    }
    for (int p = 0; p < PROCESSES; ++p) {
        int status = 0;
        waitpid(children[p], &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failedSaves, 0);
    EXPECT_EQ(torn, 0) << "rounds whose file was no single process's state";
    EXPECT_EQ(temporaryFiles(directory.path()), std::vector<std::string>{});
    RecordProperty("concurrent_rounds", ROUNDS);
}

TEST_F(StateFile, AKillDuringASaveKeepsThePreviousFileAndTheNextSaveClearsUp) {
    const Bytes expected = expectedState(3, 50, 9);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (;;) oneSave(3, 50, 9);
        }
        // Wait for a complete file, then for a save in flight, and kill it there.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!fs::exists(directory.statePath()) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        while (temporaryFiles(directory.path()).empty() && std::chrono::steady_clock::now() < deadline) {
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_EQ(timeless(readAll(directory.statePath())), expected) << "the previous file was damaged";

        ASSERT_TRUE(oneSave(3, 50, 9));
        EXPECT_EQ(temporaryFiles(directory.path()), std::vector<std::string>{})
            << "the killed save's temporary file outlived the next save";
        EXPECT_EQ(timeless(readAll(directory.statePath())), expected);
    }
}

TEST_F(StateFile, PlantedLinksAreNotFollowedAndTheFileIsPrivate) {
    const fs::path victim = directory.path() / "victim";
    writeAll(victim, Bytes{'k', 'e', 'e', 'p'});
    // The temporary name earlier versions used, and the file's own name.
    fs::create_symlink(victim, directory.path() / "KALMIX_STAT.bin.tmp");
    fs::create_symlink(victim, directory.statePath());
    ASSERT_TRUE(oneSave(1, 5, 5));
    EXPECT_EQ(readAll(victim), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(fs::is_symlink(directory.statePath())) << "the link's target was written";
    EXPECT_EQ(readAll(directory.statePath()).size(), STATE_SIZE);
    struct stat info {};
    ASSERT_EQ(stat(directory.statePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(StateFile, WithoutWindirTheFileLivesInThePrivateStateDirectory) {
    const char* previous = std::getenv("XDG_STATE_HOME");
    const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    const fs::path stateHome = directory.path() / "state";
    unsetenv("WINDIR");
    setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
    const bool savedOnce = oneSave(1, 5, 5);
    if (saved) {
        setenv("XDG_STATE_HOME", saved->c_str(), 1);
    } else {
        unsetenv("XDG_STATE_HOME");
    }
    setenv("WINDIR", directory.path().c_str(), 1);
    ASSERT_TRUE(savedOnce);
    struct stat info {};
    ASSERT_EQ(stat((stateHome / "kalmix").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((stateHome / "kalmix" / "KALMIX_STAT.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(static_cast<std::size_t>(info.st_size), STATE_SIZE);
}

TEST_F(StateFile, HostileFilesResumeOrStartAfreshWithoutReadingPastTheirEnd) {
    // Headers that pass the resume test for frame 11 of clip 40, followed by
    // bodies of every awkward length: short ones start afresh, whole ones
    // (extra bytes ignored) resume. The sanitizer build checks the reads.
    std::mt19937 random(7);
    const Frame source = syntheticFrame(W, H, 11, 2);
    const auto runFrame11 = [&](const std::optional<Bytes>& file) {
        if (file) {
            writeAll(directory.statePath(), *file);
        } else {
            fs::remove(directory.statePath());
        }
        std::string error;
        auto module = host::PluginModule::load(host::defaultModulePath(), error);
        EXPECT_NE(module, nullptr) << error;
        Frame destination(source.size());
        module->execute(source.data(), destination.data(), W, H, 11, 40);
        module.reset();
        return std::pair{destination, readInt32(readAll(directory.statePath()), 4)};
    };
    const auto [fresh, freshCount] = runFrame11(std::nullopt);
    for (const std::size_t length : {std::size_t{16}, std::size_t{17}, std::size_t{331792}, STATE_SIZE - 1, STATE_SIZE,
                                     STATE_SIZE + 1, STATE_SIZE + 4096}) {
        Bytes file(length);
        for (auto& byte : file) byte = static_cast<std::uint8_t>(random());
        const auto now = static_cast<std::uint32_t>(std::time(nullptr));
        const std::uint32_t header[4] = {10, 1000, 40, now};
        for (std::size_t i = 0; i < 16; ++i) file[i] = static_cast<std::uint8_t>(header[i / 4] >> (8 * (i % 4)));
        const auto [output, count] = runFrame11(file);
        if (length < STATE_SIZE) {
            EXPECT_EQ(output, fresh) << length << " bytes: a short file starts afresh";
            EXPECT_EQ(count, freshCount) << length;
        } else {
            EXPECT_EQ(count, 1001) << length << " bytes: a whole file resumes";
        }
    }
    // Headers that fail the test, and files too short for a header.
    for (const std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{15}, STATE_SIZE}) {
        Bytes file(length, 0xFF);
        const auto [output, count] = runFrame11(file);
        EXPECT_EQ(output, fresh) << length;
        EXPECT_EQ(count, freshCount) << length;
    }
}

// The transition hold works only up to where the block map and its history
// hold non-zero entries. A loaded history has them far beyond this clip's
// blocks (a larger clip saved it), and those are held and saved again; a
// smaller clip started afterwards in the same process finds stale entries of
// the larger one. The plain level holds the whole capacity: the level this
// run selects (KALMIX_CPU) must write the same frames and the same file.
TEST_F(StateFile, AHistoryBeyondTheClipsBlocksIsHeldAndSavedAsThePlainLevelDoes) {
    ASSERT_TRUE(oneSave(3, 10, 40));
    Bytes loaded = readAll(directory.statePath());
    ASSERT_EQ(loaded.size(), STATE_SIZE);
    std::mt19937 random(11);
    constexpr std::size_t HISTORY_AT = 663568;
    for (std::size_t i = HISTORY_AT; i < STATE_SIZE; ++i) loaded[i] = (random() % 5 == 0) ? 1 : 0;

    const char* chosen = std::getenv("KALMIX_CPU");
    const std::optional<std::string> selected = chosen != nullptr ? std::optional<std::string>(chosen) : std::nullopt;
    const auto runAt = [&](const std::optional<std::string>& level) {
        if (level) {
            setenv("KALMIX_CPU", level->c_str(), 1);
        } else {
            unsetenv("KALMIX_CPU");
        }
        writeAll(directory.statePath(), loaded);
        std::vector<Frame> frames;
        {
            std::string error;
            auto module = host::PluginModule::load(host::defaultModulePath(), error);
            EXPECT_NE(module, nullptr) << error;
            if (!module) return std::pair{frames, Bytes{}};
            // Resumes frame 11 of the saved clip, then a smaller clip from its start.
            for (std::int32_t position = 11; position < 15; ++position) {
                const Frame source = syntheticFrame(W, H, position, 5);
                Frame destination(source.size());
                module->execute(source.data(), destination.data(), W, H, position, 40);
                frames.push_back(destination);
            }
            for (std::int32_t position = 0; position < 4; ++position) {
                const Frame source = syntheticFrame(W / 2, H / 4, position, 6);
                Frame destination(source.size());
                module->execute(source.data(), destination.data(), W / 2, H / 4, position, 9);
                frames.push_back(destination);
            }
        }
        return std::pair{frames, timeless(readAll(directory.statePath()))};
    };
    const auto plain = runAt(std::string("c"));
    const auto fast = runAt(selected);
    if (selected) {
        setenv("KALMIX_CPU", selected->c_str(), 1);
    } else {
        unsetenv("KALMIX_CPU");
    }
    ASSERT_EQ(plain.first.size(), fast.first.size());
    for (std::size_t i = 0; i < plain.first.size(); ++i) EXPECT_EQ(plain.first[i], fast.first[i]) << "frame " << i;
    EXPECT_TRUE(plain.second == fast.second) << "the saved state differs";
    // The stale entries beyond both clips' blocks were held, not dropped.
    EXPECT_FALSE(std::all_of(plain.second.begin() + HISTORY_AT + 1000, plain.second.begin() + HISTORY_AT + 20736,
                             [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace kalmix::testing
