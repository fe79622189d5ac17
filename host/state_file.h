// The state file: the temporal state written at module unload and read back
// by a newly loaded module that continues the same clip.
//
// "KALMIX_STAT.bin" in the Windows directory, 829,456 bytes, little-endian:
//   0       16-byte StateHeader (lastFrameNumber, savedFrameCount,
//           lastClipTotal, lastCallTime)
//   16      referencePlanes, whole buffer (331,776)
//   331,792 outputPlanes, whole buffer
//   663,568 blockMapHistory, all 8 layers (165,888)
// No magic number, no version, no frame size: existing files stay readable.
#pragma once

#include <cstdint>

namespace kalmix {

inline constexpr std::int32_t STATE_TIME_WINDOW = 300;  // seconds
inline constexpr std::uint32_t STATE_FILE_SIZE = 829456;
inline constexpr const char* STATE_FILE_NAME = "KALMIX_STAT.bin";
inline constexpr const char* MESSAGE_CAPTION = "Kalmix Noise Filter";
inline constexpr const char* SAVE_DIRECTORY_MESSAGE =
    "Unable to save status file.\r\nFilter will not function correctly";
inline constexpr const char* SAVE_OPEN_MESSAGE =
    "Unable to open status file.\r\nFilter will not function correctly";
inline constexpr const char* LOAD_DIRECTORY_MESSAGE =
    "Unable to load status file.\r\nFilter will not function correctly";

// What the state file needs from the platform, supplied by the module at start.
struct StateFileServices {
    // Writes the Windows directory into buffer; false when it cannot be obtained.
    bool (*windowsDirectory)(char* buffer, std::uint32_t size);
    // Shows a message box with an OK button, owned by the host's last active pop-up.
    void (*showMessage)(const char* text, const char* caption);
    char pathSeparator;
    // Moves a complete file over the state file; null: std::rename, which
    // replaces an existing file on POSIX systems but not on Windows.
    bool (*replaceFile)(const char* from, const char* to);
};
void setStateFileServices(const StateFileServices& services);

void saveState();
bool loadStateHeader();
bool loadState();
bool isWithinStateWindow(std::int32_t lastCallTime, std::int32_t now);

}  // namespace kalmix
