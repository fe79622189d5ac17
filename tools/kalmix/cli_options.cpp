// Parses the kalmix command line into Options, with one message per mistake.
#include "tools/kalmix/cli_options.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <functional>
#include <limits>

extern "C" {
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
}

#include "tools/kalmix/media.h"

namespace kalmix::tool {
namespace {

constexpr std::int32_t INT32_MAXIMUM = std::numeric_limits<std::int32_t>::max();
constexpr int RAW_SIDE_MAX = 16384;
constexpr int DEMO_FRAMES_MIN = 2;
constexpr int DEMO_FRAMES_MAX = 1000;
constexpr int THREADS_MAX = 1024;

// Which commands a flag belongs to. FILE_ONLY: filter runs on video files,
// not --raw, which reads and writes frames as they are.
enum Scope : unsigned { FILTER_ONLY = 1, DEMO_ONLY = 2, BOTH = 3, NOT_RAW = 4, FILE_ONLY = FILTER_ONLY | NOT_RAW };

struct Flag {
    const char* name;
    std::vector<std::string> aliases;  // other spellings, as ffmpeg users type them
    bool takesValue;
    Scope scope;
    // Applies the value (empty for switches); returns an error text or "".
    std::function<std::string(const std::string& value, Options& options)> apply;
};

std::optional<long long> parseWhole(const std::string& text) {
    long long value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+') ++first;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last) return std::nullopt;
    return value;
}

std::string rangeText(long long low, long long high) {
    return "allowed " + std::to_string(low) + ".." + std::to_string(high);
}

// A flag with a whole-number value in [low, high].
template <typename T>
std::function<std::string(const std::string&, Options&)> wholeNumber(const char* name, long long low,
                                                                      long long high,
                                                                      std::function<T&(Options&)> target) {
    return [=](const std::string& value, Options& options) -> std::string {
        const auto number = parseWhole(value);
        if (!number) {
            return std::string(name) + ": '" + value + "' is not a whole number; " + rangeText(low, high);
        }
        if (*number < low || *number > high) {
            return std::string(name) + ": " + value + " is out of range; " + rangeText(low, high);
        }
        target(options) = static_cast<T>(*number);
        return "";
    };
}

// A whole number from low up to INT32_MAX, for a setting that is unset unless given.
std::function<std::string(const std::string&, Options&)> optionalWholeNumber(const char* name, long long low,
                                                                             std::optional<std::int32_t> Options::*field) {
    return [=](const std::string& value, Options& options) {
        std::int32_t number = 0;
        std::string error = wholeNumber<std::int32_t>(name, low, INT32_MAXIMUM,
                                                      [&number](Options&) -> std::int32_t& { return number; })(value, options);
        if (error.empty()) options.*field = number;
        return error;
    };
}

std::function<std::string(const std::string&, Options&)> level(const char* name, long long high,
                                                               int host::UserSettings::*field) {
    return wholeNumber<int>(name, 0, high, [field](Options& o) -> int& { return o.settings.*field; });
}

std::string parseRawSize(const std::string& value, Options& options) {
    const auto bad = [&value] {
        return "--raw: '" + value + "' is not WIDTHxHEIGHT (for example 384x288); each side 1.." +
               std::to_string(RAW_SIDE_MAX);
    };
    const std::size_t cross = value.find_first_of("xX");
    if (cross == std::string::npos) return bad();
    const auto width = parseWhole(value.substr(0, cross));
    const auto height = parseWhole(value.substr(cross + 1));
    if (!width || !height || *width < 1 || *height < 1 || *width > RAW_SIDE_MAX ||
        *height > RAW_SIDE_MAX || value[0] == '+' || value[cross + 1] == '+') {
        return bad();
    }
    options.raw = true;
    options.rawWidth = static_cast<int>(*width);
    options.rawHeight = static_cast<int>(*height);
    return "";
}

std::string parseHash(const std::string& value, Options& options) {
    bool hex = value.size() == 32;
    for (char c : value) hex = hex && std::isxdigit(static_cast<unsigned char>(c)) != 0;
    if (!hex) return "--verify: '" + value + "' is not an MD5 (32 hexadecimal digits)";
    options.verify.clear();
    for (char c : value) options.verify += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "";
}

// A flag whose value is kept as it is; empty values are refused.
std::function<std::string(const std::string&, Options&)> text(const char* name, std::string Options::*field) {
    return [=](const std::string& value, Options& options) -> std::string {
        if (value.empty()) return std::string(name) + ": empty value";
        options.*field = value;
        return "";
    };
}

// An encoder option under FFmpeg's own name.
std::function<std::string(const std::string&, Options&)> codecOption(const char* name, const char* key) {
    return [=](const std::string& value, Options& options) -> std::string {
        if (value.empty()) return std::string(name) + ": empty value";
        options.codecOptions.emplace_back(key, value);
        return "";
    };
}

// A time as ffmpeg takes it: seconds (12.5) or [HH:]MM:SS[.m].
std::function<std::string(const std::string&, Options&)> timeValue(const char* name,
                                                                   std::optional<std::int64_t> Options::*field) {
    return [=](const std::string& value, Options& options) -> std::string {
        std::int64_t microseconds = 0;
        if (value.empty() || value[0] == '-' || av_parse_time(&microseconds, value.c_str(), 1) < 0 ||
            microseconds < 0) {
            return std::string(name) + ": '" + value + "' is not a time (seconds, or [HH:]MM:SS[.m])";
        }
        options.*field = microseconds;
        return "";
    };
}

std::string parseVerbosity(const std::string& value, Options& options) {
    static const std::pair<const char*, Verbosity> NAMES[] = {{"quiet", Verbosity::Quiet},
                                                              {"error", Verbosity::Error},
                                                              {"warning", Verbosity::Warning},
                                                              {"info", Verbosity::Info},
                                                              {"verbose", Verbosity::Verbose}};
    for (const auto& [name, level] : NAMES) {
        if (value == name) {
            options.verbosity = level;
            return "";
        }
    }
    return "-v: '" + value + "' is not quiet, error, warning, info or verbose";
}

std::string parsePixelFormat(const std::string& value, Options& options) {
    if (av_get_pix_fmt(value.c_str()) == AV_PIX_FMT_NONE) {
        return "-pix_fmt: no pixel format named '" + value + "' (ffmpeg -pix_fmts lists them)";
    }
    options.pixelFormat = value;
    return "";
}

// -c:a and its kin: the other streams are copied, never re-encoded.
std::function<std::string(const std::string&, Options&)> copyOnly(const char* flag, const char* kind) {
    return [flag, kind](const std::string& value, Options&) {
        if (value == "copy") return std::string();
        return std::string(flag) + ": '" + value + "': the " + kind +
               " streams are copied as they are (copy), never encoded again";
    };
}

// ffmpeg's -strict: a level by name or number.
std::string parseCompliance(const std::string& value, Options& options) {
    static const std::vector<std::pair<std::string, int>> LEVELS = {
        {"very", 2}, {"strict", 1}, {"normal", 0}, {"unofficial", -1}, {"experimental", -2},
        {"2", 2},    {"1", 1},      {"0", 0},      {"-1", -1},         {"-2", -2}};
    for (const auto& [name, level] : LEVELS) {
        if (value == name) {
            options.compliance = level;
            return "";
        }
    }
    return "-strict: '" + value + "' is not very, strict, normal, unofficial or experimental (2..-2)";
}

std::string parseGenericOption(const std::string& value, Options& options) {
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos || equals == 0) return "-opt: '" + value + "' is not KEY=VALUE";
    options.codecOptions.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    return "";
}

std::string parseMap(const std::string& value, Options& options) {
    // 0:v:N, v:N, 0:N or N: the first input is the only one.
    std::string rest = value;
    if (rest.rfind("0:", 0) == 0) rest = rest.substr(2);
    bool ofVideo = false;
    if (rest.rfind("v:", 0) == 0) {
        ofVideo = true;
        rest = rest.substr(2);
    }
    const auto number = parseWhole(rest);
    if (!number || *number < 0 || *number > 1000 || rest.empty() || rest[0] == '+') {
        return "-map: '" + value + "' is not a stream (0:v:N for the Nth video stream, 0:N for stream N)";
    }
    options.map = (ofVideo ? "v:" : "") + std::to_string(*number);
    return "";
}

const std::vector<Flag>& flags() {
    static const std::vector<Flag> table = {
        {"--output", {"-o"}, true, FILTER_ONLY,
         [](const std::string& v, Options& o) {
             if (v.empty()) return std::string("--output: empty file name");
             o.output = v;
             return std::string();
         }},
        {"--raw", {}, true, FILTER_ONLY, parseRawSize},
        {"--allow-partial", {}, false, FILTER_ONLY,
         [](const std::string&, Options& o) { o.allowPartial = true; return std::string(); }},
        {"--start", {}, true, FILTER_ONLY,
         wholeNumber<std::int32_t>("--start", 0, INT32_MAXIMUM,
                                   [](Options& o) -> std::int32_t& { return o.start; })},
        {"--clip-total", {}, true, FILTER_ONLY, optionalWholeNumber("--clip-total", 0, &Options::clipTotal)},
        {"-frames:v", {"-vframes", "-frames"}, true, FILTER_ONLY, optionalWholeNumber("-frames:v", 1, &Options::frameLimit)},
        {"--primary", {}, true, BOTH, level("--primary", 10, &host::UserSettings::primaryLevel)},
        {"--secondary", {}, true, BOTH, level("--secondary", 10, &host::UserSettings::secondaryLevel)},
        {"--transition-frames", {}, true, BOTH,
         level("--transition-frames", 7, &host::UserSettings::transitionFrames)},
        {"--uv-level", {}, true, BOTH, level("--uv-level", 10, &host::UserSettings::uvLevel)},
        {"--enhanced", {}, true, BOTH,
         [](const std::string& v, Options& o) {
             if (v == "on") {
                 o.settings.enhancedSuppression = true;
             } else if (v == "off") {
                 o.settings.enhancedSuppression = false;
             } else {
                 return "--enhanced: '" + v + "' is not on or off";
             }
             return std::string();
         }},
        {"--fit", {}, false, FILTER_ONLY,
         [](const std::string&, Options& o) { o.fit = true; return std::string(); }},
        {"--tiles", {}, true, FILTER_ONLY,
         [](const std::string& v, Options& o) {
             if (v != "on" && v != "off") return "--tiles: '" + v + "' is not on or off";
             o.tiles = v == "on";
             return std::string();
         }},
        {"--threads", {}, true, FILTER_ONLY,
         wholeNumber<int>("--threads", 1, THREADS_MAX, [](Options& o) -> int& { return o.threads; })},
        {"--codec", {"-c:v", "-vcodec", "-codec:v"}, true, FILE_ONLY, text("--codec", &Options::codec)},
        {"-pix_fmt", {"--pix-fmt"}, true, FILE_ONLY, parsePixelFormat},
        {"-crf", {"--crf"}, true, FILE_ONLY, codecOption("-crf", "crf")},
        {"-preset", {"--preset"}, true, FILE_ONLY, codecOption("-preset", "preset")},
        {"-b:v", {"-b", "--bitrate"}, true, FILE_ONLY, codecOption("-b:v", "b")},
        {"-x264-params", {"--x264-params"}, true, FILE_ONLY, codecOption("-x264-params", "x264-params")},
        {"-x265-params", {"--x265-params"}, true, FILE_ONLY, codecOption("-x265-params", "x265-params")},
        // ffmpeg's common encoder and container settings, under their names
        // there; each goes to the encoder, else to the container, as -opt does.
        {"-tune", {}, true, FILE_ONLY, codecOption("-tune", "tune")},
        {"-profile:v", {"-profile"}, true, FILE_ONLY, codecOption("-profile:v", "profile")},
        {"-level", {"-level:v"}, true, FILE_ONLY, codecOption("-level", "level")},
        {"-g", {}, true, FILE_ONLY, codecOption("-g", "g")},
        {"-bf", {}, true, FILE_ONLY, codecOption("-bf", "bf")},
        {"-qp", {}, true, FILE_ONLY, codecOption("-qp", "qp")},
        {"-maxrate", {"-maxrate:v"}, true, FILE_ONLY, codecOption("-maxrate", "maxrate")},
        {"-minrate", {"-minrate:v"}, true, FILE_ONLY, codecOption("-minrate", "minrate")},
        {"-bufsize", {"-bufsize:v"}, true, FILE_ONLY, codecOption("-bufsize", "bufsize")},
        {"-x264opts", {}, true, FILE_ONLY, codecOption("-x264opts", "x264opts")},
        {"-movflags", {}, true, FILE_ONLY, codecOption("-movflags", "movflags")},
        {"-opt", {"--opt"}, true, FILE_ONLY, parseGenericOption},
        {"-metadata", {"-metadata:g"}, true, FILE_ONLY,
         [](const std::string& v, Options& o) {
             const std::size_t equals = v.find('=');
             if (equals == std::string::npos || equals == 0) return "-metadata: '" + v + "' is not KEY=VALUE";
             o.metadata.emplace_back(v.substr(0, equals), v.substr(equals + 1));
             return std::string();
         }},
        {"-map", {"--map"}, true, FILE_ONLY, parseMap},
        {"-an", {}, false, FILE_ONLY, [](const std::string&, Options& o) { o.copyAudio = false; return std::string(); }},
        {"-sn", {}, false, FILE_ONLY, [](const std::string&, Options& o) { o.copySubtitles = false; return std::string(); }},
        {"-dn", {}, false, FILE_ONLY, [](const std::string&, Options& o) { o.copyData = false; return std::string(); }},
        // The other streams are copied as they are, so copying is all these take.
        {"-c:a", {"-acodec", "-codec:a"}, true, FILE_ONLY, copyOnly("-c:a", "audio")},
        {"-c:s", {"-scodec", "-codec:s"}, true, FILE_ONLY, copyOnly("-c:s", "subtitle")},
        {"-c:d", {"-dcodec", "-codec:d"}, true, FILE_ONLY, copyOnly("-c:d", "data")},
        {"-strict", {"-strict:v"}, true, FILE_ONLY, parseCompliance},
        {"-nostats", {}, false, FILTER_ONLY, [](const std::string&, Options& o) { o.progress = false; return std::string(); }},
        // ffmpeg's defaults, which kalmix has too: accepted so that its command lines run.
        {"-stats", {}, false, FILTER_ONLY, [](const std::string&, Options& o) { o.progress = true; return std::string(); }},
        {"-hide_banner", {}, false, BOTH, [](const std::string&, Options&) { return std::string(); }},
        {"-nostdin", {}, false, BOTH, [](const std::string&, Options& o) { o.noStdin = true; return std::string(); }},
        {"--strict", {"-xerror"}, false, FILTER_ONLY,
         [](const std::string&, Options& o) { o.strict = true; return std::string(); }},
        {"-ss", {"--seek"}, true, FILTER_ONLY, timeValue("-ss", &Options::seekTo)},
        {"-t", {"--duration"}, true, FILTER_ONLY, timeValue("-t", &Options::duration)},
        {"-to", {"--to"}, true, FILTER_ONLY, timeValue("-to", &Options::endAt)},
        {"-y", {"--overwrite"}, false, BOTH,
         [](const std::string&, Options& o) {
             if (o.overwrite == Overwrite::Never) return std::string("-y and -n: give one");
             o.overwrite = Overwrite::Always;
             return std::string();
         }},
        {"-n", {"--no-overwrite"}, false, BOTH,
         [](const std::string&, Options& o) {
             if (o.overwrite == Overwrite::Always) return std::string("-y and -n: give one");
             o.overwrite = Overwrite::Never;
             return std::string();
         }},
        {"-v", {"-loglevel", "--verbosity"}, true, BOTH, parseVerbosity},
        {"--md5", {}, false, FILTER_ONLY,
         [](const std::string&, Options& o) { o.md5 = true; return std::string(); }},
        {"--verify", {}, true, FILTER_ONLY, parseHash},
        {"--frames", {}, true, DEMO_ONLY,
         wholeNumber<int>("--frames", DEMO_FRAMES_MIN, DEMO_FRAMES_MAX,
                          [](Options& o) -> int& { return o.demoFrames; })},
        {"--module", {}, true, BOTH,
         [](const std::string& v, Options& o) {
             if (v.empty()) return std::string("--module: empty file name");
             o.modulePath = v;
             return std::string();
         }},
        {"--quiet", {"-q"}, false, BOTH,
         [](const std::string&, Options& o) { o.verbosity = Verbosity::Error; return std::string(); }},
    };
    return table;
}

// ffmpeg's input options for the demuxer, by flag: the demuxer's own name.
std::string inputOptionName(const std::string& flag) {
    static const std::vector<std::pair<std::string, std::string>> INPUT_OPTIONS = {
        {"-video_size", "video_size"}, {"-s", "video_size"}, {"-pixel_format", "pixel_format"},
        {"-framerate", "framerate"}};
    for (const auto& [name, option] : INPUT_OPTIONS) {
        if (flag == name) return option;
    }
    return "";
}

const Flag* findFlag(const std::string& name) {
    for (const Flag& flag : flags()) {
        if (name == flag.name) return &flag;
        for (const std::string& alias : flag.aliases) {
            if (name == alias) return &flag;
        }
    }
    return nullptr;
}

}  // namespace

