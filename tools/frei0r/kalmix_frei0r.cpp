// The frei0r filter "kalmix": lets frei0r hosts (the ffmpeg program, MLT,
// Kdenlive, Shotcut) run Kalmix.PRM, driving it through the host library only.
//
// The module keeps one global state per load (frame buffers, sequence
// bookkeeping), and dlopen of the same file in one process gives the same
// load. So each instance (each use of the filter) gets module instances of its
// own through the tile engine: worker processes, one per tile, at every frame
// size (one tile for frames the module takes whole). Two instances in one
// process therefore filter exactly as each would alone. As the video host
// does, each instance keeps its own parameters and hands them over with its
// setup calls.
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

#include <set>

#include "params/filter_params.h"
#include "tools/host/plugin_host.h"
#include "tools/tiles/tile_engine.h"

// The API header declares its functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

namespace {

using kalmix::host::UserSettings;

enum ParamIndex { PRIMARY = 0, SECONDARY = 1, ENHANCED = 2, TRANSITION = 3, PARAM_COUNT = 4 };
constexpr int MAX_LEVEL = 10;
constexpr int MAX_TRANSITION_FRAMES = 7;

// Guards the plug-in's own globals. frei0r allows concurrent f0r_update calls
// on different instances; each has its own workers and its own lock.
std::mutex moduleLock;
std::string loadedModulePath;  // empty until f0r_init found a module that loads
int initCount = 0;             // hosts that load the plug-in twice call f0r_init twice
std::set<int> instanceNumbers;  // of the live instances: each has a state folder of its own

struct Instance {
    std::int32_t width;
    std::int32_t height;
    UserSettings settings;      // the values the frei0r parameters map to
    bool needsSetup = true;     // before the first frame and after a change
    std::int32_t position = 0;  // frames handed to the module so far
    int number = 0;             // the lowest free among live instances: folder "frei0r-N"
    std::mutex lock;            // one frame at a time through this instance's workers
    std::unique_ptr<kalmix::tiles::TileEngine> engine;
    bool failed = false;        // the workers stopped; frames pass through
};

// Starts an instance's workers: one module instance per tile, each tile's
// Windows directory under the user's state directory.
std::unique_ptr<kalmix::tiles::TileEngine> startEngine(const std::string& module, const std::string& folder,
                                                       std::int32_t width, std::int32_t height) {
    kalmix::tiles::EngineSettings settings;
    settings.modulePath = module;
    settings.stateFolder = kalmix::tiles::defaultStateBase() / "tiles" / folder /
                           (std::to_string(width) + "x" + std::to_string(height));
    return std::make_unique<kalmix::tiles::TileEngine>(width, height, settings);
}

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
    if (initCount++ > 0) return loadedModulePath.empty() ? 0 : 1;
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
    constexpr unsigned LARGEST = 1u << 16;  // frame sides frei0r hosts use, with room to spare
    if (width == 0 || height == 0 || width > LARGEST || height > LARGEST) return nullptr;
    auto* instance = new (std::nothrow) Instance{};
    if (instance == nullptr) return nullptr;
    instance->width = static_cast<std::int32_t>(width);
    instance->height = static_cast<std::int32_t>(height);
    std::string module;
    {
        const std::lock_guard<std::mutex> lock(moduleLock);
        module = loadedModulePath;
        while (instanceNumbers.count(instance->number) != 0) ++instance->number;
        instanceNumbers.insert(instance->number);
    }
    try {
        if (module.empty()) throw std::runtime_error("");  // f0r_init said why
        instance->engine = startEngine(module, "frei0r-" + std::to_string(instance->number), instance->width,
                                       instance->height);
    } catch (const std::exception& error) {
        if (*error.what() != '\0') std::fprintf(stderr, "kalmix frei0r: %s\n", error.what());
        f0r_destruct(instance);
        return nullptr;
    }
    return instance;
}

void f0r_destruct(f0r_instance_t handle) {
    auto* instance = static_cast<Instance*>(handle);
    instance->engine.reset();  // each worker's module saves its tile's state file
    {
        const std::lock_guard<std::mutex> lock(moduleLock);
        instanceNumbers.erase(instance->number);
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
// 0 (unknown).
void f0r_update(f0r_instance_t handle, double /*time*/, const std::uint32_t* in,
                std::uint32_t* out) {
    auto& instance = *static_cast<Instance*>(handle);
    // Hosts may pass in == out: the engine cuts every tile before it writes.
    const auto* source = reinterpret_cast<const std::uint8_t*>(in);
    auto* destination = reinterpret_cast<std::uint8_t*>(out);
    const std::lock_guard<std::mutex> lock(instance.lock);
    if (!instance.failed) {
        try {
            if (instance.needsSetup) {
                // As a user changing the parameters in the host: the dialog is
                // set and accepted, and the running sequence ends.
                instance.engine->setup(instance.settings);
                instance.needsSetup = false;
            }
            instance.engine->filter(source, destination, instance.position, 0);
            instance.position =
                instance.position == std::numeric_limits<std::int32_t>::max() ? 0 : instance.position + 1;
            return;
        } catch (const kalmix::tiles::TileError& error) {
            // frei0r has no error channel: said once on the host's log; the
            // frames pass through unfiltered from here on.
            std::fprintf(stderr, "kalmix frei0r: %s; frames pass through unfiltered from here on\n", error.what());
            instance.failed = true;
        }
    }
    std::memmove(destination, source,
                 static_cast<std::size_t>(instance.width) * static_cast<std::size_t>(instance.height) * 4);
}

// Optional for filters; if exported it must behave as f0r_update.
void f0r_update2(f0r_instance_t handle, double time, const std::uint32_t* in1,
                 const std::uint32_t* /*in2*/, const std::uint32_t* /*in3*/, std::uint32_t* out) {
    f0r_update(handle, time, in1, out);
}

}  // extern "C"
