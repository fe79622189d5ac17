// Demuxing, decoding and conversion to BGRA with libavformat, libavcodec and
// libswscale.
#include "tools/kalmix/ffmpeg_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace kalmix::tool {
namespace {

constexpr int FILTER_MAX_WIDTH = 384;
constexpr int FILTER_MAX_HEIGHT = 288;
constexpr int SIDE_STEP = 4;

// Scaling quality matters more than speed at these sizes; bit-exact output
// keeps results the same on every CPU.
constexpr int SCALE_FLAGS = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_BITEXACT;

bool isFullRange(const AVFrame& frame) {
    if (frame.color_range == AVCOL_RANGE_JPEG) return true;
    const auto format = static_cast<AVPixelFormat>(frame.format);
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// The first file of a picture pattern, numbered as FFmpeg looks for it: 0
// to 4 (its start_number range); the first name when none is there.
std::string firstPicture(const std::string& pattern) {
    char name[4096];
    for (int n = 0; n <= 4; ++n) {
        struct stat info {};
        if (av_get_frame_filename(name, sizeof name, pattern.c_str(), n) < 0) return pattern;
        if (::stat(name, &info) == 0) return name;
    }
    return pattern;
}

}  // namespace

FrameSize fitFrameSize(int width, int height) {
    // The largest scale that fits both limits, never above 1; each side is
    // then rounded down to a multiple of 4.
    const double scale = std::min({1.0, static_cast<double>(FILTER_MAX_WIDTH) / width,
                                   static_cast<double>(FILTER_MAX_HEIGHT) / height});
    const auto side = [scale](int length) {
        const int scaled = static_cast<int>(length * scale + 1e-9);
        return scaled / SIDE_STEP * SIDE_STEP;
    };
    const FrameSize fitted{side(width), side(height)};
    // A side that would fall below one step cannot be fitted without
    // enlarging: such a frame keeps its size and passes through unfiltered.
    if (fitted.width < SIDE_STEP || fitted.height < SIDE_STEP) return {width, height};
    return fitted;
}

FfmpegReader::FfmpegReader(const std::string& path, const ReaderOptions& options)
    : path_(path), frame_(av_frame_alloc()), packet_(av_packet_alloc()) {
    strict_ = options.strict;
    warn_ = options.warn;
    if (!frame_ || !packet_) throw ToolError("out of memory");
    const bool pipe = path == "-";
    // A pipe, FIFO, device or socket can be read only once: what the first
    // pass takes is gone.
    bool rereadable = false;
    if (!pipe) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) throw ToolError("cannot read input '" + path + "': it is a directory");
            rereadable = S_ISREG(info.st_mode);
        } else if (const int error = errno; error == ENOENT && av_filename_number_test(path.c_str()) != 0 &&
                                            ::stat(firstPicture(path).c_str(), &info) == 0) {
            // A pattern (f%04d.png), as the tool writes pictures: FFmpeg reads
            // the numbered files, and can read them again to count them.
            rereadable = true;
        } else {
            throw ToolError("cannot read input '" + path + "': " + std::strerror(error));
        }
    }
    const AVInputFormat* format = nullptr;
    if (!options.format.empty()) {
        format = av_find_input_format(options.format.c_str());
        if (format == nullptr) throw ToolError("-f: FFmpeg reads no container named '" + options.format + "'", EXIT_USAGE);
    }

    rereadable_ = rereadable;
    inputFormat_ = format;
    demuxerOptions_ = options.demuxerOptions;
    clearFfmpegLog();
    AVFormatContext* opened = avformat_alloc_context();
    if (opened == nullptr) throw ToolError("out of memory");
    opened->interrupt_callback = {&FfmpegReader::interruptRequested, this};
    AVDictionary* unused = demuxerOptionsDictionary();
    const std::unique_ptr<AVDictionary*, void (*)(AVDictionary**)> freeUnused(&unused, av_dict_free);
    // Frees the context when it fails.
    if (const int error = avformat_open_input(&opened, pipe ? "pipe:0" : path.c_str(), format, &unused); error < 0) {
        throw ToolError("cannot read input '" + path + "': " + avErrorText(error));
    }
    input_.reset(opened);
    // What the demuxer did not take was given for another kind of input.
    if (const AVDictionaryEntry* left = av_dict_get(unused, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
        throw ToolError(std::string("-") + left->key + " does not apply to a " + input_->iformat->name +
                            " input: it describes input that does not say, such as -f rawvideo",
                        EXIT_USAGE);
    }
    if (const int error = avformat_find_stream_info(input_.get(), nullptr); error < 0) {
        throw ToolError("cannot read input '" + path + "': " + avErrorText(error));
    }
    videoIndex_ = chooseVideoStream(options.map);
    AVStream* stream = input_->streams[videoIndex_];

    // The selection: -ss and -to count from the input's first time stamp.
    const std::int64_t origin = input_->start_time != AV_NOPTS_VALUE ? input_->start_time : 0;
    if (options.seekTo) {
        selectionStart_ = origin + *options.seekTo;
        offset_ = selectionStart_;
        // To the key frame at or before the start; what lies before it is
        // decoded and dropped. A pipe cannot seek: everything is.
        if (!pipe) seekBefore(selectionStart_, origin);
    }
    if (options.duration) selectionEnd_ = (options.seekTo ? selectionStart_ : origin) + *options.duration;
    if (options.endAt) selectionEnd_ = origin + *options.endAt;
    // A selection's output starts at 0, as ffmpeg's does, whether or not -ss
    // moved its start: -t or -to alone select from the input's first stamp.
    if (!options.seekTo && (options.duration || options.endAt)) offset_ = origin;

    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        throw ToolError("input '" + path + "': no decoder for its video codec '" +
                        avcodec_get_name(stream->codecpar->codec_id) + "'");
    }
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_) throw ToolError("out of memory");
    if (const int error = avcodec_parameters_to_context(decoder_.get(), stream->codecpar); error < 0) {
        throw ToolError("input '" + path + "': " + avErrorText(error));
    }
    decoder_->thread_count = 0;  // as many as the machine has
    decoder_->pkt_timebase = stream->time_base;
    if (const int error = avcodec_open2(decoder_.get(), codec, nullptr); error < 0) {
        throw ToolError("input '" + path + "': cannot open its " + codec->name + " decoder: " + avErrorText(error));
    }
    if (decoder_->width <= 0 || decoder_->height <= 0) {
        throw ToolError("input '" + path + "': the video stream has no frame size");
    }

    sourceSize_ = {decoder_->width, decoder_->height};
    const FrameSize size = options.fit ? fitFrameSize(sourceSize_.width, sourceSize_.height) : sourceSize_;
    format_.width = size.width;
    format_.height = size.height;
    format_.timeBase = {stream->time_base.num, stream->time_base.den};
    const AVRational rate = av_guess_frame_rate(input_.get(), stream, nullptr);
    format_.frameRate = {rate.num, rate.den};
    AVRational aspect = av_guess_sample_aspect_ratio(input_.get(), stream, nullptr);
    if (aspect.num > 0 && options.fit) {
        // Scaling both sides by the same factor up to the rounding to 4 keeps
        // the shape; fold the rounding into the sample aspect.
        av_reduce(&aspect.num, &aspect.den, static_cast<std::int64_t>(aspect.num) * sourceSize_.width * size.height,
                  static_cast<std::int64_t>(aspect.den) * sourceSize_.height * size.width, 1 << 30);
    }
    format_.sampleAspect = {aspect.num, aspect.den};
    const bool selected = options.seekTo || options.duration || options.endAt;
    // The container's count; else a plain file is counted in a pass of its
    // own, and anything else goes without (clip total 0, as for a pipe).
    if (stream->nb_frames > 0 && !selected) {
        format_.frameCount = stream->nb_frames;
    } else if (rereadable) {
        format_.frameCount = countVideoPackets(path);  // within the selection
    } else {
        format_.frameCount = -1;
    }
}

