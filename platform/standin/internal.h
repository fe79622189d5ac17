// What the stand-in's own files share: the objects behind HWND and the resets
// that standin::reset runs. Not for the module or hosts.
#pragma once

#include "platform/win_api.h"

namespace standin::detail {
class DialogModel;
}  // namespace standin::detail

// The object an HWND points to: the host's main window, a dialog, or one of a
// dialog's controls.
struct StandinWindow {
    standin::detail::DialogModel* dialog;  // null for the host's main window
    int control;                           // index of the control; -1 for the dialog itself
};

namespace standin::detail {

// The host's main window, whether or not ordinal 235 currently reports it.
HWND hostWindow();

void resetDialogs();
void resetPreminfo();

}  // namespace standin::detail
