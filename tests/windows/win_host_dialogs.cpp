// The setup call with its two dialogs on a real desktop: the About box and
// "Filtration Parameters" are found by caption and operated from another
// thread as a person would, and the host's parameter record is checked after
// each call. Also takes the dialogs' screenshots.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Before <windows.h>, whose macros carry the names of the templates' style
// constants; after it those names are the (equal) Windows macros.
#include "resources/dialog_templates.h"
#include "resources/resource_ids.h"
#include "win_host.h"

namespace winhost {

namespace {

namespace res = kalmix::resources;

constexpr const char* ABOUT_CAPTION = "About Kalmix";
constexpr const char* PARAMETERS_CAPTION = "Filtration Parameters";

DWORD mainThread = 0;

std::string text(HWND window) {
    char buffer[256] = {};
    GetWindowTextA(window, buffer, sizeof(buffer));
    return buffer;
}

bool sameParams(const FilterParams& a, const FilterParams& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

void expectParams(const Module& module, const FilterParams& expected, const char* when) {
    FilterParams actual{};
    const bool present = module.readParams(actual);
    expect(present && sameParams(actual, expected),
           "%s: record {%d, %d, %d, %d, %d}, expected {%d, %d, %d, %d, %d}", when, actual.primaryLevel,
           actual.uvLevel, actual.secondaryLevel, actual.transitionFrames, actual.enhancedSuppression,
           expected.primaryLevel, expected.uvLevel, expected.secondaryLevel, expected.transitionFrames,
           expected.enhancedSuppression);
}

HWND focusOfMainThread() {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(mainThread, &info) ? info.hwndFocus : nullptr;
}

// The About box as shown: its lines, its buttons, its owner. Returns it.
HWND inspectAboutBox() {
    HWND about = waitForWindow(ABOUT_CAPTION);
    expect(about != nullptr, "no \"%s\" window", ABOUT_CAPTION);
    if (about == nullptr) return nullptr;
    expect(GetWindow(about, GW_OWNER) == createMainWindow(), "the About box is not owned by the host");
    std::vector<std::string> lines;
    for (HWND child = GetWindow(about, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        char className[32] = {};
        GetClassNameA(child, className, sizeof(className));
        if (lstrcmpiA(className, "Static") == 0) lines.push_back(text(child));
    }
    const std::vector<std::string> expectedLines{"\"Kalmix\" (v1.03)",
                                                 "Video noise reduction plug-in for Adobe Premiere v4.2"};
    expect(lines == expectedLines, "About box lines differ (%zu shown)", lines.size());
    expect(itemText(about, IDOK) == "ACCEPT" && itemText(about, IDCANCEL) == "CANCEL",
           "About box buttons '%s' and '%s'", itemText(about, IDOK).c_str(),
           itemText(about, IDCANCEL).c_str());
    expect(LOWORD(SendMessageA(about, DM_GETDEFID, 0, 0)) == IDOK, "ACCEPT is not the default button");
    return about;
}

void acceptAboutBox() {
    if (HWND about = inspectAboutBox()) {
        clickButton(about, IDOK);
        expect(waitUntilClosed(about), "the About box stays open after ACCEPT");
    }
}

struct Shown {
    std::string primary, uv, secondary, transition;
    int primaryPosition, uvPosition, secondaryPosition, transitionPosition;
    bool checked;
};

Shown readDialog(HWND dialog) {
    return Shown{itemText(dialog, IDC_PRIMARY_VALUE),
                 itemText(dialog, IDC_UV_VALUE),
                 itemText(dialog, IDC_SECONDARY_VALUE),
                 itemText(dialog, IDC_TRANSITION_VALUE),
                 sliderPosition(dialog, IDC_PRIMARY_SLIDER),
                 sliderPosition(dialog, IDC_UV_SLIDER),
                 sliderPosition(dialog, IDC_SECONDARY_SLIDER),
                 sliderPosition(dialog, IDC_TRANSITION_SLIDER),
                 SendDlgItemMessageA(dialog, IDC_ENHANCED_CHECK, BM_GETCHECK, 0, 0) == BST_CHECKED};
}

void expectShown(HWND dialog, const FilterParams& params, const char* when) {
    const Shown shown = readDialog(dialog);
    auto clamp = [](int value, int maximum) { return value < 0 ? 0 : value > maximum ? maximum : value; };
    expect(shown.primary == std::to_string(params.primaryLevel) &&
               shown.uv == std::to_string(params.uvLevel) &&
               shown.secondary == std::to_string(params.secondaryLevel) &&
               shown.transition == std::to_string(params.transitionFrames),
           "%s: boxes show %s %s %s %s", when, shown.primary.c_str(), shown.uv.c_str(),
           shown.secondary.c_str(), shown.transition.c_str());
    // A trackbar keeps its thumb inside its range.
    expect(shown.primaryPosition == clamp(params.primaryLevel, 10) &&
               shown.uvPosition == clamp(params.uvLevel, 10) &&
               shown.secondaryPosition == clamp(params.secondaryLevel, 10) &&
               shown.transitionPosition == clamp(params.transitionFrames, 7),
           "%s: thumbs at %d %d %d %d", when, shown.primaryPosition, shown.uvPosition,
           shown.secondaryPosition, shown.transitionPosition);
    expect(shown.checked == (params.enhancedSuppression != 0), "%s: check box %s", when,
           shown.checked ? "checked" : "unchecked");
}

// What the dialog shows beyond the values: states, ranges, focus, owner.
void inspectParameterDialog(HWND dialog) {
    expect(GetWindow(dialog, GW_OWNER) == createMainWindow(), "the dialog is not owned by the host");
    for (const res::DialogControl& control : res::PARAMETER_CONTROLS) {
        if (control.id == IDC_STATIC_TEXT) continue;
        HWND item = GetDlgItem(dialog, control.id);
        expect(item != nullptr, "control %d is missing", control.id);
        if (item == nullptr) continue;
        const bool visible = (control.style & WS_VISIBLE) != 0;
        const bool enabled = (control.style & WS_DISABLED) == 0;
        expect(IsWindowVisible(item) == (visible ? TRUE : FALSE), "control %d: %s", control.id,
               visible ? "hidden" : "shown");
        expect(IsWindowEnabled(item) == (enabled ? TRUE : FALSE), "control %d: %s", control.id,
               enabled ? "disabled" : "enabled");
    }
    for (const auto& [slider, maximum] : {std::pair{IDC_PRIMARY_SLIDER, 10}, std::pair{IDC_UV_SLIDER, 10},
                                          std::pair{IDC_SECONDARY_SLIDER, 10},
                                          std::pair{IDC_TRANSITION_SLIDER, 7}}) {
        const auto low = SendDlgItemMessageA(dialog, slider, TBM_GETRANGEMIN, 0, 0);
        const auto high = SendDlgItemMessageA(dialog, slider, TBM_GETRANGEMAX, 0, 0);
        expect(low == 0 && high == maximum, "slider %d: range %d..%d", slider, static_cast<int>(low),
               static_cast<int>(high));
    }
    expect(focusOfMainThread() == GetDlgItem(dialog, IDOK), "the OK button does not have the focus");
}

// Runs one setup call with `user` at the screen; returns the call's result.
std::int16_t setupWith(Module& module, std::function<void()> user) {
    Operator person(std::move(user));
    return module.call(SELECTOR_SETUP);
}

bool waitForCheck(HWND dialog, LRESULT state) {
    for (int i = 0; i < 250; ++i) {
        if (SendDlgItemMessageA(dialog, IDC_ENHANCED_CHECK, BM_GETCHECK, 0, 0) == state) return true;
        Sleep(20);
    }
    return false;
}

// Writes the pixels of `window` as they are on the screen to a 24-bit BMP.
bool captureWindow(HWND window, const std::string& path) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    Sleep(400);  // the X server draws asynchronously
    RECT rect{};
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    const BOOL copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const DWORD rowBytes = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + imageBytes;
    bool written = false;
    if (copied && bits != nullptr) {
        if (std::FILE* out = std::fopen(path.c_str(), "wb")) {
            written = std::fwrite(&file, sizeof(file), 1, out) == 1 &&
                      std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
                      std::fwrite(bits, 1, imageBytes, out) == imageBytes;
            written = std::fclose(out) == 0 && written;
        }
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}

}  // namespace

int checkDialogs(const std::string& modulePath) {
    mainThread = GetCurrentThreadId();
    Preminfo preminfo;
    expect(preminfo.load(), "the stand-in PREMINFO.DLL cannot be loaded");
    if (failureCount() != 0) return finish("dialogs");
    preminfo.setMainWindow(createMainWindow());
    Module module(modulePath);
    if (!module.loaded()) return finish("dialogs");
    const FilterParams defaults = kalmix::DEFAULT_FILTER_PARAMS;

    // CANCEL on the About box ends the call before anything is created.
    std::int16_t result = setupWith(module, [] {
        if (HWND about = inspectAboutBox()) {
            clickButton(about, IDCANCEL);
            expect(waitUntilClosed(about), "the About box stays open after CANCEL");
        }
    });
    expect(result == -1, "CANCEL on the About box: result %d, expected -1", result);
    // The close box counts as CANCEL.
    result = setupWith(module, [] {
        if (HWND about = waitForWindow(ABOUT_CAPTION)) {
            PostMessageA(about, WM_SYSCOMMAND, SC_CLOSE, 0);
            expect(waitUntilClosed(about), "the About box stays open after its close box");
        }
    });
    expect(result == -1, "the About box's close box: result %d, expected -1", result);
    expect(module.request().paramsHandle == nullptr && preminfo.allocationCount() == 0,
           "a cancelled setup allocated a parameter handle");

    // A handle the host cannot give ends the call without the dialog.
    preminfo.failNextAllocation();
    result = setupWith(module, [] {
        acceptAboutBox();
        expect(waitForWindow(PARAMETERS_CAPTION, 500) == nullptr, "the dialog opened without a record");
    });
    expect(result == -1 && module.request().paramsHandle == nullptr,
           "failed allocation: result %d, handle %p", result,
           static_cast<void*>(module.request().paramsHandle));

    // First use: a new 20-byte record from the defaults; two sliders moved and
    // the check box toggled, then OK.
    const int allocationsBefore = preminfo.allocationCount();
    result = setupWith(module, [&] {
        acceptAboutBox();
        HWND dialog = waitForWindow(PARAMETERS_CAPTION);
        expect(dialog != nullptr, "no \"%s\" window", PARAMETERS_CAPTION);
        if (dialog == nullptr) return;
        inspectParameterDialog(dialog);
        expectShown(dialog, defaults, "a new record");
        dragSlider(dialog, IDC_PRIMARY_SLIDER, 7);
        expect(itemText(dialog, IDC_PRIMARY_VALUE) == "7", "box 1012 shows '%s' after the drag to 7",
               itemText(dialog, IDC_PRIMARY_VALUE).c_str());
        dragSlider(dialog, IDC_SECONDARY_SLIDER, 9);
        expect(itemText(dialog, IDC_SECONDARY_VALUE) == "9", "box 1017 shows '%s' after the drag to 9",
               itemText(dialog, IDC_SECONDARY_VALUE).c_str());
        const LRESULT unticked = defaults.enhancedSuppression != 0 ? BST_UNCHECKED : BST_CHECKED;
        clickButton(dialog, IDC_ENHANCED_CHECK);
        expect(waitForCheck(dialog, unticked), "the check box does not follow a click");
        clickButton(dialog, IDOK);
        expect(waitUntilClosed(dialog), "the dialog stays open after OK");
    });
    expect(result == 0, "setup with OK: result %d", result);
    expect(preminfo.allocationCount() == allocationsBefore + 1 && preminfo.lastAllocationSize() == 20,
           "allocations %d of %d bytes, expected one of 20", preminfo.allocationCount() - allocationsBefore,
           preminfo.lastAllocationSize());
    expectParams(module,
                 FilterParams{7, defaults.uvLevel, 9, defaults.transitionFrames,
                              defaults.enhancedSuppression != 0 ? 0 : 1},
                 "after OK");

    // A record from the host's project, one level above its slider's range:
    // the box shows it, the thumb stops at 10; Cancel keeps the record.
    const FilterParams stored{12, 4, 3, 6, 1};
    std::memcpy(*module.request().paramsHandle, &stored, sizeof(stored));
    result = setupWith(module, [&] {
        acceptAboutBox();
        HWND dialog = waitForWindow(PARAMETERS_CAPTION);
        if (dialog == nullptr) return;
        expectShown(dialog, stored, "a stored record");
        dragSlider(dialog, IDC_PRIMARY_SLIDER, 2);
        expect(itemText(dialog, IDC_PRIMARY_VALUE) == "2", "box 1012 shows '%s' after the drag to 2",
               itemText(dialog, IDC_PRIMARY_VALUE).c_str());
        clickButton(dialog, IDCANCEL);
        expect(waitUntilClosed(dialog), "the dialog stays open after Cancel");
    });
    expect(result == 0, "setup with Cancel: result %d", result);
    expectParams(module, stored, "after Cancel");
    expect(preminfo.allocationCount() == allocationsBefore + 1, "a second setup allocated again");

    // OK untouched stores what the controls hold: the level clamped to 10.
    result = setupWith(module, [&] {
        acceptAboutBox();
        if (HWND dialog = waitForWindow(PARAMETERS_CAPTION)) {
            clickButton(dialog, IDOK);
            expect(waitUntilClosed(dialog), "the dialog stays open after OK");
        }
    });
    const FilterParams clamped{10, 4, 3, 6, 1};
    expect(result == 0, "setup with OK untouched: result %d", result);
    expectParams(module, clamped, "after OK untouched");

    // CANCEL on the About box leaves an existing record alone; so does an
    // unknown selector.
    result = setupWith(module, [] {
        if (HWND about = waitForWindow(ABOUT_CAPTION)) {
            clickButton(about, IDCANCEL);
            waitUntilClosed(about);
        }
    });
    expect(result == -1, "CANCEL with a record: result %d", result);
    expect(module.call(2) == -1, "selector 2 is not refused");
    expectParams(module, clamped, "after CANCEL and selector 2");

    return finish("dialogs");
}

int takeScreenshots(const std::string& modulePath, const std::string& aboutBmp,
                    const std::string& parametersBmp) {
    mainThread = GetCurrentThreadId();
    Preminfo preminfo;
    expect(preminfo.load(), "the stand-in PREMINFO.DLL cannot be loaded");
    if (failureCount() != 0) return finish("screenshots");
    preminfo.setMainWindow(createMainWindow());
    Module module(modulePath);
    if (!module.loaded()) return finish("screenshots");
    setupWith(module, [&] {
        HWND about = waitForWindow(ABOUT_CAPTION);
        expect(about != nullptr && captureWindow(about, aboutBmp), "no screenshot of the About box");
        if (about == nullptr) return;
        clickButton(about, IDOK);
        waitUntilClosed(about);
        HWND dialog = waitForWindow(PARAMETERS_CAPTION);
        expect(dialog != nullptr && captureWindow(dialog, parametersBmp), "no screenshot of the dialog");
        if (dialog != nullptr) {
            clickButton(dialog, IDCANCEL);
            waitUntilClosed(dialog);
        }
    });
    return finish("screenshots");
}

}  // namespace winhost
