// The Windows test host's shared parts: checks, the module and PREMINFO,
// the main window, the operator thread, and the command line.
#include "win_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resources/resource_ids.h"

namespace winhost {

namespace {

// The win32-thread runtime has no std::mutex.
SRWLOCK checkLock = SRWLOCK_INIT;

struct CheckLock {
    CheckLock() { AcquireSRWLockExclusive(&checkLock); }
    ~CheckLock() { ReleaseSRWLockExclusive(&checkLock); }
    CheckLock(const CheckLock&) = delete;
    CheckLock& operator=(const CheckLock&) = delete;
};
int failures = 0;
int checks = 0;

HWND hostMainWindow = nullptr;

}  // namespace

void expect(bool condition, const char* format, ...) {
    const CheckLock lock;
    ++checks;
    if (condition) return;
    ++failures;
    std::va_list arguments;
    va_start(arguments, format);
    std::printf("FAIL: ");
    std::vprintf(format, arguments);
    std::printf("\n");
    va_end(arguments);
    std::fflush(stdout);
}

int failureCount() {
    const CheckLock lock;
    return failures;
}

int finish(const char* command) {
    const CheckLock lock;
    std::printf("%s: %d passed, %d failed\n", command, checks - failures, failures);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}

bool Preminfo::load() {
    // The module imports it; loading it first lets the host reach its controls.
    HMODULE library = LoadLibraryA("PREMINFO.DLL");
    if (library == nullptr) return false;
    setMainWindow = reinterpret_cast<void (*)(HWND)>(
        reinterpret_cast<void*>(GetProcAddress(library, "standinSetMainWindow")));
    failNextAllocation = reinterpret_cast<void (*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "standinFailNextAllocation")));
    allocationCount = reinterpret_cast<int (*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "standinAllocationCount")));
    lastAllocationSize = reinterpret_cast<std::int32_t (*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "standinLastAllocationSize")));
    return setMainWindow && failNextAllocation && allocationCount && lastAllocationSize;
}

Module::Module(const std::string& path) {
    library_ = LoadLibraryA(path.c_str());
    if (library_ == nullptr) {
        expect(false, "LoadLibrary(%s) failed with error %lu", path.c_str(), GetLastError());
        return;
    }
    entry_ = reinterpret_cast<XFilterFunction>(
        reinterpret_cast<void*>(GetProcAddress(library_, "xFilter")));
    expect(entry_ != nullptr, "%s exports no xFilter", path.c_str());
    request_.sourceFrame = &sourcePtr_;
    request_.destinationFrame = &destinationPtr_;
}

Module::~Module() { unload(); }

void Module::unload() {
    if (library_ != nullptr) FreeLibrary(library_);
    library_ = nullptr;
    entry_ = nullptr;
}

std::int16_t Module::call(std::int16_t selector) {
    if (entry_ == nullptr) return -99;
    return entry_(selector, &requestPtr_);
}

std::int16_t Module::execute(const std::uint8_t* source, std::uint8_t* destination,
                             std::int32_t width, std::int32_t height, std::int32_t framePosition,
                             std::int32_t clipTotal) {
    source_.bounds = HostRect{0, 0, width, height};
    source_.pixels = const_cast<std::uint8_t*>(source);
    destination_.bounds = source_.bounds;
    destination_.pixels = destination;
    request_.framePosition = framePosition;
    request_.clipTotal = clipTotal;
    return call(SELECTOR_EXECUTE);
}

bool Module::readParams(FilterParams& params) const {
    if (request_.paramsHandle == nullptr || *request_.paramsHandle == nullptr) return false;
    std::memcpy(&params, *request_.paramsHandle, sizeof(params));
    return true;
}

void Module::setParams(const FilterParams& params) {
    std::memcpy(ownBlock_, &params, sizeof(params));
    request_.paramsHandle = &ownBlockPtr_;
}

HWND createMainWindow() {
    if (hostMainWindow != nullptr) return hostMainWindow;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
    windowClass.lpszClassName = "KalmixTestHost";
    RegisterClassA(&windowClass);
    hostMainWindow = CreateWindowA("KalmixTestHost", "Kalmix Test Host", WS_OVERLAPPEDWINDOW, 20, 20,
                                   560, 420, nullptr, nullptr, windowClass.hInstance, nullptr);
    ShowWindow(hostMainWindow, SW_SHOW);
    UpdateWindow(hostMainWindow);
    return hostMainWindow;
}

