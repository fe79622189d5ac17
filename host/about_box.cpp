// The About box and the outcome of its last showing.
#include "host/setup.h"
#include "resources/resource_ids.h"

namespace kalmix {

namespace {

// Cancelled until the user accepts a box; kept when a box cannot be shown.
bool aboutAccepted = false;

INT_PTR CALLBACK aboutProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    if (message != WM_COMMAND) return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK:  // ACCEPT
            aboutAccepted = true;
            EndDialog(dialog, IDOK);
            break;
        case IDCANCEL:  // CANCEL, Escape and the close box
            aboutAccepted = false;
            EndDialog(dialog, IDCANCEL);
            break;
        default:
            break;
    }
    return TRUE;
}

}  // namespace

bool showAboutBox() {
    DialogBoxParamA(moduleInstance, MAKEINTRESOURCEA(IDD_ABOUT), ownerWindow(), aboutProcedure, 0);
    return aboutAccepted;
}

}  // namespace kalmix
