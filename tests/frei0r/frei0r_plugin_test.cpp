// Loads kalmix.so as a frei0r host does and checks that it hands frames to
// Kalmix.PRM exactly as the host library does when driving the module directly.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/module_fixture.h"
#include "tools/host/plugin_host.h"
#include "tools/tiles/tile_engine.h"

extern "C" {
#include <frei0r.h>
}

// Allocations of at least this many bytes fail while it is not 0, in the
// plug-in as anywhere else in this process: the executable's operator new
// takes the place of the C++ library's for every library it loads. Not under
// AddressSanitizer, whose own operator new must pair with its delete.
static std::atomic<std::size_t> failAllocationsFrom{0};
#if defined(__SANITIZE_ADDRESS__)
constexpr bool ALLOCATIONS_CAN_FAIL = false;
#else
constexpr bool ALLOCATIONS_CAN_FAIL = true;

void* operator new(std::size_t size) {
    const std::size_t from = failAllocationsFrom.load();
    if (from != 0 && size >= from) throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
// Out of line: inlined into a delete expression, free draws GCC's mismatch warning.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

namespace fs = std::filesystem;
using kalmix::host::PluginModule;
using kalmix::host::UserSettings;
using kalmix::testing::Frame;
using kalmix::testing::syntheticFrame;
using Clip = std::vector<Frame>;

constexpr int WIDTH = 64;
constexpr int HEIGHT = 48;
constexpr int CLIP_LENGTH = 8;
constexpr double FRAME_DURATION = 1.0 / 25;  // the times a 25 fps host passes

double timeOf(std::size_t index) { return static_cast<double>(index) * FRAME_DURATION; }

// The plug-in's functions, looked up by name as a frei0r host does.
struct Frei0rPlugin {
    void* library = nullptr;
    int (*init)() = nullptr;
    void (*deinit)() = nullptr;
    void (*getPluginInfo)(f0r_plugin_info_t*) = nullptr;
    void (*getParamInfo)(f0r_param_info_t*, int) = nullptr;
    f0r_instance_t (*construct)(unsigned, unsigned) = nullptr;
    void (*destruct)(f0r_instance_t) = nullptr;
    void (*setParam)(f0r_instance_t, f0r_param_t, int) = nullptr;
    void (*getParam)(f0r_instance_t, f0r_param_t, int) = nullptr;
    void (*update)(f0r_instance_t, double, const std::uint32_t*, std::uint32_t*) = nullptr;

    explicit Frei0rPlugin(const std::string& path) {
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return;
        bind(init, "f0r_init");
        bind(deinit, "f0r_deinit");
        bind(getPluginInfo, "f0r_get_plugin_info");
        bind(getParamInfo, "f0r_get_param_info");
        bind(construct, "f0r_construct");
        bind(destruct, "f0r_destruct");
        bind(setParam, "f0r_set_param_value");
        bind(getParam, "f0r_get_param_value");
        bind(update, "f0r_update");
    }
    ~Frei0rPlugin() {
        if (library != nullptr) dlclose(library);
    }
    Frei0rPlugin(const Frei0rPlugin&) = delete;
    Frei0rPlugin& operator=(const Frei0rPlugin&) = delete;
    bool complete() const { return library != nullptr && update != nullptr && init != nullptr; }

    template <typename Function>
    void bind(Function& function, const char* name) {
        void* symbol = dlsym(library, name);
        std::memcpy(&function, &symbol, sizeof(function));
    }

    void set(f0r_instance_t instance, int index, double value) {
        setParam(instance, &value, index);
    }
    double get(f0r_instance_t instance, int index) {
        double value = -1;
        getParam(instance, &value, index);
        return value;
    }
    // The frei0r values that stand for the settings: level / maximum.
    void apply(f0r_instance_t instance, const UserSettings& settings) {
        set(instance, 0, settings.primaryLevel / 10.0);
        set(instance, 1, settings.secondaryLevel / 10.0);
        set(instance, 2, settings.enhancedSuppression ? 1.0 : 0.0);
        set(instance, 3, settings.transitionFrames / 7.0);
    }
    Frame update1(f0r_instance_t instance, const Frame& in, double time) {
        Frame out(in.size(), 0);
        update(instance, time, reinterpret_cast<const std::uint32_t*>(in.data()),
               reinterpret_cast<std::uint32_t*>(out.data()));
        return out;
    }
};

Clip makeClip(int width, int height, int length, std::uint32_t seed = 7) {
    Clip clip;
    for (int i = 0; i < length; ++i) clip.push_back(syntheticFrame(width, height, i, seed));
    return clip;
}

// Index of the first frame that differs, or -1.
int firstDifference(const Clip& a, const Clip& b) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return static_cast<int>(i);
    }
    return -1;
}

