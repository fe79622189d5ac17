// The stand-in platform where the module relies on it behaving as Windows
// does: the control model, the user's actions and their notifications, how a
// modal dialog ends, message boxes, the Windows directory and host handles.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/preminfo.h"
#include "platform/standin/standin.h"
#include "platform/win_api.h"
#include "resources/resource_ids.h"

namespace {

struct Message {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// The test's dialog procedure: records what it is sent and answers as told.
struct Procedure {
    HWND dialog = nullptr;
    std::vector<Message> seen;
    INT_PTR initResult = TRUE;
    bool endOnInit = false;
    bool endOnCommand = true;  // IDOK and IDCANCEL end the dialog with their id
};
Procedure procedure;

INT_PTR CALLBACK testProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    procedure.seen.push_back({message, wParam, lParam});
    if (message == WM_INITDIALOG) {
        procedure.dialog = dialog;
        if (procedure.endOnInit) EndDialog(dialog, 7);
        return procedure.initResult;
    }
    if (message == WM_COMMAND && procedure.endOnCommand &&
        (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// Templates are found only in a loaded image, as resources are.
HINSTANCE thisImage() {
    Dl_info info{};
    dladdr(reinterpret_cast<const void*>(&testProcedure), &info);
    return static_cast<HINSTANCE>(info.dli_fbase);
}

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        procedure = Procedure{};
    }
    void TearDown() override { standin::reset(); }

    INT_PTR run(standin::DialogUser user, int templateId = IDD_PARAMETERS,
                HWND owner = standin::mainWindow(), HINSTANCE instance = thisImage()) {
        standin::setDialogUser(std::move(user));
        return DialogBoxParamA(instance, MAKEINTRESOURCEA(templateId), owner, testProcedure, 42);
    }
};

TEST_F(StandinTest, TrackbarKeepsItsPositionInsideItsRange) {
    run([](standin::Dialog& d) {
        HWND slider = GetDlgItem(procedure.dialog, IDC_PRIMARY_SLIDER);
        auto position = [slider] { return SendMessageA(slider, TBM_GETPOS, 0, 0); };
        EXPECT_EQ(d.sliderMaximum(IDC_PRIMARY_SLIDER), 100);  // a new trackbar's range is 0..100
        SendMessageA(slider, TBM_SETPOS, TRUE, 150);
        EXPECT_EQ(position(), 100);
        SendMessageA(slider, TBM_SETRANGEMAX, FALSE, 10);
        EXPECT_EQ(position(), 10);
        SendMessageA(slider, TBM_SETPOS, TRUE, -4);
        EXPECT_EQ(position(), 0);
        SendMessageA(slider, TBM_SETPOS, TRUE, 6);
        SendMessageA(slider, TBM_SETRANGEMIN, FALSE, 8);
        EXPECT_EQ(position(), 8);
        SendMessageA(slider, TBM_SETRANGEMAX, FALSE, 3);  // the range collapses onto 3
        EXPECT_EQ(d.sliderMinimum(IDC_PRIMARY_SLIDER), 3);
        EXPECT_EQ(position(), 3);
        EXPECT_TRUE(d.dragSlider(IDC_PRIMARY_SLIDER, 50));
        EXPECT_EQ(d.sliderPosition(IDC_PRIMARY_SLIDER), 3);
    });
}

TEST_F(StandinTest, UserActionsArriveAsControlNotifications) {
    run([](standin::Dialog& d) {
        HWND dialog = procedure.dialog;
        SendDlgItemMessageA(dialog, IDC_PRIMARY_SLIDER, TBM_SETRANGEMAX, FALSE, 10);
        procedure.seen.clear();
        ASSERT_TRUE(d.dragSlider(IDC_PRIMARY_SLIDER, 15));
        ASSERT_EQ(procedure.seen.size(), 2u);
        const Message thumb = procedure.seen[0], end = procedure.seen[1];
        EXPECT_EQ(thumb.message, WM_VSCROLL);
        EXPECT_EQ(LOWORD(thumb.wParam), TB_THUMBPOSITION);
        EXPECT_EQ(HIWORD(thumb.wParam), 10);
        EXPECT_EQ(GetDlgCtrlID(reinterpret_cast<HWND>(thumb.lParam)), IDC_PRIMARY_SLIDER);
        EXPECT_EQ(end.message, WM_VSCROLL);
        EXPECT_EQ(LOWORD(end.wParam), TB_ENDTRACK);
        EXPECT_EQ(end.lParam, thumb.lParam);
        EXPECT_EQ(d.focusedControl(), IDC_PRIMARY_SLIDER);

        procedure.seen.clear();
        ASSERT_TRUE(d.click(IDC_ENHANCED_CHECK));  // an automatic check box ticks itself
        EXPECT_TRUE(d.isChecked(IDC_ENHANCED_CHECK));
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_ENHANCED_CHECK, BM_GETCHECK, 0, 0), BST_CHECKED);
        ASSERT_EQ(procedure.seen.size(), 1u);
        EXPECT_EQ(procedure.seen[0].message, WM_COMMAND);
        EXPECT_EQ(procedure.seen[0].wParam, WPARAM{IDC_ENHANCED_CHECK});  // BN_CLICKED is 0
        EXPECT_EQ(procedure.seen[0].lParam,
                  reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_ENHANCED_CHECK)));