int FfmpegReader::chooseVideoStream(const std::string& map) const {
    const unsigned count = input_->nb_streams;
    const auto isVideo = [this](unsigned i) {
        return input_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    };
    if (map.empty()) {
        // The largest picture, as ffmpeg picks; cover art only when nothing else.
        int best = -1;
        std::int64_t bestArea = -2;
        for (unsigned i = 0; i < count; ++i) {
            if (!isVideo(i)) continue;
            const AVStream* s = input_->streams[i];
            std::int64_t area = static_cast<std::int64_t>(s->codecpar->width) * s->codecpar->height;
            if ((s->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) area = -1;
            if (area > bestArea) {
                best = static_cast<int>(i);
                bestArea = area;
            }
        }
        if (best < 0) throw ToolError("input '" + path_ + "' has no video stream");
        return best;
    }
    const bool ofVideo = map.rfind("v:", 0) == 0;
    const unsigned wanted = static_cast<unsigned>(std::stoul(ofVideo ? map.substr(2) : map));
    if (ofVideo) {
        unsigned seen = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (isVideo(i) && seen++ == wanted) return static_cast<int>(i);
        }
        throw ToolError("-map 0:v:" + std::to_string(wanted) + ": input '" + path_ + "' has " + std::to_string(seen) +
                            " video stream" + (seen == 1 ? "" : "s") + " (0:v:0 is the first)",
                        EXIT_USAGE);
    }
    if (wanted >= count) {
        throw ToolError("-map 0:" + std::to_string(wanted) + ": input '" + path_ + "' has " + std::to_string(count) +
                            " streams (0:0 is the first)",
                        EXIT_USAGE);
    }
    if (!isVideo(wanted)) {
        const char* type = av_get_media_type_string(input_->streams[wanted]->codecpar->codec_type);
        throw ToolError("-map 0:" + std::to_string(wanted) + ": stream " + std::to_string(wanted) + " of input '" + path_ +
                            "' is " + (type != nullptr ? type : "data") + ", not video",
                        EXIT_USAGE);
    }
    return static_cast<int>(wanted);
}

