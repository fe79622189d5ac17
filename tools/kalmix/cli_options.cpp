// Parses the kalmix command line into Options, with one message per mistake.
#include "tools/kalmix/cli_options.h"

#include <charconv>
#include <cctype>
#include <functional>
#include <limits>

namespace kalmix::tool {
namespace {

constexpr std::int32_t INT32_MAXIMUM = std::numeric_limits<std::int32_t>::max();
constexpr int RAW_SIDE_MAX = 16384;
constexpr int DEMO_FRAMES_MIN = 2;
constexpr int DEMO_FRAMES_MAX = 1000;

// Which commands a flag belongs to.
enum Scope : unsigned { FILTER_ONLY = 1, DEMO_ONLY = 2, BOTH = 3 };

struct Flag {
    const char* name;
    const char* shortName;  // or null
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

const std::vector<Flag>& flags() {
    static const std::vector<Flag> table = {
        {"--output", "-o", true, FILTER_ONLY,
         [](const std::string& v, Options& o) {
             if (v.empty()) return std::string("--output: empty file name");
             o.output = v;
             return std::string();
         }},
        {"--raw", nullptr, true, FILTER_ONLY, parseRawSize},
        {"--allow-partial", nullptr, false, FILTER_ONLY,
         [](const std::string&, Options& o) { o.allowPartial = true; return std::string(); }},
        {"--start", nullptr, true, FILTER_ONLY,
         wholeNumber<std::int32_t>("--start", 0, INT32_MAXIMUM,
                                   [](Options& o) -> std::int32_t& { return o.start; })},
        {"--clip-total", nullptr, true, FILTER_ONLY,
         [](const std::string& v, Options& o) {
             std::int32_t total = 0;
             std::string error = wholeNumber<std::int32_t>(
                 "--clip-total", 0, INT32_MAXIMUM, [&total](Options&) -> std::int32_t& { return total; })(v, o);
             if (error.empty()) o.clipTotal = total;
             return error;
         }},
        {"--primary", nullptr, true, BOTH, level("--primary", 10, &host::UserSettings::primaryLevel)},
        {"--secondary", nullptr, true, BOTH, level("--secondary", 10, &host::UserSettings::secondaryLevel)},
        {"--transition-frames", nullptr, true, BOTH,
         level("--transition-frames", 7, &host::UserSettings::transitionFrames)},
        {"--uv-level", nullptr, true, BOTH, level("--uv-level", 10, &host::UserSettings::uvLevel)},
        {"--enhanced", nullptr, true, BOTH,
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
        {"--fit", nullptr, false, FILTER_ONLY,
         [](const std::string&, Options& o) { o.fit = true; return std::string(); }},
        {"--codec", nullptr, true, FILTER_ONLY,
         [](const std::string& v, Options& o) {
             if (v.empty()) return std::string("--codec: empty codec name");
             o.codec = v;
             return std::string();
         }},
        {"--md5", nullptr, false, FILTER_ONLY,
         [](const std::string&, Options& o) { o.md5 = true; return std::string(); }},
        {"--verify", nullptr, true, FILTER_ONLY, parseHash},
        {"--frames", nullptr, true, DEMO_ONLY,
         wholeNumber<int>("--frames", DEMO_FRAMES_MIN, DEMO_FRAMES_MAX,
                          [](Options& o) -> int& { return o.demoFrames; })},
        {"--module", nullptr, true, BOTH,
         [](const std::string& v, Options& o) {
             if (v.empty()) return std::string("--module: empty file name");
             o.modulePath = v;
             return std::string();
         }},
        {"--quiet", "-q", false, BOTH,
         [](const std::string&, Options& o) { o.quiet = true; return std::string(); }},
    };
    return table;
}

const Flag* findFlag(const std::string& name) {
    for (const Flag& flag : flags()) {
        if (name == flag.name || (flag.shortName != nullptr && name == flag.shortName)) return &flag;
    }
    return nullptr;
}

}  // namespace

ParseResult parseArguments(const std::vector<std::string>& args) {
    ParseResult result;
    Options& options = result.options;
    std::vector<std::string> positional;
    std::vector<const Flag*> given;
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
    }

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
    if (!options.verify.empty()) {
        if (!options.output.empty()) {
            result.error = "--verify writes no output: drop -o " + options.output;
            return result;
        }
        options.md5 = true;
    } else if (options.output.empty()) {
        if (options.md5) {
            options.output = "-";
        } else {
            result.error = "missing output: give -o OUTPUT (or -o - with --raw for standard output)";
            return result;
        }
    }
    if (options.input == "-" && !options.raw) {
        result.error = "standard input needs --raw WxH: only raw frames can be piped in";
        return result;
    }
    if (options.output == "-" && !options.raw && !options.md5) {
        result.error = "standard output needs --raw WxH: only raw frames can be piped out";
        return result;
    }
    if (options.raw && options.fit) {
        result.error = "--fit does not apply to --raw: raw frames go to the module as they are";
        return result;
    }
    if (options.raw && !options.codec.empty()) {
        result.error = "--codec does not apply to --raw: raw frames are written as they are";
        return result;
    }
    if (!options.raw && options.allowPartial) {
        result.error = "--allow-partial applies only to --raw input";
        return result;
    }
    return result;
}

std::string usageText() {
    return R"(Usage: kalmix INPUT -o OUTPUT [options]
       kalmix --raw WxH INPUT|- -o OUTPUT|- [options]
       kalmix demo [DIR] [options]

Filters the noise out of the still areas of a clip with the Kalmix module.
INPUT is any video file FFmpeg reads; OUTPUT's extension picks the container
(.mkv: lossless FFV1). Frames larger than 384x288 or with a side that is not a
multiple of 4 pass through unchanged unless --fit scales them down.

Filter settings (as set in the module's dialog):
  --primary 0..10            change analysis level (default 5)
  --secondary 0..10          smoothing level of changed blocks (default 5)
  --enhanced on|off          enhanced noise suppression (default on)
  --transition-frames 0..7   frames a changed block stays changed (default 2)
  --uv-level 0..10           colour-difference level, stored only (default 5)

Input and output:
  -o, --output FILE          output file; with --raw, - is standard output
  --raw WxH                  read and write packed BGRA frames of W x H pixels
  --start N                  position of the first frame (default 0)
  --clip-total N             clip total handed to the module (default: the
                             number of frames in the input; 0 for a pipe)
  --allow-partial            with --raw, drop a trailing partial frame
  --fit                      scale down to at most 384x288, sides multiples of 4
  --codec NAME               FFmpeg encoder for OUTPUT (default by extension)
  --md5                      write the MD5 of the output frames, not the frames
  --verify HASH              compare the MD5 of the output frames; no output
  --module PATH              the module to load (default: the installed one,
                             else this build's Kalmix.PRM)
  -q, --quiet                print errors only
  -h, --help                 this text
  --version                  the version

Demo:
  kalmix demo [DIR]          make a noisy clip, filter it, write DIR (default
                             ./kalmix-demo) and report flicker and PSNR
  --frames N                 demo length in frames (default 48)

Exit status: 0 done, 1 failed, 2 bad command line.
)";
}

}  // namespace kalmix::tool
