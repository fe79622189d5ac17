// Raw mode: consecutive packed BGRA frames of a given size, from a file or
// standard input, and to a file or standard output, with no conversion.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "tools/kalmix/output_file.h"
#include "tools/kalmix/video_io.h"

namespace kalmix::tool {

class RawReader final : public FrameReader {
public:
    // path "-" is standard input. A regular file whose size is not a whole
    // number of frames is refused unless allowPartial; a pipe is checked at
    // its end. Files are read, not mapped: in a virtual machine whose nested
    // paging makes 4 KiB mappings of the page cache slow to walk, the
    // module's conversion of a mapped frame took longer than the kernel's
    // copy and the conversion of the warm buffer together.
    RawReader(const std::string& path, int width, int height, bool allowPartial);
    ~RawReader() override;
    const VideoFormat& format() const override { return format_; }
    bool read(std::uint8_t* bgra, FrameInfo& info) override;
    bool readsWithoutWaiting() const override { return regularFile_; }
    // Bytes after the last whole frame that were dropped (with allowPartial).
    std::uint64_t droppedBytes() const { return droppedBytes_; }

private:
    std::string partialMessage(std::uint64_t leftover, std::int64_t wholeFrames) const;
    std::string path_;
    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    bool regularFile_ = false;
    bool allowPartial_;
    VideoFormat format_;
    std::int64_t framesRead_ = 0;
    std::uint64_t droppedBytes_ = 0;
};

class RawWriter final : public FrameWriter {
public:
    // "-" is standard output; replaceAppearing: TempOutput::replaceAppearing (-y).
    RawWriter(const std::string& path, const VideoFormat& format, bool replaceAppearing = false);
    ~RawWriter() override;
    void write(const std::uint8_t* bgra, const FrameInfo& info) override;
    bool writesWithoutWaiting() const override { return regularFile_; }
    void finish() override;

private:
    [[noreturn]] void fail();
    TempOutput output_;
    std::FILE* file_ = nullptr;
    bool regularFile_ = false;
    std::size_t frameBytes_;
};

}  // namespace kalmix::tool
