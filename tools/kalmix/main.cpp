// kalmix: the command-line host of Kalmix.PRM.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "pipeline/cpu.h"
#include "platform/standin/standin.h"
#include "tools/host/plugin_host.h"
#include "tools/kalmix/cli_options.h"
#include "tools/kalmix/demo.h"
#include "tools/kalmix/frame_limit.h"
#include "tools/kalmix/frame_loop.h"
#include "tools/kalmix/md5_writer.h"
#include "tools/kalmix/media.h"
#include "tools/kalmix/raw_io.h"
#include "tools/kalmix/output_file.h"
#include "tools/kalmix/program_files.h"
#include "tools/kalmix/tiled_loop.h"
#include "tools/tiles/tile_engine.h"

extern "C" {
#include <libavutil/log.h>
}

namespace kalmix::tool {
namespace {

constexpr const char* VERSION_LINE = "kalmix 1.03, the command-line host of Kalmix.PRM";

void note(const Options& options, const std::string& text) {
    if (!options.quiet) std::fprintf(stderr, "kalmix: %s\n", text.c_str());
}

void onSignal(int signalNumber) {
    removeTempOutputsNow();
    if (const MediaApi* api = loadedMedia()) api->removeTempFilesNow();
    // One line, as every other failure prints; write() is safe here.
    static constexpr char INTERRUPTED[] = "\nkalmix: interrupted\n";
    static constexpr char STOPPED[] = "\nkalmix: stopped by a signal\n";
    if (signalNumber == SIGINT) {
        [[maybe_unused]] const auto n = ::write(STDERR_FILENO, INTERRUPTED, sizeof INTERRUPTED - 1);
    } else {
        [[maybe_unused]] const auto n = ::write(STDERR_FILENO, STOPPED, sizeof STOPPED - 1);
    }
    ::_exit(signalNumber == SIGINT ? EXIT_INTERRUPTED : 128 + signalNumber);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &action, nullptr);
    // A closed pipe, or a file grown to the size limit (ulimit -f), shows up
    // as a failed write with its own message, and the partial file goes.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

// A standard descriptor the caller left closed would be the number the next
// file opened gets, the output's among them: every message to standard error
// would then land inside the output file. Each closed one is held by the
// root directory as a bare path (O_PATH), which can be neither read nor
// written, so that using it still fails as on a closed descriptor (-o - with
// standard output closed is not a success), and which its names
// (/dev/stdout, /proc/self/fd/1) do not open as a file: /dev/null, held
// before, opened again there, and the frames went nowhere with status 0.
void holdClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int held = ::open("/", O_PATH | O_DIRECTORY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

// --module, else $KALMIX_MODULE, else the installed module (lib/kalmix/ of
// the prefix the program is installed in), else the module this build made,
// else one beside the program.
std::string modulePath(const Options& options) {
    if (!options.modulePath.empty()) return options.modulePath;
    return programFilePath("KALMIX_MODULE", "Kalmix.PRM", KALMIX_MODULE_BUILD_PATH);
}

std::unique_ptr<host::PluginModule> loadModule(const Options& options) {
    standin::setMessageSink([quiet = options.quiet](const std::string&, const std::string& text) {
        if (quiet) return;
        std::string line = text;
        for (char& c : line) {
            if (c == '\r' || c == '\n') c = ' ';
        }
        std::fprintf(stderr, "kalmix: the module says: %s\n", line.c_str());
    });
    std::string error;
    auto module = host::PluginModule::load(modulePath(options), error);
    if (!module) throw ToolError(error);
    return module;
}

// ffmpeg's rule: an existing regular file is replaced only with -y or a yes
// on the terminal; devices and pipes are written in place.
void confirmOverwrite(const Options& options) {
    if (options.output == "-" || !options.verify.empty()) return;
    std::string target = options.output;
    if (!options.raw && !options.md5 && media().isSequencePattern(target)) target = media().sequenceName(target, 1);
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0) return;
    if (S_ISLNK(info.st_mode)) {
        // A link is written through and stays a link, but the file behind it
        // is asked for like any other. The system's links to descriptors
        // already open (/dev/stdout, /proc/self/fd/N) are written as aimed.
        if (target.rfind("/dev/", 0) == 0 || target.rfind("/proc/", 0) == 0) return;
        if (::stat(target.c_str(), &info) != 0) return;  // leads nowhere yet
    }
    if (!S_ISREG(info.st_mode)) return;
    // Standard input is the terminal to ask on, unless it is the input.
    confirmReplacing("output '" + target + "' exists", options.overwrite, options.input != "-" && !options.noStdin);
}

int ffmpegLogLevel(Verbosity verbosity) {
    switch (verbosity) {
    case Verbosity::Quiet:
        return AV_LOG_QUIET;
    case Verbosity::Error:
        return AV_LOG_ERROR;
    case Verbosity::Warning:
    case Verbosity::Info:
        // FFmpeg's info lines (libx264's settings and statistics) come at
        // verbose; its warnings show by default.
        return AV_LOG_WARNING;
    case Verbosity::Verbose:
        return AV_LOG_VERBOSE;
    }
    return AV_LOG_WARNING;
}

void refuseInputAsOutput(const Options& options) {
    if (options.input == "-" || options.output == "-") return;
    struct stat in {};
    struct stat out {};
    if (::stat(options.input.c_str(), &in) == 0 && ::stat(options.output.c_str(), &out) == 0 &&
        in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        throw ToolError("the output '" + options.output + "' is the input: choose another name", EXIT_USAGE);
    }
}

// True when the name ends in an extension players take for a video file.
// Only a hint for --raw, which loads no FFmpeg to ask it.
bool looksLikeVideoFile(const std::string& name) {
    static constexpr const char* VIDEO_EXTENSIONS[] = {".mkv", ".mp4", ".mov", ".m4v", ".avi", ".webm", ".nut",
                                                       ".y4m", ".ts",  ".mxf", ".flv", ".ogv", ".mpg", ".mpeg"};
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return false;
    std::string extension = name.substr(dot);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::ranges::any_of(VIDEO_EXTENSIONS, [&](const char* known) { return extension == known; });
}

int runFilter(const Options& options) {
    refuseInputAsOutput(options);
    confirmOverwrite(options);
    const auto warn = [&options](const std::string& text) {
        if (options.verbosity >= Verbosity::Warning) std::fprintf(stderr, "kalmix: %s\n", text.c_str());
    };
    if (options.raw && !options.md5 && options.verify.empty() && looksLikeVideoFile(options.output)) {
        // The frames are written as asked; the name would have a player expect a container.
        const std::string size = std::to_string(options.rawWidth) + "x" + std::to_string(options.rawHeight);
        warn("warning: '" + options.output + "' will hold raw BGRA frames (--raw), not the video file its name " +
             "suggests; for one, read the input with -f rawvideo -video_size " + size + " -pixel_format bgra");
    }
    std::unique_ptr<FrameReader> reader;
    MediaReader* fileReader = nullptr;
    const RawReader* rawReader = nullptr;
    if (options.raw) {
        auto raw = std::make_unique<RawReader>(options.input, options.rawWidth, options.rawHeight, options.allowPartial);
        rawReader = raw.get();
        if (raw->droppedBytes() > 0) {
            note(options, "note: dropping the last " + std::to_string(raw->droppedBytes()) +
                              " bytes of the input, less than a frame");
        }
        reader = std::move(raw);
    } else {
        ReaderOptions readerOptions;
        readerOptions.fit = options.fit;
        readerOptions.format = options.inputFormat;
        readerOptions.demuxerOptions = options.inputOptions;
        readerOptions.map = options.map;
        readerOptions.strict = options.strict;
        readerOptions.seekTo = options.seekTo;
        readerOptions.duration = options.duration;
        readerOptions.endAt = options.endAt;
        readerOptions.warn = warn;
        auto file = media().openReader(options.input, readerOptions);
        fileReader = file.get();
        reader = std::move(file);
    }
    if (options.frameLimit) reader = std::make_unique<FrameLimit>(std::move(reader), *options.frameLimit);
    const VideoFormat& format = reader->format();
    if (options.fit && fileReader != nullptr) {
        const FrameSize source = fileReader->sourceSize();
        if (source.width != format.width || source.height != format.height) {
            note(options, "scaling " + std::to_string(source.width) + "x" + std::to_string(source.height) + " to " +
                              std::to_string(format.width) + "x" + std::to_string(format.height));
        }
    }

    // Only -y replaces a file that appears at the output's name during the run.
    const bool replaceAppearing = options.overwrite == Overwrite::Always;
    std::unique_ptr<FrameWriter> writer;
    if (options.md5) {
        writer = std::make_unique<Md5Writer>(options.output, format, options.verify, replaceAppearing);
    } else if (options.raw) {
        writer = std::make_unique<RawWriter>(options.output, format, replaceAppearing);
    } else {
        OutputOptions output;
        output.format = options.outputFormat;
        output.codec = options.codec;
        output.pixelFormat = options.pixelFormat;
        output.codecOptions = options.codecOptions;
        output.replaceAppearing = replaceAppearing;
        output.copyAudio = options.copyAudio;
        output.copySubtitles = options.copySubtitles;
        output.copyData = options.copyData;
        output.compliance = options.compliance;
        output.metadata = options.metadata;
        output.note = [&options](const std::string& text) { note(options, text); };
        writer = media().openWriter(options.output, format, output, fileReader);
    }

    LoopSettings loop;
    loop.start = options.start;
    loop.clipTotal = options.clipTotal;
    loop.quiet = options.quiet;
    loop.progress = options.progress && !options.quiet && ::isatty(STDERR_FILENO) != 0;
    // Frames the module takes whole go to the one loaded module as the host
    // would hand them over; larger ones through the tiles, unless --tiles off.
    std::unique_ptr<host::PluginModule> module;
    std::unique_ptr<tiles::TileEngine> engine;
    LoopSummary summary;
    if (options.tiles && !tiles::moduleTakesWhole(format.width, format.height)) {
        tiles::EngineSettings engineSettings;
        engineSettings.modulePath = modulePath(options);
        engineSettings.stateFolder = tiles::defaultStateBase() / "tiles" /
                                     (std::to_string(format.width) + "x" + std::to_string(format.height));
        engineSettings.threads = options.threads;
        engineSettings.sharedFrames = TILED_LOOP_FRAMES;
        engine = std::make_unique<tiles::TileEngine>(format.width, format.height, engineSettings);
        summary = runTiledFrames(*engine, options.settings, *reader, *writer, loop);
    } else {
        module = loadModule(options);
        summary = runFrames(*module, options.settings, *reader, *writer, loop);
    }
    if (options.raw) {
        if (rawReader->droppedBytes() > 0 && options.input == "-") {
            note(options, "note: dropped the last " + std::to_string(rawReader->droppedBytes()) +
                              " bytes of the input, less than a frame");
        }
    }
    if (options.md5 && options.verify.empty() && options.output != "-") {
        note(options, "MD5 " + static_cast<Md5Writer*>(writer.get())->hash());
    }
    module.reset();  // unload: the module (each tile's, in its worker) saves its state now, before the summary
    engine.reset();
    flushMediaRemarks();
    std::string line = summaryLine(summary);
    if (fileReader != nullptr && fileReader->damagedPackets() > 0) {
        const std::int64_t damaged = fileReader->damagedPackets();
        warn("warning: " + std::to_string(damaged) + " damaged packet" + (damaged == 1 ? " was" : "s were") +
             " skipped or concealed (--strict stops at the first)");
        line += ", " + std::to_string(damaged) + " damaged packet" + (damaged == 1 ? "" : "s");
    }
    note(options, line);
    return 0;
}

// The text a command printed on standard output (the demo's report, the
// usage, the version) reached it, or the run fails: a full disk or a closed
// descriptor must not end with status 0 and a report cut short.
int finishStandardOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        throw ToolError(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    return status;
}

int runDemoCommand(const Options& options) {
    media();  // before the demo makes its directory
    auto module = loadModule(options);
    runDemo(options, *module);
    return 0;
}

}  // namespace
}  // namespace kalmix::tool

