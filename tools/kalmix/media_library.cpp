// kalmix-ffmpeg.so: the entry points of media.h over the FFmpeg reader and
// writer. The library exports nothing else, so its copies of the tool's
// helpers (the temporary-file list among them) stay its own.
#include <memory>

#include "tools/kalmix/ffmpeg_common.h"
#include "tools/kalmix/ffmpeg_reader.h"
#include "tools/kalmix/ffmpeg_writer.h"
#include "tools/kalmix/media.h"
#include "tools/kalmix/output_file.h"
#include "tools/kalmix/output_sequence.h"

namespace kalmix::tool {
namespace {

void captureLog(int level) {
    captureFfmpegLog();
    setFfmpegLogLevel(level);
}

bool readsFormat(const std::string& name) { return av_find_input_format(name.c_str()) != nullptr; }
bool writesFormat(const std::string& name) { return av_guess_format(name.c_str(), nullptr, nullptr) != nullptr; }

std::unique_ptr<MediaReader> openReader(const std::string& path, const ReaderOptions& options) {
    return std::make_unique<FfmpegReader>(path, options);
}

std::unique_ptr<FrameWriter> openWriter(const std::string& path, const VideoFormat& format,
                                        const OutputOptions& options, MediaReader* source) {
    WriterOptions writerOptions;
    static_cast<OutputOptions&>(writerOptions) = options;
    auto* reader = dynamic_cast<FfmpegReader*>(source);
    if (reader != nullptr) {
        writerOptions.source = reader->container();
        writerOptions.videoSource = reader->videoStream();
        writerOptions.timeOffset = reader->timeOffset();
        writerOptions.selectionStart = reader->selectionStart();
        writerOptions.selectionEnd = reader->selectionEnd();
    }
    auto writer = std::make_unique<FfmpegWriter>(path, format, writerOptions);
    if (reader != nullptr) {
        // The reader goes on demuxing the other streams for this writer; it
        // outlives the writer but reads no more once the writer is gone.
        reader->setPacketSink([file = writer.get()](AVPacket* packet) { file->writeCopied(packet); });
    }
    return writer;
}

void removeTempFilesNow() noexcept {
    removeTempOutputsNow();
    removeTempSequencesNow();
}

constexpr MediaApi API{
    .version = MEDIA_API_VERSION,
    .captureLog = captureLog,
    .flushRemarks = flushFfmpegRemarks,
    .dropRemarks = dropFfmpegRemarks,
    .readsFormat = readsFormat,
    .writesFormat = writesFormat,
    .isSequencePattern = isSequencePattern,
    .sequenceName = sequenceName,
    .openReader = openReader,
    .openWriter = openWriter,
    .writePng = writePng,
    .removeTempFilesNow = removeTempFilesNow,
};

}  // namespace
}  // namespace kalmix::tool

extern "C" const kalmix::tool::MediaApi* kalmix_media_api() { return &kalmix::tool::API; }
