// The module's resources as Windows reads them from the DLL: the plug-in
// resources with their type, id, language and bytes, and both dialog
// templates, control by control, against resources/dialog_templates.h. The
// module is mapped as a data file, so a 64-bit host can read the 32-bit DLL.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

// Before <windows.h>, whose macros carry the names of the templates' style
// constants; after it those names are the (equal) Windows macros.
#include "resources/dialog_templates.h"
#include "win_host.h"

namespace winhost {

namespace {

namespace res = kalmix::resources;

using ResourceKey = std::string;  // "TYPE/name/language"

// "#n" for a numeric type, name or class. (Formatted rather than concatenated:
// GCC 12 warns falsely on "#" + std::to_string.)
std::string ordinal(std::uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "#%u", static_cast<unsigned>(value));
    return text;
}

std::string resourceName(LPCSTR name) {
    return IS_INTRESOURCE(name) ? ordinal(reinterpret_cast<std::uintptr_t>(name)) : std::string(name);
}

BOOL CALLBACK collectLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD language, LONG_PTR keys) {
    const ResourceKey key = resourceName(type) + "/" + resourceName(name) + "/" + std::to_string(language);
    reinterpret_cast<std::set<ResourceKey>*>(keys)->insert(key);
    return TRUE;
}

BOOL CALLBACK collectName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR keys) {
    EnumResourceLanguagesA(module, type, name, collectLanguage, keys);
    return TRUE;
}

BOOL CALLBACK collectType(HMODULE module, LPSTR type, LONG_PTR keys) {
    EnumResourceNamesA(module, type, collectName, keys);
    return TRUE;
}

std::span<const std::uint8_t> resourceBytes(HMODULE module, LPCSTR type, int id) {
    HRSRC resource = FindResourceExA(module, type, MAKEINTRESOURCEA(id),
                                     static_cast<WORD>(PLUGIN_RESOURCE_LANGUAGE));
    if (resource == nullptr) return {};
    HGLOBAL loaded = LoadResource(module, resource);
    const auto* data = static_cast<const std::uint8_t*>(LockResource(loaded));
    return {data, SizeofResource(module, resource)};
}