int main(int argc, char** argv) {
    using namespace kalmix::tool;
    holdClosedStandardDescriptors();
    installSignalHandlers();
    ParseResult parsed;
    try {
        // Checking a container name (-f) loads the FFmpeg side, which may fail.
        parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const ToolError& error) {
        std::fprintf(stderr, "kalmix: %s\n", error.what());
        return error.status;
    }
    if (!parsed.ok()) {
        std::fprintf(stderr, "kalmix: %s\n", parsed.error.c_str());
        return EXIT_USAGE;
    }
    const Options& options = parsed.options;
    setMediaLogLevel(ffmpegLogLevel(options.verbosity));
    try {
        switch (options.command) {
        case Command::Help:
            std::fputs(usageText().c_str(), stdout);
            return finishStandardOutput(0);
        case Command::Version:
            std::puts(VERSION_LINE);
            // The module chooses its level by the same test, capped by KALMIX_CPU.
            // A note on standard error: the man page is made from standard
            // output and must not depend on the machine that builds it.
            std::fprintf(stderr, "kalmix: frame path: %s\n", kalmix::cpuLevelName(kalmix::detectCpuLevel()));
            return finishStandardOutput(0);
        case Command::Demo:
            return finishStandardOutput(runDemoCommand(options));
        case Command::Filter:
            return runFilter(options);
        }
    } catch (const ToolError& error) {
        dropMediaRemarks();
        if (options.verbosity != Verbosity::Quiet) std::fprintf(stderr, "kalmix: %s\n", error.what());
        return error.status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kalmix: out of memory\n");
        return EXIT_FAILED;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kalmix: %s\n", error.what());
        return EXIT_FAILED;
    }
    return EXIT_FAILED;
}
