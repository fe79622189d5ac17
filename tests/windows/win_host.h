// The Windows test host: plays the video host for Kalmix.PRM under Wine or
// Windows. It loads the module with LoadLibrary, keeps the host's records,
// creates the main window that PREMINFO reports, and operates the module's
// dialogs from a second thread as a person would.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/host_records.h"
#include "params/filter_params.h"
#include "platform/win_api.h"

namespace winhost {

using kalmix::FilterParams;

// Failed expectations are printed and counted; a command fails if any did.
void expect(bool condition, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
int failureCount();
// Prints the closing line and gives the command's exit status.
int finish(const char* command);

// The stand-in PREMINFO.DLL beside the module, and its test controls.
struct Preminfo {
    bool load();
    void (*setMainWindow)(HWND) = nullptr;
    void (*failNextAllocation)() = nullptr;
    int (*allocationCount)() = nullptr;
    std::int32_t (*lastAllocationSize)() = nullptr;
};

// One loaded module and the records the host keeps for one use of the filter.
class Module {
public:
    explicit Module(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    bool loaded() const { return library_ != nullptr; }
    void unload();

    std::int16_t call(std::int16_t selector);
    // One execute call on width x height BGRA pixels.
    std::int16_t execute(const std::uint8_t* source, std::uint8_t* destination, std::int32_t width,
                         std::int32_t height, std::int32_t framePosition, std::int32_t clipTotal);

    HostFrameRequest& request() { return request_; }
    // The parameter record behind the handle (null before the first setup).
    bool readParams(FilterParams& params) const;
    // A handle of the host's own holding `params`, as a project would restore it.
    void setParams(const FilterParams& params);

private:
    HMODULE library_ = nullptr;
    XFilterFunction entry_ = nullptr;
    HostFrame source_{};
    HostFrame destination_{};
    HostFrame* sourcePtr_ = &source_;
    HostFrame* destinationPtr_ = &destination_;
    HostFrameRequest request_{};
    HostFrameRequest* requestPtr_ = &request_;
    char ownBlock_[sizeof(FilterParams)] = {};
    char* ownBlockPtr_ = ownBlock_;
};

// The host's main window: a visible top-level window of the main thread.
HWND createMainWindow();

// What the person at the screen does while the main thread is inside a call
// to the module. The script runs on its own thread; when it returns, any of
// the module's windows still open is cancelled so that the call can end.
class Operator {
public:
    explicit Operator(std::function<void()> script);
    ~Operator();  // waits for the script
    Operator(const Operator&) = delete;
    Operator& operator=(const Operator&) = delete;

private:
    static DWORD WINAPI run(LPVOID self);
    std::function<void()> script_;
    HANDLE thread_ = nullptr;
    HANDLE started_ = nullptr;
};

// Operating a window of another thread, as a user or an accessibility tool would.
// Waits and the watchdog scaled by KALMIX_WINE_SLOWDOWN.
DWORD slowed(DWORD milliseconds);
HWND waitForWindow(const char* caption, DWORD timeoutMs = 10000);
bool waitUntilClosed(HWND window, DWORD timeoutMs = 10000);
std::string itemText(HWND dialog, int id);
void clickButton(HWND dialog, int id);  // posted BM_CLICK: no focus needed
// Moves a trackbar's thumb and notifies the dialog as a drag would.
void dragSlider(HWND dialog, int id, int position);
int sliderPosition(HWND dialog, int id);
void closeModuleWindows();  // cancels any dialog or message box of the module

// The commands, each a group of related checks.
int checkResources(const std::string& modulePath);
int checkDialogs(const std::string& modulePath);
int checkStateFile(const std::string& modulePath);
int checkCrosscheck(const std::string& modulePath, const std::string& dataPath);
int takeScreenshots(const std::string& modulePath, const std::string& aboutBmp,
                    const std::string& parametersBmp);

}  // namespace winhost
