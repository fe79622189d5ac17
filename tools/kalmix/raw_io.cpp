// Raw BGRA frame files and pipes.
#include "tools/kalmix/raw_io.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The mapped input, for the bus-error handler: a file cut short while mapped
// faults on the pages that are gone.
const std::uint8_t* faultStart = nullptr;
std::size_t faultBytes = 0;
char faultMessage[512];

void onBusError(int signalNumber, siginfo_t* info, void*) {
    const auto* at = static_cast<const std::uint8_t*>(info->si_addr);
    if (faultStart != nullptr && at >= faultStart && at < faultStart + faultBytes) {
        const ssize_t written = ::write(STDERR_FILENO, faultMessage, std::strlen(faultMessage));
        (void)written;
        removeTempOutputsNow();
        ::_exit(EXIT_FAILED);
    }
    ::signal(signalNumber, SIG_DFL);  // not ours: die of it as before
    ::raise(signalNumber);
}

// A frame from the mapped file into the caller's buffer. The copy goes past
// the caches where it can: the buffer is read next by other processes (the
// tile workers) or much later, not by this one, so the stores need not first
// read each line they write.
void copyFrame(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) {
#if defined(__SSE2__)
    constexpr std::size_t LINE = 64;
    const std::size_t misaligned = reinterpret_cast<std::uintptr_t>(to) % LINE;
    if (misaligned != 0 || bytes < LINE) {
        std::memcpy(to, from, bytes);
        return;
    }
    std::size_t at = 0;
    for (; at + LINE <= bytes; at += LINE) {
        const auto* in = reinterpret_cast<const __m128i*>(from + at);
        auto* out = reinterpret_cast<__m128i*>(to + at);
        const __m128i a = _mm_loadu_si128(in);
        const __m128i b = _mm_loadu_si128(in + 1);
        const __m128i c = _mm_loadu_si128(in + 2);
        const __m128i d = _mm_loadu_si128(in + 3);
        _mm_stream_si128(out, a);
        _mm_stream_si128(out + 1, b);
        _mm_stream_si128(out + 2, c);
        _mm_stream_si128(out + 3, d);
    }
    std::memcpy(to + at, from + at, bytes - at);
    _mm_sfence();
#else
    std::memcpy(to, from, bytes);
#endif
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
        if (S_ISREG(info.st_mode)) mapFile();
    }
    setBuffering(file_, format_.frameBytes());
}

void RawReader::mapFile() {
    const std::uint64_t bytes = static_cast<std::uint64_t>(format_.frameCount) * format_.frameBytes();
    if (bytes == 0 || bytes > SIZE_MAX || faultStart != nullptr) return;
    void* memory = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ, MAP_PRIVATE, ::fileno(file_), 0);
    if (memory == MAP_FAILED) return;  // read it through the stream instead
    ::madvise(memory, static_cast<std::size_t>(bytes), MADV_SEQUENTIAL);
    mapped_ = static_cast<const std::uint8_t*>(memory);
    mappedBytes_ = static_cast<std::size_t>(bytes);
    std::snprintf(faultMessage, sizeof faultMessage, "kalmix: cannot read input '%s': it was cut short while being read\n",
                  path_.c_str());
    faultStart = mapped_;
    faultBytes = mappedBytes_;
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

RawReader::~RawReader() {
    if (mapped_ != nullptr) {
        faultStart = nullptr;
        ::munmap(const_cast<std::uint8_t*>(mapped_), mappedBytes_);
    }
    if (ownsFile_) std::fclose(file_);
}

const std::uint8_t* RawReader::nextMappedFrame(FrameInfo& info) {
    if (framesRead_ >= format_.frameCount) return nullptr;
    const std::uint8_t* frame = mapped_ + static_cast<std::size_t>(framesRead_) * format_.frameBytes();
    info.pts = framesRead_;
    info.duration = 1;
    ++framesRead_;
    return frame;
}

const std::uint8_t* RawReader::view(std::uint8_t* buffer, FrameInfo& info) {
    if (mapped_ != nullptr) return nextMappedFrame(info);
    return read(buffer, info) ? buffer : nullptr;
}

std::string RawReader::partialMessage(std::uint64_t leftover, std::int64_t wholeFrames) const {
    return "raw input '" + path_ + "' is not a whole number of " + describeSize(format_) + " BGRA frames (" +
           std::to_string(format_.frameBytes()) + " bytes each): " + std::to_string(leftover) +
           " bytes left over after " + std::to_string(wholeFrames) +
           " frames; --allow-partial filters the whole frames only";
}

bool RawReader::read(std::uint8_t* bgra, FrameInfo& info) {
    if (mapped_ != nullptr) {
        const std::uint8_t* frame = nextMappedFrame(info);
        if (frame != nullptr) copyFrame(bgra, frame, format_.frameBytes());
        return frame != nullptr;
    }
    if (format_.frameCount >= 0 && framesRead_ >= format_.frameCount) return false;
    const std::size_t want = format_.frameBytes();
    const std::size_t got = std::fread(bgra, 1, want, file_);
    if (got < want) {
        if (std::ferror(file_)) {
            throw ToolError("cannot read input '" + path_ + "': " + std::strerror(errno));
        }
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
