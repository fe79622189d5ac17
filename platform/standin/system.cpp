// The Windows directory of this machine and the reset of every stand-in setting.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/standin/internal.h"
#include "platform/standin/standin.h"

namespace {

bool windowsDirectoryFails = false;

// $WINDIR when set, else a directory that survives reboots on any Linux.
std::string_view windowsDirectory() {
    const char* directory = std::getenv("WINDIR");
    if (directory != nullptr && *directory != '\0') return directory;
    return "/var/tmp";
}

}  // namespace

namespace standin {

void setWindowsDirectoryFails(bool fails) { windowsDirectoryFails = fails; }

void reset() {
    detail::resetDialogs();
    detail::resetPreminfo();
    windowsDirectoryFails = false;
}

}  // namespace standin

extern "C" UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (windowsDirectoryFails) return 0;
    const std::string_view directory = windowsDirectory();
    const auto length = static_cast<UINT>(directory.size());
    // As Windows: too small a buffer gets nothing and the size it would need.
    if (buffer == nullptr || size <= length) return length + 1;
    std::memcpy(buffer, directory.data(), length);
    buffer[length] = '\0';
    return length;
}
