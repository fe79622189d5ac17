// The option parser's questions about containers, answered by FFmpeg's
// libraries linked in, where the tool would load its FFmpeg side: the
// fuzzer needs only these two answers.
#include "tools/kalmix/media.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kalmix::tool {
namespace {

bool readsFormat(const std::string& name) { return av_find_input_format(name.c_str()) != nullptr; }
bool writesFormat(const std::string& name) { return av_guess_format(name.c_str(), nullptr, nullptr) != nullptr; }

}  // namespace

const MediaApi& media() {
    static const MediaApi api{.version = MEDIA_API_VERSION, .readsFormat = readsFormat, .writesFormat = writesFormat};
    return api;
}

}  // namespace kalmix::tool
