// Temporary image sequences and their rename into place.
#include "tools/kalmix/output_sequence.h"

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

// The one sequence in flight, kept as a fixed C string so that a signal
// handler can remove its files without allocating.
std::array<char, PATH_CAPACITY> livePattern{};

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
    const std::size_t slash = finalPattern_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : finalPattern_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? finalPattern_ : finalPattern_.substr(slash + 1);
    tempPattern_ = dir + "." + base + ".kalmix-" + std::to_string(::getpid()) + ".part";
    if (tempPattern_.size() < PATH_CAPACITY) std::memcpy(livePattern.data(), tempPattern_.c_str(), tempPattern_.size() + 1);
}

TempSequence::~TempSequence() {
    if (!committed_) {
        forEachFile(tempPattern_.c_str(), [](int, const char* name) { return std::remove(name) == 0; });
    }
    livePattern[0] = '\0';
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
    livePattern[0] = '\0';
}

void removeTempSequencesNow() noexcept {
    if (livePattern[0] == '\0') return;
    forEachFile(livePattern.data(), [](int, const char* name) { return ::unlink(name) == 0; });
}

}  // namespace kalmix::tool