class Frei0rTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("KALMIX_MODULE");
        // The reference runs use a copy of the module, so that they get a
        // module state of their own beside the plug-in's loaded module.
        fs::create_directory(directory() / "reference");
        fs::copy_file(KALMIX_MODULE_BUILD_PATH, referenceModule());
        openPlugin(KALMIX_FREI0R_PLUGIN);
    }
    void TearDown() override {
        closePlugin();  // unloading writes the state file into the Windows directory
        unsetenv("KALMIX_MODULE");
    }

    void openPlugin(const std::string& path) {
        plugin_ = std::make_unique<Frei0rPlugin>(path);
        ASSERT_TRUE(plugin_->complete()) << dlerror();
        initResult_ = plugin_->init();
    }
    // The plug-in loaded again with the wait limit `ms` (read at f0r_init).
    void reopenWithWaitLimit(const char* ms) {
        closePlugin();
        setenv("KALMIX_FREI0R_WAIT_MS", ms, 1);
        openPlugin(KALMIX_FREI0R_PLUGIN);
        unsetenv("KALMIX_FREI0R_WAIT_MS");
    }
    void closePlugin() {
        if (plugin_ == nullptr) return;
        for (f0r_instance_t instance : instances_) plugin_->destruct(instance);
        instances_.clear();
        plugin_->deinit();
        plugin_.reset();
    }

    void destructAll() {
        for (f0r_instance_t instance : instances_) plugin_->destruct(instance);
        instances_.clear();
    }
    f0r_instance_t construct(int width = WIDTH, int height = HEIGHT) {
        f0r_instance_t instance =
            plugin_->construct(static_cast<unsigned>(width), static_cast<unsigned>(height));
        if (instance != nullptr) instances_.push_back(instance);
        return instance;
    }

    Clip runPlugin(f0r_instance_t instance, const Clip& clip, std::size_t from = 0,
                   std::size_t to = std::numeric_limits<std::size_t>::max()) {
        Clip out;
        for (std::size_t i = from; i < std::min(to, clip.size()); ++i) {
            out.push_back(plugin_->update1(instance, clip[i], timeOf(i)));
        }
        return out;
    }

    // The module driven directly: one setup call with the settings, then
    // frames [from, to) of the clip at their positions, clip total 0. No state
    // file is left before or after, so neither path can resume from the other.
    Clip runDirect(const UserSettings& settings, const Clip& clip, std::size_t from = 0,
                   std::size_t to = std::numeric_limits<std::size_t>::max()) {
        Clip frames;
        std::vector<std::int32_t> positions;
        for (std::size_t i = from; i < std::min(to, clip.size()); ++i) {
            frames.push_back(clip[i]);
            positions.push_back(static_cast<std::int32_t>(i));
        }
        return runDirectAt(settings, frames, positions);
    }
    // The same with the positions given frame by frame.
    Clip runDirectAt(const UserSettings& settings, const Clip& frames,
                     const std::vector<std::int32_t>& positions) {
        fs::remove(statePath());
        std::string error;
        auto module = PluginModule::load(referenceModule(), error);
        EXPECT_NE(module, nullptr) << error;
        if (module == nullptr) return {};
        EXPECT_EQ(module->setup(settings), 0);
        Clip out;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            Frame frame(frames[i].size(), 0);
            module->execute(frames[i].data(), frame.data(), WIDTH, HEIGHT, positions[i], 0);
            out.push_back(frame);
        }
        module.reset();
        fs::remove(statePath());
        return out;
    }

    std::string referenceModule() const { return directory() / "reference" / "Kalmix.PRM"; }
    fs::path statePath() const { return windows_.statePath(); }
    const fs::path& directory() const { return windows_.path(); }

    // Declared before the plug-in, so it outlives the module loaded through it.
    kalmix::testing::PrivateWindowsDirectory windows_;
    std::unique_ptr<Frei0rPlugin> plugin_;
    int initResult_ = 0;

