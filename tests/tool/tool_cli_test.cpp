// The command line: defaults, both value forms, and one message per mistake
// that names the flag and what it takes.
#include <gtest/gtest.h>

#include "tool_test_support.h"
#include "tools/kalmix/cli_options.h"

namespace kalmix::tool {
namespace {

ParseResult parse(std::vector<std::string> args) { return parseArguments(args); }

TEST(CommandLine, DefaultsAreTheDialogDefaults) {
    const ParseResult r = parse({"in.mp4", "-o", "out.mkv"});
    ASSERT_TRUE(r.ok()) << r.error;
    const Options& o = r.options;
    EXPECT_EQ(o.command, Command::Filter);
    EXPECT_EQ(o.input, "in.mp4");
    EXPECT_EQ(o.output, "out.mkv");
    EXPECT_EQ(o.settings.primaryLevel, 5);
    EXPECT_EQ(o.settings.secondaryLevel, 5);
    EXPECT_TRUE(o.settings.enhancedSuppression);
    EXPECT_EQ(o.settings.transitionFrames, 2);
    EXPECT_EQ(o.settings.uvLevel, 5);
    EXPECT_EQ(o.start, 0);
    EXPECT_FALSE(o.clipTotal.has_value());
    EXPECT_FALSE(o.raw);
}

TEST(CommandLine, EveryFlagInBothForms) {
    const ParseResult r = parse({"--raw=8x4", "-", "--output", "-", "--primary", "0", "--secondary=10", "--enhanced",
                                 "off", "--transition-frames=7", "--uv-level", "3", "--start", "9", "--clip-total=0",
                                 "--allow-partial", "-q", "--module", "/x/Kalmix.PRM"});
    ASSERT_TRUE(r.ok()) << r.error;
    const Options& o = r.options;
    EXPECT_TRUE(o.raw);
    EXPECT_EQ(o.rawWidth, 8);
    EXPECT_EQ(o.rawHeight, 4);
    EXPECT_EQ(o.input, "-");
    EXPECT_EQ(o.output, "-");
    EXPECT_EQ(o.settings.primaryLevel, 0);
    EXPECT_EQ(o.settings.secondaryLevel, 10);
    EXPECT_FALSE(o.settings.enhancedSuppression);
    EXPECT_EQ(o.settings.transitionFrames, 7);
    EXPECT_EQ(o.settings.uvLevel, 3);
    EXPECT_EQ(o.start, 9);
    EXPECT_EQ(o.clipTotal, 0);
    EXPECT_TRUE(o.allowPartial && o.quiet);
    EXPECT_EQ(o.modulePath, "/x/Kalmix.PRM");

    const ParseResult demo = parse({"demo", "out/dir", "--frames", "10", "--primary", "7"});
    ASSERT_TRUE(demo.ok()) << demo.error;
    EXPECT_EQ(demo.options.command, Command::Demo);
    EXPECT_EQ(demo.options.demoDir, "out/dir");
    EXPECT_EQ(demo.options.demoFrames, 10);
    EXPECT_EQ(demo.options.settings.primaryLevel, 7);
    EXPECT_EQ(parse({"demo"}).options.demoDir, "kalmix-demo");

    const ParseResult verify = parse({"in.mkv", "--verify", "0123456789ABCDEF0123456789abcdef"});
    ASSERT_TRUE(verify.ok()) << verify.error;
    EXPECT_TRUE(verify.options.md5);
    EXPECT_EQ(verify.options.verify, "0123456789abcdef0123456789abcdef");
}

TEST(CommandLine, EachMistakeNamesTheFlagAndWhatItTakes) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> mentions;
    };
    const std::vector<Case> cases = {
        {{"a", "-o", "b", "--primary", "11"}, {"--primary", "11", "0..10"}},
        {{"a", "-o", "b", "--secondary", "-1"}, {"--secondary", "0..10"}},
        {{"a", "-o", "b", "--transition-frames", "8"}, {"--transition-frames", "0..7"}},
        {{"a", "-o", "b", "--uv-level", "five"}, {"--uv-level", "'five'", "0..10"}},
        {{"a", "-o", "b", "--primary", "5.5"}, {"--primary", "0..10"}},
        {{"a", "-o", "b", "--primary", ""}, {"--primary", "0..10"}},
        {{"a", "-o", "b", "--enhanced", "yes"}, {"--enhanced", "on or off"}},
        {{"a", "-o", "b", "--start", "-3"}, {"--start", "0..2147483647"}},
        {{"a", "-o", "b", "--clip-total", "99999999999"}, {"--clip-total", "0..2147483647"}},
        {{"--raw", "64", "a", "-o", "b"}, {"--raw", "WIDTHxHEIGHT"}},
        {{"--raw", "0x48", "a", "-o", "b"}, {"--raw", "WIDTHxHEIGHT"}},
        {{"--raw", "64x48x2", "a", "-o", "b"}, {"--raw"}},
        {{"a", "-o", "b", "--primary"}, {"--primary", "missing value"}},
        {{"a", "-o", "b", "--prmary", "3"}, {"--prmary", "unknown option"}},
        {{"a", "-o", "b", "--fit=yes"}, {"--fit", "takes no value"}},
        {{"a"}, {"missing output", "-o"}},
        {{"-o", "b"}, {"missing input"}},
        {{"a", "b", "-o", "c"}, {"unexpected argument 'b'"}},
        {{"a.mkv", "-o", "-"}, {"standard output", "-f FORMAT", "--raw"}},
        {{"--raw", "8x8", "a", "-o", "b", "--fit"}, {"--fit", "--raw"}},
        {{"a", "-o", "b", "--allow-partial"}, {"--allow-partial", "--raw"}},
        {{"a", "-o", "b", "--frames", "9"}, {"--frames", "demo"}},
        {{"demo", "--raw", "8x8"}, {"--raw", "demo"}},
        {{"demo", "--frames", "1"}, {"--frames", "2..1000"}},
        {{"a", "--verify", "abc"}, {"--verify", "32 hexadecimal"}},
        {{"a", "-o", "b", "--verify", "0123456789abcdef0123456789abcdef"}, {"--verify", "no output"}},
    };
    for (const Case& c : cases) {
        const ParseResult r = parse(c.args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        ASSERT_FALSE(r.ok()) << "accepted: " << joined;
        EXPECT_EQ(r.error.find('\n'), std::string::npos) << r.error;
        for (const auto& word : c.mentions) EXPECT_NE(r.error.find(word), std::string::npos) << joined << "-> " << r.error;
    }
}

TEST(CommandLine, FfmpegStyleFlagsAndTheirPlaces) {
    // -f before the input is the input's container, after it the output's;
    // with both ends piped one -f serves both.
    const ParseResult piped = parse({"-f", "nut", "-i", "-", "-o", "-", "-c:v", "libx264", "-crf", "18", "-preset",
                                     "fast", "-b:v", "2M", "-x264-params", "keyint=5", "-opt", "g=9", "-pix_fmt",
                                     "yuv420p", "-map", "0:v:1", "-ss", "1:02.5", "-t", "3", "-y", "-xerror", "-v",
                                     "verbose"});
    ASSERT_TRUE(piped.ok()) << piped.error;
    const Options& o = piped.options;
    EXPECT_EQ(o.inputFormat, "nut");
    EXPECT_EQ(o.outputFormat, "nut");
    EXPECT_EQ(o.input, "-");
    EXPECT_EQ(o.codec, "libx264");
    EXPECT_EQ(o.pixelFormat, "yuv420p");
    const std::vector<std::pair<std::string, std::string>> codecOptions = {
        {"crf", "18"}, {"preset", "fast"}, {"b", "2M"}, {"x264-params", "keyint=5"}, {"g", "9"}};
    EXPECT_EQ(o.codecOptions, codecOptions);
    EXPECT_EQ(o.map, "v:1");
    EXPECT_EQ(o.seekTo, 62500000);
    EXPECT_EQ(o.duration, 3000000);
    EXPECT_EQ(o.overwrite, Overwrite::Always);
    EXPECT_TRUE(o.strict);
    EXPECT_EQ(o.verbosity, Verbosity::Verbose);
    EXPECT_FALSE(o.quiet);

    const ParseResult out = parse({"-", "-o", "-", "-f", "matroska", "-n", "-map", "3", "-to", "4"});
    ASSERT_TRUE(out.ok()) << out.error;
    EXPECT_EQ(out.options.inputFormat, "");
    EXPECT_EQ(out.options.outputFormat, "matroska");
    EXPECT_EQ(out.options.overwrite, Overwrite::Never);
    EXPECT_EQ(out.options.map, "3");
    EXPECT_EQ(out.options.endAt, 4000000);
    EXPECT_EQ(parse({"a.mkv", "-f", "null"}).options.output, "-");

    // ffmpeg's habits: streams left out, switches kalmix needs no action for.
    const ParseResult habits = parse({"-hide_banner", "-nostdin", "-i", "a.mkv", "-an", "-sn", "-dn", "-c:a", "copy",
                                      "-acodec", "copy", "-c:s", "copy", "-nostats", "-o", "b.mkv"});
    ASSERT_TRUE(habits.ok()) << habits.error;
    EXPECT_FALSE(habits.options.copyAudio || habits.options.copySubtitles || habits.options.copyData);
    EXPECT_FALSE(habits.options.progress);
    EXPECT_TRUE(habits.options.noStdin);
    EXPECT_TRUE(parse({"a.mkv", "-o", "b.mkv", "-stats"}).options.progress);
    EXPECT_EQ(parse({"a.mkv", "-o", "b.mkv", "-frames:v", "30"}).options.frameLimit, 30);
    EXPECT_EQ(parse({"a.mkv", "-o", "b.mp4", "-strict", "-2"}).options.compliance, -2);
    EXPECT_EQ(parse({"a.mkv", "-o", "b.mp4", "-strict", "experimental"}).options.compliance, -2);
    EXPECT_EQ(parse({"a.mkv", "-o", "b.mp4"}).options.compliance, 0);
    const ParseResult settings = parse({"a.mkv", "-o", "b.mp4", "-tune", "film", "-profile:v", "high", "-level", "4.1",
                                        "-g", "50", "-bf", "2", "-qp", "20", "-maxrate", "4M", "-minrate", "1M",
                                        "-bufsize", "8M", "-x264opts", "ref=3", "-movflags", "+faststart"});
    ASSERT_TRUE(settings.ok()) << settings.error;
    EXPECT_EQ(settings.options.codecOptions,
              (std::vector<std::pair<std::string, std::string>>{{"tune", "film"}, {"profile", "high"}, {"level", "4.1"},
                                                                {"g", "50"}, {"bf", "2"}, {"qp", "20"}, {"maxrate", "4M"},
                                                                {"minrate", "1M"}, {"bufsize", "8M"}, {"x264opts", "ref=3"},
                                                                {"movflags", "+faststart"}}));
    EXPECT_EQ(parse({"a.mkv", "-o", "b.mkv", "-vframes", "7"}).options.frameLimit, 7);
    EXPECT_FALSE(parse({"a.mkv", "-o", "b.mkv"}).options.frameLimit.has_value());

    // What a raw input needs goes to its demuxer, given before the input;
    // -pix_fmt there is the frames' format, after the input the encoder's.
    using Named = std::vector<std::pair<std::string, std::string>>;
    const ParseResult raw = parse({"-f", "rawvideo", "-video_size", "64x48", "-pixel_format", "bgra", "-framerate",
                                   "30", "-i", "in.raw", "-o", "out.mkv"});
    ASSERT_TRUE(raw.ok()) << raw.error;
    EXPECT_EQ(raw.options.inputOptions, (Named{{"video_size", "64x48"}, {"pixel_format", "bgra"}, {"framerate", "30"}}));
    const ParseResult rawPixFmt =
        parse({"-f", "rawvideo", "-pix_fmt", "bgra", "-s", "8x8", "in.raw", "-o", "out.mkv", "-pix_fmt", "yuv444p"});
    ASSERT_TRUE(rawPixFmt.ok()) << rawPixFmt.error;
    EXPECT_EQ(rawPixFmt.options.inputOptions, (Named{{"video_size", "8x8"}, {"pixel_format", "bgra"}}));
    EXPECT_EQ(rawPixFmt.options.pixelFormat, "yuv444p");
    EXPECT_EQ(parse({"-f", "rawvideo", "-pix_fmt", "gray", "-s", "8x8", "in.raw", "-o", "o.mkv"}).options.pixelFormat, "");
    // Before any other input it stays the encoder's, as kalmix always took it.
    const ParseResult early = parse({"-pix_fmt", "yuv420p", "in.mkv", "-o", "out.mp4"});
    EXPECT_EQ(early.options.pixelFormat, "yuv420p");
    EXPECT_TRUE(early.options.inputOptions.empty());
    EXPECT_TRUE(parse({"a", "-o", "b", "-v", "warning"}).options.quiet);

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> mentions;
    };
    for (const Case& c : std::vector<Case>{
             {{"-f", "nosuchformat", "-", "-o", "b"}, {"-f", "nosuchformat", "reads"}},
             {{"a", "-o", "b", "-f", "nosuchformat"}, {"-f", "nosuchformat", "writes"}},
             {{"a", "-o", "b", "-y", "-n"}, {"-y", "-n"}},
             {{"a", "-o", "b", "-ss", "soon"}, {"-ss", "'soon'"}},
             {{"a", "-o", "b", "-t", "-2"}, {"-t"}},
             {{"a", "-o", "b", "-t", "1", "-to", "2"}, {"-t", "-to"}},
             {{"a", "-o", "b", "-ss", "5", "-to", "2"}, {"-to", "after"}},
             {{"a", "-o", "b", "-map", "0:a:1"}, {"-map", "0:a:1"}},
             {{"a", "-o", "b", "-opt", "novalue"}, {"-opt", "KEY=VALUE"}},
             {{"a", "-o", "b", "-pix_fmt", "nosuch"}, {"-pix_fmt", "nosuch"}},
             {{"a", "-o", "b", "-v", "loud"}, {"-v", "quiet"}},
             {{"--raw", "8x8", "a", "-o", "b", "-crf", "3"}, {"-crf", "--raw"}},
             {{"--raw", "8x8", "a", "-o", "b", "-ss", "3"}, {"-ss", "--raw"}},
             {{"-", "-o", "-"}, {"standard output", "-f"}},
             {{"a", "-video_size", "8x8", "-o", "b"}, {"-video_size", "before the input"}},
             {{"a", "-o", "b", "-c:s", "mov_text"}, {"-c:s", "mov_text", "copied"}},
             {{"--raw", "8x8", "a", "-o", "b", "-an"}, {"-an", "--raw"}},
             {{"a", "-o", "b", "-frames:v", "0"}, {"-frames:v", "1.."}},
             {{"a", "-o", "b", "-strict", "lax"}, {"-strict", "'lax'", "experimental"}},
             {{"a", "-o", "b", "-metadata", "title"}, {"-metadata", "KEY=VALUE"}},
             {{"--raw", "8x8", "-s", "8x8", "a", "-o", "b"}, {"-s", "--raw"}},
             {{"a", "-o", "b", "-framerate"}, {"-framerate", "missing value"}},
         }) {
        const ParseResult r = parse(c.args);
        ASSERT_FALSE(r.ok()) << c.args[0] << " " << c.args.back();
        for (const auto& word : c.mentions) EXPECT_NE(r.error.find(word), std::string::npos) << r.error;
    }
}

TEST(CommandLine, TheProgramExitsWithStatusTwoAndOneLine) {
    test::ScratchDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--primary", "12", dir / "in.mkv", "-o", dir / "out.mkv"},
                                                 std::vector<std::string>{"--bogus"},
                                                 std::vector<std::string>{}}) {
        const test::RunResult run = test::runKalmix(args);
        EXPECT_EQ(run.status, 2);
        ASSERT_EQ(run.errLines().size(), 1u) << run.err;
        EXPECT_EQ(run.errLines()[0].rfind("kalmix: ", 0), 0u) << run.err;
    }
    EXPECT_TRUE(dir.list().empty());
    const test::RunResult help = test::runKalmix({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--transition-frames 0..7"), std::string::npos);
}

}  // namespace
}  // namespace kalmix::tool
