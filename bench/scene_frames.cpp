// Writes frames of a benchmark scene as packed BGRA to a file or standard
// output, for timing the kalmix tool and other filters on the same input:
//   kalmix_scene_frames SCENE WxH COUNT OUTPUT|-
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/scenes.h"

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "kalmix_scene_frames: error: %s\n", message.c_str());
    return 1;
}

bool parseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kalmix::bench;
    if (argc != 5) {
        return fail("usage: kalmix_scene_frames SCENE WxH COUNT OUTPUT|- (scenes: still, moving, new_picture, worst_extent)");
    }
    const Scene* scene = nullptr;
    for (const Scene& candidate : ALL_SCENES) {
        if (std::strcmp(argv[1], sceneName(candidate)) == 0) scene = &candidate;
    }
    if (scene == nullptr) return fail(std::string("unknown scene '") + argv[1] + "'");
    long width = 0, height = 0, count = 0;
    const char* x = std::strchr(argv[2], 'x');
    if (x == nullptr || !parseNumber(std::string(argv[2], static_cast<std::size_t>(x - argv[2])).c_str(), 1, 4096, width) ||
        !parseNumber(x + 1, 1, 4096, height)) {
        return fail(std::string("size '") + argv[2] + "' is not WxH with sides 1..4096");
    }
    if (!parseNumber(argv[3], 1, 1000000, count)) return fail(std::string("count '") + argv[3] + "' is not 1..1000000");

    const bool toStdout = std::strcmp(argv[4], "-") == 0;
    std::FILE* out = toStdout ? stdout : std::fopen(argv[4], "wb");
    if (out == nullptr) return fail(std::string("cannot write '") + argv[4] + "': " + std::strerror(errno));
    // One loop of the scene, repeated: it loops without a cut.
    const std::vector<Frame> clip = sceneClip(*scene, static_cast<int>(width), static_cast<int>(height));
    bool written = true;
    for (long i = 0; i < count && written; ++i) {
        const Frame& frame = clip[static_cast<std::size_t>(i) % clip.size()];
        written = std::fwrite(frame.data(), 1, frame.size(), out) == frame.size();
    }
    if (std::fflush(out) != 0) written = false;
    if (!toStdout && std::fclose(out) != 0) written = false;
    if (!written) {
        if (!toStdout) std::remove(argv[4]);
        return fail(std::string("cannot write '") + argv[4] + "'");
    }
    return 0;
}
