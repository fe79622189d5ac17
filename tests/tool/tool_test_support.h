// Helpers of the kalmix end-to-end tests: scratch directories, running the
// built program, small generated clips, and the reference the tool is held
// to: the module driven directly through the host library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/host/plugin_host.h"
#include "tools/kalmix/ffmpeg_common.h"
#include "tools/kalmix/video_io.h"

namespace kalmix::tool::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }
    std::vector<std::string> list() const;  // names, sorted

private:
    std::filesystem::path path_;
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> errLines() const;
};

// Runs the kalmix program; stdinPath empty: no input. Standard output is
// captured unless stdoutPath names a file for it.
RunResult runKalmix(const std::vector<std::string>& args, const std::string& stdinPath = "",
                    const std::string& stdoutPath = "");

// Points the module's state file at a new empty directory, so that no run
// resumes another's sequence.
void freshStateDirectory();

// A clip of frames x (width x height) BGRA: a textured still background, a
// square moving across it and per-sample noise; deterministic per seed.
Bytes makeClip(int width, int height, int frames, unsigned seed);

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

// The module's output for these frames, driven directly through the host
// library: setup with the settings, then positions start, start + 1, ...
Bytes filterDirect(const Bytes& frames, int width, int height, const host::UserSettings& settings,
                   std::int32_t start, std::int32_t clipTotal);

struct DecodedClip {
    VideoFormat format;
    Bytes frames;
    std::vector<std::int64_t> pts;
    int count = 0;
};
DecodedClip decodeFile(const std::string& path);

// Writes the frames as FFV1 in Matroska, frame i at pts i in timeBase.
void writeMkv(const std::string& path, const Bytes& frames, int width, int height, Rational timeBase,
              Rational frameRate);

std::string md5Of(const Bytes& bytes);

// A file as phones, cameras and authoring tools make them, written with
// FFmpeg's libraries: the main video stream from BGRA frames, and whatever
// else is asked for.
struct ClipRecipe {
    std::string codec = "ffv1";
    std::string pixelFormat = "bgra";  // what the encoder is given
    std::string format;                // container; empty: by the file name
    int width = 32;
    int height = 32;
    int frames = 10;
    int rate = 25;                      // frames a second, time base 1/rate
    int firstPts = 0;                   // the video's first time stamp, in 1/rate
    const Bytes* bgra = nullptr;        // frames of width x height; default makeClip(seed 1)
    int extraVideo = 0;                 // more video streams, 16x16
    std::string extraCodec = "ffv1";    // their encoder
    int audioStreams = 0;               // PCM, a packet a frame, tagged language aud0, aud1, ...
    bool flacAudio = false;             // the audio streams declared FLAC instead (their bytes are copied, never decoded)
    bool subtitles = false;             // two SubRip cues
    int chapters = 0;                   // equal parts of the clip, titled "Part N"
    bool attachment = false;            // a font attachment, font.ttf, whose bytes are ATTACHED_FONT
    bool cover = false;                 // a cover picture (attached PNG): COVER_PICTURE
    int rotation = 0;                   // degrees in a display matrix; 0: none
    AVFieldOrder fieldOrder = AV_FIELD_UNKNOWN;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    int damagedPacket = -1;             // this video packet's bytes are overwritten with junk
};
void writeClip(const std::string& path, const ClipRecipe& recipe);
inline constexpr char ATTACHED_FONT[] = "the bytes of a font";
// An 8x8 grey PNG.
inline constexpr unsigned char COVER_PICTURE[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
    0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x08, 0x00, 0x00, 0x00, 0x00, 0xe1, 0x64, 0xe1, 0x57, 0x00, 0x00, 0x00,
    0x0e, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x68, 0x80, 0x02, 0x06, 0xca, 0x18, 0x00, 0x80, 0x84, 0x20,
    0x01, 0x0d, 0x80, 0x24, 0x61, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

InputPtr openInput(const std::string& path);

// Runs kalmix on a pseudo-terminal, answering its question with answer.
// The terminal's whole transcript comes back in out.
RunResult runKalmixOnTerminal(const std::vector<std::string>& args, const std::string& answer);

}  // namespace kalmix::tool::test