private:
    std::vector<f0r_instance_t> instances_;
};

// --- What a host reads before it uses the plug-in ---

TEST_F(Frei0rTest, DescribesABgraFilterWithFourParameters) {
    EXPECT_EQ(initResult_, 1);
    f0r_plugin_info_t info{};
    plugin_->getPluginInfo(&info);
    EXPECT_STREQ(info.name, "kalmix");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_BGRA8888);
    EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
    EXPECT_EQ(info.num_params, 4);
    ASSERT_NE(info.explanation, nullptr);
    EXPECT_GT(std::strlen(info.explanation), 0u);

    const struct {
        const char* name;
        int type;
    } expected[] = {{"primary level", F0R_PARAM_DOUBLE},
                    {"secondary level", F0R_PARAM_DOUBLE},
                    {"enhanced noise suppression", F0R_PARAM_BOOL},
                    {"transition frames", F0R_PARAM_DOUBLE}};
    for (int i = 0; i < 4; ++i) {
        f0r_param_info_t param{};
        plugin_->getParamInfo(&param, i);
        EXPECT_STREQ(param.name, expected[i].name) << i;
        EXPECT_EQ(param.type, expected[i].type) << i;
        EXPECT_NE(param.explanation, nullptr) << i;
    }
}

TEST_F(Frei0rTest, ParametersStartAtTheDefaultsAndRoundToTheNearestLevel) {
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 0), 0.5);
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 1), 0.5);
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 2), 1.0);
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 3), 2.0 / 7.0);

    plugin_->set(instance, 0, 0.74);  // 7.4 -> 7
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 0), 0.7);
    plugin_->set(instance, 0, 0.76);  // 7.6 -> 8
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 0), 0.8);
    plugin_->set(instance, 1, -3.0);  // clamped
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 1), 0.0);
    plugin_->set(instance, 1, 5.0);
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 1), 1.0);
    plugin_->set(instance, 1, std::nan(""));  // ignored
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 1), 1.0);
    plugin_->set(instance, 2, 0.49);  // frei0r's boolean: true from 0.5
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 2), 0.0);
    plugin_->set(instance, 2, 0.5);
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 2), 1.0);
    plugin_->set(instance, 3, 0.2857);  // the README's ffmpeg example: 2
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 3), 2.0 / 7.0);
    plugin_->set(instance, 3, 1.0);
    EXPECT_DOUBLE_EQ(plugin_->get(instance, 3), 1.0);
}

// --- Frames: the same bytes as the module driven directly ---

class Frei0rClipTest : public Frei0rTest, public ::testing::WithParamInterface<UserSettings> {};

TEST_P(Frei0rClipTest, ClipMatchesTheModuleDrivenDirectly) {
    const Clip clip = makeClip(WIDTH, HEIGHT, CLIP_LENGTH);
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    plugin_->apply(instance, GetParam());
    const Clip filtered = runPlugin(instance, clip);
    closePlugin();  // the plug-in's state file must not reach the reference run
    const Clip expected = runDirect(GetParam(), clip);
    EXPECT_EQ(firstDifference(filtered, expected), -1);
    // The filter did something, so equality is not two copies of the input.
    EXPECT_NE(firstDifference(filtered, clip), -1);
}

INSTANTIATE_TEST_SUITE_P(Settings, Frei0rClipTest,
                         ::testing::Values(UserSettings{}, UserSettings{8, 8, false, 4, 5},
                                           UserSettings{0, 0, true, 0, 5},
                                           UserSettings{10, 10, false, 7, 5}));

TEST_F(Frei0rTest, InPlaceUpdateGivesTheSameFrames) {
    const Clip clip = makeClip(WIDTH, HEIGHT, CLIP_LENGTH);
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    Clip inPlace;
    for (std::size_t i = 0; i < clip.size(); ++i) {
        Frame buffer = clip[i];
        plugin_->update(instance, timeOf(i), reinterpret_cast<const std::uint32_t*>(buffer.data()),
                        reinterpret_cast<std::uint32_t*>(buffer.data()));
        inPlace.push_back(buffer);
    }
    closePlugin();
    EXPECT_EQ(firstDifference(inPlace, runDirect(UserSettings{}, clip)), -1);
}

