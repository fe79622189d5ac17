// The demo run: the clip through the module, the measurements, the picture.
#include "tools/kalmix/demo.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "tools/kalmix/demo_clip.h"
#include "tools/kalmix/media.h"
#include "tools/kalmix/frame_loop.h"

namespace kalmix::tool {
namespace {

constexpr int W = DemoClip::WIDTH;
constexpr int H = DemoClip::HEIGHT;
constexpr std::size_t PIXELS = static_cast<std::size_t>(W) * H;
constexpr int DEMO_RATE = 25;

// Hands the clip's noisy frames to the frame loop, keeping the clean frame
// and the motion mask of the frame it handed out last.
class DemoReader final : public FrameReader {
public:
    explicit DemoReader(int frames) : clip_(frames), clean_(PIXELS * 4), moving_(PIXELS) {
        format_.width = W;
        format_.height = H;
        format_.timeBase = {1, DEMO_RATE};
        format_.frameRate = {DEMO_RATE, 1};
        format_.sampleAspect = {1, 1};
        format_.frameCount = frames;
    }
    const VideoFormat& format() const override { return format_; }
    bool read(std::uint8_t* bgra, FrameInfo& info) override {
        if (next_ >= clip_.frameCount()) return false;
        clip_.render(next_, clean_.data(), bgra, moving_.data());
        info.pts = next_;
        info.duration = 1;
        ++next_;
        return true;
    }
    const std::uint8_t* clean() const { return clean_.data(); }
    const std::uint8_t* moving() const { return moving_.data(); }

private:
    DemoClip clip_;
    VideoFormat format_;
    std::vector<std::uint8_t> clean_;
    std::vector<std::uint8_t> moving_;
    int next_ = 0;
};

// Luma for the measurements: BT.601 weights, the usual measure of picture
// brightness (the filter's own planes use other weights).
void lumaOf(const std::uint8_t* bgra, std::vector<double>& luma) {
    for (std::size_t i = 0; i < PIXELS; ++i) {
        const std::uint8_t* p = bgra + i * 4;
        luma[i] = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
    }
}

double squaredError(const std::uint8_t* a, const std::uint8_t* b) {
    double sum = 0;
    for (std::size_t i = 0; i < PIXELS * 4; ++i) {
        if ((i & 3) == 3) continue;
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        sum += d * d;
    }
    return sum;
}

double psnr(double squaredSum, double samples) {
    const double mse = squaredSum / samples;
    return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Flicker in the still areas: mean absolute luma change between consecutive
// frames over the pixels no object touches in either frame.
struct FlickerMeter {
    std::vector<double> previous = std::vector<double>(PIXELS);
    std::vector<double> current = std::vector<double>(PIXELS);
    double sum = 0;

    void add(const std::uint8_t* frame, const std::uint8_t* moving, bool hasPrevious) {
        lumaOf(frame, current);
        if (hasPrevious) {
            for (std::size_t i = 0; i < PIXELS; ++i) {
                if (moving[i] == 0) sum += std::fabs(current[i] - previous[i]);
            }
        }
        previous.swap(current);
    }
};

// A 5 x 7 font for the picture's captions; rows top down, bit 4 leftmost.
const std::array<std::uint8_t, 7>* glyph(char c) {
    static constexpr std::array<std::array<std::uint8_t, 7>, 26> LETTERS{{
        {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}, {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E},
        {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}, {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E},
        {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}, {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10},
        {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}, {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11},
        {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}, {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C},
        {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}, {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F},
        {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}, {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11},
        {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10},
        {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}, {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11},
        {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}, {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04},
        {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04},
        {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}, {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11},
        {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F},
    }};
    static constexpr std::array<std::array<std::uint8_t, 7>, 10> DIGITS{{
        {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
        {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
        {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
        {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
        {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    }};
    static constexpr std::array<std::uint8_t, 7> COMMA{0, 0, 0, 0, 0x0C, 0x04, 0x08};
    if (c >= 'A' && c <= 'Z') return &LETTERS[static_cast<std::size_t>(c - 'A')];
    if (c >= '0' && c <= '9') return &DIGITS[static_cast<std::size_t>(c - '0')];
    if (c == ',') return &COMMA;
    return nullptr;  // a blank
}

constexpr int FONT_SCALE = 2;
constexpr int CAPTION_HEIGHT = 24;
constexpr int PANEL_GAP = 4;
constexpr int PICTURE_WIDTH = 3 * W + 2 * PANEL_GAP;
constexpr int PICTURE_HEIGHT = CAPTION_HEIGHT + H;
constexpr std::uint8_t BACKGROUND = 28;

// A BGRA canvas with the captions' dark background.
struct Canvas {
    int width;
    int height;
    std::vector<std::uint8_t> pixels;

    Canvas(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 4) {
        for (std::size_t i = 0; i < pixels.size(); i += 4) {
            pixels[i] = pixels[i + 1] = pixels[i + 2] = BACKGROUND;
            pixels[i + 3] = 255;
        }
    }
    std::uint8_t* at(int x, int y) {
        return &pixels[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 4];
    }
    void text(int x0, int y0, const std::string& line) {
        for (std::size_t n = 0; n < line.size(); ++n) {
            const auto* rows = glyph(line[n]);
            if (rows == nullptr) continue;
            for (int row = 0; row < 7 * FONT_SCALE; ++row) {
                for (int column = 0; column < 5 * FONT_SCALE; ++column) {
                    if (((*rows)[static_cast<std::size_t>(row / FONT_SCALE)] >> (4 - column / FONT_SCALE) & 1) == 0) continue;
                    const int x = x0 + static_cast<int>(n) * 6 * FONT_SCALE + column;
                    const int y = y0 + row;
                    if (x >= width || y >= height) continue;
                    std::uint8_t* p = at(x, y);
                    p[0] = p[1] = p[2] = 240;
                }
            }
        }
    }
};

// The change from one frame to the next, amplified so that the noise of a
// still area (a few levels) shows as grey and a held area as black.
constexpr int CHANGE_GAIN = 8;

void drawChange(Canvas& canvas, int x0, const std::uint8_t* previous, const std::uint8_t* current) {
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * W + static_cast<std::size_t>(x)) * 4;
            int largest = 0;
            for (int channel = 0; channel < 3; ++channel) {
                largest = std::max(largest, std::abs(current[i + channel] - previous[i + channel]));
            }
            std::uint8_t* p = canvas.at(x0 + x, CAPTION_HEIGHT + y);
            p[0] = p[1] = p[2] = static_cast<std::uint8_t>(std::min(255, largest * CHANGE_GAIN));
        }
    }
}

// |noisy t - noisy t-1| | |filtered t - filtered t-1| | refreshed blocks of
// frame t over a dimmed grey copy of the output. The filter's effect is over
// time, so the picture shows change: still areas crawl grey in the input and
// stay black in the output.
std::vector<std::uint8_t> comparisonPicture(const std::uint8_t* previousNoisy, const std::uint8_t* noisy,
                                            const std::uint8_t* previousFiltered, const std::uint8_t* filtered,
                                            const std::uint8_t* refreshed, int frameIndex) {
    Canvas canvas(PICTURE_WIDTH, PICTURE_HEIGHT);
    drawChange(canvas, 0, previousNoisy, noisy);
    drawChange(canvas, W + PANEL_GAP, previousFiltered, filtered);
    const int blocksAcross = W / MAP_BLOCK;
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const std::uint8_t* f = filtered + (static_cast<std::size_t>(y) * W + static_cast<std::size_t>(x)) * 4;
            std::uint8_t* c = canvas.at(2 * (W + PANEL_GAP) + x, CAPTION_HEIGHT + y);
            const int grey = (29 * f[0] + 150 * f[1] + 77 * f[2]) >> 8;
            const bool hit = refreshed[static_cast<std::size_t>(y / MAP_BLOCK * blocksAcross + x / MAP_BLOCK)] != 0;
            if (hit) {  // orange over the picture
                c[0] = static_cast<std::uint8_t>(grey * 35 / 100);
                c[1] = static_cast<std::uint8_t>(grey * 35 / 100 + 100);
                c[2] = static_cast<std::uint8_t>(grey * 35 / 100 + 165);
            } else {
                c[0] = c[1] = c[2] = static_cast<std::uint8_t>(grey * 45 / 100);
            }
        }
    }
    const int top = (CAPTION_HEIGHT - 7 * FONT_SCALE) / 2;
    const std::string change = "CHANGE X" + std::to_string(CHANGE_GAIN);
    canvas.text(6, top, "NOISY INPUT, " + change);
    canvas.text(W + PANEL_GAP + 6, top, "FILTERED, " + change);
    canvas.text(2 * (W + PANEL_GAP) + 6, top, "REFRESHED BLOCKS, FRAME " + std::to_string(frameIndex));
    return std::move(canvas.pixels);
}

// The animation: the same crop of the noisy and the filtered clip side by
// side, enlarged so that single pixels show, in a looping APNG.
constexpr int CROP_X = 168;
constexpr int CROP_Y = 150;
constexpr int CROP_WIDTH = 96;
constexpr int CROP_HEIGHT = 72;
constexpr int CROP_SCALE = 2;
constexpr int ANIMATION_FRAMES = 20;
constexpr int ANIMATION_WIDTH = 2 * CROP_WIDTH * CROP_SCALE + PANEL_GAP;
constexpr int ANIMATION_HEIGHT = CAPTION_HEIGHT + CROP_HEIGHT * CROP_SCALE;

class AnimationWriter {
public:
    AnimationWriter(const std::string& path, bool replaceAppearing)
        : canvas_(ANIMATION_WIDTH, ANIMATION_HEIGHT),
          writer_(media().openWriter(path, format(), options(replaceAppearing), nullptr)) {
        const int top = (CAPTION_HEIGHT - 7 * FONT_SCALE) / 2;
        canvas_.text(6, top, "NOISY INPUT");
        canvas_.text(CROP_WIDTH * CROP_SCALE + PANEL_GAP + 6, top, "FILTERED");
    }
    void add(std::int64_t index, const std::uint8_t* noisy, const std::uint8_t* filtered) {
        if (index >= ANIMATION_FRAMES) return;
        drawCrop(0, noisy);
        drawCrop(CROP_WIDTH * CROP_SCALE + PANEL_GAP, filtered);
        writer_->write(canvas_.pixels.data(), FrameInfo{index, 1});
    }
    void finish() { writer_->finish(); }

private:
    static VideoFormat format() {
        VideoFormat f;
        f.width = ANIMATION_WIDTH;
        f.height = ANIMATION_HEIGHT;
        f.timeBase = {1, DEMO_RATE};
        f.frameRate = {DEMO_RATE, 1};
        f.sampleAspect = {1, 1};
        return f;
    }
    static OutputOptions options(bool replaceAppearing) {
        OutputOptions o;
        o.muxerOptions = "plays=0";  // loop for ever
        o.replaceAppearing = replaceAppearing;
        return o;
    }
    void drawCrop(int x0, const std::uint8_t* frame) {
        for (int y = 0; y < CROP_HEIGHT * CROP_SCALE; ++y) {
            for (int x = 0; x < CROP_WIDTH * CROP_SCALE; ++x) {
                const std::size_t i = (static_cast<std::size_t>(CROP_Y + y / CROP_SCALE) * W +
                                       static_cast<std::size_t>(CROP_X + x / CROP_SCALE)) * 4;
                std::copy_n(frame + i, 3, canvas_.at(x0 + x, CAPTION_HEIGHT + y));
            }
        }
    }
    Canvas canvas_;
    std::unique_ptr<FrameWriter> writer_;
};

// The names the demo writes into its directory, and nothing else.
constexpr std::array<const char*, 5> DEMO_FILES{"noisy.mkv", "filtered.mkv", "clean.mkv", "comparison.png",
                                                "animation.apng"};

// The directory may be one the user keeps other files in: the demo's names
// that are taken follow the tool's rule for an existing output (-y replaces,
// -n never, else a question on a terminal, else a refusal), and a name held
// by anything but a regular file (a link, a directory, a pipe) is never
// written through, as the user did not name it.
void confirmDemoOverwrite(const std::string& dir, Overwrite overwrite, bool mayAsk) {
    std::string taken;
    for (const char* name : DEMO_FILES) {
        const std::string path = dir + name;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) continue;
        if (!S_ISREG(info.st_mode)) {
            throw ToolError("'" + path + "' is in the way: the demo replaces nothing but a file of its own name");
        }
        taken += (taken.empty() ? "" : ", ") + std::string(name);
    }
    if (!taken.empty()) confirmReplacing("demo files exist in '" + dir + "' (" + taken + ")", overwrite, mayAsk, true);
}

}  // namespace

void runDemo(const Options& options, host::PluginModule& module) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(options.demoDir, error);
    if (error || !fs::is_directory(options.demoDir)) {
        throw ToolError("cannot create the demo directory '" + options.demoDir +
                        "': " + (error ? error.message() : "a file of that name is in the way"));
    }
    const std::string dir = options.demoDir + (options.demoDir.back() == '/' ? "" : "/");
    // ./kalmix-demo, when no directory is named, is the demo's own: a second
    // run replaces what the first wrote there, unless -n says otherwise.
    const Overwrite overwrite =
        options.demoDirGiven || options.overwrite == Overwrite::Never ? options.overwrite : Overwrite::Always;
    confirmDemoOverwrite(dir, overwrite, !options.noStdin);