Operator::Operator(std::function<void()> script) : script_(std::move(script)) {
    started_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
    // Once running, the thread no longer needs the loader lock, which the main
    // thread holds while a message box is shown from inside FreeLibrary.
    if (thread_ != nullptr) WaitForSingleObject(started_, INFINITE);
}

Operator::~Operator() {
    if (thread_ == nullptr) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(started_);
}

DWORD WINAPI Operator::run(LPVOID self) {
    auto* person = static_cast<Operator*>(self);
    SetEvent(person->started_);
    person->script_();
    closeModuleWindows();
    return 0;
}

// Every wait is this many times longer on a slow machine: KALMIX_WINE_SLOWDOWN
// (1 to 100; an emulated i386 machine under TCG needs far more than 1).
DWORD slowed(DWORD milliseconds) {
    static const DWORD factor = [] {
        char text[16] = {};
        const DWORD length = GetEnvironmentVariableA("KALMIX_WINE_SLOWDOWN", text, sizeof(text));
        const long value = length > 0 && length < sizeof(text) ? std::strtol(text, nullptr, 10) : 1;
        return static_cast<DWORD>(value >= 1 && value <= 100 ? value : 1);
    }();
    return milliseconds * factor;
}

HWND waitForWindow(const char* caption, DWORD timeoutMs) {
    timeoutMs = slowed(timeoutMs);
    const DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowA(nullptr, caption);
        if (window != nullptr && IsWindowVisible(window)) return window;
        if (GetTickCount() - start > timeoutMs) return nullptr;
        Sleep(20);
    }
}

bool waitUntilClosed(HWND window, DWORD timeoutMs) {
    timeoutMs = slowed(timeoutMs);
    const DWORD start = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

std::string itemText(HWND dialog, int id) {
    char text[256] = {};
    GetDlgItemTextA(dialog, id, text, sizeof(text));
    return text;
}

void clickButton(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void dragSlider(HWND dialog, int id, int position) {
    HWND slider = GetDlgItem(dialog, id);
    // TBM_SETPOS moves the thumb silently; a drag also sends these two.
    SendMessageA(slider, TBM_SETPOS, TRUE, position);
    const int reached = sliderPosition(dialog, id);
    SendMessageA(dialog, WM_VSCROLL, MAKEWPARAM(TB_THUMBPOSITION, reached),
                 reinterpret_cast<LPARAM>(slider));
    SendMessageA(dialog, WM_VSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(slider));
}

int sliderPosition(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessageA(dialog, id, TBM_GETPOS, 0, 0));
}

void closeModuleWindows() {
    for (const char* caption : {"About Kalmix", "Filtration Parameters", "Kalmix Noise Filter"}) {
        if (HWND window = FindWindowA(nullptr, caption)) {
            expect(false, "\"%s\" was left open", caption);
            PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
            waitUntilClosed(window);
        }
    }
}

}  // namespace winhost

namespace {

// A dialog nobody closes would hold the call forever: end the run instead.
DWORD WINAPI watchdog(LPVOID) {
    const DWORD limit = winhost::slowed(60000);
    Sleep(limit);
    std::printf("FAIL: still running after %lu s; a dialog may be waiting for input\n",
                static_cast<unsigned long>(limit / 1000));
    std::fflush(stdout);
    ExitProcess(3);
}

}  // namespace

int main(int argc, char** argv) {
    CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "resources" && argc == 3) return winhost::checkResources(argv[2]);
    if (command == "dialogs" && argc == 3) return winhost::checkDialogs(argv[2]);
    if (command == "state" && argc == 3) return winhost::checkStateFile(argv[2]);
    if (command == "crosscheck" && argc == 4) return winhost::checkCrosscheck(argv[2], argv[3]);
    if (command == "screenshots" && argc == 5) {
        return winhost::takeScreenshots(argv[2], argv[3], argv[4]);
    }
    std::fprintf(stderr,
                 "usage: kalmix_win_host resources|dialogs|state MODULE\n"
                 "       kalmix_win_host crosscheck MODULE DATA\n"
                 "       kalmix_win_host screenshots MODULE ABOUT.bmp PARAMETERS.bmp\n");
    return 2;
}
