// Helpers of the kalmix end-to-end tests.
#include "tool_test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "tools/kalmix/ffmpeg_reader.h"
#include "tools/kalmix/ffmpeg_writer.h"
#include "tools/kalmix/md5_writer.h"

extern "C" {
#include <libavutil/md5.h>
}

namespace kalmix::tool::test {
namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "kalmix-tool-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDir::list() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> RunResult::errLines() const {
    std::vector<std::string> lines;
    std::istringstream stream(err);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

namespace {

const ScratchDir& captureDir() {
    static const ScratchDir dir;
    return dir;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

RunResult runKalmix(const std::vector<std::string>& args, const std::string& stdinPath, const std::string& stdoutPath) {
    const std::string outPath = stdoutPath.empty() ? captureDir() / "stdout" : stdoutPath;
    const std::string errPath = captureDir() / "stderr";
    std::vector<std::string> argv{KALMIX_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        const int in = ::open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    RunResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (stdoutPath.empty()) result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
}

void freshStateDirectory() {
    static int counter = 0;
    static const ScratchDir root;
    const std::string dir = root / ("windir" + std::to_string(counter++));
    fs::create_directory(dir);
    ::setenv("WINDIR", dir.c_str(), 1);
}

Bytes makeClip(int width, int height, int frames, unsigned seed) {
    Bytes clip(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4 * static_cast<std::size_t>(frames));
    std::uint32_t state = seed * 2654435761u + 1;
    const auto noise = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>(state >> 28) - 8;  // -8..7
    };
    std::size_t i = 0;
    for (int f = 0; f < frames; ++f) {
        const int squareX = f * 3 % std::max(1, width - 12);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const bool square = x >= squareX && x < squareX + 12 && y >= height / 3 && y < height / 3 + 12;
                const int base[3] = {(x * 5 + y * 3) % 200 + 20, (x ^ y) % 160 + 40, ((x / 8 + y / 8) % 2) * 90 + 60};
                for (int c = 0; c < 3; ++c) {
                    clip[i++] = static_cast<std::uint8_t>(std::clamp((square ? 230 : base[c]) + noise(), 0, 255));
                }
                clip[i++] = 255;
            }
        }
    }
    return clip;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes filterDirect(const Bytes& frames, int width, int height, const host::UserSettings& settings, std::int32_t start,
                   std::int32_t clipTotal) {
    std::string error;
    auto module = host::PluginModule::load(host::defaultModulePath(), error);
    if (!module) throw std::runtime_error(error);
    if (module->setup(settings) != 0) throw std::runtime_error("setup failed");
    const std::size_t frameBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    Bytes output(frames.size());
    for (std::size_t offset = 0, n = 0; offset + frameBytes <= frames.size(); offset += frameBytes, ++n) {
        module->execute(frames.data() + offset, output.data() + offset, width, height,
                        start + static_cast<std::int32_t>(n), clipTotal);
    }
    return output;
}

DecodedClip decodeFile(const std::string& path) {
    FfmpegReader reader(path, false);
    DecodedClip clip;
    clip.format = reader.format();
    Bytes frame(clip.format.frameBytes());
    FrameInfo info;
    while (reader.read(frame.data(), info)) {
        clip.frames.insert(clip.frames.end(), frame.begin(), frame.end());
        clip.pts.push_back(info.pts);
        ++clip.count;
    }
    return clip;
}

void writeMkv(const std::string& path, const Bytes& frames, int width, int height, Rational timeBase,
              Rational frameRate) {
    VideoFormat format;
    format.width = width;
    format.height = height;
    format.timeBase = timeBase;
    format.frameRate = frameRate;
    FfmpegWriter writer(path, format, {});
    for (std::size_t offset = 0, n = 0; offset < frames.size(); offset += format.frameBytes(), ++n) {
        writer.write(frames.data() + offset, FrameInfo{static_cast<std::int64_t>(n), 1});
    }
    writer.finish();
}

std::string md5Of(const Bytes& bytes) {
    std::uint8_t digest[16];
    av_md5_sum(digest, bytes.data(), bytes.size());
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : digest) {
        text += HEX[b >> 4];
        text += HEX[b & 15];
    }
    return text;
}

}  // namespace kalmix::tool::test
