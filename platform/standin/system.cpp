// The Windows directory of this machine and the reset of every stand-in setting.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/standin/internal.h"
#include "platform/standin/standin.h"

namespace {

bool windowsDirectoryFails = false;

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home == '/') return home;
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

// $WINDIR when set. Else the user's own state directory, as the XDG base
// directories name it: $XDG_STATE_HOME/kalmix, by default
// ~/.local/state/kalmix, created private. Empty when there is none.
std::string windowsDirectory() {
    const char* directory = std::getenv("WINDIR");
    if (directory != nullptr && *directory != '\0') return directory;
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (stateHome != nullptr && *stateHome == '/') {  // relative values are to be ignored
        base = stateHome;
    } else {
        const std::string home = homeDirectory();
        if (home.empty()) return "";
        base = home + "/.local/state";
    }
    const std::string kalmix = base + "/kalmix";
    return standin::makePrivateDirectory(kalmix) ? kalmix : "";
}

}  // namespace

namespace standin {

bool makePrivateDirectory(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

void setWindowsDirectoryFails(bool fails) { windowsDirectoryFails = fails; }

void reset() {
    detail::resetDialogs();
    detail::resetPreminfo();
    windowsDirectoryFails = false;
}

}  // namespace standin

extern "C" UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (windowsDirectoryFails) return 0;
    const std::string directory = windowsDirectory();
    if (directory.empty()) return 0;
    const auto length = static_cast<UINT>(directory.size());
    // As Windows: too small a buffer gets nothing and the size it would need.
    if (buffer == nullptr || size <= length) return length + 1;
    std::memcpy(buffer, directory.data(), length);
    buffer[length] = '\0';
    return length;
}
