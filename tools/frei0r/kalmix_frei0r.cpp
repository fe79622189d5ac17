// The frei0r filter "kalmix": lets frei0r hosts (the ffmpeg program, MLT,
// Kdenlive, Shotcut) run Kalmix.PRM, driving it through the host library only.
//
// One loaded module for the whole plug-in, from the first f0r_init to the
// last f0r_deinit. The module keeps one global state (frame buffers, sequence
// bookkeeping), so loading it once per instance would not give instances
// their own filter anyway: dlopen of the same file returns the same module.
// As the video host does, each instance (each use of the filter) keeps its
// own 20-byte parameter record and hands it over with every call; the frames
// of all instances go through the one shared sequence state.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
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

#include "params/filter_params.h"
#include "tools/frei0r/frame_order.h"
#include "tools/host/plugin_host.h"

// The API header declares its functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

namespace {

using kalmix::FilterParams;
using kalmix::frei0r::FrameOrder;
using kalmix::host::PluginModule;
using kalmix::host::UserSettings;

enum ParamIndex { PRIMARY = 0, SECONDARY = 1, ENHANCED = 2, TRANSITION = 3, PARAM_COUNT = 4 };
constexpr int MAX_LEVEL = 10;
constexpr int MAX_TRANSITION_FRAMES = 7;

// frei0r allows concurrent f0r_update calls on different instances; the
// module's state is global and not thread-safe, so every call into it, and
// loading and unloading it, holds this lock.
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
// Deliberately a plain pointer: a host that never calls f0r_deinit must not
// have the module unloaded by a static destructor at exit, in an order
// nobody controls.
PluginModule* loadedModule = nullptr;
int initCount = 0;  // hosts that load the plug-in twice call f0r_init twice

struct Instance {
    std::int32_t width;
    std::int32_t height;
    UserSettings settings;      // the values the frei0r parameters map to
    bool needsSetup = true;     // before the first frame and after a change
    // This use's parameter record and the handle to it that goes with each call.
    FilterParams record = kalmix::DEFAULT_FILTER_PARAMS;
    char* recordBlock = reinterpret_cast<char*>(&record);
};

bool sameSettings(const UserSettings& a, const UserSettings& b) {
    return a.primaryLevel == b.primaryLevel && a.secondaryLevel == b.secondaryLevel &&
           a.enhancedSuppression == b.enhancedSuppression &&
           a.transitionFrames == b.transitionFrames && a.uvLevel == b.uvLevel;
}

// The frames of all instances form one sequence, filtered in the order of
// their times: the module keeps one sequence state, and MLT gives each of its
// render threads an instance of its own for the same use of the filter. It
// starts afresh when the last instance goes.
struct Sequence {
    FrameOrder order;
    bool called = false;  // the first call's time starts the settling
    Clock::time_point firstCall{};
    // The settings of the last setup call and the record it left, which an
    // instance with the same settings takes over instead of a setup call of
    // its own (which would end the running sequence).
    bool setupDone = false;
    UserSettings setupSettings;
    FilterParams setupRecord = kalmix::DEFAULT_FILTER_PARAMS;
    // The last frame filtered. Hosts render a frame again (MLT renders the
    // first frame twice and the last one until its threads stop); the same
    // time, pixels and settings give the same output, whichever copy comes
    // first, rather than a fresh sequence.
    bool lastValid = false;
    UserSettings lastSettings;
    std::vector<std::uint8_t> lastInput;
    std::vector<std::uint8_t> lastOutput;
};
Sequence sequence;
int instanceCount = 0;

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
// filtered: then it goes ahead as a jump. The order settles the start limit
// after the first call. The lock is released while it waits.
void awaitTurn(std::unique_lock<std::mutex>& lock, double time) {
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
            if (now >= progressed + waitLimit) return;  // goes ahead as a jump
            frameOrderChanged.wait_until(lock, progressed + waitLimit);
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

}  // namespace

extern "C" {

int f0r_init() {
    const std::lock_guard<std::mutex> lock(moduleLock);
    if (initCount++ > 0) return loadedModule != nullptr ? 1 : 0;
    waitLimit = waitLimitFromEnvironment();
    sequence = Sequence{};
    std::string error;
    loadedModule = PluginModule::load(modulePath(), error).release();
    if (loadedModule == nullptr) {
        // frei0r has no error channel; the host's log is standard error.
        std::fprintf(stderr, "kalmix frei0r: %s\n", error.c_str());
        return 0;
    }
    return 1;
}

void f0r_deinit() {
    const std::lock_guard<std::mutex> lock(moduleLock);
    if (initCount == 0 || --initCount > 0) return;
    delete loadedModule;  // unloading saves the module's state file
    loadedModule = nullptr;
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
        "Temporal noise filter: freezes the noise in still parts of the picture. Filters frames "
        "of at most 384x288 whose sides are multiples of 4; other frames pass through unchanged.";
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
        if (loadedModule == nullptr) return nullptr;  // f0r_init said why
    }
    constexpr unsigned LARGEST = std::numeric_limits<std::int32_t>::max();
    if (width == 0 || height == 0 || width > LARGEST || height > LARGEST) return nullptr;
    auto* instance = new (std::nothrow) Instance{};
    if (instance == nullptr) return nullptr;
    {
        const std::lock_guard<std::mutex> lock(moduleLock);
        ++instanceCount;
    }
    instance->width = static_cast<std::int32_t>(width);
    instance->height = static_cast<std::int32_t>(height);
    return instance;
}

void f0r_destruct(f0r_instance_t handle) {
    auto* instance = static_cast<Instance*>(handle);
    {
        // Leave the request no handle into the record about to go.
        const std::lock_guard<std::mutex> lock(moduleLock);
        if (loadedModule != nullptr &&
            loadedModule->request().paramsHandle == &instance->recordBlock) {
            loadedModule->clearParams();
        }
        if (--instanceCount == 0) sequence = Sequence{};
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
// are one sequence (see Sequence).
void f0r_update(f0r_instance_t handle, double time, const std::uint32_t* in,
                std::uint32_t* out) {
    auto& instance = *static_cast<Instance*>(handle);
    // Hosts may pass in == out: the module reads the whole source into its
    // planes before it writes the destination, and writes no alpha of its own.
    const auto* source = reinterpret_cast<const std::uint8_t*>(in);
    auto* destination = reinterpret_cast<std::uint8_t*>(out);

    const std::size_t bytes = static_cast<std::size_t>(instance.width) *
                              static_cast<std::size_t>(instance.height) * 4;

    std::unique_lock<std::mutex> lock(moduleLock);
    FrameOrder& order = sequence.order;
    order.arrive(time);
    frameOrderChanged.notify_all();  // the duration may be known now
    awaitTurn(lock, time);
    const bool again = order.repeatsLast(time) && sequence.lastValid &&
                       sequence.lastInput.size() == bytes &&
                       sameSettings(sequence.lastSettings, instance.settings) &&
                       std::memcmp(sequence.lastInput.data(), source, bytes) == 0;
    const std::int32_t position = order.take(time);
    frameOrderChanged.notify_all();
    if (again) {
        std::memmove(destination, sequence.lastOutput.data(), bytes);
        return;
    }
    if (loadedModule == nullptr) {  // a host that called f0r_deinit too early
        std::memmove(destination, source, bytes);
        return;
    }
    PluginModule& module = *loadedModule;
    module.request().paramsHandle = &instance.recordBlock;
    if (instance.needsSetup) {
        if (sequence.setupDone && sameSettings(sequence.setupSettings, instance.settings)) {
            instance.record = sequence.setupRecord;
        } else {
            // As a user changing the parameters in the host: the module reads
            // the record, the dialog is set and accepted, and the running
            // sequence ends. It cannot fail with a record of our own and the
            // stand-in's dialogs; if it did, the record would keep its last values.
            module.setup(instance.settings);
            sequence.setupDone = true;
            sequence.setupSettings = instance.settings;
            sequence.setupRecord = instance.record;
        }
        instance.needsSetup = false;
    }
    // Kept before the call: hosts may filter in place. Sized once per frame size.
    sequence.lastInput.resize(bytes);
    sequence.lastOutput.resize(bytes);
    std::memcpy(sequence.lastInput.data(), source, bytes);
    // Frames the module does not take (over 384x288, sides not multiples of
    // 4) it copies through itself; they are handed over like any other.
    module.execute(source, destination, instance.width, instance.height, position, 0);
    std::memcpy(sequence.lastOutput.data(), destination, bytes);
    sequence.lastValid = true;
    sequence.lastSettings = instance.settings;
}

// Optional for filters; if exported it must behave as f0r_update.
void f0r_update2(f0r_instance_t handle, double time, const std::uint32_t* in1,
                 const std::uint32_t* /*in2*/, const std::uint32_t* /*in3*/, std::uint32_t* out) {
    f0r_update(handle, time, in1, out);
}

}  // extern "C"