// Reads a classic DLGTEMPLATE: little-endian words, strings in UTF-16.
class TemplateReader {
public:
    explicit TemplateReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }
    std::uint16_t word() {
        if (offset_ + 2 > bytes_.size()) {
            ok_ = false;
            return 0;
        }
        const auto value = static_cast<std::uint16_t>(bytes_[offset_] | bytes_[offset_ + 1] << 8);
        offset_ += 2;
        return value;
    }
    std::uint32_t dword() {
        const std::uint32_t low = word();
        return low | static_cast<std::uint32_t>(word()) << 16;
    }
    std::int16_t coordinate() { return static_cast<std::int16_t>(word()); }
    std::string string() {
        std::string text;
        while (ok_) {
            const std::uint16_t c = word();
            if (c == 0) break;
            text += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return text;
    }
    // A string, or an ordinal written as "#n".
    std::string stringOrOrdinal() {
        if (offset_ + 2 <= bytes_.size() && bytes_[offset_] == 0xFF && bytes_[offset_ + 1] == 0xFF) {
            word();
            return ordinal(word());
        }
        return string();
    }
    void alignToDword() { offset_ = (offset_ + 3) & ~std::size_t{3}; }
    void skip(std::size_t count) { offset_ += count; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
    bool ok_ = true;
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return text;
}

bool sameClass(const std::string& stored, res::ControlClass expected) {
    // The resource compiler stores the predefined classes as ordinals.
    switch (expected) {
        case res::ControlClass::Button: return stored == "#128" || lower(stored) == "button";
        case res::ControlClass::Edit: return stored == "#129" || lower(stored) == "edit";
        case res::ControlClass::Static: return stored == "#130" || lower(stored) == "static";
        case res::ControlClass::Trackbar: return lower(stored) == "msctls_trackbar32";
    }
    return false;
}

void checkDialogTemplate(HMODULE module, const res::DialogTemplate& expected) {
    const std::span<const std::uint8_t> bytes = resourceBytes(module, MAKEINTRESOURCEA(5), expected.id);
    const int id = expected.id;
    expect(!bytes.empty(), "dialog %d: no template in language %d", id, PLUGIN_RESOURCE_LANGUAGE);
    if (bytes.empty()) return;
    TemplateReader reader(bytes);
    const std::uint32_t style = reader.dword();
    expect(style != 0xFFFF0001u, "dialog %d: an extended template where a classic one was expected", id);
    const std::uint32_t extendedStyle = reader.dword();
    const std::uint16_t count = reader.word();
    const int x = reader.coordinate(), y = reader.coordinate();
    const int width = reader.coordinate(), height = reader.coordinate();
    const std::string menu = reader.stringOrOrdinal();
    const std::string windowClass = reader.stringOrOrdinal();
    const std::string caption = reader.string();
    expect(style == expected.style, "dialog %d: style %08x, expected %08x", id, style, expected.style);
    expect(extendedStyle == 0, "dialog %d: extended style %08x", id, extendedStyle);
    expect(x == expected.x && y == expected.y && width == expected.width && height == expected.height,
           "dialog %d: at %d,%d size %dx%d, expected %d,%d %dx%d", id, x, y, width, height, expected.x,
           expected.y, expected.width, expected.height);
    expect(menu.empty() && windowClass.empty(), "dialog %d: menu '%s' class '%s'", id, menu.c_str(),
           windowClass.c_str());
    expect(caption == expected.caption, "dialog %d: caption '%s', expected '%s'", id, caption.c_str(),
           expected.caption);
    if ((style & DS_SETFONT) != 0) {
        const int points = reader.word();
        const std::string font = reader.string();
        expect(points == expected.fontPointSize && font == expected.fontName,
               "dialog %d: font %d '%s', expected %d '%s'", id, points, font.c_str(),
               expected.fontPointSize, expected.fontName);
    }
    expect(count == expected.controls.size(), "dialog %d: %u controls, expected %zu", id, count,
           expected.controls.size());
    for (std::size_t i = 0; i < std::min<std::size_t>(count, expected.controls.size()); ++i) {
        const res::DialogControl& want = expected.controls[i];
        reader.alignToDword();
        const std::uint32_t controlStyle = reader.dword();
        const std::uint32_t controlExtended = reader.dword();
        const int cx = reader.coordinate(), cy = reader.coordinate();
        const int cw = reader.coordinate(), ch = reader.coordinate();
        const int controlId = static_cast<std::int16_t>(reader.word());
        const std::string controlClass = reader.stringOrOrdinal();
        const std::string text = reader.stringOrOrdinal();
        reader.skip(reader.word());  // creation data
        const unsigned wantStyle = want.style | WS_CHILD;
        expect(controlId == want.id, "dialog %d control %zu: id %d, expected %d", id, i, controlId, want.id);
        expect(sameClass(controlClass, want.controlClass), "dialog %d control %d: class '%s'", id,
               want.id, controlClass.c_str());
        expect(text == want.text, "dialog %d control %d: text '%s', expected '%s'", id, want.id,
               text.c_str(), want.text);
        expect(controlStyle == wantStyle, "dialog %d control %zu (%s): style %08x, expected %08x", id, i,
               want.text, controlStyle, wantStyle);
        expect(controlExtended == 0, "dialog %d control %zu: extended style %08x", id, i, controlExtended);
        expect(cx == want.x && cy == want.y && cw == want.width && ch == want.height,
               "dialog %d control %zu (%s): at %d,%d size %dx%d, expected %d,%d %dx%d", id, i, want.text,
               cx, cy, cw, ch, want.x, want.y, want.width, want.height);
    }
    expect(reader.ok(), "dialog %d: template ends early", id);
}

}  // namespace

int checkResources(const std::string& modulePath) {
    HMODULE module = LoadLibraryExA(modulePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    expect(module != nullptr, "cannot map %s as data: error %lu", modulePath.c_str(), GetLastError());
    if (module == nullptr) return finish("resources");

    // Exactly these resources, all in English (United Kingdom).
    std::set<ResourceKey> expectedKeys;
    const std::string language = std::to_string(PLUGIN_RESOURCE_LANGUAGE);
    for (const res::DialogTemplate* dialog : res::DIALOGS) {
        expectedKeys.insert("#5/" + ordinal(static_cast<std::uintptr_t>(dialog->id)) + "/" + language);
    }
    for (const res::PluginResource& resource : res::PLUGIN_RESOURCES) {
        expectedKeys.insert(std::string(resource.type) + "/" + ordinal(PLUGIN_RESOURCE_ID) + "/" + language);
    }
    std::set<ResourceKey> keys;
    EnumResourceTypesA(module, collectType, reinterpret_cast<LONG_PTR>(&keys));
    for (const ResourceKey& key : keys) {
        expect(expectedKeys.count(key) == 1, "unexpected resource %s", key.c_str());
    }
    for (const ResourceKey& key : expectedKeys) {
        expect(keys.count(key) == 1, "missing resource %s", key.c_str());
    }

    for (const res::PluginResource& resource : res::PLUGIN_RESOURCES) {
        const std::span<const std::uint8_t> bytes = resourceBytes(module, resource.type, PLUGIN_RESOURCE_ID);
        const bool same = bytes.size() == resource.bytes.size() &&
                          std::equal(bytes.begin(), bytes.end(), resource.bytes.begin());
        expect(same, "%s %d: %zu bytes that differ from the %zu expected", resource.type,
               PLUGIN_RESOURCE_ID, bytes.size(), resource.bytes.size());
    }
    for (const res::DialogTemplate* dialog : res::DIALOGS) checkDialogTemplate(module, *dialog);

    FreeLibrary(module);
    return finish("resources");
}

}  // namespace winhost
