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

#include <cstddef>
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

// One piece of a file being written, in order.
struct FilePart {
    const void* data;
    std::size_t size;
};

enum class WholeFileResult { Written, CannotCreate, CannotWrite };

// Writes the parts as a new complete file in place of any old one, so that a
// reader sees the old file or the new one, never a mix: under a temporary
// name of its own in the same directory, created exclusively (never through
// a link) and readable by its owner only, then moved over `path`. The
// temporary file is removed on any failure.
using WholeFileWriter = WholeFileResult (*)(const char* path, const FilePart* parts, std::size_t count);

// The same with the standard library alone: exclusive creation and rename,
// without the flush to disk or the owner-only permissions.
WholeFileResult writeWholeFilePortably(const char* path, const FilePart* parts, std::size_t count);

// What the state file needs from the platform, supplied by the module at start.
struct StateFileServices {
    // Writes the Windows directory into buffer; false when it cannot be obtained.
    bool (*windowsDirectory)(char* buffer, std::uint32_t size);
    // Shows a message box with an OK button, owned by the host's last active pop-up.
    void (*showMessage)(const char* text, const char* caption);
    char pathSeparator;
    // Null: writeWholeFilePortably.
    WholeFileWriter writeWholeFile;
};
void setStateFileServices(const StateFileServices& services);

void saveState();
bool loadStateHeader();
bool loadState();
bool isWithinStateWindow(std::int32_t lastCallTime, std::int32_t now);

}  // namespace kalmix