// frei0r has no error channel, and an exception must not reach the host's C
// code: a frame whose filtering runs out of memory comes back as it went in.
TEST_F(Frei0rTest, AFrameThatRunsOutOfMemoryPassesThrough) {
    if (!ALLOCATIONS_CAN_FAIL) GTEST_SKIP() << "allocations cannot be made to fail under AddressSanitizer";
    const Clip clip = makeClip(WIDTH, HEIGHT, 2);
    const std::size_t frameBytes = static_cast<std::size_t>(WIDTH) * HEIGHT * 4;
    for (const std::size_t failFrom : {std::size_t{1}, frameBytes}) {
        SCOPED_TRACE(failFrom);
        destructAll();
        f0r_instance_t instance = construct();
        ASSERT_NE(instance, nullptr);
        Frame out(clip[0].size(), 0);
        failAllocationsFrom = failFrom;
        EXPECT_NO_THROW(plugin_->update(instance, timeOf(0), reinterpret_cast<const std::uint32_t*>(clip[0].data()),
                                        reinterpret_cast<std::uint32_t*>(out.data())));
        failAllocationsFrom = 0;
        EXPECT_EQ(out, clip[0]);
        // The instance goes on.
        EXPECT_NO_THROW(plugin_->update1(instance, clip[1], timeOf(1)));
    }
}

// --- Parameter changes, as MLT makes them: values set before every frame ---

TEST_F(Frei0rTest, ChangedParameterRestartsTheSequenceUnderTheNewSettings) {
    const Clip clip = makeClip(WIDTH, HEIGHT, CLIP_LENGTH);
    const UserSettings before{}, after{9, 2, false, 5, 5};
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    Clip filtered = runPlugin(instance, clip, 0, 4);
    plugin_->apply(instance, after);
    const Clip changed = runPlugin(instance, clip, 4);
    filtered.insert(filtered.end(), changed.begin(), changed.end());
    closePlugin();

    Clip expected = runDirect(before, clip, 0, 4);
    const Clip restarted = runDirect(after, clip, 4);  // positions 4.., a fresh sequence
    expected.insert(expected.end(), restarted.begin(), restarted.end());
    EXPECT_EQ(firstDifference(filtered, expected), -1);
    EXPECT_NE(firstDifference(filtered, runDirect(before, clip)), -1);
}

TEST_F(Frei0rTest, SettingUnchangedValuesKeepsTheSequenceRunning) {
    const Clip clip = makeClip(WIDTH, HEIGHT, CLIP_LENGTH);
    const UserSettings settings{7, 3, true, 3, 5};
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    Clip filtered;
    for (std::size_t i = 0; i < clip.size(); ++i) {
        plugin_->apply(instance, settings);
        plugin_->set(instance, 0, 0.71);  // still level 7
        filtered.push_back(plugin_->update1(instance, clip[i], timeOf(i)));
    }
    closePlugin();
    // A setup call before every frame would start afresh every frame.
    EXPECT_EQ(firstDifference(filtered, runDirect(settings, clip)), -1);
}

// --- Positions from the host's times, and the order of filtering ---

// Render threads as MLT's parallel rendering makes them: each thread has an
// instance of its own, frame i goes to thread i % threads, threads start in
// reverse order and pause at random before each frame, so frames reach the
// plug-in out of order and at once.
Clip renderOnThreads(Frei0rPlugin& plugin, const UserSettings& settings, const Clip& clip,
                     int threads, std::uint32_t seed) {
    Clip out(clip.size(), Frame(clip.front().size(), 0));
    std::vector<std::thread> workers;
    for (int t = threads - 1; t >= 0; --t) {
        workers.emplace_back([&, t] {
            f0r_instance_t instance = plugin.construct(WIDTH, HEIGHT);
            ASSERT_NE(instance, nullptr);
            plugin.apply(instance, settings);
            std::mt19937 random(seed + static_cast<std::uint32_t>(t));
            std::uniform_int_distribution<int> pause(0, 3000);
            for (std::size_t i = static_cast<std::size_t>(t); i < clip.size();
                 i += static_cast<std::size_t>(threads)) {
                std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
                plugin.update(instance, timeOf(i),
                              reinterpret_cast<const std::uint32_t*>(clip[i].data()),
                              reinterpret_cast<std::uint32_t*>(out[i].data()));
            }
            plugin.destruct(instance);
        });
    }
    for (std::thread& worker : workers) worker.join();
    return out;
}

