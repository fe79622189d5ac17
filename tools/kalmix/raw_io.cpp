// Raw BGRA frame files and pipes.
#include "tools/kalmix/raw_io.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kalmix::tool {
namespace {

constexpr std::size_t STREAM_BUFFER = 1 << 20;
// Frames at least this large go straight between the caller's buffer and the
// file: a stream buffer would only add a copy of every frame.
constexpr std::size_t UNBUFFERED_FRAME = 64 << 10;

void setBuffering(std::FILE* file, std::size_t frameBytes) {
    if (frameBytes >= UNBUFFERED_FRAME) {
        std::setvbuf(file, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(file, nullptr, _IOFBF, STREAM_BUFFER);
    }
}

std::string describeSize(const VideoFormat& format) {
    return std::to_string(format.width) + "x" + std::to_string(format.height);
}

}  // namespace

RawReader::RawReader(const std::string& path, int width, int height, bool allowPartial)
    : path_(path == "-" ? "standard input" : path), allowPartial_(allowPartial) {
    format_.width = width;
    format_.height = height;
    format_.timeBase = {1, 25};
    format_.frameRate = {25, 1};
    if (path == "-") {
        file_ = stdin;
    } else {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            throw ToolError("cannot read input '" + path + "': " + std::strerror(errno));
        }
        if (S_ISDIR(info.st_mode)) throw ToolError("cannot read input '" + path + "': it is a directory");
        if (S_ISREG(info.st_mode)) {
            regularFile_ = true;
            const auto size = static_cast<std::uint64_t>(info.st_size);
            const std::uint64_t wholeFrames = size / format_.frameBytes();
            const std::uint64_t leftover = size % format_.frameBytes();
            format_.frameCount = static_cast<std::int64_t>(wholeFrames);
            if (leftover != 0) {
                if (!allowPartial_) throw ToolError(partialMessage(leftover, format_.frameCount));
                droppedBytes_ = leftover;
            }
        }
        file_ = std::fopen(path.c_str(), "rb");
        if (file_ == nullptr) throw ToolError("cannot read input '" + path + "': " + std::strerror(errno));
        ownsFile_ = true;
    }
    setBuffering(file_, format_.frameBytes());
}

RawReader::~RawReader() {
    if (ownsFile_) std::fclose(file_);
}

std::string RawReader::partialMessage(std::uint64_t leftover, std::int64_t wholeFrames) const {
    return "raw input '" + path_ + "' is not a whole number of " + describeSize(format_) + " BGRA frames (" +
           std::to_string(format_.frameBytes()) + " bytes each): " + std::to_string(leftover) +
           " bytes left over after " + std::to_string(wholeFrames) +
           " frames; --allow-partial filters the whole frames only";
}

bool RawReader::read(std::uint8_t* bgra, FrameInfo& info) {
    if (format_.frameCount >= 0 && framesRead_ >= format_.frameCount) return false;
    const std::size_t want = format_.frameBytes();
    const std::size_t got = std::fread(bgra, 1, want, file_);
    if (got < want) {
        if (std::ferror(file_)) {
            throw ToolError("cannot read input '" + path_ + "': " + std::strerror(errno));
        }
        // A regular file held whole frames when it was opened.
        if (format_.frameCount >= 0) throw ToolError("cannot read input '" + path_ + "': it was cut short while being read");
        if (got > 0) {  // a pipe ending inside a frame
            if (!allowPartial_) throw ToolError(partialMessage(got, framesRead_));
            droppedBytes_ = got;
        }
        return false;
    }
    info.pts = framesRead_;
    info.duration = 1;
    ++framesRead_;
    return true;
}

RawWriter::RawWriter(const std::string& path, const VideoFormat& format, bool replaceAppearing)
    : output_(path), frameBytes_(format.frameBytes()) {
    output_.replaceAppearing(replaceAppearing);
    if (output_.isStdout()) {
        file_ = stdout;
    } else {
        file_ = output_.openStream();
    }
    struct stat info {};
    regularFile_ = ::fstat(::fileno(file_), &info) == 0 && S_ISREG(info.st_mode);
    setBuffering(file_, frameBytes_);
}

RawWriter::~RawWriter() {
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
}

void RawWriter::fail() {
    const std::string name = output_.isStdout() ? "standard output" : "'" + output_.finalPath() + "'";
    throw ToolError("cannot write output " + name + ": " + std::strerror(errno));
}

void RawWriter::write(const std::uint8_t* bgra, const FrameInfo&) {
    if (std::fwrite(bgra, 1, frameBytes_, file_) != frameBytes_) fail();
}

void RawWriter::finish() {
    if (std::fflush(file_) != 0) fail();
    if (file_ != stdout) {
        const int closed = std::fclose(file_);
        file_ = nullptr;
        if (closed != 0) fail();
        output_.commit();
    }
}

}  // namespace kalmix::tool
