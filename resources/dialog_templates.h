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
inline constexpr std::uint32_t WINDOW_POPUP = 0x80000000;
inline constexpr std::uint32_t WINDOW_CHILD = 0x40000000;
inline constexpr std::uint32_t WINDOW_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WINDOW_DISABLED = 0x08000000;
inline constexpr std::uint32_t WINDOW_CAPTION = 0x00C00000;
inline constexpr std::uint32_t WINDOW_BORDER = 0x00800000;
inline constexpr std::uint32_t WINDOW_SYSMENU = 0x00080000;
inline constexpr std::uint32_t WINDOW_GROUP = 0x00020000;
inline constexpr std::uint32_t WINDOW_TABSTOP = 0x00010000;
inline constexpr std::uint32_t DIALOG_3DLOOK = 0x0004;
inline constexpr std::uint32_t DIALOG_SETFONT = 0x0040;
inline constexpr std::uint32_t DIALOG_MODALFRAME = 0x0080;
inline constexpr std::uint32_t BUTTON_PUSH = 0x0000;
inline constexpr std::uint32_t BUTTON_DEFPUSH = 0x0001;
inline constexpr std::uint32_t BUTTON_AUTOCHECKBOX = 0x0003;
inline constexpr std::uint32_t BUTTON_GROUPBOX = 0x0007;
inline constexpr std::uint32_t BUTTON_LEFTTEXT = 0x0020;
inline constexpr std::uint32_t BUTTON_NOTIFY = 0x4000;
inline constexpr std::uint32_t STATIC_LEFT = 0x0000;
inline constexpr std::uint32_t STATIC_CENTER = 0x0001;
inline constexpr std::uint32_t EDIT_AUTOHSCROLL = 0x0080;
inline constexpr std::uint32_t EDIT_READONLY = 0x0800;
inline constexpr std::uint32_t TRACKBAR_AUTOTICKS = 0x0001;
inline constexpr std::uint32_t TRACKBAR_VERT = 0x0002;
inline constexpr std::uint32_t TRACKBAR_BOTH = 0x0008;

enum class ControlClass : std::uint8_t { Button, Static, Edit, Trackbar };

