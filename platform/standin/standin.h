// Host-side control of the stand-in platform: what a host or a test uses to
// play the host's support library, the desktop and the user.
//
// The stand-in serves the Windows calls of platform/win_api.h and the PREMINFO
// functions of platform/preminfo.h to the module. Its dialogs are in-memory
// models of the module's templates whose controls behave as the Windows ones
// the module relies on: a trackbar keeps its position inside its range, an
// edit box holds text, a check box holds its state, and hidden or disabled
// controls cannot be changed by the user. When the module runs a dialog, the
// installed DialogUser acts as the user: it reads what the boxes show, moves
// sliders, ticks boxes and presses buttons.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/win_api.h"

namespace standin {

class Dialog {
public:
    virtual ~Dialog() = default;
    virtual int templateId() const = 0;
    virtual std::string caption() const = 0;
    virtual bool hasControl(int id) const = 0;
    virtual std::string text(int id) const = 0;
    virtual bool isVisible(int id) const = 0;
    virtual bool isEnabled(int id) const = 0;
    virtual int sliderPosition(int id) const = 0;
    virtual int sliderMinimum(int id) const = 0;
    virtual int sliderMaximum(int id) const = 0;
    virtual bool isChecked(int id) const = 0;
    virtual int focusedControl() const = 0;  // 0 when none has the focus
    // User actions. Each returns false, changing nothing, when the control is
    // missing, hidden or disabled, or the dialog has already ended.
    virtual bool dragSlider(int id, int position) = 0;  // clamps, notifies by WM_VSCROLL
    virtual bool click(int id) = 0;                     // buttons and the check box
    virtual bool close() = 0;                           // the close box: command IDCANCEL
    virtual bool hasEnded() const = 0;
    virtual INT_PTR endResult() const = 0;
};

// Called once per modal dialog, after its initialisation. If the dialog is
// still open when the user returns, it is closed through its close box.
using DialogUser = std::function<void(Dialog&)>;
void setDialogUser(DialogUser user);  // an empty user presses the default button
// Makes the next DialogBoxParamA fail as if the template could not be loaded.
void failNextDialog();

using MessageSink = std::function<void(const std::string& caption, const std::string& text)>;
void setMessageSink(MessageSink sink);  // empty: caption and text to standard error

// The host's main window as ordinal 235 reports it; null means none.
HWND mainWindow();
void setMainWindowPresent(bool present);
// Makes the next handle allocation (ordinal 378) fail.
void failNextAllocation();
std::int32_t lastAllocationSize();
int allocationCount();

// Creates the directory and every missing parent, readable by the user alone,
// as the user's state directory is made; directories that exist stay as they
// are. False, with errno set, when it cannot.
bool makePrivateDirectory(const std::string& path);

// Makes GetWindowsDirectoryA fail until cleared.
void setWindowsDirectoryFails(bool fails);

// Restores every setting above to its default.
void reset();

}  // namespace standin
