// Loading and driving Kalmix.PRM through its entry point.
#include "tools/host/plugin_host.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

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

namespace {

// The module's frame state is static and zero at load: every page of it is
// first touched by the first frames, one page fault each, which in a virtual
// machine costs some 10 us a page (about 6 ms a process at the largest
// frame). Asking the kernel to provide the pages up front (Linux 5.14 on)
// makes that one call; without it the faults happen as before.
void providePagesOfStaticState(void* library) {
#if defined(MADV_POPULATE_WRITE)
    link_map* map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return;
    ElfW(Addr) base = map->l_addr;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* wanted) {
            if (info->dlpi_addr != *static_cast<ElfW(Addr)*>(wanted)) return 0;
            const auto page = static_cast<ElfW(Addr)>(sysconf(_SC_PAGESIZE));
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) == 0) continue;
                // The zero-filled part past the file's bytes, whole pages only.
                const ElfW(Addr) start = info->dlpi_addr + segment.p_vaddr;
                const ElfW(Addr) from = (start + segment.p_filesz + page - 1) & ~(page - 1);
                const ElfW(Addr) to = (start + segment.p_memsz + page - 1) & ~(page - 1);
                if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
            }
            return 1;
        },
        &base);
#else
    (void)library;
#endif
}

}  // namespace

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
    providePagesOfStaticState(library);
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
