// The frei0r filter "kalmix": lets frei0r hosts (the ffmpeg program, MLT,
// Kdenlive, Shotcut) run Kalmix.PRM, driving it through the host library only.
//
// The module keeps one global state per load (frame buffers, sequence
// bookkeeping), and dlopen of the same file in one process gives the same
// load. So the frames go through the tile engine instead: module instances in
// worker processes, one per tile, at every frame size (one tile for frames the
// module takes whole). Each sequence of frames (see Sequence) has workers of
// its own, so two uses of the filter in one process filter exactly as each
// would alone.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <map>
#include <set>
#include <tuple>

#include "tools/frei0r/frame_order.h"
#include "tools/host/plugin_host.h"
#include "tools/tiles/tile_engine.h"

// The API header declares its functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

namespace {

using kalmix::frei0r::FrameOrder;
using kalmix::host::UserSettings;
using kalmix::tiles::TileEngine;

enum ParamIndex { PRIMARY = 0, SECONDARY = 1, ENHANCED = 2, TRANSITION = 3, PARAM_COUNT = 4 };
constexpr int MAX_LEVEL = 10;
constexpr int MAX_TRANSITION_FRAMES = 7;

// frei0r allows concurrent f0r_update calls on different instances; the
// sequences and their workers are shared between instances, so every call
// holds this lock.
std::mutex moduleLock;
// Signalled whenever a frame has been filtered or a call has come in, for the
// calls that wait for the frames before their own (see FrameOrder).
std::condition_variable frameOrderChanged;

using Clock = std::chrono::steady_clock;
// How long a frame waits for the frames before it while they make progress:
// long enough for a slow frame of an export on another render thread. A
// frame those never reach goes ahead after it, as a jump.
// $KALMIX_FREI0R_WAIT_MS sets it (0 turns the waiting off).
constexpr std::chrono::milliseconds DEFAULT_WAIT_LIMIT{10000};
constexpr long long LARGEST_WAIT_MS = 3600000;
// How long after the first call the frame duration counts as known
// (FrameOrder::settle): the start of a parallel render comes in within it. A
// serial host waits for it once, at its second frame.
constexpr std::chrono::milliseconds START_WAIT_LIMIT{250};
std::chrono::milliseconds waitLimit = DEFAULT_WAIT_LIMIT;
std::string loadedModulePath;  // empty until f0r_init found a module that loads
int initCount = 0;             // hosts that load the plug-in twice call f0r_init twice

struct Sequence;

struct Instance {
    std::int32_t width;
    std::int32_t height;
    UserSettings settings;         // the values the frei0r parameters map to
    bool needsSetup = true;        // before the first frame and after a change
    Sequence* sequence = nullptr;  // joined at the first frame and after a change
};

// The frames of the instances with one frame size and the same settings form
// one sequence, filtered in the order of their times by workers of its own:
// MLT gives each of its render threads an instance of its own for the same
// use of the filter. Instances with other settings (another use of the
// filter, such as a second chain in one ffmpeg graph) have sequences and
// workers of their own. A sequence starts afresh when its last instance
// leaves it, by going or by changing its settings.
struct Sequence {
    int number = 0;  // the lowest free among live sequences: state folder "frei0r-N"
    int members = 0;
    std::unique_ptr<TileEngine> engine;
    bool failed = false;  // its workers stopped: frames pass through
    FrameOrder order;
    bool called = false;  // the first call's time starts the settling
    Clock::time_point firstCall{};
    bool setupDone = false;
    // The last frame filtered. Hosts render a frame again (MLT renders the
    // first frame twice and the last one until its threads stop); the same
    // time, pixels and settings give the same output, whichever copy comes
    // first, rather than a fresh sequence.
    bool lastValid = false;
    std::vector<std::uint8_t> lastInput;
    std::vector<std::uint8_t> lastOutput;
};
using SequenceKey = std::tuple<std::int32_t, std::int32_t, int, int, bool, int, int>;
std::map<SequenceKey, std::unique_ptr<Sequence>> sequences;
// Every instance not yet destructed: f0r_deinit ends the sequences, and the
// instances a host keeps past it must not point at them.
std::set<Instance*> liveInstances;

SequenceKey keyOf(const Instance& instance) {
    const UserSettings& s = instance.settings;
    return {instance.width, instance.height, s.primaryLevel, s.secondaryLevel, s.enhancedSuppression,
            s.transitionFrames, s.uvLevel};
}

// Starts workers: one module instance per tile, each tile's Windows directory
// under the user's state directory.
std::unique_ptr<TileEngine> startEngine(const std::string& module, const std::string& folder,
                                        std::int32_t width, std::int32_t height) {
    kalmix::tiles::EngineSettings settings;
    settings.modulePath = module;
    settings.stateFolder = kalmix::tiles::defaultStateBase() / "tiles" / folder /
                           (std::to_string(width) + "x" + std::to_string(height));
    return std::make_unique<TileEngine>(width, height, settings);
}

void leaveSequence(Instance& instance) {
    if (instance.sequence == nullptr) return;
    if (--instance.sequence->members == 0) {
        for (auto i = sequences.begin(); i != sequences.end(); ++i) {
            if (i->second.get() == instance.sequence) {
                sequences.erase(i);  // its workers' modules save their state files
                break;
            }
        }
    }
    instance.sequence = nullptr;
}

// The instance's sequence for its size and settings, made with its workers
// if no instance has it yet. Holding the lock.
void joinSequence(Instance& instance) {
    leaveSequence(instance);
    std::unique_ptr<Sequence>& slot = sequences[keyOf(instance)];
    if (!slot) {
        slot = std::make_unique<Sequence>();
        std::set<int> taken;
        for (const auto& entry : sequences) {
            if (entry.second && entry.second.get() != slot.get()) taken.insert(entry.second->number);
        }
        while (taken.count(slot->number) != 0) ++slot->number;
        // Frames of this size already filtered by another sequence: this one
        // starts mid-stream (render threads switching to other settings one
        // by one), and the frames before its first went to that sequence.
        for (const auto& entry : sequences) {
            const Sequence* other = entry.second.get();
            if (other != nullptr && other != slot.get() && other->order.started() &&
                std::get<0>(entry.first) == instance.width && std::get<1>(entry.first) == instance.height) {
                slot->order.startAnywhere();
            }
        }
        try {
            slot->engine = startEngine(loadedModulePath, "frei0r-" + std::to_string(slot->number),
                                       instance.width, instance.height);
        } catch (const std::exception& error) {
            // frei0r has no error channel: said once on the host's log.
            std::fprintf(stderr, "kalmix frei0r: %s; frames pass through unfiltered\n", error.what());
            slot->failed = true;
        }
    }
    ++slot->members;
    instance.sequence = slot.get();
}

// $KALMIX_MODULE, else a Kalmix.PRM beside this plug-in, else the installed
// one (lib/kalmix/ beside lib/frei0r-1/), else the build's. The plug-in's own
// path is taken with links resolved, so a link to it in ~/.frei0r-1/lib
// finds the module of its installation.
std::string modulePath() {
    if (const char* path = std::getenv("KALMIX_MODULE"); path != nullptr && *path != '\0') {
        return path;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&modulePath), &info) != 0 &&
        info.dli_fname != nullptr) {
        std::string directory;
        if (char* resolved = realpath(info.dli_fname, nullptr); resolved != nullptr) {
            directory = resolved;
            std::free(resolved);
        } else {
            directory = info.dli_fname;
        }
        const auto slash = directory.rfind('/');
        directory = slash == std::string::npos ? std::string() : directory.substr(0, slash + 1);
        for (const std::string& candidate :
             {directory + "Kalmix.PRM", directory + KALMIX_MODULE_FROM_PLUGIN}) {
            if (access(candidate.c_str(), F_OK) == 0) return candidate;
        }
    }
    return KALMIX_MODULE_BUILD_PATH;
}