    // Only -y replaces a file that appears at one of the names during the run.
    OutputOptions outputOptions;
    outputOptions.replaceAppearing = overwrite == Overwrite::Always;
    DemoReader reader(options.demoFrames);
    const auto clip = [&](const std::string& name) { return media().openWriter(dir + name, reader.format(), outputOptions, nullptr); };
    const auto filteredWriter = clip("filtered.mkv");
    const auto noisyWriter = clip("noisy.mkv");
    const auto cleanWriter = clip("clean.mkv");
    AnimationWriter animation(dir + "animation.apng", outputOptions.replaceAppearing);

    const int shownFrame = options.demoFrames / 2;
    std::vector<std::uint8_t> shownNoisy(PIXELS * 4);
    std::vector<std::uint8_t> shownFiltered(PIXELS * 4);
    std::vector<std::uint8_t> previousNoisy(PIXELS * 4);
    std::vector<std::uint8_t> previousFiltered(PIXELS * 4);
    std::vector<std::uint8_t> shownMap(PIXELS / (MAP_BLOCK * MAP_BLOCK));
    FlickerMeter noisyFlicker;
    FlickerMeter filteredFlicker;
    std::size_t stillSamples = 0;
    double noisyError = 0;
    double filteredError = 0;

    const auto observe = [&](std::int64_t index, const std::uint8_t* input, const std::uint8_t* output,
                             const std::uint8_t* refreshed) {
        const FrameInfo info{index, 1};
        noisyWriter->write(input, info);
        cleanWriter->write(reader.clean(), info);
        noisyFlicker.add(input, reader.moving(), index > 0);
        filteredFlicker.add(output, reader.moving(), index > 0);
        if (index > 0) stillSamples += static_cast<std::size_t>(std::count(reader.moving(), reader.moving() + PIXELS, 0));
        noisyError += squaredError(input, reader.clean());
        filteredError += squaredError(output, reader.clean());
        animation.add(index, input, output);
        if (index == shownFrame - 1) {
            std::copy_n(input, previousNoisy.size(), previousNoisy.begin());
            std::copy_n(output, previousFiltered.size(), previousFiltered.begin());
        }
        if (index == shownFrame && refreshed != nullptr) {
            std::copy_n(input, shownNoisy.size(), shownNoisy.begin());
            std::copy_n(output, shownFiltered.size(), shownFiltered.begin());
            std::copy_n(refreshed, shownMap.size(), shownMap.begin());
        }
    };
    LoopSettings loop;
    loop.quiet = options.quiet;
    const LoopSummary summary = runFrames(module, options.settings, reader, *filteredWriter, loop, observe);
    noisyWriter->finish();
    cleanWriter->finish();
    animation.finish();
    const auto picture = comparisonPicture(previousNoisy.data(), shownNoisy.data(), previousFiltered.data(),
                                           shownFiltered.data(), shownMap.data(), shownFrame);
    media().writePng(dir + "comparison.png", picture.data(), PICTURE_WIDTH, PICTURE_HEIGHT);

