// Helpers of the kalmix end-to-end tests.
#include "tool_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "tools/kalmix/ffmpeg_reader.h"
#include "tools/kalmix/ffmpeg_writer.h"
#include "tools/kalmix/md5_writer.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
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

namespace {

void check(int result, const char* what) {
    if (result < 0) throw std::runtime_error(std::string("writeClip: ") + what + ": " + avErrorText(result));
}

struct VideoEncoder {
    CodecContextPtr context;
    AVStream* stream = nullptr;
    FramePtr frame;
    SwsPtr converter;
};

}  // namespace

void writeClip(const std::string& path, const ClipRecipe& recipe) {
    av_log_set_level(AV_LOG_ERROR);  // the encoders' reports are not the test's
    AVFormatContext* allocated = nullptr;
    check(avformat_alloc_output_context2(&allocated, nullptr, recipe.format.empty() ? nullptr : recipe.format.c_str(),
                                         path.c_str()),
          "container");
    OutputPtr out(allocated);
    out->flags |= AVFMT_FLAG_BITEXACT;
    const Bytes fallback = recipe.bgra == nullptr ? makeClip(recipe.width, recipe.height, recipe.frames, 1) : Bytes();
    const Bytes& frames = recipe.bgra != nullptr ? *recipe.bgra : fallback;

    std::vector<VideoEncoder> videos(static_cast<std::size_t>(1 + recipe.extraVideo));
    for (std::size_t v = 0; v < videos.size(); ++v) {
        VideoEncoder& e = videos[v];
        const bool main = v == 0;
        const AVCodec* codec = avcodec_find_encoder_by_name(main ? recipe.codec.c_str() : recipe.extraCodec.c_str());
        if (codec == nullptr) throw std::runtime_error("writeClip: no encoder " + recipe.codec);
        e.context.reset(avcodec_alloc_context3(codec));
        AVCodecContext* c = e.context.get();
        c->width = main ? recipe.width : 16;
        c->height = main ? recipe.height : 16;
        c->pix_fmt = main ? av_get_pix_fmt(recipe.pixelFormat.c_str())
                          : (recipe.extraCodec == "ffv1" ? AV_PIX_FMT_BGRA : codec->pix_fmts[0]);
        c->time_base = AVRational{1, recipe.rate};
        c->framerate = AVRational{recipe.rate, 1};
        c->flags |= AV_CODEC_FLAG_BITEXACT;
        if ((out->oformat->flags & AVFMT_GLOBALHEADER) != 0) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (main) {
            c->field_order = recipe.fieldOrder;
            c->color_primaries = recipe.primaries;
            c->color_trc = recipe.transfer;
            c->colorspace = recipe.matrix;
            if (recipe.fieldOrder != AV_FIELD_UNKNOWN && recipe.fieldOrder != AV_FIELD_PROGRESSIVE) {
                c->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
            }
        }
        check(avcodec_open2(c, codec, nullptr), "encoder");
        e.stream = avformat_new_stream(out.get(), nullptr);
        e.stream->time_base = c->time_base;
        e.stream->avg_frame_rate = c->framerate;
        check(avcodec_parameters_from_context(e.stream->codecpar, c), "parameters");
        if (main && recipe.rotation != 0) {
            auto* matrix = reinterpret_cast<std::int32_t*>(
                av_stream_new_side_data(e.stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
            av_display_rotation_set(matrix, recipe.rotation);
        }
        e.frame.reset(av_frame_alloc());
        e.frame->format = c->pix_fmt;
        e.frame->width = c->width;
        e.frame->height = c->height;
        e.frame->color_primaries = c->color_primaries;
        e.frame->color_trc = c->color_trc;
        e.frame->colorspace = c->colorspace;
        e.frame->interlaced_frame = (c->flags & AV_CODEC_FLAG_INTERLACED_DCT) != 0;
        e.frame->top_field_first = recipe.fieldOrder == AV_FIELD_TT || recipe.fieldOrder == AV_FIELD_TB;
        check(av_frame_get_buffer(e.frame.get(), 0), "frame");
        if (c->pix_fmt != AV_PIX_FMT_BGRA) {
            e.converter.reset(sws_getContext(c->width, c->height, AV_PIX_FMT_BGRA, c->width, c->height, c->pix_fmt,
                                             SWS_BICUBIC | SWS_BITEXACT, nullptr, nullptr, nullptr));
        }
    }
    std::vector<AVStream*> audio;
    constexpr int SAMPLE_RATE = 8000;
    for (int a = 0; a < recipe.audioStreams; ++a) {
        AVStream* s = avformat_new_stream(out.get(), nullptr);
        s->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        s->codecpar->codec_id = recipe.flacAudio ? AV_CODEC_ID_FLAC : AV_CODEC_ID_PCM_S16LE;
        s->codecpar->sample_rate = SAMPLE_RATE;
        av_channel_layout_default(&s->codecpar->ch_layout, 1);
        s->codecpar->bits_per_coded_sample = 16;
        s->codecpar->block_align = recipe.flacAudio ? 0 : 2;
        if (recipe.flacAudio) {
            // STREAMINFO: blocks of 320 samples, 8000 Hz, one channel, 16 bits.
            static constexpr std::uint8_t STREAMINFO[34] = {0x01, 0x40, 0x01, 0x40, 0, 0, 0, 0, 0, 0, 0x01, 0xF4, 0x00, 0xF0};
            s->codecpar->extradata = static_cast<std::uint8_t*>(av_mallocz(sizeof STREAMINFO + AV_INPUT_BUFFER_PADDING_SIZE));
            std::memcpy(s->codecpar->extradata, STREAMINFO, sizeof STREAMINFO);
            s->codecpar->extradata_size = sizeof STREAMINFO;
        }
        s->time_base = AVRational{1, SAMPLE_RATE};
        av_dict_set(&s->metadata, "language", ("aud" + std::to_string(a)).c_str(), 0);
        audio.push_back(s);
    }
    AVStream* subtitles = nullptr;
    if (recipe.subtitles) {
        subtitles = avformat_new_stream(out.get(), nullptr);
        subtitles->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        subtitles->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
        subtitles->time_base = AVRational{1, 1000};
    }
    if (recipe.attachment) {
        AVStream* font = avformat_new_stream(out.get(), nullptr);
        font->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
        font->codecpar->codec_id = AV_CODEC_ID_TTF;
        const std::size_t size = sizeof ATTACHED_FONT - 1;
        font->codecpar->extradata = static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(font->codecpar->extradata, ATTACHED_FONT, size);
        font->codecpar->extradata_size = static_cast<int>(size);
        av_dict_set(&font->metadata, "filename", "font.ttf", 0);
        av_dict_set(&font->metadata, "mimetype", "application/x-truetype-font", 0);
    }
    AVStream* cover = nullptr;
    if (recipe.cover) {
        cover = avformat_new_stream(out.get(), nullptr);
        cover->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        cover->codecpar->codec_id = AV_CODEC_ID_PNG;
        cover->codecpar->width = 8;
        cover->codecpar->height = 8;
        cover->disposition = AV_DISPOSITION_ATTACHED_PIC;
        cover->time_base = AVRational{1, 90000};
        av_dict_set(&cover->metadata, "filename", "cover.png", 0);
        av_dict_set(&cover->metadata, "mimetype", "image/png", 0);
    }
    for (int n = 0; n < recipe.chapters; ++n) {
        auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        chapter->id = n + 1;
        chapter->time_base = AVRational{1, recipe.rate};
        chapter->start = static_cast<std::int64_t>(recipe.frames) * n / recipe.chapters;
        chapter->end = static_cast<std::int64_t>(recipe.frames) * (n + 1) / recipe.chapters;
        av_dict_set(&chapter->metadata, "title", ("Part " + std::to_string(n + 1)).c_str(), 0);
        out->chapters = static_cast<AVChapter**>(av_realloc_array(out->chapters, out->nb_chapters + 1, sizeof(AVChapter*)));
        out->chapters[out->nb_chapters++] = chapter;
    }
    check(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), "open");
    check(avformat_write_header(out.get(), nullptr), "header");
    if (cover != nullptr) {
        PacketPtr picture(av_packet_alloc());
        check(av_new_packet(picture.get(), sizeof COVER_PICTURE), "cover");
        std::memcpy(picture->data, COVER_PICTURE, sizeof COVER_PICTURE);
        picture->stream_index = cover->index;
        picture->flags |= AV_PKT_FLAG_KEY;
        picture->pts = picture->dts = 0;
        check(av_write_frame(out.get(), picture.get()), "cover packet");
    }

    PacketPtr packet(av_packet_alloc());
    int videoPackets = 0;
    const auto drain = [&](VideoEncoder& e, bool main) {
        while (avcodec_receive_packet(e.context.get(), packet.get()) == 0) {
            if (main && videoPackets++ == recipe.damagedPacket) {
                for (int i = 0; i < packet->size; ++i) packet->data[i] = static_cast<std::uint8_t>(i * 7);
            }
            av_packet_rescale_ts(packet.get(), e.context->time_base, e.stream->time_base);
            packet->stream_index = e.stream->index;
            check(av_interleaved_write_frame(out.get(), packet.get()), "video packet");
        }
    };
    const std::size_t frameBytes = static_cast<std::size_t>(recipe.width) * static_cast<std::size_t>(recipe.height) * 4;
    const Bytes still(16 * 16 * 4, 128);
    for (int f = 0; f < recipe.frames; ++f) {
        for (std::size_t v = 0; v < videos.size(); ++v) {
            VideoEncoder& e = videos[v];
            const std::uint8_t* bgra = v == 0 ? frames.data() + frameBytes * static_cast<std::size_t>(f) : still.data();
            check(av_frame_make_writable(e.frame.get()), "writable");
            const int stride = e.frame->width * 4;
            if (e.converter) {
                const std::uint8_t* planes[4] = {bgra, nullptr, nullptr, nullptr};
                const int strides[4] = {stride, 0, 0, 0};
                sws_scale(e.converter.get(), planes, strides, 0, e.frame->height, e.frame->data, e.frame->linesize);
            } else {
                av_image_copy_plane(e.frame->data[0], e.frame->linesize[0], bgra, stride, stride, e.frame->height);
            }
            e.frame->pts = recipe.firstPts + f;
            check(avcodec_send_frame(e.context.get(), e.frame.get()), "encode");
            drain(e, v == 0);
        }
        for (AVStream* s : audio) {
            const int samples = SAMPLE_RATE / recipe.rate;
            check(av_new_packet(packet.get(), samples * 2), "audio");
            for (int i = 0; i < samples * 2; ++i) packet->data[i] = static_cast<std::uint8_t>(i + f + s->index);
            packet->pts = packet->dts = static_cast<std::int64_t>(f) * samples;
            packet->duration = samples;
            packet->stream_index = s->index;
            check(av_interleaved_write_frame(out.get(), packet.get()), "audio packet");
        }
        if (subtitles != nullptr && (f == 1 || f == recipe.frames / 2)) {
            const std::string cue = "cue at frame " + std::to_string(f);
            check(av_new_packet(packet.get(), static_cast<int>(cue.size())), "subtitle");
            std::memcpy(packet->data, cue.data(), cue.size());
            packet->pts = packet->dts = av_rescale_q(f, AVRational{1, recipe.rate}, subtitles->time_base);
            packet->duration = av_rescale_q(1, AVRational{1, recipe.rate}, subtitles->time_base);
            packet->stream_index = subtitles->index;
            check(av_interleaved_write_frame(out.get(), packet.get()), "subtitle packet");
        }
    }
    for (std::size_t v = 0; v < videos.size(); ++v) {
        avcodec_send_frame(videos[v].context.get(), nullptr);
        drain(videos[v], v == 0);
    }
    check(av_write_trailer(out.get()), "trailer");
}

InputPtr openInput(const std::string& path) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open " + path);
    InputPtr input(opened);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) throw std::runtime_error("no stream info in " + path);
    return input;
}

RunResult runKalmixOnTerminal(const std::vector<std::string>& args, const std::string& answer) {
    std::vector<std::string> argv{KALMIX_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) throw std::runtime_error("forkpty failed");
    if (child == 0) {
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    RunResult result;
    bool answered = false;
    for (;;) {
        pollfd wait{master, POLLIN, 0};
        if (::poll(&wait, 1, 20000) <= 0) break;  // a hung child fails the test, not the suite
        char buffer[512];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        result.out.append(buffer, static_cast<std::size_t>(n));
        if (!answered && result.out.find("Overwrite?") != std::string::npos) {
            const std::string line = answer + "\n";
            if (::write(master, line.data(), line.size()) < 0) break;
            answered = true;
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(master);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace kalmix::tool::test
