// What the frame loop sees of its input and output: a stream of packed BGRA
// frames of one size, with time stamps, and the error type of the tool.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kalmix::tool {

inline constexpr int BYTES_PER_PIXEL = 4;  // blue, green, red, alpha

// Exit statuses of the tool.
inline constexpr int EXIT_FAILED = 1;       // bad input, unwritable output, codec or module trouble
inline constexpr int EXIT_USAGE = 2;        // malformed command line or a value out of range
inline constexpr int EXIT_INTERRUPTED = 130;

// A failure that ends the run: one line for standard error and an exit status.
struct ToolError : std::runtime_error {
    explicit ToolError(const std::string& message, int exitStatus = EXIT_FAILED)
        : std::runtime_error(message), status(exitStatus) {}
    int status;
};

struct Rational {
    int num = 0;
    int den = 1;
    bool valid() const { return num > 0 && den > 0; }
};

// The stream a reader delivers and a writer takes.
struct VideoFormat {
    int width = 0;
    int height = 0;
    Rational timeBase{1, 25};     // unit of FrameInfo::pts
    Rational frameRate{25, 1};    // nominal; {0, 1} when unknown
    Rational sampleAspect{0, 1};  // {0, 1} when unknown (square pixels)
    std::int64_t frameCount = -1; // frames in the input when known, else -1

    std::size_t frameBytes() const {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * BYTES_PER_PIXEL;
    }
};

struct FrameInfo {
    std::int64_t pts = 0;       // in VideoFormat::timeBase
    std::int64_t duration = 0;  // in VideoFormat::timeBase; 0 when unknown
};

class FrameReader {
public:
    virtual ~FrameReader() = default;
    virtual const VideoFormat& format() const = 0;
    // Fills format().frameBytes() bytes; false at the end of the input.
    // Throws ToolError on a read or decode failure.
    virtual bool read(std::uint8_t* bgra, FrameInfo& info) = 0;
    // True when read() never waits on another program (a regular file, not
    // a pipe), so that it may run on a thread of its own and always returns.
    virtual bool readsWithoutWaiting() const { return false; }
    // From another thread, when the run ends early: a read under way may give
    // up (and fail) rather than wait for its input.
    virtual void interrupt() {}
};

class FrameWriter {
public:
    virtual ~FrameWriter() = default;  // an unfinished writer leaves no output behind
    virtual void write(const std::uint8_t* bgra, const FrameInfo& info) = 0;
    // True when write() never waits on another program (a regular file, not
    // a pipe), so that it may run on a thread of its own and always returns.
    virtual bool writesWithoutWaiting() const { return false; }
    // Flushes and puts the output in place. Throws ToolError on failure.
    virtual void finish() = 0;
};

}  // namespace kalmix::tool