// A frei0r double in [0, 1] to a level 0..maximum: clamped, then rounded to
// the nearest level (halves away from zero), so level / maximum maps back to
// itself. NaN leaves the level as it was.
int toLevel(double value, int maximum, int current) {
    if (std::isnan(value)) return current;
    return static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * maximum));
}

double fromLevel(int level, int maximum) { return static_cast<double>(level) / maximum; }

std::chrono::milliseconds waitLimitFromEnvironment() {
    const char* text = std::getenv("KALMIX_FREI0R_WAIT_MS");
    if (text == nullptr || *text == '\0') return DEFAULT_WAIT_LIMIT;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > LARGEST_WAIT_MS) {
        std::fprintf(stderr,
                     "kalmix frei0r: KALMIX_FREI0R_WAIT_MS='%s' is not 0..%lld milliseconds; "
                     "using %lld\n",
                     text, LARGEST_WAIT_MS, static_cast<long long>(DEFAULT_WAIT_LIMIT.count()));
        return DEFAULT_WAIT_LIMIT;
    }
    return std::chrono::milliseconds(value);
}

// Holding the lock, waits until the frame at `time` is next in time order
// (FrameOrder::ready), or until the wait limit has passed without a frame
// filtered: then the earliest frame waiting goes ahead as a jump, and the
// others follow it in time order. The order settles the start limit after
// the first call. The lock is released while it waits.
void awaitTurn(std::unique_lock<std::mutex>& lock, Sequence& sequence, double time) {
    FrameOrder& order = sequence.order;
    const Clock::time_point arrived = Clock::now();
    if (!sequence.called) {
        sequence.called = true;
        sequence.firstCall = arrived;
    }
    const Clock::time_point settleAt = sequence.firstCall + std::min(waitLimit, START_WAIT_LIMIT);
    Clock::time_point progressed = arrived;
    std::uint64_t filtered = order.filteredCount();
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (!order.settled() && now >= settleAt) order.settle();
        if (order.ready(time)) return;
        if (order.filteredCount() != filtered) {
            filtered = order.filteredCount();
            progressed = now;
        }
        if (order.settled()) {
            if (now < progressed + waitLimit) {
                frameOrderChanged.wait_until(lock, progressed + waitLimit);
            } else if (order.earliestWaiting(time)) {
                return;  // goes ahead as a jump
            } else {
                // An earlier frame goes first, at the end of its own wait:
                // whichever call's wait ends first, the frames keep their order.
                frameOrderChanged.wait(lock);
            }
        } else {
            frameOrderChanged.wait_until(lock, settleAt);
        }
    }
}

