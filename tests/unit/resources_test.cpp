// The plug-in resources byte for byte, and the dialog templates against the
// layout the host's users see and the dialog code addresses by identifier.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "resources/dialog_templates.h"

namespace kalmix::resources {
namespace {

std::vector<std::uint8_t> resourceBytes(const std::string& type) {
    for (const PluginResource& resource : PLUGIN_RESOURCES) {
        if (type == resource.type) return {resource.bytes.begin(), resource.bytes.end()};
    }
    return {};
}

TEST(PluginResourcesTest, DescribeTheFilterToTheHost) {
    EXPECT_EQ(PLUGIN_RESOURCE_ID, 1000);
    EXPECT_EQ(PLUGIN_RESOURCE_LANGUAGE, 2057);
    EXPECT_EQ(resourceBytes("FLVS"), (std::vector<std::uint8_t>{0x00, 0x00, 0x02, 0x00}));

    std::string menuName = "Kalmix...";
    menuName.resize(21, ' ');
    const std::string text = std::string(2, '\0') + menuName + '\0';
    const std::vector<std::uint8_t> textBytes = resourceBytes("TEXT");
    EXPECT_EQ(std::string(textBytes.begin(), textBytes.end()), text);
    EXPECT_EQ(text.size(), 24u);

    EXPECT_EQ(resourceBytes("TYPE"), (std::vector<std::uint8_t>{0x00, 0x00, 't', 'l', 'F', 'V'}));
}

struct Expected {
    ControlClass controlClass;
    int id;
    std::string text;
    bool visible, disabled, tabStop;
    int x, y, width, height;
};

TEST(DialogTemplateTest, ParameterDialogLayout) {
    const DialogTemplate& dialog = PARAMETER_DIALOG;
    EXPECT_EQ(findDialog(IDD_PARAMETERS), &dialog);
    EXPECT_EQ(dialog.id, 101);
    EXPECT_STREQ(dialog.caption, "Filtration Parameters");
    EXPECT_EQ(dialog.width, 179);
    EXPECT_EQ(dialog.height, 166);
    EXPECT_STREQ(dialog.fontName, "MS Sans Serif");
    EXPECT_EQ(dialog.fontPointSize, 8);
    EXPECT_EQ(dialog.style, WINDOW_POPUP | WINDOW_VISIBLE | WINDOW_CAPTION | WINDOW_SYSMENU |
                                DIALOG_MODALFRAME | DIALOG_3DLOOK | DIALOG_SETFONT);

    using C = ControlClass;
    const int none = IDC_STATIC_TEXT;
    const Expected rows[] = {
        {C::Button, 1, "OK", true, false, true, 30, 145, 50, 14},
        {C::Button, 2, "Cancel", true, false, true, 96, 145, 50, 14},
        {C::Trackbar, 1021, "", true, false, true, 18, 35, 24, 54},
        {C::Trackbar, 1022, "", false, false, true, 90, 56, 24, 54},
        {C::Trackbar, 1025, "", true, true, true, 58, 35, 24, 54},
        {C::Trackbar, 1023, "", true, false, true, 122, 35, 24, 54},
        {C::Button, 1004, "Enhanced Noise Suppression", true, false, true, 14, 120, 113, 10},
        {C::Button, none, "Primary Filtering", true, false, false, 7, 7, 90, 103},
        {C::Button, none, "Secondary Filtering", true, false, false, 99, 7, 73, 103},
        {C::Static, none, "Level", true, false, false, 21, 23, 18, 8},
        {C::Static, none, "Level", true, false, false, 125, 22, 18, 8},
        {C::Edit, 1012, "", true, false, false, 22, 89, 20, 12},
        {C::Edit, 1017, "", true, false, false, 125, 89, 20, 12},
        {C::Edit, 1013, "", false, false, false, 94, 76, 20, 12},
        {C::Static, none, "UV", false, false, false, 98, 57, 11, 8},
        {C::Edit, 1018, "", true, true, false, 61, 89, 20, 12},
        {C::Static, none, "Transition", true, true, false, 55, 19, 32, 8},
        {C::Static, none, "Frames", true, true, false, 59, 27, 24, 8},
        {C::Button, none, "", true, false, false, 7, 107, 165, 33},
    };
    ASSERT_EQ(dialog.controls.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const DialogControl& c = dialog.controls[i];
        const Expected& e = rows[i];
        SCOPED_TRACE("control " + std::to_string(i) + " \"" + e.text + "\" id " + std::to_string(e.id));
        EXPECT_EQ(c.controlClass, e.controlClass);
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(c.text, e.text);
        EXPECT_EQ((c.style & WINDOW_VISIBLE) != 0, e.visible);
        EXPECT_EQ((c.style & WINDOW_DISABLED) != 0, e.disabled);
        EXPECT_EQ((c.style & WINDOW_TABSTOP) != 0, e.tabStop);
        EXPECT_EQ(c.x, e.x);
        EXPECT_EQ(c.y, e.y);
        EXPECT_EQ(c.width, e.width);
        EXPECT_EQ(c.height, e.height);
        if (c.controlClass == C::Trackbar) {
            const std::uint32_t trackbar = TRACKBAR_VERT | TRACKBAR_BOTH | TRACKBAR_AUTOTICKS;
            EXPECT_EQ(c.style & trackbar, trackbar);
        }
        if (c.controlClass == C::Edit) {
            EXPECT_EQ(c.style & (EDIT_READONLY | WINDOW_BORDER | EDIT_AUTOHSCROLL),
                      EDIT_READONLY | WINDOW_BORDER | EDIT_AUTOHSCROLL);
        }
    }
    EXPECT_EQ(dialog.controls[0].style & 0xF, BUTTON_DEFPUSH);
    EXPECT_EQ(dialog.controls[1].style & 0xF, BUTTON_PUSH);
    EXPECT_EQ(dialog.controls[6].style & (0xF | BUTTON_LEFTTEXT | BUTTON_NOTIFY),
              BUTTON_AUTOCHECKBOX | BUTTON_LEFTTEXT | BUTTON_NOTIFY);
}

TEST(DialogTemplateTest, AboutBoxTextsAndButtons) {
    const DialogTemplate& about = ABOUT_DIALOG;
    EXPECT_EQ(findDialog(IDD_ABOUT), &about);
    EXPECT_STREQ(about.caption, "About Kalmix");
    EXPECT_STREQ(about.fontName, "MS Sans Serif");
    EXPECT_EQ(about.fontPointSize, 8);
    std::vector<std::string> texts;
    int acceptStyle = -1, cancelStyle = -1;
    for (const DialogControl& c : about.controls) {
        if (c.controlClass == ControlClass::Static) texts.emplace_back(c.text);
        if (c.id == 1) acceptStyle = static_cast<int>(c.style & 0xF);
        if (c.id == 2) cancelStyle = static_cast<int>(c.style & 0xF);
        // Everything lies inside the box.
        EXPECT_LE(c.x + c.width, about.width);
        EXPECT_LE(c.y + c.height, about.height);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"\"Kalmix\" (v1.03)",
                                               "Video noise reduction plug-in for Adobe Premiere v4.2"}));
    EXPECT_EQ(acceptStyle, static_cast<int>(BUTTON_DEFPUSH));
    EXPECT_EQ(cancelStyle, static_cast<int>(BUTTON_PUSH));
    EXPECT_STREQ(about.controls[2].text, "ACCEPT");
    EXPECT_STREQ(about.controls[3].text, "CANCEL");
}

}  // namespace
}  // namespace kalmix::resources
