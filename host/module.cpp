// The module's entry point and its start and end.
#include <cstdint>

#include "host/host_records.h"
#include "host/setup.h"
#include "host/state_file.h"
#include "host/whole_file.h"
#include "pipeline/frame_driver.h"
#include "platform/win_api.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace kalmix {

HINSTANCE moduleInstance = nullptr;

namespace {

HINSTANCE instanceContaining(const void* address) {
#if defined(_WIN32)
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCSTR>(address), &module);
    return module;
#else
    Dl_info info{};
    if (dladdr(address, &info) == 0) return nullptr;
    return static_cast<HINSTANCE>(info.dli_fbase);
#endif
}

bool windowsDirectory(char* buffer, std::uint32_t size) {
    const UINT length = GetWindowsDirectoryA(buffer, size);
    return length != 0 && length < size;
}

void showMessage(const char* text, const char* caption) {
    MessageBoxA(ownerWindow(), text, caption, MB_OK);
}

// Lives from module load to module unload: its start and end are the module's.
class Application {
public:
    Application() {
        moduleInstance = instanceContaining(reinterpret_cast<const void*>(&marker));
#if defined(_WIN32)
        constexpr char SEPARATOR = '\\';
#else
        constexpr char SEPARATOR = '/';
#endif
        setStateFileServices({windowsDirectory, showMessage, SEPARATOR, writeWholeFile});
    }
    ~Application() { saveState(); }
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

private:
    static inline const char marker = 0;
};

Application application;

}  // namespace

}  // namespace kalmix

extern "C" KALMIX_EXPORT std::int16_t KALMIX_CDECL xFilter(std::int16_t selector,
                                                          HostFrameRequest** request) {
    switch (selector) {
        case SELECTOR_EXECUTE:
            return kalmix::executeFrame(**request);
        case SELECTOR_SETUP:
            return kalmix::setupFilter(**request);
        default:
            return -1;
    }
}