bool FfmpegReader::inSelection(std::int64_t ts, AVRational timeBase) const {
    if (ts == AV_NOPTS_VALUE) return true;
    const std::int64_t at = av_rescale_q(ts, timeBase, AV_TIME_BASE_Q);
    return at >= selectionStart_ && at < selectionEnd_;
}

void FfmpegReader::damaged(const std::string& what, int error, const char* outcome) {
    if (strict_) throw ToolError("input '" + path_ + "': " + what + ": " + avErrorText(error) + " (--strict)");
    ++damaged_;
    constexpr std::int64_t WARNED_MAX = 5;  // then counted only, for the summary
    if (warn_ && damaged_ <= WARNED_MAX) {
        warn_("warning: input '" + path_ + "': " + what + ", " + outcome + ": " + avErrorText(error) +
              (damaged_ == WARNED_MAX ? " (further ones are counted in the summary)" : ""));
    } else {
        clearFfmpegLog();
    }
}

int FfmpegReader::interruptRequested(void* reader) {
    return static_cast<FfmpegReader*>(reader)->interrupted_.load() ? 1 : 0;
}

bool FfmpegReader::passOn(AVPacket* packet) {
    const AVStream* stream = input_->streams[packet->stream_index];
    const AVRational timeBase = stream->time_base;
    // A cover picture is the stream's one packet, stamped 0 whatever the
    // selection: it belongs to the whole file and goes as it is.
    if ((stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
        packetSink_(packet);
        return true;
    }
    if (!inSelection(packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts, timeBase)) return false;
    if (offset_ != 0) {
        const std::int64_t shift = av_rescale_q(offset_, AV_TIME_BASE_Q, timeBase);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts -= shift;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts -= shift;
    }
    packetSink_(packet);
    return true;
}

FfmpegReader::~FfmpegReader() = default;

// A container without an index of key frames (MPEG-TS, MPEG-PS) seeks by
// time stamp to whatever frame lies there, and the decoder then skips to the
// next key frame, which may lie inside the selection. So the seek is checked
// by reading on to that key frame, and stepped back until it comes early
// enough; the last resort is the input's beginning. What cannot be read twice
// gets the one seek, as ffmpeg gives it.
void FfmpegReader::seekBefore(std::int64_t target, std::int64_t origin) {
    AVFormatContext* input = input_.get();
    const auto seekTo = [input](std::int64_t at) { return avformat_seek_file(input, -1, INT64_MIN, at, at, 0) >= 0; };
    if (input->pb == nullptr || (input->pb->seekable & AVIO_SEEKABLE_NORMAL) == 0) {
        seekTo(target);
        return;
    }
    constexpr int STEPS_BACK = 8;  // 1 s, 2 s, 4 s, ... 128 s before the target
    std::int64_t back = 0;
    for (int step = 0; step <= STEPS_BACK && target - back > origin; ++step) {
        const std::int64_t at = target - back;
        if (!seekTo(at)) {
            if (step == 0) return;  // decoded from where the input stands
            break;
        }
        const KeyFrame key = firstKeyFrame(target);
        if (key != KeyFrame::AfterTarget) {
            seekTo(at);  // the same seek lands on the same place again
            return;
        }
        back = back == 0 ? AV_TIME_BASE : 2 * back;
    }
    // The first byte where the container allows: a seek to the input's start
    // time can land past its first key frame, stamped later than a frame it
    // carries before it.
    if ((input->iformat->flags & AVFMT_NO_BYTE_SEEK) != 0 || av_seek_frame(input, -1, 0, AVSEEK_FLAG_BYTE) < 0) {
        seekTo(origin);
    }
}

// Reads on from a seek to the video stream's first key frame, and says
// whether it lies at or before target (microseconds). A stream without time
// stamps cannot tell and is taken as it lands; so is a seek past the video's
// end, which finds nothing however far back it goes.
FfmpegReader::KeyFrame FfmpegReader::firstKeyFrame(std::int64_t target) {
    const AVRational timeBase = input_->streams[videoIndex_]->time_base;
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw ToolError("out of memory");
    bool video = false;
    while (av_read_frame(input_.get(), packet.get()) >= 0) {
        const bool ours = packet->stream_index == videoIndex_;
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        const std::int64_t ts = key && packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        av_packet_unref(packet.get());
        if (!ours) continue;
        video = true;
        if (ts == AV_NOPTS_VALUE) {
            if (key) return KeyFrame::ByTarget;
            continue;
        }
        // A frame decoded after one stamped past the target is past it too.
        const bool after = av_rescale_q(ts, timeBase, AV_TIME_BASE_Q) > target;
        if (key || after) return after ? KeyFrame::AfterTarget : KeyFrame::ByTarget;
    }
    return video ? KeyFrame::AfterTarget : KeyFrame::NoVideo;
}

std::int64_t FfmpegReader::countVideoPackets(const std::string& path) const {
    // The container does not say: demux the file once more, counting only.
    // Only ever called for plain files.
    const MutedFfmpegRemarks sameAsTheFirstPass;
    AVFormatContext* counter = nullptr;
    AVDictionary* unused = demuxerOptionsDictionary();
    const int opened = avformat_open_input(&counter, path.c_str(), inputFormat_, &unused);
    av_dict_free(&unused);
    if (opened < 0) return -1;
    std::int64_t count = 0;
    if (avformat_find_stream_info(counter, nullptr) >= 0 && static_cast<unsigned>(videoIndex_) < counter->nb_streams) {
        for (unsigned i = 0; i < counter->nb_streams; ++i) {
            if (static_cast<int>(i) != videoIndex_) counter->streams[i]->discard = AVDISCARD_ALL;
        }
        PacketPtr packet(av_packet_alloc());
        const AVRational timeBase = counter->streams[videoIndex_]->time_base;
        while (packet && av_read_frame(counter, packet.get()) >= 0) {
            if (packet->stream_index == videoIndex_ &&
                inSelection(packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts, timeBase)) {
                ++count;
            }
            av_packet_unref(packet.get());
        }
    } else {
        count = -1;
    }
    avformat_close_input(&counter);
    return count;
}

AVDictionary* FfmpegReader::demuxerOptionsDictionary() const {
    AVDictionary* options = nullptr;
    for (const auto& [name, value] : demuxerOptions_) {
        if (av_dict_set(&options, name.c_str(), value.c_str(), 0) < 0) {
            av_dict_free(&options);
            throw ToolError("out of memory");
        }
    }
    return options;
}

bool FfmpegReader::read(std::uint8_t* bgra, FrameInfo& info) {
    flushFfmpegRemarks();  // the work goes on: what FFmpeg remarked on is worth seeing
    const AVRational timeBase{format_.timeBase.num, format_.timeBase.den};
    for (;;) {
        const int received = finished_ ? AVERROR_EOF : avcodec_receive_frame(decoder_.get(), frame_.get());
        if (received == 0) {
            if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
                clearFfmpegLog();
                damaged("a damaged frame was concealed", AVERROR_INVALIDDATA);
            }
            std::int64_t pts = frame_->best_effort_timestamp;
            if (pts == AV_NOPTS_VALUE) pts = nextPts_;
            std::int64_t duration = frame_->pkt_duration;
            if (duration <= 0 && format_.frameRate.valid()) {
                duration = av_rescale_q(1, AVRational{format_.frameRate.den, format_.frameRate.num}, timeBase);
            }
            nextPts_ = pts + std::max<std::int64_t>(duration, 1);
            const std::int64_t at = av_rescale_q(pts, timeBase, AV_TIME_BASE_Q);
            if (at < selectionStart_) {  // decoded from the key frame before the selection
                av_frame_unref(frame_.get());
                continue;
            }
            if (at >= selectionEnd_) {
                av_frame_unref(frame_.get());
                finished_ = true;
                return false;
            }
            convert(*frame_, bgra);
            info.pts = pts - av_rescale_q(offset_, AV_TIME_BASE_Q, timeBase);
            info.duration = std::max<std::int64_t>(duration, 0);
            av_frame_unref(frame_.get());
            return true;
        }
        if (received == AVERROR_EOF) return false;
        if (received != AVERROR(EAGAIN)) {
            damaged("a frame failed to decode", received);
            continue;
        }
        if (draining_) return false;

        const std::uint64_t demuxerErrors = demuxerErrorCount();
        const int readResult = av_read_frame(input_.get(), packet_.get());
        if (readResult == AVERROR_EOF) {
            // A demuxer meeting the end inside a frame (Matroska cut off)
            // drops the partial one, logs why, and reports a plain end.
            if (demuxerErrorCount() != demuxerErrors) {
                damaged("the file ends early", AVERROR_INVALIDDATA, "the frames before the end are kept");
            }
            draining_ = true;
            avcodec_send_packet(decoder_.get(), nullptr);
            continue;
        }
        if (readResult < 0) {
            if (strict_) throw ToolError("cannot read input '" + path_ + "': " + avErrorText(readResult));
            // As ffmpeg does: what was read is kept, the rest is lost.
            damaged("reading stopped early", readResult);
            draining_ = true;
            avcodec_send_packet(decoder_.get(), nullptr);
            continue;
        }
        // The demuxer flags a packet it could not read whole (a file cut off
        // in the middle of one): it goes on as ffmpeg passes it on, and counts.
        const bool corrupt = (packet_->flags & AV_PKT_FLAG_CORRUPT) != 0;
        // Where the packet lies, for a warning only: worked out when one is due.
        const int stream = packet_->stream_index;
        const std::int64_t pts = packet_->pts;
        const auto at = [&] {
            if (pts == AV_NOPTS_VALUE) return std::string();
            char text[48];
            std::snprintf(text, sizeof text, " at %.2f s",
                          static_cast<double>(pts) * av_q2d(input_->streams[stream]->time_base));
            return std::string(text);
        };
        if (stream == videoIndex_) {
            if (corrupt) {
                damaged("a packet cut short or damaged" + at(), AVERROR_INVALIDDATA, "decoded as far as it goes");
            }
            const int sent = avcodec_send_packet(decoder_.get(), packet_.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                av_packet_unref(packet_.get());
                if (!corrupt) damaged("a damaged packet" + at(), sent);
                continue;
            }
        } else if (packetSink_ && passOn(packet_.get()) && corrupt) {
            damaged("a packet of stream " + std::to_string(stream) + " cut short or damaged" + at(),
                    AVERROR_INVALIDDATA, "copied as it is");
        }
        av_packet_unref(packet_.get());
    }
}

