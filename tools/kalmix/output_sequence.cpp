// Temporary image sequences and their rename into place.
#include "tools/kalmix/output_sequence.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/kalmix/video_io.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kalmix::tool {
namespace {

constexpr std::size_t PATH_CAPACITY = 4096;
// The muxer numbers from 1 by default; 0 is tried too, for a start_number 0.
constexpr int FIRST_NUMBER = 0;

// The one sequence in flight and its private directory, kept as fixed C
// strings so that a signal handler can remove them without allocating.
std::array<char, PATH_CAPACITY> livePattern{};
std::array<char, PATH_CAPACITY> liveDirectory{};

void keep(std::array<char, PATH_CAPACITY>& slot, const std::string& text) {
    slot[0] = '\0';
    if (text.size() < PATH_CAPACITY) std::memcpy(slot.data(), text.c_str(), text.size() + 1);
}

bool exists(const char* path) {
    struct stat info {};
    return ::lstat(path, &info) == 0;
}

// Calls f(n, name) for each numbered file of the pattern that exists, from
// FIRST_NUMBER up to the first gap after number 1.
template <typename F>
void forEachFile(const char* pattern, F f) {
    char name[PATH_CAPACITY];
    for (int n = FIRST_NUMBER;; ++n) {
        if (av_get_frame_filename(name, sizeof name, pattern, n) < 0) return;
        if (!exists(name)) {
            if (n >= 1) return;
            continue;
        }
        if (!f(n, name)) return;
    }
}

}  // namespace

bool isSequencePattern(const std::string& path) { return av_filename_number_test(path.c_str()) != 0; }

std::string sequenceName(const std::string& pattern, int n) {
    char name[PATH_CAPACITY];
    if (av_get_frame_filename(name, sizeof name, pattern.c_str(), n) < 0) return pattern;
    return name;
}

TempSequence::TempSequence(std::string finalPattern) : finalPattern_(std::move(finalPattern)) {
    // The muxer opens each picture by name, so the pictures are written in a
    // directory of this run's own beside the final ones, made with a random
    // name and mode 0700: nobody else can plant a link at a name in it.
    const std::size_t slash = finalPattern_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : finalPattern_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? finalPattern_ : finalPattern_.substr(slash + 1);
    std::string made = dir + ".kalmix-pictures-XXXXXX";
    if (::mkdtemp(made.data()) == nullptr) {
        throw ToolError("cannot write output '" + finalPattern_ + "': " + std::strerror(errno));
    }
    directory_ = made;
    tempPattern_ = directory_ + "/" + base;
    keep(livePattern, tempPattern_);
    keep(liveDirectory, directory_);
}

TempSequence::~TempSequence() {
    if (!committed_) {
        forEachFile(tempPattern_.c_str(), [](int, const char* name) { return std::remove(name) == 0; });
    }
    ::rmdir(directory_.c_str());
    livePattern[0] = '\0';
    liveDirectory[0] = '\0';
}

void TempSequence::commit() {
    if (committed_) return;
    int error = 0;
    forEachFile(tempPattern_.c_str(), [this, &error](int n, const char* name) {
        if (std::rename(name, sequenceName(finalPattern_, n).c_str()) == 0) return true;
        error = errno;
        return false;
    });
    if (error != 0) {
        throw ToolError("cannot write output '" + finalPattern_ + "': " + std::strerror(error));
    }
    committed_ = true;
    ::rmdir(directory_.c_str());
    livePattern[0] = '\0';
    liveDirectory[0] = '\0';
}

void removeTempSequencesNow() noexcept {
    if (livePattern[0] != '\0') {
        forEachFile(livePattern.data(), [](int, const char* name) { return ::unlink(name) == 0; });
    }
    if (liveDirectory[0] != '\0') ::rmdir(liveDirectory.data());
}

}  // namespace kalmix::tool
