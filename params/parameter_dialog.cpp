// The parameter dialog "Filtration Parameters": four sliders with their value
// boxes and the enhanced-suppression check box over the working values.
#include "params/parameter_dialog.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "host/setup.h"
#include "params/filter_params.h"
#include "platform/win_api.h"
#include "resources/resource_ids.h"

namespace kalmix {

namespace {

struct SliderPair {
    int slider;
    int valueBox;
    int maximum;
    std::int32_t FilterParams::*value;
};

// In the order the dialog initialises them.
constexpr std::array<SliderPair, 4> SLIDERS{{
    {IDC_PRIMARY_SLIDER, IDC_PRIMARY_VALUE, 10, &FilterParams::primaryLevel},
    {IDC_UV_SLIDER, IDC_UV_VALUE, 10, &FilterParams::uvLevel},
    {IDC_SECONDARY_SLIDER, IDC_SECONDARY_VALUE, 10, &FilterParams::secondaryLevel},
    {IDC_TRANSITION_SLIDER, IDC_TRANSITION_VALUE, 7, &FilterParams::transitionFrames},
}};

void showValue(HWND dialog, int valueBox, long value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%ld", value);
    SetDlgItemTextA(dialog, valueBox, text);
}

std::int32_t sliderPosition(HWND dialog, int slider) {
    return static_cast<std::int32_t>(SendDlgItemMessageA(dialog, slider, TBM_GETPOS, 0, 0));
}

void initialise(HWND dialog) {
    for (const SliderPair& pair : SLIDERS) {
        SendDlgItemMessageA(dialog, pair.slider, TBM_SETRANGEMIN, FALSE, 0);
        SendDlgItemMessageA(dialog, pair.slider, TBM_SETRANGEMAX, FALSE, pair.maximum);
        SendDlgItemMessageA(dialog, pair.slider, TBM_SETTICFREQ, 1, 0);
        SendDlgItemMessageA(dialog, pair.slider, TBM_SETPOS, TRUE, workingParams.*pair.value);
    }
    // The boxes show the stored values, even where the thumb had to stop at
    // the end of its range.
    for (const SliderPair& pair : SLIDERS) {
        showValue(dialog, pair.valueBox, workingParams.*pair.value);
    }
    SendDlgItemMessageA(dialog, IDC_ENHANCED_CHECK, BM_SETCHECK,
                        workingParams.enhancedSuppression != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
}

void showSliderValue(HWND dialog, HWND sender) {
    const int id = GetDlgCtrlID(sender);
    for (const SliderPair& pair : SLIDERS) {
        if (pair.slider == id) {
            showValue(dialog, pair.valueBox, sliderPosition(dialog, pair.slider));
            return;
        }
    }
}

void storeControlValues(HWND dialog) {
    for (const SliderPair& pair : SLIDERS) {
        workingParams.*pair.value = sliderPosition(dialog, pair.slider);
    }
    workingParams.enhancedSuppression =
        SendDlgItemMessageA(dialog, IDC_ENHANCED_CHECK, BM_GETCHECK, 0, 0) != 0 ? 1 : 0;
}

INT_PTR CALLBACK parameterProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            initialise(dialog);
            return TRUE;  // the default focus: the OK button
        case WM_VSCROLL:
            showSliderValue(dialog, reinterpret_cast<HWND>(lParam));
            return FALSE;  // and the default handling
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:
                    storeControlValues(dialog);
                    EndDialog(dialog, IDOK);
                    return TRUE;
                case IDCANCEL:
                    EndDialog(dialog, IDCANCEL);
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

}  // namespace

void runParameterDialog() {
    HWND owner = ownerWindow();
    if (owner == nullptr) return;
#if defined(_WIN32)
    // Hosts normally have the trackbar class already; register it in case this
    // one has not. Here rather than at load: user32 and comctl32 calls do not
    // belong in the DLL's load notification.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
#endif
    const INT_PTR result = DialogBoxParamA(moduleInstance, MAKEINTRESOURCEA(IDD_PARAMETERS), owner,
                                           parameterProcedure, 0);
    if (result != IDOK) return;
    applyPrimaryLevel(workingParams.primaryLevel);
    applySecondaryLevel(workingParams.secondaryLevel);
}

}  // namespace kalmix
