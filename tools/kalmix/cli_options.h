// The command line of kalmix, parsed apart from main() so that it can be
// tested: every flag, its range and the message for a bad value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/plugin_host.h"
#include "tools/kalmix/output_file.h"

namespace kalmix::tool {

enum class Command { Filter, Demo, Help, Version };

// How much is printed: FFmpeg's log level and the tool's own messages follow it.
enum class Verbosity { Quiet, Error, Warning, Info, Verbose };

inline constexpr int DEMO_DEFAULT_FRAMES = 48;

struct Options {
    Command command = Command::Filter;
    std::string input;   // a path, or "-" for standard input
    std::string output;  // a path, or "-" for standard output
    std::string inputFormat;   // -f before the input: its container (for pipes)
    // -video_size, -pixel_format, -framerate before the input: the demuxer's
    // options, as (name, value), which raw and headerless inputs need.
    std::vector<std::pair<std::string, std::string>> inputOptions;
    std::string outputFormat;  // -f after the input: the output's container

    // Raw mode: packed BGRA frames of this size in and out, no conversion.
    bool raw = false;
    int rawWidth = 0;
    int rawHeight = 0;
    bool allowPartial = false;

    std::int32_t start = 0;                 // position of the first frame
    std::optional<std::int32_t> clipTotal;  // overrides the clip total
    std::optional<std::int32_t> frameLimit; // -frames:v: frames filtered at most

    host::UserSettings settings;  // the dialog and the host-kept record fields

    bool fit = false;        // scale down to what the filter takes
    bool tiles = true;       // filter other frames through tiles (--tiles off: pass them through)
    int threads = 0;         // tiles filtered at once; 0: every core
    std::string codec;       // encoder name; empty: chosen by the output's extension
    std::string pixelFormat; // the encoder's pixel format; empty: the best it takes
    // Encoder options in the order given (-crf, -preset, -b:v, -x264-params,
    // -opt key=value); those the encoder does not know go to the container.
    std::vector<std::pair<std::string, std::string>> codecOptions;
    std::string map;         // which video stream is filtered; empty: the best
    bool copyAudio = true;      // -an: leave the audio streams out
    bool copySubtitles = true;  // -sn
    bool copyData = true;       // -dn
    int compliance = 0;         // -strict: FFmpeg's FF_COMPLIANCE_* (-2 experimental .. 2 very)
    std::vector<std::pair<std::string, std::string>> metadata;  // -metadata KEY=VALUE, in order
    bool progress = true;       // -nostats: no progress line
    bool noStdin = false;       // -nostdin: never ask on the terminal
    bool strict = false;     // stop at the first damaged packet
    // Selection of the input, in microseconds from its start.
    std::optional<std::int64_t> seekTo;    // -ss
    std::optional<std::int64_t> duration;  // -t
    std::optional<std::int64_t> endAt;     // -to
    Overwrite overwrite = Overwrite::Ask;
    std::string modulePath;  // empty: the module this build made, or $KALMIX_MODULE
    Verbosity verbosity = Verbosity::Info;
    bool quiet = false;      // verbosity below Info: no notes, no summary

    bool md5 = false;    // write the MD5 of the output frames instead of the frames
    std::string verify;  // expected MD5: compare instead of writing any output

    std::string demoDir = "kalmix-demo";
    bool demoDirGiven = false;  // else the demo's own folder, whose files it replaces
    int demoFrames = DEMO_DEFAULT_FRAMES;
};

struct ParseResult {
    Options options;
    std::string error;  // one line, empty when the command line is good
    bool ok() const { return error.empty(); }
};

// args excludes the program name.
// Throws ToolError only when a container name (-f) needs the FFmpeg side
// and it cannot be loaded.
ParseResult parseArguments(const std::vector<std::string>& args);

std::string usageText();

}  // namespace kalmix::tool
