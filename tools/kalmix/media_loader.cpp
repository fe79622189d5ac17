// Loading kalmix-ffmpeg.so on first use.
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "tools/kalmix/media.h"

namespace kalmix::tool {
namespace {

constexpr const char* LIBRARY_NAME = "kalmix-ffmpeg.so";

std::atomic<const MediaApi*> loaded{nullptr};
std::atomic<int> logLevel{AV_LOG_WARNING};

// $KALMIX_FFMPEG_LIBRARY, else the installed library as seen from the
// program, else the one this build made, else one beside the program.
std::string libraryPath() {
    if (const char* path = std::getenv("KALMIX_FFMPEG_LIBRARY"); path != nullptr && *path != '\0') return path;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed = (self.parent_path() / KALMIX_PKGLIB_FROM_BIN / LIBRARY_NAME).lexically_normal();
        if (std::filesystem::exists(installed, error)) return installed.string();
    }
    if (std::filesystem::exists(KALMIX_FFMPEG_LIBRARY_BUILD_PATH, error)) return KALMIX_FFMPEG_LIBRARY_BUILD_PATH;
    if (!self.empty()) {
        const auto beside = self.parent_path() / LIBRARY_NAME;
        if (std::filesystem::exists(beside, error)) return beside.string();
    }
    return KALMIX_FFMPEG_LIBRARY_BUILD_PATH;
}

const MediaApi& load() {
    const std::string path = libraryPath();
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
