// Video files end to end: a lossless round trip gives raw mode's frames with
// the input's time stamps and rate, --fit sizes, and audio rides along.
#include <gtest/gtest.h>

#include "tool_test_support.h"
#include "tools/kalmix/ffmpeg_reader.h"
#include "tools/kalmix/ffmpeg_writer.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kalmix::tool::test {
namespace {

constexpr Rational NTSC_RATE{30000, 1001};
constexpr Rational NTSC_TICK{1001, 30000};

TEST(FileMode, LosslessRoundTripGivesRawModesFramesAndKeepsTiming) {
    ScratchDir dir;
    constexpr int W = 96;
    constexpr int H = 64;
    constexpr int FRAMES = 10;
    const Bytes clip = makeClip(W, H, FRAMES, 3);
    writeFile(dir / "in.raw", clip);
    writeMkv(dir / "in.mkv", clip, W, H, NTSC_TICK, NTSC_RATE);

    freshStateDirectory();
    const RunResult raw = runKalmix({"--raw", "96x64", dir / "in.raw", "-o", dir / "out.raw", "--secondary", "8"});
    ASSERT_EQ(raw.status, 0) << raw.err;
    freshStateDirectory();
    const RunResult file = runKalmix({dir / "in.mkv", "-o", dir / "out.mkv", "--secondary", "8"});
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_NE(file.err.find("10 frames filtered"), std::string::npos) << file.err;

    const DecodedClip in = decodeFile(dir / "in.mkv");
    const DecodedClip out = decodeFile(dir / "out.mkv");
    ASSERT_EQ(in.frames, clip) << "the test's own input is not lossless";
    EXPECT_EQ(out.count, FRAMES);
    EXPECT_TRUE(out.frames == readFile(dir / "out.raw")) << "file mode and raw mode filtered differently";
    EXPECT_EQ(out.pts, in.pts);
    EXPECT_EQ(out.format.timeBase.num * in.format.timeBase.den, in.format.timeBase.num * out.format.timeBase.den);
    EXPECT_EQ(out.format.frameRate.num, NTSC_RATE.num);
    EXPECT_EQ(out.format.frameRate.den, NTSC_RATE.den);

    // Matroska does not store a frame count; the tool counts the frames and
    // hands that total to the module (the state file records it).
    const Bytes state = readFile(std::string(std::getenv("WINDIR")) + "/KALMIX_STAT.bin");
    ASSERT_GE(state.size(), 16u);
    EXPECT_EQ(state[8], FRAMES);
    EXPECT_EQ(state[0], FRAMES - 1);
}

TEST(FileMode, FitScalesToWhatTheFilterTakes) {
    ScratchDir dir;
    freshStateDirectory();
    struct Case {
        int width, height, fitWidth, fitHeight;
    };
    for (const Case c : {Case{640, 360, 384, 216}, Case{200, 150, 200, 148}, Case{300, 600, 144, 288}}) {
        writeMkv(dir / "in.mkv", makeClip(c.width, c.height, 3, 5), c.width, c.height, {1, 25}, {25, 1});
        const RunResult run = runKalmix({dir / "in.mkv", "-o", dir / "out.mkv", "--fit", "-y"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("3 frames filtered, 0 passed through"), std::string::npos) << run.err;
        const DecodedClip out = decodeFile(dir / "out.mkv");
        EXPECT_EQ(out.format.width, c.fitWidth) << c.width << "x" << c.height;
        EXPECT_EQ(out.format.height, c.fitHeight) << c.width << "x" << c.height;
        EXPECT_EQ(out.count, 3);
    }
    // Without --fit, and with --tiles off, a large clip passes through the module untouched.
    const Bytes big = makeClip(640, 360, 2, 6);
    writeMkv(dir / "in.mkv", big, 640, 360, {1, 25}, {25, 1});
    const RunResult run = runKalmix({dir / "in.mkv", "-o", dir / "out.mkv", "-y", "--tiles", "off"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("--fit"), std::string::npos) << run.err;
    EXPECT_TRUE(decodeFile(dir / "out.mkv").frames == big);
    // By default it is filtered at its full size, through the tiles.
    const RunResult tiled = runKalmix({dir / "in.mkv", "-o", dir / "out.mkv", "-y"});
    ASSERT_EQ(tiled.status, 0) << tiled.err;
    EXPECT_NE(tiled.err.find("2 frames filtered in 4 tiles"), std::string::npos) << tiled.err;
    const DecodedClip full = decodeFile(dir / "out.mkv");
    EXPECT_EQ(full.format.width, 640);
    EXPECT_EQ(full.format.height, 360);
    EXPECT_TRUE(full.frames != big);
}

// A WAV file of silence-and-ramp samples, enough to mux a few packets.
void writeWav(const std::string& path, int samples) {
    Bytes wav;
    const auto u32 = [&wav](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) wav.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    const auto text = [&wav](const char* s) {
        for (int i = 0; i < 4; ++i) wav.push_back(static_cast<std::uint8_t>(s[i]));
    };
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples) * 2;
    text("RIFF");
    u32(36 + dataBytes);
    text("WAVE");
    text("fmt ");
    u32(16);
    u32(1 | 1u << 16);  // PCM, mono
    u32(8000);          // sample rate
    u32(16000);         // byte rate
    u32(2 | 16u << 16); // block align, bits per sample
    text("data");
    u32(dataBytes);
    for (int i = 0; i < samples; ++i) {
        wav.push_back(static_cast<std::uint8_t>(i));
        wav.push_back(static_cast<std::uint8_t>(i >> 8));
    }
    writeFile(path, wav);
}

std::pair<int, std::int64_t> audioPacketsAndBytes(const std::string& path) {
    AVFormatContext* input = nullptr;
    EXPECT_EQ(avformat_open_input(&input, path.c_str(), nullptr, nullptr), 0);
    avformat_find_stream_info(input, nullptr);
    int packets = 0;
    std::int64_t bytes = 0;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        if (input->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            ++packets;
            bytes += packet->size;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return {packets, bytes};
}

TEST(FileMode, AudioIsCopied) {
    ScratchDir dir;
    freshStateDirectory();
    writeWav(dir / "sound.wav", 8000);
    {
        // A clip with one second of video and of audio.
        AVFormatContext* wav = nullptr;
        ASSERT_EQ(avformat_open_input(&wav, (dir / "sound.wav").c_str(), nullptr, nullptr), 0);
        avformat_find_stream_info(wav, nullptr);
        VideoFormat format;
        format.width = 32;
        format.height = 32;
        WriterOptions options;
        options.audio = wav->streams[0];
        FfmpegWriter writer(dir / "in.mkv", format, options);
        ASSERT_TRUE(writer.copiesAudio());
        const Bytes clip = makeClip(32, 32, 25, 1);
        AVPacket* packet = av_packet_alloc();
        for (int n = 0; n < 25; ++n) {
            writer.write(clip.data() + static_cast<std::size_t>(n) * format.frameBytes(), FrameInfo{n, 1});
            if (av_read_frame(wav, packet) >= 0) writer.writeAudio(packet, wav->streams[0]->time_base);
            av_packet_unref(packet);
        }
        while (av_read_frame(wav, packet) >= 0) {
            writer.writeAudio(packet, wav->streams[0]->time_base);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        writer.finish();
        avformat_close_input(&wav);
    }
    const RunResult run = runKalmix({dir / "in.mkv", "-o", dir / "out.mkv"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto in = audioPacketsAndBytes(dir / "in.mkv");
    EXPECT_GT(in.first, 0);
    EXPECT_EQ(in.second, 16000);
    EXPECT_EQ(audioPacketsAndBytes(dir / "out.mkv"), in);
    EXPECT_EQ(decodeFile(dir / "out.mkv").count, 25);
}

}  // namespace
}  // namespace kalmix::tool::test