void setIfChanged(Instance& instance, int& field, int value) {
    if (field == value) return;  // hosts like MLT set every parameter before every frame
    field = value;
    instance.needsSetup = true;
}

// One frame of f0r_update. An exception that leaves it (memory running out
// on the way to the filtering) comes before the destination is written.
void updateFrame(Instance& instance, double time, const std::uint8_t* source, std::uint8_t* destination,
                 std::size_t bytes) {
    // Hosts may pass in == out: the engine cuts every tile before it writes.
    std::unique_lock<std::mutex> lock(moduleLock);
    if (loadedModulePath.empty()) {  // a host that called f0r_deinit too early
        std::memmove(destination, source, bytes);
        return;
    }
    if (instance.needsSetup || instance.sequence == nullptr) {
        // As a user changing the parameters in the host: the sequence of the
        // new settings, afresh unless other instances already run it.
        joinSequence(instance);
        instance.needsSetup = false;
    }
    Sequence& sequence = *instance.sequence;
    FrameOrder& order = sequence.order;
    order.arrive(time);
    frameOrderChanged.notify_all();  // the duration may be known now
    awaitTurn(lock, sequence, time);
    const bool again = order.repeatsLast(time) && sequence.lastValid &&
                       sequence.lastInput.size() == bytes &&
                       std::memcmp(sequence.lastInput.data(), source, bytes) == 0;
    const std::int32_t position = order.take(time);
    frameOrderChanged.notify_all();
    if (again) {
        std::memmove(destination, sequence.lastOutput.data(), bytes);
        return;
    }
    if (!sequence.failed) {
        bool kept = false;
        try {
            // Kept before the call: hosts may filter in place. Sized once per frame size.
            sequence.lastInput.resize(bytes);
            sequence.lastOutput.resize(bytes);
            std::memcpy(sequence.lastInput.data(), source, bytes);
            kept = true;
            if (!sequence.setupDone) {
                sequence.engine->setup(instance.settings);
                sequence.setupDone = true;
            }
            sequence.engine->filter(source, destination, position, 0);
            std::memcpy(sequence.lastOutput.data(), destination, bytes);
            sequence.lastValid = true;
            return;
        } catch (const std::exception& error) {
            // Nothing done yet: this frame alone passes through (f0r_update).
            if (!kept) throw;
            // The engine's errors, or memory running out inside it. frei0r
            // has no error channel: said once on the host's log, and the
            // frames pass through unfiltered from here on.
            std::fprintf(stderr, "kalmix frei0r: %s; frames pass through unfiltered from here on\n",
                         error.what());
            sequence.failed = true;
            sequence.lastValid = false;
            // The frame as it came: in place, part of it may be filtered by now.
            std::memmove(destination, sequence.lastInput.data(), bytes);
            return;
        }
    }
    std::memmove(destination, source, bytes);
}

}  // namespace