ParseResult parseArguments(const std::vector<std::string>& args) {
    ParseResult result;
    Options& options = result.options;
    std::vector<std::string> positional;
    std::vector<const Flag*> given;
    std::vector<std::string> fileModeFlags;  // given flags that --raw does not take
    std::string pixelFormatBeforeInput, pixelFormatAfterInput;  // the last -pix_fmt on each side
    std::size_t i = 0;
    if (!args.empty() && args[0] == "demo") {
        options.command = Command::Demo;
        i = 1;
    }
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.command = Command::Help;
            return result;
        }
        if (arg == "--version") {
            options.command = Command::Version;
            return result;
        }
        if (arg == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {  // "-" is standard input or output
            positional.push_back(arg);
            continue;
        }
        if (arg == "-f" || arg == "-i" || arg.rfind("--format", 0) == 0 || arg.rfind("--input", 0) == 0) {
            // Position matters, as in ffmpeg: -f before the input names the
            // input's container, after it the output's.
            const bool isFormat = arg == "-f" || arg.rfind("--format", 0) == 0;
            const std::size_t equals = arg.find('=');
            std::string value;
            if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                result.error = std::string(isFormat ? "-f" : "-i") + ": missing value";
                return result;
            }
            if (!isFormat) {
                if (value.empty()) {
                    result.error = "-i: empty file name";
                    return result;
                }
                positional.push_back(value);
                continue;
            }
            const bool forInput = positional.empty();
            if (forInput ? !media().readsFormat(value) : !media().writesFormat(value)) {
                result.error = "-f: '" + value + "' is not a container FFmpeg " + (forInput ? "reads" : "writes") +
                               " (ffmpeg -formats lists them)";
                return result;
            }
            (forInput ? options.inputFormat : options.outputFormat) = value;
            fileModeFlags.push_back("-f");
            continue;
        }
        if (const std::string option = inputOptionName(arg); !option.empty()) {
            // As in ffmpeg, these describe the input, so they go before it.
            if (i + 1 >= args.size()) {
                result.error = arg + ": missing value";
                return result;
            }
            if (!positional.empty()) {
                result.error = arg + " describes the input: give it before the input, as ffmpeg takes it";
                return result;
            }
            options.inputOptions.emplace_back(option, args[++i]);
            fileModeFlags.push_back(arg);
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const std::size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        const Flag* flag = findFlag(name);
        if (flag == nullptr) {
            result.error = "unknown option '" + name + "' (see kalmix --help)";
            return result;
        }
        if (flag->takesValue && !value) {
            if (i + 1 >= args.size()) {
                result.error = std::string(flag->name) + ": missing value";
                return result;
            }
            value = args[++i];
        } else if (!flag->takesValue && value) {
            result.error = std::string(flag->name) + ": takes no value";
            return result;
        }
        if (std::string error = flag->apply(value.value_or(""), options); !error.empty()) {
            result.error = error;
            return result;
        }
        given.push_back(flag);
        if (std::string(flag->name) == "-pix_fmt") {
            (positional.empty() ? pixelFormatBeforeInput : pixelFormatAfterInput) = options.pixelFormat;
        }
        if ((flag->scope & NOT_RAW) != 0) fileModeFlags.push_back(flag->name);
    }
    options.quiet = options.verbosity < Verbosity::Info;

    const Scope scope = options.command == Command::Demo ? DEMO_ONLY : FILTER_ONLY;
    for (const Flag* flag : given) {
        if ((flag->scope & scope) == 0) {
            result.error = std::string(flag->name) +
                           (scope == DEMO_ONLY ? " does not apply to kalmix demo" : " applies only to kalmix demo");
            return result;
        }
    }

    if (options.command == Command::Demo) {
        if (positional.size() > 1) {
            result.error = "unexpected argument '" + positional[1] + "' (kalmix demo takes one directory)";
        } else if (positional.size() == 1) {
            options.demoDir = positional[0];
            options.demoDirGiven = true;
        }
        return result;
    }

    if (positional.empty()) {
        result.error = "missing input (usage: kalmix INPUT -o OUTPUT [options]; see kalmix --help)";
        return result;
    }
    if (positional.size() > 1) {
        result.error = "unexpected argument '" + positional[1] + "' (one input; the output goes after -o)";
        return result;
    }
    options.input = positional[0];
    if (options.inputFormat == "rawvideo" && !pixelFormatBeforeInput.empty()) {
        // ffmpeg reads -pix_fmt before a raw input as the frames' format. Other
        // inputs carry theirs, and there it stays the encoder's, wherever given.
        const bool named = std::ranges::any_of(options.inputOptions, [](const auto& o) { return o.first == "pixel_format"; });
        if (!named) options.inputOptions.emplace_back("pixel_format", pixelFormatBeforeInput);
        options.pixelFormat = pixelFormatAfterInput;
    }
    if (!options.raw && options.outputFormat.empty() && options.output == "-" && !options.inputFormat.empty()) {
        options.outputFormat = options.inputFormat;  // kalmix -f nut - -o -: the same both ways
    }
    if (!options.verify.empty()) {
        if (!options.output.empty()) {
            result.error = "--verify writes no output: drop -o " + options.output;
            return result;
        }
        options.md5 = true;
    } else if (options.output.empty()) {
        if (options.md5 || options.outputFormat == "null") {
            options.output = "-";
        } else {
            result.error = "missing output: give -o OUTPUT (-o - with -f FORMAT or --raw for standard output)";
            return result;
        }
    }
    if (options.raw) {
        if (!fileModeFlags.empty()) {
            result.error = fileModeFlags[0] + " does not apply to --raw: raw frames are read and written as they are";
            return result;
        }
        if (options.fit) {
            result.error = "--fit does not apply to --raw: raw frames go to the module as they are";
            return result;
        }
    } else {
        if (options.allowPartial) {
            result.error = "--allow-partial applies only to --raw input";
            return result;
        }
        if (options.output == "-" && !options.md5 && options.outputFormat.empty()) {
            result.error = "standard output needs -f FORMAT (for example -f nut or -f matroska) or --raw WxH";
            return result;
        }
    }
    if (options.duration && options.endAt) {
        result.error = "-t and -to: give one (-t is a length, -to a position)";
        return result;
    }
    if (options.endAt && *options.endAt <= options.seekTo.value_or(0)) {
        result.error = "-to: the end is not after the start";
        return result;
    }
    if (options.duration && *options.duration == 0) {
        result.error = "-t: the length is 0";
        return result;
    }
    if (options.raw && (options.seekTo || options.duration || options.endAt)) {
        result.error = "-ss, -t and -to do not apply to --raw: raw frames have no time";
        return result;
    }
    return result;
}

