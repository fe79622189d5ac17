// Encoding and muxing with libavcodec and libavformat.
#include "tools/kalmix/ffmpeg_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace kalmix::tool {
namespace {

std::string pixelName(AVPixelFormat format) {
    const char* name = av_get_pix_fmt_name(format);
    return name != nullptr ? name : "unknown";
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
    // Lossless wherever the container holds FFV1; else the container's own.
    AVCodecID id = AV_CODEC_ID_FFV1;
    if (avformat_query_codec(container, id, FF_COMPLIANCE_NORMAL) != 1) id = container->video_codec;
    if (id == AV_CODEC_ID_NONE) {
        throw ToolError("output '" + path + "': the " + container->name + " format cannot hold video");
    }
    const AVCodec* codec = avcodec_find_encoder(id);
    if (codec == nullptr) {
        throw ToolError("output '" + path + "': no encoder for " + avcodec_get_name(id) + ", the codec of " +
                        container->name + " files (choose one with --codec)");
    }
    return codec;
}

// The encoder's pixel format closest to BGRA: BGRA itself when it takes it.
AVPixelFormat choosePixels(const AVCodec* codec) {
    const AVPixelFormat* list = codec->pix_fmts;
    if (list == nullptr) return AV_PIX_FMT_BGRA;
    for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == AV_PIX_FMT_BGRA) return AV_PIX_FMT_BGRA;
    }
    int loss = 0;
    return avcodec_find_best_pix_fmt_of_list(list, AV_PIX_FMT_BGRA, 0, &loss);
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
    : output_(path), format_(format), frame_(av_frame_alloc()), packet_(av_packet_alloc()) {
    if (!frame_ || !packet_) throw ToolError("out of memory");
    clearFfmpegLog();
    AVFormatContext* allocated = nullptr;
    if (avformat_alloc_output_context2(&allocated, nullptr, nullptr, path.c_str()) < 0 || allocated == nullptr) {
        clearFfmpegLog();
        throw ToolError("output '" + path + "': cannot tell the container from its extension (try .mkv)");
    }
    container_.reset(allocated);
    const AVCodec* codec = chooseEncoder(options.codec, container_->oformat, path);
    const AVPixelFormat pixels = choosePixels(codec);

    encoder_.reset(avcodec_alloc_context3(codec));
    if (!encoder_) throw ToolError("out of memory");
    encoder_->width = format.width;
    encoder_->height = format.height;
    encoder_->pix_fmt = pixels;
    // Containers with a fixed frame rate (AVI) count time in frames: there
    // the time stamps become frame numbers; elsewhere they stay as they came.
    const bool fixedRate = (container_->oformat->flags & (AVFMT_VARIABLE_FPS | AVFMT_NOTIMESTAMPS)) == 0;
    encoder_->time_base = fixedRate && format.frameRate.valid()
                              ? AVRational{format.frameRate.den, format.frameRate.num}
                              : AVRational{format.timeBase.num, format.timeBase.den};
    if (format.frameRate.valid()) encoder_->framerate = AVRational{format.frameRate.num, format.frameRate.den};
    if (format.sampleAspect.valid()) {
        encoder_->sample_aspect_ratio = AVRational{format.sampleAspect.num, format.sampleAspect.den};
    }
    encoder_->flags |= AV_CODEC_FLAG_BITEXACT;
    if ((container_->oformat->flags & AVFMT_GLOBALHEADER) != 0) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(pixels);
    const bool yuv = descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0 && descriptor->nb_components >= 3;
    if (yuv) {
        encoder_->colorspace = AVCOL_SPC_BT470BG;
        encoder_->color_range = AVCOL_RANGE_MPEG;
    }
    AVDictionary* codecOptions = nullptr;
    if (codec->id == AV_CODEC_ID_FFV1) {
        // Version 3 codes slices in parallel and checks each with a CRC.
        av_dict_set(&codecOptions, "level", "3", 0);
        av_dict_set(&codecOptions, "slices", "4", 0);
        encoder_->thread_count = 0;
    }
    const int opened = avcodec_open2(encoder_.get(), codec, &codecOptions);
    av_dict_free(&codecOptions);
    if (const int error = opened; error < 0) {
        throw ToolError("codec '" + std::string(codec->name) + "' cannot encode " + std::to_string(format.width) + "x" +
                        std::to_string(format.height) + " " + pixelName(pixels) + " pixels: " + avErrorText(error));
    }
    if (pixels != AV_PIX_FMT_BGRA) {
        converter_.reset(sws_getContext(format.width, format.height, AV_PIX_FMT_BGRA, format.width, format.height, pixels,
                                        SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr));
        if (!converter_) {
            throw ToolError("codec '" + std::string(codec->name) + "' cannot encode the pixels: no conversion from BGRA to " +
                            pixelName(pixels));
        }
        if (yuv) {
            sws_setColorspaceDetails(converter_.get(), sws_getCoefficients(AVCOL_SPC_BT470BG), 1,
                                     sws_getCoefficients(AVCOL_SPC_BT470BG), 0, 0, 1 << 16, 1 << 16);
        }
        if (options.note) {
            options.note("note: " + std::string(codec->name) + " takes no BGRA; frames are converted to " +
                         pixelName(pixels) + " (not lossless; .mkv is)");
        }
    }

    frame_->format = pixels;
    frame_->width = format.width;
    frame_->height = format.height;
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
    if (format.frameRate.valid()) {
        nominalDuration_ = av_rescale_q(1, av_inv_q(encoder_->framerate), encoder_->time_base);
    }

    if (options.audio != nullptr) {
        const AVCodecID audioCodec = options.audio->codecpar->codec_id;
        if (avformat_query_codec(container_->oformat, audioCodec, FF_COMPLIANCE_NORMAL) == 1) {
            audioStream_ = avformat_new_stream(container_.get(), nullptr);
            if (audioStream_ == nullptr) throw ToolError("out of memory");
            avcodec_parameters_copy(audioStream_->codecpar, options.audio->codecpar);
            audioStream_->codecpar->codec_tag = 0;
            audioStream_->time_base = options.audio->time_base;
        } else if (options.note) {
            options.note(std::string("note: the audio is not copied: ") + container_->oformat->name +
                         " files cannot hold " + avcodec_get_name(audioCodec));
        }
    }

    container_->flags |= AVFMT_FLAG_BITEXACT;  // the same frames give the same file
    if ((container_->oformat->flags & AVFMT_NOFILE) == 0) {
        container_->pb = sink_.open(output_.open());
        if (container_->pb == nullptr) throw ToolError("out of memory");
        container_->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    AVDictionary* muxerOptions = nullptr;
    if (!options.muxerOptions.empty() &&
        av_dict_parse_string(&muxerOptions, options.muxerOptions.c_str(), "=", ":", 0) < 0) {
        av_dict_free(&muxerOptions);
        throw ToolError("out of memory");
    }
    const int headerError = avformat_write_header(container_.get(), &muxerOptions);
    av_dict_free(&muxerOptions);
    if (headerError < 0) failWrite(headerError);
    headerWritten_ = true;
}

FfmpegWriter::~FfmpegWriter() = default;

void FfmpegWriter::failWrite(int error) {
    throw ToolError("cannot write output '" + output_.finalPath() + "': " + avErrorText(error));
}

void FfmpegWriter::write(const std::uint8_t* bgra, const FrameInfo& info) {
    if (const int error = av_frame_make_writable(frame_.get()); error < 0) throw ToolError("out of memory");
    const int rowBytes = format_.width * BYTES_PER_PIXEL;
    if (converter_) {
        const std::uint8_t* source[4] = {bgra, nullptr, nullptr, nullptr};
        const int strides[4] = {rowBytes, 0, 0, 0};
        sws_scale(converter_.get(), source, strides, 0, format_.height, frame_->data, frame_->linesize);
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
        if (const int error = av_interleaved_write_frame(container_.get(), packet_.get()); error < 0) failWrite(error);
    }
}

void FfmpegWriter::writeAudio(AVPacket* packet, AVRational sourceTimeBase) {
    if (audioStream_ == nullptr) return;
    av_packet_rescale_ts(packet, sourceTimeBase, audioStream_->time_base);
    packet->stream_index = audioStream_->index;
    packet->pos = -1;
    if (const int error = av_interleaved_write_frame(container_.get(), packet); error < 0) failWrite(error);
}

void FfmpegWriter::finish() {
    if (const int error = avcodec_send_frame(encoder_.get(), nullptr); error < 0 && error != AVERROR_EOF) {
        failWrite(error);
    }
    drainEncoder();
    if (const int error = av_write_trailer(container_.get()); error < 0) failWrite(error);
    if ((container_->oformat->flags & AVFMT_NOFILE) == 0) {
        container_->pb = nullptr;
        if (const int error = sink_.close(); error < 0) failWrite(error);
    }
    output_.commit();
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