extern "C" {

int f0r_init() {
    const std::lock_guard<std::mutex> lock(moduleLock);
    if (initCount++ > 0) return loadedModulePath.empty() ? 0 : 1;
    waitLimit = waitLimitFromEnvironment();
    sequences.clear();
    // One worker on a small frame proves that the module loads, in a process
    // of its own: loading it here would leave a state file behind at unload.
    const std::string path = modulePath();
    try {
        startEngine(path, "frei0r-probe", 4, 4);
    } catch (const std::exception& error) {
        // frei0r has no error channel; the host's log is standard error.
        std::fprintf(stderr, "kalmix frei0r: %s\n", error.what());
        return 0;
    }
    loadedModulePath = path;
    return 1;
}

void f0r_deinit() {
    const std::lock_guard<std::mutex> lock(moduleLock);
    if (initCount == 0 || --initCount > 0) return;
    // Instances a host destructs later, or filters with after another
    // f0r_init, join a sequence afresh.
    for (Instance* instance : liveInstances) {
        instance->sequence = nullptr;
        instance->needsSetup = true;
    }
    sequences.clear();  // stops any workers a host left running
    loadedModulePath.clear();
}

void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    info->name = "kalmix";
    info->author = "Kalmix";
    info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
    // The module's pixels are bytes blue, green, red, alpha in memory.
    info->color_model = F0R_COLOR_MODEL_BGRA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = KALMIX_VERSION_MAJOR;
    info->minor_version = KALMIX_VERSION_MINOR;
    info->num_params = PARAM_COUNT;
    info->explanation =
        "Temporal noise filter: freezes the noise in still parts of the picture. Frames of any size "
        "are filtered at full resolution, larger ones through overlapping tiles of at most 384x288.";
}

void f0r_get_param_info(f0r_param_info_t* info, int index) {
    switch (index) {
        case PRIMARY:
            *info = {"primary level", F0R_PARAM_DOUBLE,
                     "Thresholds of the change analysis, levels 0..10 as 0..1 (0.5 = 5); higher "
                     "tolerates more noise, 0 marks everything changed"};
            break;
        case SECONDARY:
            *info = {"secondary level", F0R_PARAM_DOUBLE,
                     "Smoothing of changed blocks, levels 0..10 as 0..1 (0.5 = 5)"};
            break;
        case ENHANCED:
            *info = {"enhanced noise suppression", F0R_PARAM_BOOL,
                     "Enhanced per-sample change test"};
            break;
        case TRANSITION:
            *info = {"transition frames", F0R_PARAM_DOUBLE,
                     "Frames a changed block stays changed, 0..7 as 0..1 (2/7 = 2)"};
            break;
        default:
            break;
    }
}

f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    {
        const std::lock_guard<std::mutex> lock(moduleLock);
        if (loadedModulePath.empty()) return nullptr;  // f0r_init said why
    }
    constexpr unsigned LARGEST = 1u << 16;  // frame sides frei0r hosts use, with room to spare
    if (width == 0 || height == 0 || width > LARGEST || height > LARGEST) return nullptr;
    auto* instance = new (std::nothrow) Instance{};
    if (instance == nullptr) return nullptr;
    instance->width = static_cast<std::int32_t>(width);
    instance->height = static_cast<std::int32_t>(height);
    const std::lock_guard<std::mutex> lock(moduleLock);
    try {
        liveInstances.insert(instance);
    } catch (const std::bad_alloc&) {
        delete instance;
        return nullptr;
    }
    return instance;
}

