// Encoding and muxing with libavcodec and libavformat.
#include "tools/kalmix/ffmpeg_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace kalmix::tool {
namespace {

std::string pixelName(AVPixelFormat format) {
    const char* name = av_get_pix_fmt_name(format);
    return name != nullptr ? name : "unknown";
}

bool isNamed(const AVOutputFormat* container, const char* name) {
    // Muxer names may list several (mov,mp4,m4a,...); output ones are single.
    return std::strcmp(container->name, name) == 0;
}

// Players and browsers play H.264 4:2:0 from these; 4:4:4 or FFV1 they often do not.
bool wantsPlayableDefault(const AVOutputFormat* container) {
    return isNamed(container, "mp4") || isNamed(container, "mov");
}

const AVCodec* chooseEncoder(const std::string& requested, const AVOutputFormat* container, const std::string& path) {
    if (!requested.empty()) {
        const AVCodec* codec = avcodec_find_encoder_by_name(requested.c_str());
        if (codec == nullptr) {
            throw ToolError("--codec: no encoder named '" + requested + "' (ffmpeg -encoders lists them)", EXIT_USAGE);
        }
        if (codec->type != AVMEDIA_TYPE_VIDEO) {
            throw ToolError("--codec: '" + requested + "' does not encode video", EXIT_USAGE);
        }
        return codec;
    }
    AVCodecID id = AV_CODEC_ID_NONE;
    if (wantsPlayableDefault(container) && avcodec_find_encoder(AV_CODEC_ID_H264) != nullptr) {
        id = AV_CODEC_ID_H264;
    } else if (avformat_query_codec(container, AV_CODEC_ID_FFV1, FF_COMPLIANCE_NORMAL) == 1) {
        id = AV_CODEC_ID_FFV1;  // lossless wherever the container holds it
    } else {
        // As ffmpeg does: the container's own, or for pictures the one the name says.
        id = av_guess_codec(container, nullptr, path.c_str(), nullptr, AVMEDIA_TYPE_VIDEO);
    }
    if (id == AV_CODEC_ID_NONE) {
        throw ToolError("output '" + path + "': the " + container->name + " format cannot hold video");
    }
    const AVCodec* codec = avcodec_find_encoder(id);
    if (codec == nullptr) {
        throw ToolError("output '" + path + "': no encoder for " + avcodec_get_name(id) + ", the codec of " +
                        container->name + " files (choose one with -c:v)");
    }
    return codec;
}

bool takes(const AVCodec* codec, AVPixelFormat format) {
    if (codec->pix_fmts == nullptr) return true;
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == format) return true;
    }
    return false;
}

std::string lossText(int loss) {
    std::string text;
    const auto add = [&text](const char* what) { text += (text.empty() ? "" : ", ") + std::string(what); };
    if ((loss & FF_LOSS_RESOLUTION) != 0) add("colour resolution");
    if ((loss & FF_LOSS_DEPTH) != 0) add("bit depth");
    if ((loss & FF_LOSS_COLORSPACE) != 0) add("exact colours (RGB to YUV)");
    if ((loss & (FF_LOSS_CHROMA | FF_LOSS_COLORQUANT)) != 0) add("colour");
    if ((loss & FF_LOSS_ALPHA) != 0) add("alpha");
    return text;
}

struct PixelChoice {
    AVPixelFormat format = AV_PIX_FMT_BGRA;
    std::string note;  // empty: nothing to say
};