TEST_F(Frei0rTest, FramesFromSeveralThreadsGiveTheSerialBytes) {
    const Clip clip = makeClip(WIDTH, HEIGHT, 40);
    const UserSettings settings{7, 5, true, 2, 5};
    std::vector<Clip> runs;
    for (std::uint32_t run = 0; run < 3; ++run) {
        // Each run's instances are gone at its end, so the next starts afresh.
        runs.push_back(renderOnThreads(*plugin_, settings, clip, 4, 11 * run + 1));
    }
    closePlugin();
    const Clip serial = runDirect(settings, clip);
    for (const Clip& run : runs) EXPECT_EQ(firstDifference(run, serial), -1);
}

TEST_F(Frei0rTest, TheSameFrameAgainGivesTheSameOutput) {
    // MLT renders the first frame twice and the last until its threads stop.
    const Clip clip = makeClip(WIDTH, HEIGHT, CLIP_LENGTH);
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    Clip filtered;
    for (std::size_t i = 0; i < clip.size(); ++i) {
        filtered.push_back(plugin_->update1(instance, clip[i], timeOf(i)));
        EXPECT_EQ(plugin_->update1(instance, clip[i], timeOf(i)), filtered.back()) << i;
    }
    // The same time with other pixels is filtered: a jump of no frames, afresh.
    const Frame other = plugin_->update1(instance, clip[0], timeOf(clip.size() - 1));
    closePlugin();
    EXPECT_EQ(firstDifference(filtered, runDirect(UserSettings{}, clip)), -1);
    const std::int32_t last = static_cast<std::int32_t>(clip.size()) - 1;
    EXPECT_EQ(runDirectAt(UserSettings{}, {clip[0]}, {last}).front(), other);
}

