// MD5 of the output frames.
#include "tools/kalmix/md5_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/md5.h>
}

namespace kalmix::tool {

Md5Writer::Md5Writer(const std::string& path, const VideoFormat& format, std::string expected,
                     bool replaceAppearing)
    : context_(av_md5_alloc()), path_(path), expected_(std::move(expected)), frameBytes_(format.frameBytes()) {
    if (context_ == nullptr) throw ToolError("out of memory");
    av_md5_init(context_);
    if (expected_.empty()) {
        output_.emplace(path_);
        output_->replaceAppearing(replaceAppearing);
    }
}

Md5Writer::~Md5Writer() { av_free(context_); }

void Md5Writer::write(const std::uint8_t* bgra, const FrameInfo&) {
    av_md5_update(context_, bgra, frameBytes_);
}

void Md5Writer::finish() {
    std::uint8_t digest[16];
    av_md5_final(context_, digest);
    static constexpr char HEX[] = "0123456789abcdef";
    hash_.clear();
    for (std::uint8_t byte : digest) {
        hash_ += HEX[byte >> 4];
        hash_ += HEX[byte & 15];
    }
    if (!expected_.empty()) {
        if (hash_ != expected_) throw ToolError("MD5 mismatch: the frames give " + hash_ + ", expected " + expected_);
        return;
    }
    TempOutput& output = *output_;
    std::FILE* file = output.isStdout() ? stdout : output.openStream();
    bool written = file != nullptr && std::fprintf(file, "%s\n", hash_.c_str()) > 0;
    written = file != nullptr && (file == stdout ? std::fflush(file) == 0 : std::fclose(file) == 0) && written;
    if (!written) {
        throw ToolError("cannot write output '" + path_ + "': " + std::strerror(errno));
    }
    output.commit();
}

}  // namespace kalmix::tool