PixelChoice choosePixels(const AVCodec* codec, const AVOutputFormat* container, const std::string& requested,
                         const VideoFormat& video) {
    PixelChoice choice;
    if (!requested.empty()) {
        choice.format = av_get_pix_fmt(requested.c_str());
        if (choice.format == AV_PIX_FMT_NONE || !takes(codec, choice.format)) {
            std::string list;
            for (const AVPixelFormat* p = codec->pix_fmts; p != nullptr && *p != AV_PIX_FMT_NONE; ++p) {
                list += (list.empty() ? "" : " ") + pixelName(*p);
            }
            throw ToolError("-pix_fmt: " + std::string(codec->name) + " does not take " + requested + " (it takes " +
                                list + ")",
                            EXIT_USAGE);
        }
        return choice;
    }
    if (codec->pix_fmts == nullptr) {
        // Encoders that pass frames on (wrapped_avframe, rawvideo): the
        // container decides. YUV4MPEG holds YUV only; 4:4:4 keeps the most.
        if (isNamed(container, "yuv4mpegpipe")) {
            choice.format = AV_PIX_FMT_YUV444P;
            choice.note = "note: yuv4mpegpipe holds no BGRA: frames are converted to yuv444p (loses exact colours)";
        }
        return choice;
    }
    if (takes(codec, AV_PIX_FMT_BGRA)) return choice;
    const bool even = video.width % 2 == 0 && video.height % 2 == 0;
    if (codec->id == AV_CODEC_ID_H264 && wantsPlayableDefault(container) && even && takes(codec, AV_PIX_FMT_YUV420P)) {
        choice.format = AV_PIX_FMT_YUV420P;
        choice.note = std::string("note: ") + container->name + " output is H.264 4:2:0 (yuv420p), which every player " +
                      "plays; it loses colour resolution and exact colours (.mkv keeps them losslessly)";
        return choice;
    }
    int loss = 0;
    choice.format = avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, AV_PIX_FMT_BGRA, 0, &loss);
    if (loss != 0) {
        choice.note = "note: " + std::string(codec->name) + " takes no BGRA: frames are converted to " +
                      pixelName(choice.format) + " (loses " + lossText(loss) + "; .mkv is lossless)";
    }
    return choice;
}