std::string usageText() {
    return R"(Usage: kalmix INPUT -o OUTPUT [options]
       kalmix [-f FORMAT] - -o OUTPUT|- [-f FORMAT] [options]
       kalmix --raw WxH INPUT|- -o OUTPUT|- [options]
       kalmix demo [DIR] [options]

Filters the noise out of the still areas of a clip with the Kalmix module.
INPUT is any video file or stream FFmpeg reads (- is standard input); the
output's name or -f picks the container (.mkv: lossless FFV1; .mp4/.mov:
H.264 4:2:0). Frames larger than 384x288 or with a side that is not a multiple
of 4 are filtered at full size through overlapping tiles, one module instance
per tile (--tiles off passes them through; --fit scales them down). Every other stream,
the chapters and the tags are copied where the container holds them.
See docs/command-line.md for every option with an example.

Filter settings (as set in the module's dialog):
  --primary 0..10            change analysis level (default 5)
  --secondary 0..10          smoothing level of changed blocks (default 5)
  --enhanced on|off          enhanced noise suppression (default on)
  --transition-frames 0..7   frames a changed block stays changed (default 2)
  --uv-level 0..10           colour-difference level, stored only (default 5)

Input and output:
  -o, --output FILE          output file, pattern (f%04d.png), device, or -
  -i FILE                    the input (as ffmpeg takes it; a bare name works too)
  -f FORMAT                  before the input: its container (for a pipe);
                             after it: the output's (nut, matroska, null, ...)
  -video_size WxH, -pixel_format NAME, -framerate RATE
                             before the input: what a headerless input holds
                             (-f rawvideo: -s 384x288 -pixel_format bgra)
  -y / -n                    overwrite an existing file / never overwrite
                             (neither: ask on a terminal, else refuse)
  --raw WxH                  read and write packed BGRA frames of W x H pixels
  --start N                  position of the first frame (default 0)
  --clip-total N             clip total handed to the module (default: the
                             number of frames selected; 0 for a pipe)
  --allow-partial            with --raw, drop a trailing partial frame
  --fit                      scale down to at most 384x288, sides multiples of 4
  --tiles on|off             filter larger frames through tiles (default on)
  --threads N                tiles filtered at once (default: the cores, plus one)
  -ss TIME, -t TIME, -to TIME  filter only from -ss, for -t or up to -to
                             (seconds or [HH:]MM:SS[.m]); positions start at 0
  -frames:v N, -vframes N    filter the first N frames only
  -map 0:v:N | 0:N           the video stream to filter (default: the largest)
  -an, -sn, -dn              leave the audio, subtitle or data streams out
                             (-c:a copy and its kin are taken: they are copied)
  -nostdin                   never ask on the terminal (refuse without -y)
  -strict experimental       let the container and encoder use experimental
                             features (FLAC in MP4, for one)
  --strict, -xerror          stop at the first damaged packet (default: skip
                             or conceal it, count it, warn)
  --md5                      write the MD5 of the output frames, not the frames
  --verify HASH              compare the MD5 of the output frames; no output
  --module PATH              the module to load (default: the installed one,
                             else this build's Kalmix.PRM)

Encoding:
  -c:v, --codec NAME         FFmpeg encoder (default: by the container)
  -pix_fmt NAME              the encoder's pixel format (default: the best it
                             takes for BGRA)
  -crf N, -preset NAME, -b:v RATE, -x264-params K=V:..., -x265-params K=V:...
  -tune, -profile:v, -level, -g, -bf, -qp, -maxrate, -minrate, -bufsize,
  -x264opts, -movflags       passed to the encoder (or the container), as ffmpeg
  -opt KEY=VALUE             any encoder (or container) option
  -metadata KEY=VALUE        set a tag of the output file (KEY= removes it)

Messages:
  -v quiet|error|warning|info|verbose   how much is printed (default info)
  -q, --quiet                print errors only (-v error)
  -nostats                   no progress line (-stats, -hide_banner: accepted)
  -h, --help                 this text
  --version                  the version

Demo:
  kalmix demo [DIR]          make a noisy clip, filter it, write DIR (default
                             ./kalmix-demo) and report flicker and PSNR
  --frames N                 demo length in frames (default 48)
  -y / -n                    replace the demo's files in DIR / never (neither:
                             ask on a terminal, else refuse)

Exit status: 0 done, 1 failed, 2 bad command line, 130 interrupted.
)";
}

}  // namespace kalmix::tool