        // Nothing reaches a control the user cannot act on.
        procedure.seen.clear();
        EXPECT_FALSE(d.dragSlider(IDC_UV_SLIDER, 3));          // hidden
        EXPECT_FALSE(d.dragSlider(IDC_TRANSITION_SLIDER, 3));  // disabled
        EXPECT_FALSE(d.dragSlider(IDC_ENHANCED_CHECK, 1));     // not a trackbar
        EXPECT_FALSE(d.click(IDC_PRIMARY_VALUE));              // an edit box
        EXPECT_FALSE(d.click(IDC_STATIC_TEXT));                // a group box
        EXPECT_FALSE(d.click(999));
        EXPECT_TRUE(procedure.seen.empty());
        // The module itself still sets them.
        SendDlgItemMessageA(dialog, IDC_TRANSITION_SLIDER, TBM_SETPOS, TRUE, 6);
        EXPECT_TRUE(SetDlgItemTextA(dialog, IDC_UV_VALUE, "6"));
        EXPECT_EQ(d.sliderPosition(IDC_TRANSITION_SLIDER), 6);
        EXPECT_EQ(d.text(IDC_UV_VALUE), "6");

        EXPECT_TRUE(d.click(IDOK));
        EXPECT_TRUE(d.hasEnded());
        EXPECT_EQ(d.endResult(), IDOK);
        EXPECT_FALSE(d.click(IDCANCEL));
        EXPECT_FALSE(d.close());
    });
}

TEST_F(StandinTest, ModalDialogEndsWhateverTheUserDoes) {
    EXPECT_EQ(run([](standin::Dialog&) {}), IDCANCEL) << "walking away is the close box";
    EXPECT_EQ(LOWORD(procedure.seen.back().wParam), IDCANCEL);

    EXPECT_EQ(run(nullptr), IDOK) << "no user presses the default button";
    EXPECT_EQ(run(nullptr, IDD_ABOUT), IDOK);

    procedure.endOnCommand = false;
    EXPECT_EQ(run([](standin::Dialog& d) { d.click(IDOK); }), -1) << "a dialog that never ends";

    procedure = Procedure{};
    procedure.endOnInit = true;
    bool userCalled = false;
    EXPECT_EQ(run([&](standin::Dialog&) { userCalled = true; }), 7);
    EXPECT_FALSE(userCalled);

    // A finished dialog's windows are gone.
    EXPECT_EQ(GetDlgItem(procedure.dialog, IDOK), nullptr);
    EXPECT_FALSE(EndDialog(procedure.dialog, 1));
}

TEST_F(StandinTest, InitialisationGetsTheFocusCandidateAndMayDecline) {
    int focus = -1, candidate = -1;
    run([&](standin::Dialog& d) {
        focus = d.focusedControl();
        candidate = GetDlgCtrlID(reinterpret_cast<HWND>(procedure.seen.front().wParam));
    });
    EXPECT_EQ(procedure.seen.front().message, WM_INITDIALOG);
    EXPECT_EQ(procedure.seen.front().lParam, 42);
    EXPECT_EQ(candidate, IDOK);
    EXPECT_EQ(focus, IDOK);

    procedure = Procedure{};
    procedure.initResult = FALSE;
    run([&](standin::Dialog& d) { focus = d.focusedControl(); });
    EXPECT_EQ(focus, 0);
}