void FfmpegReader::convert(const AVFrame& frame, std::uint8_t* bgra) {
    const int rowBytes = format_.width * BYTES_PER_PIXEL;
    const auto source = static_cast<AVPixelFormat>(frame.format);
    if (source == AV_PIX_FMT_BGRA && frame.width == format_.width && frame.height == format_.height) {
        // Already what the module takes: copy, so lossless input stays exact.
        for (int row = 0; row < frame.height; ++row) {
            std::memcpy(bgra + static_cast<std::size_t>(row) * static_cast<std::size_t>(rowBytes),
                        frame.data[0] + static_cast<std::ptrdiff_t>(row) * frame.linesize[0],
                        static_cast<std::size_t>(rowBytes));
        }
        return;
    }
    bool rebuilt = false;
    SwsContext* scaler = scaler_.prepare(frame.width, frame.height, plainLayout(source), format_.width, format_.height,
                                         AV_PIX_FMT_BGRA, SCALE_FLAGS, rebuilt);
    if (scaler == nullptr) {
        const char* name = av_get_pix_fmt_name(source);
        throw ToolError("input '" + path_ + "': cannot convert " + (name != nullptr ? name : "unknown") +
                        " pixels to BGRA");
    }
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(source);
    // Palette pictures hold RGB colours: no matrix of the stream applies.
    if (descriptor != nullptr && (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) == 0) {
        // The colour matrix and range the stream declares; untagged streams
        // get BT.709 from HD sizes up and BT.601 below, as players assume.
        int space = frame.colorspace;
        if (space == AVCOL_SPC_UNSPECIFIED || space == AVCOL_SPC_RESERVED) {
            space = frame.height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT470BG;
        }
        const int range = isFullRange(frame) ? 1 : 0;
        if (rebuilt || space != colourSpace_ || range != colourRange_) {
            sws_setColorspaceDetails(scaler, sws_getCoefficients(space), range,
                                     sws_getCoefficients(AVCOL_SPC_BT470BG), 1, 0, 1 << 16, 1 << 16);
            colourSpace_ = space;
            colourRange_ = range;
        }
    }
    if (const int error = scaler_.scale(frame, bgra, rowBytes); error < 0) {
        throw ToolError("input '" + path_ + "': cannot convert its pixels to BGRA: " + avErrorText(error));
    }
}

}  // namespace kalmix::tool