TEST_F(Frei0rTest, OutOfOrderCallsAreFilteredInTimeOrder) {
    // Frames 7 down to 1 are handed over first, each on its own thread; they
    // wait until frame 0 arrives and then go one by one in time order.
    const Clip clip = makeClip(WIDTH, HEIGHT, CLIP_LENGTH);
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    Clip out(clip.size(), Frame(clip.front().size(), 0));
    std::vector<std::thread> late;
    auto render = [&](std::size_t i) {
        plugin_->update(instance, timeOf(i), reinterpret_cast<const std::uint32_t*>(clip[i].data()),
                        reinterpret_cast<std::uint32_t*>(out[i].data()));
    };
    for (std::size_t i = clip.size() - 1; i >= 1; --i) {
        late.emplace_back(render, i);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    render(0);
    for (std::thread& thread : late) thread.join();
    closePlugin();
    EXPECT_EQ(firstDifference(out, runDirect(UserSettings{}, clip)), -1);
}

TEST_F(Frei0rTest, SeeksRepeatsAndMissingFramesAreJumps) {
    reopenWithWaitLimit("100");  // frame 3 never comes: wait briefly
    const Clip clip = makeClip(WIDTH, HEIGHT, 8);
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    // Times in frames: 0 1 2, frame 3 missing, 4, 3 late (behind), 3 again, a
    // seek 100 frames on (at once, not waited on), the next, then back to 0.
    const std::vector<double> frameTimes{0, 1, 2, 4, 3, 3, 104, 105, 0};
    const std::vector<std::int32_t> positions{0, 1, 2, 4, 3, 3, 104, 105, 0};
    Clip frames, filtered;
    for (std::size_t i = 0; i < frameTimes.size(); ++i) {
        frames.push_back(clip[i % clip.size()]);
        filtered.push_back(
            plugin_->update1(instance, frames.back(), frameTimes[i] * FRAME_DURATION));
    }
    closePlugin();
    EXPECT_EQ(firstDifference(filtered, runDirectAt(UserSettings{}, frames, positions)), -1);
}

TEST_F(Frei0rTest, FramesWaitingForOneThatNeverComesGoInTimeOrder) {
    reopenWithWaitLimit("400");
    const Clip clip = makeClip(WIDTH, HEIGHT, 5);
    f0r_instance_t instance = construct();
    ASSERT_NE(instance, nullptr);
    Clip out(clip.size(), Frame(clip.front().size(), 0));
    auto render = [&](std::size_t i) {
        plugin_->update(instance, timeOf(i), reinterpret_cast<const std::uint32_t*>(clip[i].data()),
                        reinterpret_cast<std::uint32_t*>(out[i].data()));
    };
    render(0);
    render(1);
    // Frame 2 never comes. Frame 4 is handed over first, so its wait runs
    // out first; frame 3 still goes before it, as the jump from 1.
    std::thread four(render, 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    render(3);
    four.join();
    closePlugin();
    const Clip frames{clip[0], clip[1], clip[3], clip[4]};
    const Clip filtered{out[0], out[1], out[3], out[4]};
    EXPECT_EQ(firstDifference(filtered, runDirectAt(UserSettings{}, frames, {0, 1, 3, 4})), -1);
}

TEST_F(Frei0rTest, AChangeOnSeveralThreadsEarlyInTheClipDoesNotWaitForFramesBeforeIt) {
    // Two render threads, each with an instance, both switch to another
    // level at frame 4. The new sequence starts there: frames 0 to 3 went to
    // the old one and are no frames to wait for.
    reopenWithWaitLimit("5000");
    const Clip clip = makeClip(WIDTH, HEIGHT, 6);
    const UserSettings before{}, after{8, 5, true, 2, 5};
    f0r_instance_t even = construct();
    f0r_instance_t odd = construct();
    ASSERT_TRUE(even != nullptr && odd != nullptr);
    Clip out(clip.size(), Frame(clip.front().size(), 0));
    auto render = [&](f0r_instance_t instance, std::size_t i) {
        plugin_->update(instance, timeOf(i), reinterpret_cast<const std::uint32_t*>(clip[i].data()),
                        reinterpret_cast<std::uint32_t*>(out[i].data()));
    };
    for (std::size_t i = 0; i < 4; ++i) render(i % 2 == 0 ? even : odd, i);
    plugin_->apply(even, after);
    plugin_->apply(odd, after);
    const auto start = std::chrono::steady_clock::now();
    std::thread five([&] { render(odd, 5); });
    render(even, 4);
    five.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    closePlugin();
    Clip expected = runDirect(before, clip, 0, 4);
    const Clip restarted = runDirectAt(after, {clip[4], clip[5]}, {0, 1});
    expected.insert(expected.end(), restarted.begin(), restarted.end());
    EXPECT_EQ(firstDifference(out, expected), -1);
}

TEST_F(Frei0rTest, MalformedWaitLimitIsReportedAndTheDefaultKept) {
    closePlugin();
    setenv("KALMIX_FREI0R_WAIT_MS", "soon", 1);
    ::testing::internal::CaptureStderr();
    openPlugin(KALMIX_FREI0R_PLUGIN);
    const std::string message = ::testing::internal::GetCapturedStderr();
    unsetenv("KALMIX_FREI0R_WAIT_MS");
    EXPECT_EQ(initResult_, 1);
    EXPECT_EQ(message,
              "kalmix frei0r: KALMIX_FREI0R_WAIT_MS='soon' is not 0..3600000 milliseconds; "
              "using 10000\n");
}

TEST_F(Frei0rTest, InstancesKeptPastDeinitAreDestructedOrFilteredAfresh) {
    // A host that unloads the plug-in's state before its instances: they may
    // still be destructed, and after another f0r_init filter afresh.
    const Clip clip = makeClip(WIDTH, HEIGHT, 3);
    f0r_instance_t kept = construct();
    f0r_instance_t gone = plugin_->construct(WIDTH, HEIGHT);
    ASSERT_TRUE(kept != nullptr && gone != nullptr);
    plugin_->update1(kept, clip[0], timeOf(0));
    plugin_->update1(gone, clip[0], timeOf(0));
    plugin_->deinit();
    plugin_->destruct(gone);
    ASSERT_EQ(plugin_->init(), 1);
    const Clip filtered = runPlugin(kept, clip, 1);
    closePlugin();
    EXPECT_EQ(firstDifference(filtered, runDirectAt(UserSettings{}, {clip[1], clip[2]}, {0, 1})), -1);
}

struct Size {
    int width;
    int height;
};

// --- Several instances: module instances of their own, through their workers ---

TEST_F(Frei0rTest, TwoInstancesFilterExactlyAsEachAlone) {
    const UserSettings first{0, 5, true, 2, 5}, second{10, 9, false, 6, 5};
    for (const Size size : {Size{WIDTH, HEIGHT}, Size{400, 200}}) {  // one tile, and two
        SCOPED_TRACE(size.width);
        const Clip clip = makeClip(size.width, size.height, CLIP_LENGTH);
        f0r_instance_t a = construct(size.width, size.height);
        f0r_instance_t b = construct(size.width, size.height);
        ASSERT_TRUE(a != nullptr && b != nullptr);
        plugin_->apply(a, first);
        plugin_->apply(b, second);
        Clip filteredA;
        Clip filteredB;
        for (std::size_t i = 0; i < clip.size(); ++i) {  // interleaved, as two chains in one ffmpeg graph
            filteredA.push_back(plugin_->update1(a, clip[i], timeOf(i)));
            filteredB.push_back(plugin_->update1(b, clip[i], timeOf(i)));
        }
        destructAll();
        for (const auto& [settings, filtered] : {std::pair{first, &filteredA}, std::pair{second, &filteredB}}) {
            f0r_instance_t alone = construct(size.width, size.height);
            ASSERT_NE(alone, nullptr);
            plugin_->apply(alone, settings);
            EXPECT_EQ(firstDifference(*filtered, runPlugin(alone, clip)), -1);
            destructAll();
        }
        if (size.width == WIDTH) {
            EXPECT_EQ(firstDifference(filteredA, runDirect(first, clip)), -1);
        }
    }
}

// --- Frames the module does not take whole: through the tiles ---

class Frei0rTiledTest : public Frei0rTest, public ::testing::WithParamInterface<Size> {};

TEST_P(Frei0rTiledTest, FramesTheModuleDoesNotTakeAreFilteredThroughTheTiles) {
    const Size size = GetParam();
    const Clip clip = makeClip(size.width, size.height, 3);
    f0r_instance_t instance = construct(size.width, size.height);
    ASSERT_NE(instance, nullptr);
    const Clip filtered = runPlugin(instance, clip);

    kalmix::tiles::EngineSettings settings;
    settings.modulePath = KALMIX_MODULE_BUILD_PATH;
    settings.stateFolder = directory() / "engine";
    kalmix::tiles::TileEngine engine(size.width, size.height, settings);
    engine.setup(UserSettings{});
    Clip expected;
    for (std::size_t i = 0; i < clip.size(); ++i) {
        Frame frame(clip[i].size());
        engine.filter(clip[i].data(), frame.data(), static_cast<std::int32_t>(i), 0);
        expected.push_back(frame);
    }
    EXPECT_EQ(firstDifference(filtered, expected), -1);
    EXPECT_NE(firstDifference(filtered, clip), -1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Frei0rTiledTest,
                         ::testing::Values(Size{392, 288}, Size{384, 296}, Size{66, 48},
                                           Size{64, 50}));

// --- Where the module comes from ---

TEST_F(Frei0rTest, ModuleComesFromTheEnvironmentThenBesideThePlugin) {
    closePlugin();
    // A copy of the plug-in in a directory of its own, with a file named
    // Kalmix.PRM beside it that is no module.
    const fs::path copy = directory() / "plugin" / "kalmix.so";
    fs::create_directory(copy.parent_path());
    fs::copy_file(KALMIX_FREI0R_PLUGIN, copy);
    std::ofstream(copy.parent_path() / "Kalmix.PRM") << "not a module";

    openPlugin(copy);
    EXPECT_EQ(initResult_, 0);
    EXPECT_EQ(construct(), nullptr);
    closePlugin();

    setenv("KALMIX_MODULE", referenceModule().c_str(), 1);
    openPlugin(copy);
    EXPECT_EQ(initResult_, 1);
    EXPECT_NE(construct(), nullptr);
    closePlugin();

    setenv("KALMIX_MODULE", (directory() / "missing.PRM").c_str(), 1);
    openPlugin(KALMIX_FREI0R_PLUGIN);
    EXPECT_EQ(initResult_, 0);
    EXPECT_EQ(construct(), nullptr);
}

}  // namespace
