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
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "params/filter_params.h"
#include "tools/host/plugin_host.h"

// The API header declares its functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

namespace {

using kalmix::FilterParams;
using kalmix::host::PluginModule;
using kalmix::host::UserSettings;

enum ParamIndex { PRIMARY = 0, SECONDARY = 1, ENHANCED = 2, TRANSITION = 3, PARAM_COUNT = 4 };
constexpr int MAX_LEVEL = 10;
constexpr int MAX_TRANSITION_FRAMES = 7;

// frei0r allows concurrent f0r_update calls on different instances; the
// module's state is global and not thread-safe, so every call into it, and
// loading and unloading it, holds this lock.
std::mutex moduleLock;
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
    std::int32_t position = 0;  // frames handed to the module so far
    // This use's parameter record and the handle to it that goes with each call.
    FilterParams record = kalmix::DEFAULT_FILTER_PARAMS;
    char* recordBlock = reinterpret_cast<char*>(&record);
};

// $KALMIX_MODULE, else a Kalmix.PRM beside this plug-in, else the build's.
std::string modulePath() {
    if (const char* path = std::getenv("KALMIX_MODULE"); path != nullptr && *path != '\0') {
        return path;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&modulePath), &info) != 0 &&
        info.dli_fname != nullptr) {
        std::string beside = info.dli_fname;
        const auto slash = beside.rfind('/');
        beside = (slash == std::string::npos ? std::string() : beside.substr(0, slash + 1)) +
                 "Kalmix.PRM";
        if (access(beside.c_str(), F_OK) == 0) return beside;
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
    }
    delete instance;
}

void f0r_set_param_value(f0r_instance_t handle, f0r_param_t param, int index) {
    auto& instance = *static_cast<Instance*>(handle);
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

// frei0r hands over only a time, which the module has no use for: the frame
// position is this instance's count of frames, from 0, and the clip total is
// 0 (unknown). The module tells sequences apart by position and clip total
// alone, so frames of two instances interleaved in one process continue each
// other's sequence whenever their positions are 1 to 30 apart in order.
void f0r_update(f0r_instance_t handle, double /*time*/, const std::uint32_t* in,
                std::uint32_t* out) {
    auto& instance = *static_cast<Instance*>(handle);
    // Hosts may pass in == out: the module reads the whole source into its
    // planes before it writes the destination, and writes no alpha of its own.
    const auto* source = reinterpret_cast<const std::uint8_t*>(in);
    auto* destination = reinterpret_cast<std::uint8_t*>(out);

    const std::lock_guard<std::mutex> lock(moduleLock);
    if (loadedModule == nullptr) {  // a host that called f0r_deinit too early
        std::memmove(destination, source,
                     static_cast<std::size_t>(instance.width) *
                         static_cast<std::size_t>(instance.height) * 4);
        return;
    }
    PluginModule& module = *loadedModule;
    module.request().paramsHandle = &instance.recordBlock;
    if (instance.needsSetup) {
        // As a user changing the parameters in the host: the module reads the
        // record, the dialog is set and accepted, and the running sequence ends.
        // It cannot fail with a record of our own and the stand-in's dialogs; if
        // it did, the record would keep its last values.
        module.setup(instance.settings);
        instance.needsSetup = false;
    }
    // Frames the module does not take (over 384x288, sides not multiples of
    // 4) it copies through itself; they are handed over like any other.
    module.execute(source, destination, instance.width, instance.height, instance.position, 0);
    instance.position =
        instance.position == std::numeric_limits<std::int32_t>::max() ? 0 : instance.position + 1;
}

// Optional for filters; if exported it must behave as f0r_update.
void f0r_update2(f0r_instance_t handle, double time, const std::uint32_t* in1,
                 const std::uint32_t* /*in2*/, const std::uint32_t* /*in3*/, std::uint32_t* out) {
    f0r_update(handle, time, in1, out);
}

}  // extern "C"
