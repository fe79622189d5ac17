// The command line of kalmix, parsed apart from main() so that it can be
// tested: every flag, its range and the message for a bad value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/plugin_host.h"

namespace kalmix::tool {

enum class Command { Filter, Demo, Help, Version };

inline constexpr int DEMO_DEFAULT_FRAMES = 48;

struct Options {
    Command command = Command::Filter;
    std::string input;   // a path, or "-" for standard input in raw mode
    std::string output;  // a path, or "-" for standard output in raw mode and for --md5

    // Raw mode: packed BGRA frames of this size in and out, no conversion.
    bool raw = false;
    int rawWidth = 0;
    int rawHeight = 0;
    bool allowPartial = false;

    std::int32_t start = 0;                 // position of the first frame
    std::optional<std::int32_t> clipTotal;  // overrides the clip total

    host::UserSettings settings;  // the dialog and the host-kept record fields

    bool fit = false;        // scale down to what the filter takes
    bool tiles = true;       // filter other frames through tiles (--tiles off: pass them through)
    int threads = 0;         // tiles filtered at once; 0: every core
    std::string codec;       // encoder name; empty: chosen by the output's extension
    std::string modulePath;  // empty: the module this build made, or $KALMIX_MODULE
    bool quiet = false;

    bool md5 = false;    // write the MD5 of the output frames instead of the frames
    std::string verify;  // expected MD5: compare instead of writing any output

    std::string demoDir = "kalmix-demo";
    int demoFrames = DEMO_DEFAULT_FRAMES;
};

struct ParseResult {
    Options options;
    std::string error;  // one line, empty when the command line is good
    bool ok() const { return error.empty(); }
};

// args excludes the program name.
ParseResult parseArguments(const std::vector<std::string>& args);

std::string usageText();

}  // namespace kalmix::tool