TEST_F(StandinTest, DialogsFailAsWindowsDoes) {
    EXPECT_EQ(run(nullptr, IDD_PARAMETERS, standin::mainWindow(), nullptr), -1);
    EXPECT_EQ(run(nullptr, 999), -1);
    int notAWindow = 0;
    EXPECT_EQ(run(nullptr, IDD_PARAMETERS, reinterpret_cast<HWND>(&notAWindow)), 0);
    EXPECT_TRUE(procedure.seen.empty());

    standin::failNextDialog();
    EXPECT_EQ(run(nullptr), -1);
    EXPECT_TRUE(procedure.seen.empty());
    EXPECT_EQ(run(nullptr), IDOK);
    EXPECT_EQ(run(nullptr, IDD_PARAMETERS, nullptr), IDOK) << "a dialog needs no owner";
}

TEST_F(StandinTest, MessageBoxesGoToTheSinkOrStandardError) {
    std::vector<std::string> received;
    standin::setMessageSink([&](const std::string& caption, const std::string& text) {
        received.push_back(caption + "|" + text);
    });
    EXPECT_EQ(MessageBoxA(standin::mainWindow(), "one\r\ntwo", "Caption", MB_OK), IDOK);
    EXPECT_EQ(received, std::vector<std::string>{"Caption|one\r\ntwo"});

    standin::reset();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "one\r\ntwo", "Caption", MB_OK), IDOK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Caption: one\ntwo\n");
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(StandinTest, WindowsDirectoryIsWindirOrThePrivateStateDirectory) {
    const char* previous = std::getenv("WINDIR");
    const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    const char* previousState = std::getenv("XDG_STATE_HOME");
    const std::optional<std::string> savedState =
        previousState ? std::optional<std::string>(previousState) : std::nullopt;
    char buffer[260];
    const std::string stateHome =
        (std::filesystem::temp_directory_path() / ("kalmix-state-" + std::to_string(getpid()))).string();
    const std::string expected = stateHome + "/kalmix";
    const auto length = static_cast<UINT>(expected.size());
    setenv("XDG_STATE_HOME", stateHome.c_str(), 1);

    setenv("WINDIR", "/srv/video", 1);
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof(buffer)), 10u);
    EXPECT_STREQ(buffer, "/srv/video");
    std::strcpy(buffer, "untouched");
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 10), 11u) << "too small: the size needed";
    EXPECT_STREQ(buffer, "untouched");

    // No WINDIR: the user's own state directory, made private, never a
    // directory shared with other users.
    unsetenv("WINDIR");
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof(buffer)), length);
    EXPECT_EQ(buffer, expected);
    struct stat info {};
    ASSERT_EQ(stat(expected.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    standin::setWindowsDirectoryFails(true);
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof(buffer)), 0u);
    standin::reset();
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof(buffer)), length);

    // Without XDG_STATE_HOME (or with a relative one): ~/.local/state/kalmix.
    const char* previousHome = std::getenv("HOME");
    const std::string savedHome = previousHome ? previousHome : "";
    setenv("XDG_STATE_HOME", "relative/state", 1);
    setenv("HOME", stateHome.c_str(), 1);
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof(buffer)), stateHome.size() + 20);
    EXPECT_EQ(buffer, stateHome + "/.local/state/kalmix");
    ASSERT_EQ(stat(buffer, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    if (previousHome) setenv("HOME", savedHome.c_str(), 1);
    std::filesystem::remove_all(stateHome);
    if (saved) setenv("WINDIR", saved->c_str(), 1);
    if (savedState) {
        setenv("XDG_STATE_HOME", savedState->c_str(), 1);
    } else {
        unsetenv("XDG_STATE_HOME");
    }
}

TEST_F(StandinTest, HostHandlesAreZeroFilledAndKeptApart) {
    HostHandle first = preminfoNewHandle(20);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(*first, nullptr);
    EXPECT_EQ(std::string(*first, 20), std::string(20, '\0'));
    std::memset(*first, 0x5A, 20);
    HostHandle second = preminfoNewHandle(8);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(*second, *first);
    EXPECT_EQ(std::string(*first, 20), std::string(20, '\x5A'));
    EXPECT_EQ(standin::allocationCount(), 2);
    EXPECT_EQ(standin::lastAllocationSize(), 8);

    standin::failNextAllocation();
    EXPECT_EQ(preminfoNewHandle(20), nullptr);
    EXPECT_NE(preminfoNewHandle(20), nullptr) << "only the next allocation fails";

    EXPECT_NE(preminfoMainWindow(), nullptr);
    EXPECT_EQ(GetLastActivePopup(preminfoMainWindow()), preminfoMainWindow());
    standin::setMainWindowPresent(false);
    EXPECT_EQ(preminfoMainWindow(), nullptr);
    standin::reset();
    EXPECT_NE(preminfoMainWindow(), nullptr);
    EXPECT_EQ(standin::allocationCount(), 0);
}

}  // namespace