struct DialogControl {
    ControlClass controlClass;
    int id;  // IDC_STATIC_TEXT for controls without an identifier
    const char* text;
    std::uint32_t style;  // WINDOW_CHILD is implied
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

inline constexpr std::uint32_t TRACKBAR_STYLE = TRACKBAR_VERT | TRACKBAR_BOTH | TRACKBAR_AUTOTICKS | WINDOW_TABSTOP;
inline constexpr std::uint32_t VALUE_BOX_STYLE = EDIT_READONLY | WINDOW_BORDER | EDIT_AUTOHSCROLL;
inline constexpr std::uint32_t DIALOG_STYLE =
    WINDOW_POPUP | WINDOW_VISIBLE | WINDOW_CAPTION | WINDOW_SYSMENU | DIALOG_MODALFRAME | DIALOG_3DLOOK | DIALOG_SETFONT;

inline constexpr std::array<DialogControl, 5> ABOUT_CONTROLS{{
    {ControlClass::Static, IDC_STATIC_TEXT, "\"Kalmix\" (v1.03)", STATIC_CENTER | WINDOW_VISIBLE, 8, 10, 204, 10},
    // Wide enough that the centred line never wraps out of its one-line box.
    {ControlClass::Static, IDC_STATIC_TEXT, "Video noise reduction plug-in for Adobe Premiere v4.2",
     STATIC_CENTER | WINDOW_VISIBLE, 8, 26, 204, 10},
    {ControlClass::Button, 1, "ACCEPT", BUTTON_DEFPUSH | WINDOW_TABSTOP | WINDOW_VISIBLE, 46, 48, 50, 14},
    {ControlClass::Button, 2, "CANCEL", BUTTON_PUSH | WINDOW_TABSTOP | WINDOW_VISIBLE, 124, 48, 50, 14},
    {ControlClass::Button, IDC_STATIC_TEXT, "", BUTTON_GROUPBOX | WINDOW_VISIBLE, 4, 2, 212, 40},
}};

inline constexpr DialogTemplate ABOUT_DIALOG{
    IDD_ABOUT, "About Kalmix", DIALOG_STYLE, 0, 0, 220, 70, "MS Sans Serif", 8, ABOUT_CONTROLS};

// Template order is also the tab order.
inline constexpr std::array<DialogControl, 19> PARAMETER_CONTROLS{{
    {ControlClass::Button, 1, "OK", BUTTON_DEFPUSH | WINDOW_TABSTOP | WINDOW_VISIBLE, 30, 145, 50, 14},
    {ControlClass::Button, 2, "Cancel", BUTTON_PUSH | WINDOW_TABSTOP | WINDOW_VISIBLE, 96, 145, 50, 14},
    {ControlClass::Trackbar, IDC_PRIMARY_SLIDER, "", TRACKBAR_STYLE | WINDOW_VISIBLE, 18, 35, 24, 54},
    {ControlClass::Trackbar, IDC_UV_SLIDER, "", TRACKBAR_STYLE, 90, 56, 24, 54},
    {ControlClass::Trackbar, IDC_TRANSITION_SLIDER, "", TRACKBAR_STYLE | WINDOW_VISIBLE | WINDOW_DISABLED, 58, 35, 24, 54},
    {ControlClass::Trackbar, IDC_SECONDARY_SLIDER, "", TRACKBAR_STYLE | WINDOW_VISIBLE, 122, 35, 24, 54},
    {ControlClass::Button, IDC_ENHANCED_CHECK, "Enhanced Noise Suppression",
     BUTTON_AUTOCHECKBOX | BUTTON_LEFTTEXT | BUTTON_NOTIFY | WINDOW_TABSTOP | WINDOW_VISIBLE, 14, 120, 113, 10},
    {ControlClass::Button, IDC_STATIC_TEXT, "Primary Filtering", BUTTON_GROUPBOX | WINDOW_VISIBLE, 7, 7, 90, 103},
    {ControlClass::Button, IDC_STATIC_TEXT, "Secondary Filtering", BUTTON_GROUPBOX | WINDOW_VISIBLE, 99, 7, 73, 103},
    {ControlClass::Static, IDC_STATIC_TEXT, "Level", STATIC_LEFT | WINDOW_VISIBLE, 21, 23, 18, 8},
    {ControlClass::Static, IDC_STATIC_TEXT, "Level", STATIC_LEFT | WINDOW_VISIBLE, 125, 22, 18, 8},
    {ControlClass::Edit, IDC_PRIMARY_VALUE, "", VALUE_BOX_STYLE | WINDOW_VISIBLE, 22, 89, 20, 12},
    {ControlClass::Edit, IDC_SECONDARY_VALUE, "", VALUE_BOX_STYLE | WINDOW_VISIBLE, 125, 89, 20, 12},
    {ControlClass::Edit, IDC_UV_VALUE, "", VALUE_BOX_STYLE, 94, 76, 20, 12},
    {ControlClass::Static, IDC_STATIC_TEXT, "UV", STATIC_LEFT, 98, 57, 11, 8},
    {ControlClass::Edit, IDC_TRANSITION_VALUE, "", VALUE_BOX_STYLE | WINDOW_VISIBLE | WINDOW_DISABLED, 61, 89, 20, 12},
    {ControlClass::Static, IDC_STATIC_TEXT, "Transition", STATIC_LEFT | WINDOW_VISIBLE | WINDOW_DISABLED, 55, 19, 32, 8},
    {ControlClass::Static, IDC_STATIC_TEXT, "Frames", STATIC_LEFT | WINDOW_VISIBLE | WINDOW_DISABLED, 59, 27, 24, 8},
    {ControlClass::Button, IDC_STATIC_TEXT, "", BUTTON_GROUPBOX | WINDOW_VISIBLE, 7, 107, 165, 33},
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
