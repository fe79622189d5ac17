// A stand-in for the video host's support library PREMINFO.DLL: ordinal 235
// answers the host's main window, ordinal 378 hands out relocatable handles.
// The test host sets the window and watches the allocations.
#include <cstdint>
#include <cstdlib>

#include "platform/preminfo.h"

namespace {

HWND mainWindow = nullptr;
bool failNextAllocation = false;
int allocationCount = 0;
std::int32_t lastAllocationSize = -1;

}  // namespace

extern "C" {

HWND KALMIX_CDECL preminfoMainWindow(void) { return mainWindow; }

// A handle is a pointer to a pointer to the block, as the host's are; blocks
// live until the process ends, as the host keeps them with its project.
HostHandle KALMIX_CDECL preminfoNewHandle(std::int32_t size) {
    ++allocationCount;
    lastAllocationSize = size;
    if (failNextAllocation || size < 0) {
        failNextAllocation = false;
        return nullptr;
    }
    auto* handle = static_cast<char**>(std::calloc(1, sizeof(char*)));
    if (handle == nullptr) return nullptr;
    *handle = static_cast<char*>(std::calloc(1, static_cast<std::size_t>(size) + 1));
    return handle;
}

void KALMIX_CDECL standinSetMainWindow(HWND window) { mainWindow = window; }
void KALMIX_CDECL standinFailNextAllocation(void) { failNextAllocation = true; }
int KALMIX_CDECL standinAllocationCount(void) { return allocationCount; }
std::int32_t KALMIX_CDECL standinLastAllocationSize(void) {
    return lastAllocationSize;
}

}  // extern "C"
