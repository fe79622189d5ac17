// The dialog templates and plug-in resources of the module: the one source of
// truth for both the in-memory dialogs of the stand-in platform and the
// Windows resource script generated from it. Positions and sizes are in
// dialog units; styles are the Windows style bits.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "resources/resource_ids.h"

namespace kalmix::resources {

// Window and control style bits (their Windows values).
inline constexpr std::uint32_t WS_POPUP = 0x80000000;
inline constexpr std::uint32_t WS_CHILD = 0x40000000;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WS_DISABLED = 0x08000000;
inline constexpr std::uint32_t WS_CAPTION = 0x00C00000;
inline constexpr std::uint32_t WS_BORDER = 0x00800000;
inline constexpr std::uint32_t WS_SYSMENU = 0x00080000;
inline constexpr std::uint32_t WS_GROUP = 0x00020000;
inline constexpr std::uint32_t WS_TABSTOP = 0x00010000;
inline constexpr std::uint32_t DS_3DLOOK = 0x0004;
inline constexpr std::uint32_t DS_SETFONT = 0x0040;
inline constexpr std::uint32_t DS_MODALFRAME = 0x0080;
inline constexpr std::uint32_t BS_PUSHBUTTON = 0x0000;
inline constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x0001;
inline constexpr std::uint32_t BS_AUTOCHECKBOX = 0x0003;
inline constexpr std::uint32_t BS_GROUPBOX = 0x0007;
inline constexpr std::uint32_t BS_LEFTTEXT = 0x0020;
inline constexpr std::uint32_t BS_NOTIFY = 0x4000;
inline constexpr std::uint32_t SS_LEFT = 0x0000;
inline constexpr std::uint32_t SS_CENTER = 0x0001;
inline constexpr std::uint32_t ES_AUTOHSCROLL = 0x0080;
inline constexpr std::uint32_t ES_READONLY = 0x0800;
inline constexpr std::uint32_t TBS_AUTOTICKS = 0x0001;
inline constexpr std::uint32_t TBS_VERT = 0x0002;
inline constexpr std::uint32_t TBS_BOTH = 0x0008;

enum class ControlClass : std::uint8_t { Button, Static, Edit, Trackbar };

struct DialogControl {
    ControlClass controlClass;
    int id;  // IDC_STATIC_TEXT for controls without an identifier
    const char* text;
    std::uint32_t style;  // WS_CHILD is implied
    int x, y, width, height;
};

struct DialogTemplate {
    int id;
    const char* caption;
    std::uint32_t style;
    int x, y, width, height;
    const char* fontName;
    int fontPointSize;
    std::span<const DialogControl> controls;
};

inline constexpr std::uint32_t TRACKBAR_STYLE = TBS_VERT | TBS_BOTH | TBS_AUTOTICKS | WS_TABSTOP;
inline constexpr std::uint32_t VALUE_BOX_STYLE = ES_READONLY | WS_BORDER | ES_AUTOHSCROLL;
inline constexpr std::uint32_t DIALOG_STYLE =
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK | DS_SETFONT;

inline constexpr std::array<DialogControl, 5> ABOUT_CONTROLS{{
    {ControlClass::Static, IDC_STATIC_TEXT, "\"Kalmix\" (v1.03)", SS_CENTER | WS_VISIBLE, 8, 10, 204, 10},
    // Wide enough that the centred line never wraps out of its one-line box.
    {ControlClass::Static, IDC_STATIC_TEXT, "Video noise reduction plug-in for Adobe Premiere v4.2",
     SS_CENTER | WS_VISIBLE, 8, 26, 204, 10},
    {ControlClass::Button, 1, "ACCEPT", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 46, 48, 50, 14},
    {ControlClass::Button, 2, "CANCEL", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 124, 48, 50, 14},
    {ControlClass::Button, IDC_STATIC_TEXT, "", BS_GROUPBOX | WS_VISIBLE, 4, 2, 212, 40},
}};

inline constexpr DialogTemplate ABOUT_DIALOG{
    IDD_ABOUT, "About Kalmix", DIALOG_STYLE, 0, 0, 220, 70, "MS Sans Serif", 8, ABOUT_CONTROLS};

// Template order is also the tab order.
inline constexpr std::array<DialogControl, 19> PARAMETER_CONTROLS{{
    {ControlClass::Button, 1, "OK", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 30, 145, 50, 14},
    {ControlClass::Button, 2, "Cancel", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 96, 145, 50, 14},
    {ControlClass::Trackbar, IDC_PRIMARY_SLIDER, "", TRACKBAR_STYLE | WS_VISIBLE, 18, 35, 24, 54},
    {ControlClass::Trackbar, IDC_UV_SLIDER, "", TRACKBAR_STYLE, 90, 56, 24, 54},
    {ControlClass::Trackbar, IDC_TRANSITION_SLIDER, "", TRACKBAR_STYLE | WS_VISIBLE | WS_DISABLED, 58, 35, 24, 54},
    {ControlClass::Trackbar, IDC_SECONDARY_SLIDER, "", TRACKBAR_STYLE | WS_VISIBLE, 122, 35, 24, 54},
    {ControlClass::Button, IDC_ENHANCED_CHECK, "Enhanced Noise Suppression",
     BS_AUTOCHECKBOX | BS_LEFTTEXT | BS_NOTIFY | WS_TABSTOP | WS_VISIBLE, 14, 120, 113, 10},
    {ControlClass::Button, IDC_STATIC_TEXT, "Primary Filtering", BS_GROUPBOX | WS_VISIBLE, 7, 7, 90, 103},
    {ControlClass::Button, IDC_STATIC_TEXT, "Secondary Filtering", BS_GROUPBOX | WS_VISIBLE, 99, 7, 73, 103},
    {ControlClass::Static, IDC_STATIC_TEXT, "Level", SS_LEFT | WS_VISIBLE, 21, 23, 18, 8},
    {ControlClass::Static, IDC_STATIC_TEXT, "Level", SS_LEFT | WS_VISIBLE, 125, 22, 18, 8},
    {ControlClass::Edit, IDC_PRIMARY_VALUE, "", VALUE_BOX_STYLE | WS_VISIBLE, 22, 89, 20, 12},
    {ControlClass::Edit, IDC_SECONDARY_VALUE, "", VALUE_BOX_STYLE | WS_VISIBLE, 125, 89, 20, 12},
    {ControlClass::Edit, IDC_UV_VALUE, "", VALUE_BOX_STYLE, 94, 76, 20, 12},
    {ControlClass::Static, IDC_STATIC_TEXT, "UV", SS_LEFT, 98, 57, 11, 8},
    {ControlClass::Edit, IDC_TRANSITION_VALUE, "", VALUE_BOX_STYLE | WS_VISIBLE | WS_DISABLED, 61, 89, 20, 12},
    {ControlClass::Static, IDC_STATIC_TEXT, "Transition", SS_LEFT | WS_VISIBLE | WS_DISABLED, 55, 19, 32, 8},
    {ControlClass::Static, IDC_STATIC_TEXT, "Frames", SS_LEFT | WS_VISIBLE | WS_DISABLED, 59, 27, 24, 8},
    {ControlClass::Button, IDC_STATIC_TEXT, "", BS_GROUPBOX | WS_VISIBLE, 7, 107, 165, 33},
}};

inline constexpr DialogTemplate PARAMETER_DIALOG{
    IDD_PARAMETERS, "Filtration Parameters", DIALOG_STYLE, 0, 0, 179, 166, "MS Sans Serif", 8,
    PARAMETER_CONTROLS};

inline constexpr std::array<const DialogTemplate*, 2> DIALOGS{&ABOUT_DIALOG, &PARAMETER_DIALOG};

// The three custom resources that describe the filter to the host, each with
// identifier PLUGIN_RESOURCE_ID and language PLUGIN_RESOURCE_LANGUAGE.
struct PluginResource {
    const char* type;
    std::span<const std::uint8_t> bytes;
};

inline constexpr std::array<std::uint8_t, 4> FLVS_BYTES{0x00, 0x00, 0x02, 0x00};
// 00 00, the menu name padded with blanks to 21 characters, one zero byte.
inline constexpr std::array<std::uint8_t, 24> TEXT_BYTES{
    0x00, 0x00, 'K', 'a', 'l', 'm', 'i', 'x', '.', '.', '.', ' ', ' ',
    ' ',  ' ',  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0x00};
inline constexpr std::array<std::uint8_t, 6> TYPE_BYTES{0x00, 0x00, 't', 'l', 'F', 'V'};

inline constexpr std::array<PluginResource, 3> PLUGIN_RESOURCES{{
    {"FLVS", FLVS_BYTES},
    {"TEXT", TEXT_BYTES},
    {"TYPE", TYPE_BYTES},
}};

inline constexpr const DialogTemplate* findDialog(int id) {
    for (const DialogTemplate* dialog : DIALOGS) {
        if (dialog->id == id) return dialog;
    }
    return nullptr;
}

}  // namespace kalmix::resources