    if (options.quiet) return;
    const auto frames = static_cast<double>(options.demoFrames);
    const double samples = frames * static_cast<double>(PIXELS) * 3;
    const double still = std::max<double>(1.0, static_cast<double>(stillSamples));
    const host::UserSettings& s = options.settings;
    std::printf("kalmix demo: %d frames of %dx%d, primary %d, secondary %d, enhanced %s, transition frames %d\n",
                options.demoFrames, W, H, s.primaryLevel, s.secondaryLevel, s.enhancedSuppression ? "on" : "off",
                s.transitionFrames);
    std::printf("  flicker in still areas (mean |luma change| between frames): noisy %.2f, filtered %.2f\n",
                noisyFlicker.sum / still, filteredFlicker.sum / still);
    std::printf("  PSNR against the clean clip: noisy %.2f dB, filtered %.2f dB\n", psnr(noisyError, samples),
                psnr(filteredError, samples));
    std::printf("  blocks refreshed (4x4 output blocks that differ from the previous output frame): %.1f%%\n",
                100.0 * std::max(0.0, summary.refreshedShare()));
    std::printf("  speed: %.0f fps in the filter, %.0f fps for the whole run with generating and encoding\n",
                summary.filterSeconds > 0 ? frames / summary.filterSeconds : 0.0,
                summary.seconds > 0 ? frames / summary.seconds : 0.0);
    std::printf("  wrote %snoisy.mkv, %sfiltered.mkv, %sclean.mkv, %scomparison.png and %sanimation.apng\n",
                dir.c_str(), dir.c_str(), dir.c_str(), dir.c_str(), dir.c_str());
}

}  // namespace kalmix::tool
