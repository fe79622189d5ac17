// Temporary output files and their rename into place.
#include "tools/kalmix/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/kalmix/video_io.h"

namespace kalmix::tool {
namespace {

// Paths of the temporary files in flight, kept as fixed C strings so that a
// signal handler can unlink them without allocating.
constexpr std::size_t MAX_LIVE = 8;
constexpr std::size_t PATH_CAPACITY = 4096;
std::array<std::array<char, PATH_CAPACITY>, MAX_LIVE> livePaths{};

void track(const std::string& path) {
    if (path.size() >= PATH_CAPACITY) return;
    for (auto& slot : livePaths) {
        if (slot[0] == '\0') {
            std::memcpy(slot.data(), path.c_str(), path.size() + 1);
            return;
        }
    }
}

void untrack(const std::string& path) {
    for (auto& slot : livePaths) {
        if (path == slot.data()) slot[0] = '\0';
    }
}

}  // namespace

TempOutput::TempOutput(std::string finalPath) : finalPath_(std::move(finalPath)) {
    if (isStdout()) return;
    struct stat info {};
    if (::stat(finalPath_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        // A device or a named pipe (/dev/null, a FIFO): written in place.
        tempPath_ = finalPath_;
        direct_ = true;
        return;
    }
    // Beside the output, so the rename stays within one file system; the
    // final extension is kept out of the name's end so nothing mistakes the
    // partial file for a finished one.
    const std::size_t slash = finalPath_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : finalPath_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? finalPath_ : finalPath_.substr(slash + 1);
    tempPath_ = dir + "." + base + ".kalmix-" + std::to_string(::getpid()) + ".part";
    track(tempPath_);
}

TempOutput::~TempOutput() {
    if (!committed_ && !direct_ && !tempPath_.empty()) {
        std::remove(tempPath_.c_str());
        untrack(tempPath_);
    }
}

void TempOutput::commit() {
    if (isStdout() || direct_ || committed_) return;
    if (std::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
        throw ToolError("cannot write output '" + finalPath_ + "': " + std::strerror(errno));
    }
    committed_ = true;
    untrack(tempPath_);
}

void removeTempOutputsNow() noexcept {
    for (auto& slot : livePaths) {
        if (slot[0] != '\0') ::unlink(slot.data());
    }
}

}  // namespace kalmix::tool
