// Loading kalmix-ffmpeg.so on first use.
#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "tools/kalmix/media.h"
#include "tools/kalmix/program_files.h"

namespace kalmix::tool {
namespace {

constexpr const char* LIBRARY_NAME = "kalmix-ffmpeg.so";

std::atomic<const MediaApi*> loaded{nullptr};
std::atomic<int> logLevel{AV_LOG_WARNING};

const MediaApi& load() {
    const std::string path =
        programFilePath("KALMIX_FFMPEG_LIBRARY", LIBRARY_NAME, KALMIX_FFMPEG_LIBRARY_BUILD_PATH);
    // Every symbol bound now: a library that does not fit fails here, in one
    // line, not in the middle of a run. Never unloaded.
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        throw ToolError("cannot load the FFmpeg support library: " + std::string(why != nullptr ? why : path));
    }
    using Entry = const MediaApi* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(library, "kalmix_media_api"));
    const MediaApi* api = entry != nullptr ? entry() : nullptr;
    if (api == nullptr || api->version != MEDIA_API_VERSION) {
        throw ToolError("'" + path + "' is not the FFmpeg support library of this kalmix (reinstall kalmix)");
    }
    api->captureLog(logLevel.load());
    loaded.store(api);
    return *api;
}

}  // namespace

const MediaApi& media() {
    if (const MediaApi* api = loaded.load()) return *api;
    static std::mutex loading;
    const std::lock_guard<std::mutex> hold(loading);
    if (const MediaApi* api = loaded.load()) return *api;
    return load();
}

const MediaApi* loadedMedia() noexcept { return loaded.load(); }

void setMediaLogLevel(int level) {
    logLevel.store(level);
    if (const MediaApi* api = loaded.load()) api->captureLog(level);
}

void flushMediaRemarks() {
    if (const MediaApi* api = loaded.load()) api->flushRemarks();
}

void dropMediaRemarks() {
    if (const MediaApi* api = loaded.load()) api->dropRemarks();
}

}  // namespace kalmix::tool
