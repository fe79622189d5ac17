// Loading and driving Kalmix.PRM through its entry point.
#include "tools/host/plugin_host.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "platform/standin/standin.h"
#include "resources/resource_ids.h"

namespace kalmix::host {

std::string defaultModulePath() {
    if (const char* path = std::getenv("KALMIX_MODULE"); path != nullptr && *path != '\0') {
        return path;
    }
    return KALMIX_MODULE_BUILD_PATH;
}

std::unique_ptr<PluginModule> PluginModule::load(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        error = "cannot load module " + path + ": " + (reason != nullptr ? reason : "unknown error");
        return nullptr;
    }
    void* symbol = dlsym(library, "xFilter");
    if (symbol == nullptr) {
        error = "module " + path + " has no entry point xFilter";
        dlclose(library);
        return nullptr;
    }
    XFilterFunction entry;
    static_assert(sizeof(entry) == sizeof(symbol));
    std::memcpy(&entry, &symbol, sizeof(entry));
    return std::unique_ptr<PluginModule>(new PluginModule(library, entry));
}

PluginModule::PluginModule(void* library, XFilterFunction entry) : library_(library), entry_(entry) {
    request_.sourceFrame = &sourcePtr_;
    request_.destinationFrame = &destinationPtr_;
}

PluginModule::~PluginModule() { unload(); }

void PluginModule::unload() {
    if (library_ != nullptr) {
        dlclose(library_);
        library_ = nullptr;
        entry_ = nullptr;
    }
}

std::int16_t PluginModule::call(std::int16_t selector) {
    if (entry_ == nullptr) return -1;
    return entry_(selector, &requestPtr_);
}

std::int16_t PluginModule::setup() { return call(SELECTOR_SETUP); }

std::int16_t PluginModule::setup(const UserSettings& settings) {
    standin::setDialogUser([&settings](standin::Dialog& dialog) {
        if (dialog.templateId() == IDD_ABOUT) {
            dialog.click(1);  // ACCEPT
            return;
        }
        dialog.dragSlider(IDC_PRIMARY_SLIDER, settings.primaryLevel);
        dialog.dragSlider(IDC_SECONDARY_SLIDER, settings.secondaryLevel);
        if (dialog.isChecked(IDC_ENHANCED_CHECK) != settings.enhancedSuppression) {
            dialog.click(IDC_ENHANCED_CHECK);
        }
        dialog.click(1);  // OK
    });
    const std::int16_t result = setup();
    standin::setDialogUser(nullptr);
    if (FilterParams* record = params(); result == 0 && record != nullptr) {
        record->transitionFrames = settings.transitionFrames;
        record->uvLevel = settings.uvLevel;
    }
    return result;
}

std::int16_t PluginModule::execute(const std::uint8_t* source, std::uint8_t* destination,
                                   std::int32_t width, std::int32_t height,
                                   std::int32_t framePosition, std::int32_t clipTotal) {
    return execute(HostRect{0, 0, width, height}, source, destination, framePosition, clipTotal);
}

std::int16_t PluginModule::execute(const HostRect& bounds, const std::uint8_t* source,
                                   std::uint8_t* destination, std::int32_t framePosition,
                                   std::int32_t clipTotal) {
    source_.bounds = bounds;
    destination_.bounds = bounds;
    // The module only reads the source pixels.
    source_.pixels = const_cast<std::uint8_t*>(source);
    destination_.pixels = destination;
    request_.framePosition = framePosition;
    request_.clipTotal = clipTotal;
    return call(SELECTOR_EXECUTE);
}

FilterParams* PluginModule::params() {
    if (request_.paramsHandle == nullptr || *request_.paramsHandle == nullptr) return nullptr;
    return reinterpret_cast<FilterParams*>(*request_.paramsHandle);
}

void PluginModule::setParams(const FilterParams& values) {
    ownBlock_ = std::make_unique<char[]>(sizeof(FilterParams));
    std::memcpy(ownBlock_.get(), &values, sizeof(values));
    ownBlockPtr_ = ownBlock_.get();
    request_.paramsHandle = &ownBlockPtr_;
}

void PluginModule::clearParams() { request_.paramsHandle = nullptr; }

}  // namespace kalmix::host