void f0r_destruct(f0r_instance_t handle) {
    auto* instance = static_cast<Instance*>(handle);
    {
        const std::lock_guard<std::mutex> lock(moduleLock);
        leaveSequence(*instance);
        liveInstances.erase(instance);
    }
    delete instance;
}

void f0r_set_param_value(f0r_instance_t handle, f0r_param_t param, int index) {
    auto& instance = *static_cast<Instance*>(handle);
    // Render threads may set values while another thread filters a frame.
    const std::lock_guard<std::mutex> lock(moduleLock);
    UserSettings& settings = instance.settings;
    const double value = *static_cast<const double*>(param);
    switch (index) {
        case PRIMARY:
            setIfChanged(instance, settings.primaryLevel,
                         toLevel(value, MAX_LEVEL, settings.primaryLevel));
            break;
        case SECONDARY:
            setIfChanged(instance, settings.secondaryLevel,
                         toLevel(value, MAX_LEVEL, settings.secondaryLevel));
            break;
        case ENHANCED: {
            if (std::isnan(value)) break;
            const bool enhanced = value >= 0.5;  // frei0r's boolean rule
            if (settings.enhancedSuppression != enhanced) {
                settings.enhancedSuppression = enhanced;
                instance.needsSetup = true;
            }
            break;
        }
        case TRANSITION:
            setIfChanged(instance, settings.transitionFrames,
                         toLevel(value, MAX_TRANSITION_FRAMES, settings.transitionFrames));
            break;
        default:
            break;
    }
}

void f0r_get_param_value(f0r_instance_t handle, f0r_param_t param, int index) {
    const std::lock_guard<std::mutex> lock(moduleLock);
    const UserSettings& settings = static_cast<Instance*>(handle)->settings;
    auto& value = *static_cast<double*>(param);
    switch (index) {
        case PRIMARY:
            value = fromLevel(settings.primaryLevel, MAX_LEVEL);
            break;
        case SECONDARY:
            value = fromLevel(settings.secondaryLevel, MAX_LEVEL);
            break;
        case ENHANCED:
            value = settings.enhancedSuppression ? 1.0 : 0.0;
            break;
        case TRANSITION:
            value = fromLevel(settings.transitionFrames, MAX_TRANSITION_FRAMES);
            break;
        default:
            break;
    }
}

// The frame position comes from the time the host passes (FrameOrder); the
// clip total is 0 (unknown). A call for a frame a few frames ahead of the
// last one filtered waits for those between, so that hosts rendering on
// several threads give the bytes of a serial render. Frames of every instance
// of one sequence are filtered as one (see Sequence).
void f0r_update(f0r_instance_t handle, double time, const std::uint32_t* in,
                std::uint32_t* out) {
    auto& instance = *static_cast<Instance*>(handle);
    const std::size_t bytes = static_cast<std::size_t>(instance.width) *
                              static_cast<std::size_t>(instance.height) * 4;
    try {
        updateFrame(instance, time, reinterpret_cast<const std::uint8_t*>(in), reinterpret_cast<std::uint8_t*>(out),
                    bytes);
    } catch (const std::exception& error) {
        // Out of memory before anything was written: the host's C code must
        // not see the exception, and frei0r has no error channel. Said once;
        // the next frame tries again.
        static std::atomic<bool> said{false};
        if (!said.exchange(true)) {
            std::fprintf(stderr, "kalmix frei0r: %s; the frame passes through unfiltered\n", error.what());
        }
        std::memmove(out, in, bytes);
    }
}

// Optional for filters; if exported it must behave as f0r_update.
void f0r_update2(f0r_instance_t handle, double time, const std::uint32_t* in1,
                 const std::uint32_t* /*in2*/, const std::uint32_t* /*in3*/, std::uint32_t* out) {
    f0r_update(handle, time, in1, out);
}

}  // extern "C"