bool isFullRangeFormat(AVPixelFormat format) {
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// The colour matrix for YUV output: the input's when it had one swscale
// knows, else BT.601, which JPEG-style (yuvj) formats always use.
AVColorSpace chooseMatrix(const AVStream* source, AVPixelFormat output) {
    if (isFullRangeFormat(output) || source == nullptr) return AVCOL_SPC_BT470BG;
    switch (source->codecpar->color_space) {
    case AVCOL_SPC_BT709:
    case AVCOL_SPC_FCC:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M:
    case AVCOL_SPC_BT2020_NCL:
        return source->codecpar->color_space;
    default:
        return AVCOL_SPC_BT470BG;
    }
}

void copySideData(const AVStream* from, AVStream* to) {
    for (int i = 0; i < from->nb_side_data; ++i) {
        const AVPacketSideData& data = from->side_data[i];
        std::uint8_t* copy = av_stream_new_side_data(to, data.type, data.size);
        if (copy == nullptr) throw ToolError("out of memory");
        std::memcpy(copy, data.data, data.size);
    }
}

void copyTags(const AVStream* from, AVStream* to) {
    av_dict_copy(&to->metadata, from->metadata, 0);
    av_dict_set(&to->metadata, "encoder", nullptr, 0);  // the muxer names the new one
    to->disposition = from->disposition;
}

// Whether the container can hold a copy of the stream. A muxer's own list
// says yes for its usual codecs; it is asked besides the way ffmpeg finds
// out, by writing a header with the stream, here into memory. The lists leave
// out what a container holds by other means: Matroska's attachments (fonts),
// its Video for Windows tracks (PNG), and every codec of muxers that keep no
// list (MPEG-TS). And a listed codec may be one the muxer writes only as an
// experimental feature (FLAC in MP4), which only the header tells.
enum class Holding { YES, NO, ONLY_EXPERIMENTAL };
Holding containerHolds(const AVOutputFormat* container, const AVStream* source, int compliance) {
    const AVCodecParameters* parameters = source->codecpar;
    const bool listed = avformat_query_codec(container, parameters->codec_id, FF_COMPLIANCE_NORMAL) == 1;
    if ((container->flags & AVFMT_NOFILE) != 0) return listed ? Holding::YES : Holding::NO;
    AVFormatContext* trial = nullptr;
    if (avformat_alloc_output_context2(&trial, container, nullptr, nullptr) < 0 || trial == nullptr) {
        return listed ? Holding::YES : Holding::NO;
    }
    trial->strict_std_compliance = compliance;
    int written = AVERROR(ENOMEM);
    AVStream* stream = avformat_new_stream(trial, nullptr);
    if (stream != nullptr && avcodec_parameters_copy(stream->codecpar, parameters) >= 0 &&
        avio_open_dyn_buf(&trial->pb) >= 0) {
        stream->codecpar->codec_tag = 0;
        stream->time_base = AVRational{1, 90000};
        copyTags(source, stream);  // an attachment's file name and type
        written = avformat_write_header(trial, nullptr);
        std::uint8_t* bytes = nullptr;
        avio_close_dyn_buf(trial->pb, &bytes);
        av_free(bytes);
        trial->pb = nullptr;
    }
    avformat_free_context(trial);
    clearFfmpegLog();
    dropFfmpegRemarks();  // the trial's complaints are not the user's
    if (written == AVERROR_EXPERIMENTAL) return Holding::ONLY_EXPERIMENTAL;
    // A listed codec is kept whatever else a lone trial stream may lack.
    return listed || written >= 0 ? Holding::YES : Holding::NO;
}

// x265 prints its own lines, past FFmpeg's log: it gets the level the user
// chose (-q, -v), unless the user gave it one in -x265-params.
void quietX265(AVDictionary*& codecOptions) {
    const AVDictionaryEntry* given = av_dict_get(codecOptions, "x265-params", nullptr, 0);
    std::string params = given != nullptr ? given->value : "";
    if (params.find("log-level") != std::string::npos) return;
    const int level = av_log_get_level();
    const char* x265Level = level <= AV_LOG_QUIET     ? "none"
                            : level <= AV_LOG_ERROR   ? "error"
                            : level <= AV_LOG_WARNING ? "warning"
                                                      : "info";
    params += (params.empty() ? "" : ":") + std::string("log-level=") + x265Level;
    av_dict_set(&codecOptions, "x265-params", params.c_str(), 0);
}

// /dev/null, under any name that leads to it (/dev/stdout redirected there).
// Other devices (/dev/full, a tape, a terminal) are outputs like any other.
bool isNullDevice(const std::string& path) {
    struct stat info {};
    struct stat null {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && ::stat("/dev/null", &null) == 0 &&
           S_ISCHR(null.st_mode) && info.st_rdev == null.st_rdev;
}

constexpr int SINK_BUFFER = 1 << 16;

// The callbacks' buffer lost its const in FFmpeg 6.1 (libavformat 61).
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using SinkBytes = const std::uint8_t*;
#else
using SinkBytes = std::uint8_t*;
#endif

int writeToDescriptor(void* opaque, SinkBytes bytes, int size) {
    const int fd = *static_cast<int*>(opaque);
    for (int done = 0; done < size;) {
        const ssize_t written = ::write(fd, bytes + done, static_cast<std::size_t>(size - done));
        if (written < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        done += static_cast<int>(written);
    }
    return size;
}

std::int64_t seekDescriptor(void* opaque, std::int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat info {};
        return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? info.st_size : AVERROR(ENOSYS);
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

}  // namespace

DescriptorSink::~DescriptorSink() { close(); }

AVIOContext* DescriptorSink::open(int fd) {
    close();
    fd_ = fd;
    auto* buffer = static_cast<unsigned char*>(av_malloc(SINK_BUFFER));
    if (buffer == nullptr) return nullptr;
    context_ = avio_alloc_context(buffer, SINK_BUFFER, 1, &fd_, nullptr, writeToDescriptor, seekDescriptor);
    if (context_ == nullptr) {
        av_free(buffer);
        return nullptr;
    }
    // As FFmpeg's own file output: pipes and sockets are written straight
    // through; anything that seeks is patched up at the end.
    context_->seekable = ::lseek(fd, 0, SEEK_CUR) >= 0 ? AVIO_SEEKABLE_NORMAL : 0;
    return context_;
}

int DescriptorSink::close() {
    int result = 0;
    if (context_ != nullptr) {
        avio_flush(context_);
        result = context_->error;
        av_freep(&context_->buffer);
        avio_context_free(&context_);
    }
    if (fd_ >= 0) {
        if (::close(fd_) != 0 && result == 0) result = AVERROR(errno);
        fd_ = -1;
    }
    return result;
}

FfmpegWriter::FfmpegWriter(const std::string& path, const VideoFormat& format, const WriterOptions& options)
    : options_(options), path_(path), format_(format), frame_(av_frame_alloc()), packet_(av_packet_alloc()) {
    if (!frame_ || !packet_) throw ToolError("out of memory");
    openContainer(path);
    const AVCodec* codec = chooseEncoder(options.codec, container_->oformat, path);
    setUpEncoder(codec, format);
    addCopiedStreams();
    copyChapters();
    if (options.source != nullptr) {
        av_dict_copy(&container_->metadata, options.source->metadata, 0);
        av_dict_set(&container_->metadata, "encoder", nullptr, 0);
    }
    for (const auto& [key, value] : options.metadata) {
        if (av_dict_set(&container_->metadata, key.c_str(), value.empty() ? nullptr : value.c_str(), 0) < 0) {
            throw ToolError("out of memory");
        }
    }

    const bool image2 = isNamed(container_->oformat, "image2");
    // The encoder's leftovers may be the container's (movflags); what
    // neither knows is a mistake on the command line.
    AVDictionary* containerOptions = unusedCodecOptions_;
    unusedCodecOptions_ = nullptr;
    const std::unique_ptr<AVDictionary*, void (*)(AVDictionary**)> freeOptions(&containerOptions, av_dict_free);
    if (!options.muxerOptions.empty() &&
        av_dict_parse_string(&containerOptions, options.muxerOptions.c_str(), "=", ":", 0) < 0) {
        throw ToolError("out of memory");
    }
    container_->flags |= AVFMT_FLAG_BITEXACT;  // the same frames give the same file
    container_->strict_std_compliance = options.compliance;
    if (image2) {
        // The muxer opens one file per frame itself.
        if (isSequencePattern(path)) {
            sequence_.emplace(path);
            av_freep(&container_->url);
            container_->url = av_strdup(sequence_->tempPattern().c_str());
        } else if (path == "-") {
            // Standard output: every picture, one after another, as
            // image2pipe writes them (the muxer would take "-" for a file name).
            av_dict_set(&containerOptions, "update", "1", 0);
            av_freep(&container_->url);
            container_->url = av_strdup("pipe:1");
        } else {
            // One picture file: it holds the last frame, as ffmpeg -update 1 does.
            av_dict_set(&containerOptions, "update", "1", 0);
            output_.emplace(path);
            output_->replaceAppearing(options.replaceAppearing);
            // The muxer opens the picture by name: the temporary file is
            // made first, exclusively, and then written over.
            ::close(output_->open());
            av_freep(&container_->url);
            container_->url = av_strdup(output_->tempPath().c_str());
            if (format.frameCount > 1 && options.note) {
                options.note("note: '" + path + "' holds the last frame only; a name such as frame%04d.png " +
                             "writes every frame");
            }
        }
        if (container_->url == nullptr) throw ToolError("out of memory");
    } else if ((container_->oformat->flags & AVFMT_NOFILE) == 0) {
        output_.emplace(path);
        output_->replaceAppearing(options.replaceAppearing);
        container_->pb = sink_.open(output_->open());
        if (container_->pb == nullptr) throw ToolError("out of memory");
        container_->flags |= AVFMT_FLAG_CUSTOM_IO;
        ownsFile_ = true;
        if (!output_->isStdout()) {
            // Muxers that rewrite their file at the end (movflags=+faststart)
            // open it again by this name: the one being written.
            av_freep(&container_->url);
            container_->url = av_strdup(output_->tempPath().c_str());
            if (container_->url == nullptr) throw ToolError("out of memory");
        }
    }
    if (const int error = avformat_write_header(container_.get(), &containerOptions); error < 0) failWrite(error);
    headerWritten_ = true;
    if (const AVDictionaryEntry* unknown = av_dict_get(containerOptions, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
        throw ToolError(std::string(unknown->key) + ": neither the " + encoder_->codec->name + " encoder nor the " +
                            container_->oformat->name + " format has such an option",
                        EXIT_USAGE);
    }
}

void FfmpegWriter::openContainer(const std::string& path) {
    clearFfmpegLog();
    std::string formatName = options_.format;
    if (formatName.empty() && path != "-" && av_guess_format(nullptr, path.c_str(), nullptr) == nullptr &&
        isNullDevice(path)) {
        formatName = "null";  // -o /dev/null: decode and filter, keep nothing, as ffmpeg -f null does
    }
    AVFormatContext* allocated = nullptr;
    const char* url = path == "-" ? "pipe:1" : path.c_str();
    if (avformat_alloc_output_context2(&allocated, nullptr, formatName.empty() ? nullptr : formatName.c_str(), url) < 0 ||
        allocated == nullptr) {
        clearFfmpegLog();
        if (!formatName.empty()) throw ToolError("-f: FFmpeg writes no container named '" + formatName + "'", EXIT_USAGE);
        throw ToolError("output '" + path + "': cannot tell the container from its name (try .mkv, or give -f FORMAT)");
    }
    container_.reset(allocated);
}
FfmpegWriter::~FfmpegWriter() { av_dict_free(&unusedCodecOptions_); }

void FfmpegWriter::setUpEncoder(const AVCodec* codec, const VideoFormat& format) {
    const AVOutputFormat* container = container_->oformat;
    const PixelChoice pixels = choosePixels(codec, container, options_.pixelFormat, format);

    encoder_.reset(avcodec_alloc_context3(codec));
    if (!encoder_) throw ToolError("out of memory");
    encoder_->width = format.width;
    encoder_->height = format.height;
    encoder_->pix_fmt = pixels.format;
    // The encoder counts time in frames, as ffmpeg sets it up, wherever the
    // container or codec needs a fixed rate (AVI, MPEG-TS with MPEG-2, Y4M,
    // pictures); containers with their own clock keep the input's stamps.
    const int flags = container->flags;
    const bool keepsTiming = (flags & AVFMT_VARIABLE_FPS) != 0 && (flags & AVFMT_NOTIMESTAMPS) == 0 &&
                             codec->id != AV_CODEC_ID_MPEG1VIDEO && codec->id != AV_CODEC_ID_MPEG2VIDEO &&
                             codec->supported_framerates == nullptr;
    encoder_->time_base = !keepsTiming && format.frameRate.valid()
                              ? AVRational{format.frameRate.den, format.frameRate.num}
                              : AVRational{format.timeBase.num, format.timeBase.den};
    if (format.frameRate.valid()) encoder_->framerate = AVRational{format.frameRate.num, format.frameRate.den};
    if (format.sampleAspect.valid()) {
        encoder_->sample_aspect_ratio = AVRational{format.sampleAspect.num, format.sampleAspect.den};
    }
    encoder_->flags |= AV_CODEC_FLAG_BITEXACT;
    encoder_->strict_std_compliance = options_.compliance;
    if ((container->flags & AVFMT_GLOBALHEADER) != 0) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    // Colour: primaries and transfer stay as the input had them; the matrix
    // and range follow the encoder's pixel format, and are tagged.
    const AVStream* source = options_.videoSource;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(pixels.format);
    const bool rgb = descriptor == nullptr || (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0;
    if (source != nullptr) {
        encoder_->color_primaries = source->codecpar->color_primaries;
        encoder_->color_trc = source->codecpar->color_trc;
        encoder_->field_order = source->codecpar->field_order;
    }
    const AVColorSpace matrix = chooseMatrix(source, pixels.format);
    const bool fullRange = isFullRangeFormat(pixels.format);
    if (rgb) {
        encoder_->colorspace = AVCOL_SPC_RGB;
    } else {
        encoder_->colorspace = matrix;
        encoder_->color_range = fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    }
    const AVFieldOrder fields = encoder_->field_order;
    const bool interlaced = fields == AV_FIELD_TT || fields == AV_FIELD_BB || fields == AV_FIELD_TB || fields == AV_FIELD_BT;
    if (interlaced) encoder_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;

    AVDictionary* codecOptions = nullptr;
    if (codec->id == AV_CODEC_ID_FFV1) {
        // Version 3 codes slices in parallel and checks each with a CRC.
        av_dict_set(&codecOptions, "level", "3", 0);
        av_dict_set(&codecOptions, "slices", "4", 0);
        encoder_->thread_count = 0;
    }
    for (const auto& [key, value] : options_.codecOptions) av_dict_set(&codecOptions, key.c_str(), value.c_str(), 0);
    if (std::strcmp(codec->name, "libx265") == 0) quietX265(codecOptions);
    const int opened = avcodec_open2(encoder_.get(), codec, &codecOptions);
    unusedCodecOptions_ = codecOptions;
    if (const int error = opened; error < 0) {
        throw ToolError("codec '" + std::string(codec->name) + "' cannot encode " + std::to_string(format.width) + "x" +
                        std::to_string(format.height) + " " + pixelName(pixels.format) + " pixels: " + avErrorText(error));
    }
    if (pixels.format != AV_PIX_FMT_BGRA) {
        const AVPixelFormat layout = plainLayout(pixels.format);
        bool made = false;
        SwsContext* converter = converter_.prepare(format.width, format.height, AV_PIX_FMT_BGRA, format.width,
                                                   format.height, layout, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT,
                                                   made);
        if (converter == nullptr) {
            throw ToolError("codec '" + std::string(codec->name) + "' cannot encode the pixels: no conversion from BGRA to " +
                            pixelName(pixels.format));
        }
        converts_ = true;
        if (!rgb) {
            sws_setColorspaceDetails(converter, sws_getCoefficients(AVCOL_SPC_BT470BG), 1,
                                     sws_getCoefficients(matrix), fullRange ? 1 : 0, 0, 1 << 16, 1 << 16);
        }
    }
    if (!pixels.note.empty() && options_.note) options_.note(pixels.note);

    frame_->format = pixels.format;
    frame_->width = format.width;
    frame_->height = format.height;
    frame_->color_range = encoder_->color_range;
    frame_->colorspace = encoder_->colorspace;
    frame_->color_primaries = encoder_->color_primaries;
    frame_->color_trc = encoder_->color_trc;
    frame_->interlaced_frame = interlaced ? 1 : 0;
    frame_->top_field_first = fields == AV_FIELD_TT || fields == AV_FIELD_TB ? 1 : 0;
    if (const int error = av_frame_get_buffer(frame_.get(), 0); error < 0) throw ToolError("out of memory");

    videoStream_ = avformat_new_stream(container_.get(), nullptr);
    if (videoStream_ == nullptr) throw ToolError("out of memory");
    videoStream_->time_base = encoder_->time_base;
    if (format.frameRate.valid()) {
        videoStream_->avg_frame_rate = encoder_->framerate;
        videoStream_->r_frame_rate = encoder_->framerate;
    }
    videoStream_->sample_aspect_ratio = encoder_->sample_aspect_ratio;
    avcodec_parameters_from_context(videoStream_->codecpar, encoder_.get());
    if (source != nullptr) {
        copyTags(source, videoStream_);
        copySideData(source, videoStream_);  // rotation (the display matrix), mastering, ...
        noteLostRotation(source);
    }
    if (format.frameRate.valid()) {
        nominalDuration_ = av_rescale_q(1, av_inv_q(encoder_->framerate), encoder_->time_base);
    }
}

// Matroska and WebM store a track's rotation only from libavformat 60 on;
// before, the muxer drops the display matrix without a word, so the tool says
// it. (MP4 and MOV keep it.)
void FfmpegWriter::noteLostRotation(const AVStream* source) {
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        av_stream_get_side_data(source, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (matrix == nullptr || !options_.note) return;
    const double degrees = av_display_rotation_get(matrix);  // as ffprobe shows it
    const std::string name = container_->oformat->name;
    const bool dropped = LIBAVFORMAT_VERSION_MAJOR < 60 && (name == "matroska" || name == "webm");
    if (!dropped || std::isnan(degrees) || std::lround(degrees) % 360 == 0) return;
    options_.note("note: not kept: the video's rotation (" + std::to_string(std::lround(degrees)) +
                  " degrees): " + name + " files cannot hold it with this FFmpeg; .mp4 and .mov keep it");
}

void FfmpegWriter::addCopiedStreams() {
    std::vector<const AVStream*> wanted;
    if (options_.source != nullptr) {
        for (unsigned i = 0; i < options_.source->nb_streams; ++i) {
            const AVStream* stream = options_.source->streams[i];
            if (stream != options_.videoSource) wanted.push_back(stream);
        }
    } else if (options_.audio != nullptr) {
        wanted.push_back(options_.audio);
    }
    std::string notKept, experimental;
    for (const AVStream* stream : wanted) {
        const AVCodecParameters* parameters = stream->codecpar;
        if ((parameters->codec_type == AVMEDIA_TYPE_AUDIO && !options_.copyAudio) ||
            (parameters->codec_type == AVMEDIA_TYPE_SUBTITLE && !options_.copySubtitles) ||
            (parameters->codec_type == AVMEDIA_TYPE_DATA && !options_.copyData)) {
            continue;  // left out as asked (-an, -sn, -dn): its packets have nowhere to go
        }
        const char* type = av_get_media_type_string(parameters->codec_type);
        const std::string what = "stream " + std::to_string(stream->index) + " (" + (type != nullptr ? type : "data") +
                                 " " + avcodec_get_name(parameters->codec_id) + ")";
        const Holding holding = containerHolds(container_->oformat, stream, options_.compliance);
        if (holding == Holding::NO) {
            notKept += (notKept.empty() ? "" : ", ") + what;
            continue;
        }
        if (holding == Holding::ONLY_EXPERIMENTAL) {
            experimental += (experimental.empty() ? "" : ", ") + what;
            continue;
        }
        AVStream* copy = avformat_new_stream(container_.get(), nullptr);
        if (copy == nullptr) throw ToolError("out of memory");
        if (avcodec_parameters_copy(copy->codecpar, parameters) < 0) throw ToolError("out of memory");
        copy->codecpar->codec_tag = 0;  // the container's own tag for the codec
        copy->time_base = stream->time_base;
        copy->avg_frame_rate = stream->avg_frame_rate;
        copy->r_frame_rate = stream->r_frame_rate;
        copy->sample_aspect_ratio = stream->sample_aspect_ratio;
        copyTags(stream, copy);
        copySideData(stream, copy);
        copies_[stream->index] = copy;
        // Cut by -ss, a video track may begin inside a group of pictures:
        // what comes before its next key frame refers to pictures left out.
        if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0 &&
            options_.selectionStart != INT64_MIN) {
            awaitingKeyFrame_.insert(stream->index);
        }
    }
    const auto pronoun = [](const std::string& streams) { return streams.find(", ") == std::string::npos ? "it" : "them"; };
    if (!notKept.empty() && options_.note) {
        options_.note("note: not kept: " + notKept + ": " + container_->oformat->name + " files cannot hold " +
                      pronoun(notKept));
    }
    if (!experimental.empty() && options_.note) {
        options_.note("note: not kept: " + experimental + ": " + container_->oformat->name + " files hold " +
                      pronoun(experimental) + " only as an experimental feature (-strict experimental keeps " +
                      pronoun(experimental) + ")");
    }
}

void FfmpegWriter::copyChapters() {
    const AVFormatContext* source = options_.source;
    if (source == nullptr) return;
    for (unsigned i = 0; i < source->nb_chapters; ++i) {
        const AVChapter* in = source->chapters[i];
        // Clipped to the selection and moved with it.
        const std::int64_t start = std::max(av_rescale_q(in->start, in->time_base, AV_TIME_BASE_Q), options_.selectionStart);
        const std::int64_t end = std::min(av_rescale_q(in->end, in->time_base, AV_TIME_BASE_Q), options_.selectionEnd);
        if (end <= start) continue;
        auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (out == nullptr) throw ToolError("out of memory");
        out->id = in->id;
        out->time_base = in->time_base;
        out->start = av_rescale_q(start - options_.timeOffset, AV_TIME_BASE_Q, in->time_base);
        out->end = av_rescale_q(end - options_.timeOffset, AV_TIME_BASE_Q, in->time_base);
        av_dict_copy(&out->metadata, in->metadata, 0);
        auto* grown = static_cast<AVChapter**>(
            av_realloc_array(container_->chapters, container_->nb_chapters + 1, sizeof(AVChapter*)));
        if (grown == nullptr) {
            av_dict_free(&out->metadata);
            av_free(out);
            throw ToolError("out of memory");
        }
        container_->chapters = grown;
        container_->chapters[container_->nb_chapters++] = out;
    }
}

void FfmpegWriter::failWrite(int error) {
    throw ToolError("cannot write output '" + path_ + "': " + avErrorText(error));
}

void FfmpegWriter::write(const std::uint8_t* bgra, const FrameInfo& info) {
    if (const int error = av_frame_make_writable(frame_.get()); error < 0) throw ToolError("out of memory");
    const int rowBytes = format_.width * BYTES_PER_PIXEL;
    if (converts_) {
        if (const int error = converter_.scale(bgra, rowBytes, *frame_); error < 0) failWrite(error);
    } else {
        av_image_copy_plane(frame_->data[0], frame_->linesize[0], bgra, rowBytes, rowBytes, format_.height);
    }
    // Intra and delayed encoders alike need rising time stamps.
    const AVRational inputTimeBase{format_.timeBase.num, format_.timeBase.den};
    std::int64_t pts = av_rescale_q(info.pts, inputTimeBase, encoder_->time_base);
    if (lastPts_ != INT64_MIN && pts <= lastPts_) pts = lastPts_ + 1;
    lastPts_ = pts;
    frame_->pts = pts;
    const int slot = static_cast<int>(static_cast<std::uint64_t>(pts) % DURATION_SLOTS);
    slotPts_[slot] = pts;
    slotDuration_[slot] =
        info.duration > 0 ? std::max<std::int64_t>(1, av_rescale_q(info.duration, inputTimeBase, encoder_->time_base))
                          : nominalDuration_;

    if (const int error = avcodec_send_frame(encoder_.get(), frame_.get()); error < 0) {
        throw ToolError("codec '" + std::string(encoder_->codec->name) + "' failed: " + avErrorText(error));
    }
    drainEncoder();
}

void FfmpegWriter::drainEncoder() {
    for (;;) {
        const int received = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
        if (received < 0) {
            throw ToolError("codec '" + std::string(encoder_->codec->name) + "' failed: " + avErrorText(received));
        }
        if (packet_->duration <= 0 && packet_->pts != AV_NOPTS_VALUE) {
            const int slot = static_cast<int>(static_cast<std::uint64_t>(packet_->pts) % DURATION_SLOTS);
            packet_->duration = slotPts_[slot] == packet_->pts ? slotDuration_[slot] : nominalDuration_;
        }
        av_packet_rescale_ts(packet_.get(), encoder_->time_base, videoStream_->time_base);
        packet_->stream_index = videoStream_->index;
        const std::lock_guard<std::mutex> lock(muxing_);
        if (const int error = av_interleaved_write_frame(container_.get(), packet_.get()); error < 0) failWrite(error);
    }
}

void FfmpegWriter::writeAudio(AVPacket* packet, AVRational sourceTimeBase) {
    if (options_.audio == nullptr) return;
    const auto found = copies_.find(options_.audio->index);
    if (found == copies_.end()) return;
    av_packet_rescale_ts(packet, sourceTimeBase, found->second->time_base);
    packet->stream_index = found->second->index;
    packet->pos = -1;
    const std::lock_guard<std::mutex> lock(muxing_);
    if (const int error = av_interleaved_write_frame(container_.get(), packet); error < 0) failWrite(error);
}

void FfmpegWriter::writeCopied(AVPacket* packet) {
    const auto found = copies_.find(packet->stream_index);
    if (found == copies_.end() || options_.source == nullptr) return;
    if (const auto awaiting = awaitingKeyFrame_.find(packet->stream_index); awaiting != awaitingKeyFrame_.end()) {
        if ((packet->flags & AV_PKT_FLAG_KEY) == 0) return;  // as ffmpeg drops them when it copies
        awaitingKeyFrame_.erase(awaiting);
    }
    av_packet_rescale_ts(packet, options_.source->streams[packet->stream_index]->time_base, found->second->time_base);
    packet->stream_index = found->second->index;
    packet->pos = -1;
    const std::lock_guard<std::mutex> lock(muxing_);
    if (const int error = av_interleaved_write_frame(container_.get(), packet); error < 0) failWrite(error);
}

void FfmpegWriter::finish() {
    // Without a frame the muxers leave files no player opens (an empty
    // picture, a Matroska header with broken sizes): nothing is put in place.
    if (lastPts_ == INT64_MIN) {
        const bool selected = options_.selectionStart != INT64_MIN || options_.selectionEnd != INT64_MAX;
        throw ToolError("output '" + path_ + "': no frame to write: the input has no video frame" +
                        (selected ? " within -ss, -t or -to" : ""));
    }
    if (const int error = avcodec_send_frame(encoder_.get(), nullptr); error < 0 && error != AVERROR_EOF) {
        failWrite(error);
    }
    drainEncoder();
    if (const int error = av_write_trailer(container_.get()); error < 0) failWrite(error);
    if (ownsFile_) {
        container_->pb = nullptr;
        if (const int error = sink_.close(); error < 0) failWrite(error);
    }
    if (sequence_) sequence_->commit();
    if (output_) output_->commit();
}

void writePng(const std::string& path, const std::uint8_t* bgra, int width, int height) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) throw ToolError("cannot write '" + path + "': this FFmpeg has no PNG encoder");
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!encoder || !frame || !packet) throw ToolError("out of memory");
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_RGB24;
    encoder->time_base = AVRational{1, 1};
    encoder->flags |= AV_CODEC_FLAG_BITEXACT;
    clearFfmpegLog();
    if (const int error = avcodec_open2(encoder.get(), codec, nullptr); error < 0) {
        throw ToolError("cannot write '" + path + "': " + avErrorText(error));
    }
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) throw ToolError("out of memory");
    for (int y = 0; y < height; ++y) {
        std::uint8_t* out = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
        const std::uint8_t* in = bgra + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * BYTES_PER_PIXEL;
        for (int x = 0; x < width; ++x, in += BYTES_PER_PIXEL, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    frame->pts = 0;
    std::vector<std::uint8_t> bytes;
    int error = avcodec_send_frame(encoder.get(), frame.get());
    if (error >= 0) error = avcodec_send_frame(encoder.get(), nullptr);
    while (error >= 0) {
        error = avcodec_receive_packet(encoder.get(), packet.get());
        if (error < 0) break;
        bytes.insert(bytes.end(), packet->data, packet->data + packet->size);
        av_packet_unref(packet.get());
    }
    if (error != AVERROR_EOF) throw ToolError("cannot write '" + path + "': " + avErrorText(error));

    TempOutput output(path);
    std::FILE* file = output.openStream();
    bool written = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = file != nullptr && std::fclose(file) == 0 && written;
    if (!written) throw ToolError("cannot write '" + path + "': " + std::strerror(errno));
    output.commit();
}

}  // namespace kalmix::tool
