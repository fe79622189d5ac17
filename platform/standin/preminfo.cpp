// The host support library's two functions, the host's main window and its
// relocatable memory handles, as a host would serve them to the module.
#include "platform/preminfo.h"

#include <memory>
#include <vector>

#include "platform/standin/internal.h"
#include "platform/standin/standin.h"

namespace {

// A relocatable handle: the module holds the address of `block`, which the
// host may repoint; the host owns both until the process ends, as the video
// host keeps a filter's parameters with its project.
struct Allocation {
    std::unique_ptr<char[]> storage;
    char* block;
};

struct PreminfoState {
    bool mainWindowPresent = true;
    bool failNext = false;
    std::int32_t lastSize = 0;
    int requests = 0;
    std::vector<std::unique_ptr<Allocation>> allocations;
};

// Never destroyed: a module unloaded at process exit may still call in.
PreminfoState& state() {
    static PreminfoState* const instance = new PreminfoState;
    return *instance;
}

StandinWindow hostWindowObject{nullptr, -1};

}  // namespace

namespace standin {

namespace detail {

HWND hostWindow() { return &hostWindowObject; }

void resetPreminfo() {
    PreminfoState& s = state();
    s.mainWindowPresent = true;
    s.failNext = false;
    s.lastSize = 0;
    s.requests = 0;
}

}  // namespace detail

HWND mainWindow() { return state().mainWindowPresent ? detail::hostWindow() : nullptr; }
void setMainWindowPresent(bool present) { state().mainWindowPresent = present; }
void failNextAllocation() { state().failNext = true; }
std::int32_t lastAllocationSize() { return state().lastSize; }
// Every request counts, also one that failed.
int allocationCount() { return state().requests; }

}  // namespace standin

extern "C" {

HWND KALMIX_CDECL preminfoMainWindow(void) { return standin::mainWindow(); }

HostHandle KALMIX_CDECL preminfoNewHandle(std::int32_t size) {
    PreminfoState& s = state();
    s.lastSize = size;
    ++s.requests;
    if (s.failNext) {
        s.failNext = false;
        return nullptr;
    }
    if (size < 0) return nullptr;
    auto allocation = std::make_unique<Allocation>();
    // Zero-filled; an empty block still gets an address of its own.
    allocation->storage = std::make_unique<char[]>(size > 0 ? static_cast<std::size_t>(size) : 1);
    allocation->block = allocation->storage.get();
    s.allocations.push_back(std::move(allocation));
    return &s.allocations.back()->block;
}

}  // extern "C"
