// The MD5 "muxer": hashes the output frames' BGRA bytes in order, and either
// writes the hash as one line or checks it against an expected one.
#pragma once

#include <optional>
#include <string>

#include "tools/kalmix/output_file.h"
#include "tools/kalmix/video_io.h"

struct AVMD5;

namespace kalmix::tool {

class Md5Writer final : public FrameWriter {
public:
    // expected empty: write the hash to path ("-": standard output);
    // else compare, write nothing, and fail on a mismatch.
    // replaceAppearing: TempOutput::replaceAppearing (-y).
    Md5Writer(const std::string& path, const VideoFormat& format, std::string expected,
              bool replaceAppearing = false);
    ~Md5Writer() override;
    void write(const std::uint8_t* bgra, const FrameInfo& info) override;
    bool writesWithoutWaiting() const override { return true; }  // a hash: nothing is written until finish()
    void finish() override;
    const std::string& hash() const { return hash_; }

private:
    AVMD5* context_;
    std::string path_;
    std::string expected_;
    std::size_t frameBytes_;
    std::string hash_;
    // The file the hash goes to, taken at the start: what stands at its name
    // then is what may be replaced.
    std::optional<TempOutput> output_;
};

}  // namespace kalmix::tool
