// Every stream and its metadata: what the input carried besides the filtered
// frames comes out again, or one line says what the container could not hold.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "tool_test_support.h"

extern "C" {
#include <libavutil/display.h>
}

namespace kalmix::tool::test {
namespace {

const AVStream* firstVideo(const AVFormatContext* input) {
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return input->streams[i];
    }
    return nullptr;
}

// Packets per stream, and the bytes of each stream's packets in order.
std::vector<std::pair<int, Bytes>> packetsByStream(const std::string& path) {
    InputPtr input = openInput(path);
    std::vector<std::pair<int, Bytes>> streams(input->nb_streams);
    PacketPtr packet(av_packet_alloc());
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        auto& [count, bytes] = streams[static_cast<std::size_t>(packet->stream_index)];
        ++count;
        bytes.insert(bytes.end(), packet->data, packet->data + packet->size);
        av_packet_unref(packet.get());
    }
    return streams;
}

class Streams : public ::testing::Test {
protected:
    RunResult run(std::vector<std::string> args) {
        freshStateDirectory();
        return runKalmix(args);
    }
    ScratchDir dir;
};

TEST_F(Streams, RotationFieldOrderAndColourTagsSurvive) {
    // A phone clip: H.264 in MP4, turned a quarter.
    ClipRecipe phone;
    phone.codec = "libx264";
    phone.pixelFormat = "yuv420p";
    phone.frames = 4;
    phone.rotation = 90;
    writeClip(dir / "phone.mp4", phone);
    InputPtr in = openInput(dir / "phone.mp4");
    const auto* inMatrix =
        reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(firstVideo(in.get()), AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    ASSERT_NE(inMatrix, nullptr);
    const double turned = av_display_rotation_get(inMatrix);
    EXPECT_NEAR(std::abs(turned), 90.0, 0.01);
    for (const char* name : {"phone-out.mp4", "phone-out.mov"}) {
        const RunResult result = run({dir / "phone.mp4", "-o", dir / name});
        ASSERT_EQ(result.status, 0) << result.err;
        InputPtr out = openInput(dir / name);
        const auto* matrix =
            reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(firstVideo(out.get()), AV_PKT_DATA_DISPLAYMATRIX, nullptr));
        ASSERT_NE(matrix, nullptr) << name << ": the display matrix was dropped";
        EXPECT_NEAR(av_display_rotation_get(matrix), turned, 0.01) << name;
    }
    // Matroska keeps the rotation only where this FFmpeg's muxer writes it;
    // where it does not, one note says so instead of silence.
    const RunResult mkv = run({dir / "phone.mp4", "-o", dir / "phone-out.mkv"});
    ASSERT_EQ(mkv.status, 0) << mkv.err;
    InputPtr mkvOut = openInput(dir / "phone-out.mkv");
    const bool kept = av_stream_get_side_data(firstVideo(mkvOut.get()), AV_PKT_DATA_DISPLAYMATRIX, nullptr) != nullptr;
    EXPECT_NE(kept, mkv.err.find("not kept: the video's rotation") != std::string::npos) << mkv.err;

    // Interlaced, bottom field first in display, BT.2020 10-bit PQ.
    ClipRecipe broadcast;
    broadcast.pixelFormat = "yuv420p10le";
    broadcast.frames = 4;
    broadcast.fieldOrder = AV_FIELD_TB;
    broadcast.primaries = AVCOL_PRI_BT2020;
    broadcast.transfer = AVCOL_TRC_SMPTE2084;
    broadcast.matrix = AVCOL_SPC_BT2020_NCL;
    writeClip(dir / "broadcast.mkv", broadcast);
    for (const char* name : {"tags.mkv", "tags.mp4"}) {
        SCOPED_TRACE(name);
        const RunResult result = run({dir / "broadcast.mkv", "-o", dir / name});
        ASSERT_EQ(result.status, 0) << result.err;
        InputPtr out = openInput(dir / name);
        const AVCodecParameters* p = firstVideo(out.get())->codecpar;
        EXPECT_EQ(p->color_primaries, AVCOL_PRI_BT2020);
        EXPECT_EQ(p->color_trc, AVCOL_TRC_SMPTE2084);
        if (std::strcmp(name, "tags.mkv") == 0) {
            EXPECT_EQ(p->field_order, AV_FIELD_TB);
            EXPECT_EQ(p->color_space, AVCOL_SPC_RGB);  // FFV1 BGRA: the lossless default
        } else {
            EXPECT_NE(p->field_order, AV_FIELD_PROGRESSIVE);
            EXPECT_NE(p->field_order, AV_FIELD_UNKNOWN);
            EXPECT_EQ(p->color_space, AVCOL_SPC_BT2020_NCL);
            EXPECT_EQ(p->color_range, AVCOL_RANGE_MPEG);
        }
    }
}

TEST_F(Streams, EveryStreamTheContainerHoldsIsCopied) {
    ClipRecipe rich;
    rich.frames = 6;
    rich.extraVideo = 1;
    rich.audioStreams = 2;
    rich.subtitles = true;
    rich.chapters = 2;
    writeClip(dir / "rich.mkv", rich);
    const RunResult result = run({dir / "rich.mkv", "-o", dir / "out.mkv"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find("not kept"), std::string::npos) << result.err;

    InputPtr in = openInput(dir / "rich.mkv");
    InputPtr out = openInput(dir / "out.mkv");
    ASSERT_EQ(out->nb_streams, in->nb_streams);
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        EXPECT_EQ(out->streams[i]->codecpar->codec_type, in->streams[i]->codecpar->codec_type) << i;
        EXPECT_EQ(out->streams[i]->codecpar->codec_id, in->streams[i]->codecpar->codec_id) << i;
        const AVDictionaryEntry* a = av_dict_get(in->streams[i]->metadata, "language", nullptr, 0);
        const AVDictionaryEntry* b = av_dict_get(out->streams[i]->metadata, "language", nullptr, 0);
        EXPECT_EQ(a == nullptr, b == nullptr) << i;
        if (a != nullptr && b != nullptr) {
            EXPECT_STREQ(a->value, b->value) << i;
        }
    }
    // Copied streams come out byte for byte; the filtered one was re-encoded.
    const auto inPackets = packetsByStream(dir / "rich.mkv");
    const auto outPackets = packetsByStream(dir / "out.mkv");
    for (std::size_t i = 1; i < inPackets.size(); ++i) {
        EXPECT_EQ(outPackets[i].first, inPackets[i].first) << "stream " << i;
        EXPECT_TRUE(outPackets[i].second == inPackets[i].second) << "stream " << i;
    }
    EXPECT_EQ(decodeFile(dir / "out.mkv").count, 6);
    ASSERT_EQ(out->nb_chapters, 2u);
    EXPECT_STREQ(av_dict_get(out->chapters[1]->metadata, "title", nullptr, 0)->value, "Part 2");

    // MP4 holds none of the extra FFV1 video, PCM or SubRip: one line says so.
    const RunResult mp4 = run({dir / "rich.mkv", "-o", dir / "out.mp4"});
    ASSERT_EQ(mp4.status, 0) << mp4.err;
    std::size_t lines = 0;
    for (const std::string& line : mp4.errLines()) {
        if (line.find("not kept") == std::string::npos) continue;
        ++lines;
        for (const char* word : {"stream 1", "stream 2", "stream 3", "stream 4", "subrip"}) {
            EXPECT_NE(line.find(word), std::string::npos) << line;
        }
    }
    EXPECT_EQ(lines, 1u) << mp4.err;
}

// ffmpeg's -an and -sn leave every stream of their kind out, quietly; the
// other streams are copied as before, and -c:a copy asks for nothing else.
TEST_F(Streams, AnAndSnLeaveAudioAndSubtitlesOut) {
    ClipRecipe rich;
    rich.frames = 4;
    rich.extraVideo = 1;
    rich.audioStreams = 2;
    rich.subtitles = true;
    writeClip(dir / "rich.mkv", rich);
    const auto kinds = [](const std::string& path) {
        InputPtr file = openInput(path);
        std::vector<AVMediaType> types;
        for (unsigned i = 0; i < file->nb_streams; ++i) types.push_back(file->streams[i]->codecpar->codec_type);
        return types;
    };
    const RunResult noAudio = run({dir / "rich.mkv", "-o", dir / "an.mkv", "-an", "-c:s", "copy"});
    ASSERT_EQ(noAudio.status, 0) << noAudio.err;
    EXPECT_EQ(noAudio.err.find("not kept"), std::string::npos) << noAudio.err;
    EXPECT_EQ(kinds(dir / "an.mkv"), (std::vector{AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_SUBTITLE}));
    const auto inPackets = packetsByStream(dir / "rich.mkv");
    EXPECT_TRUE(packetsByStream(dir / "an.mkv")[2] == inPackets.back()) << "the subtitles changed";

    const RunResult neither = run({dir / "rich.mkv", "-o", dir / "ansn.mkv", "-sn", "-an", "-c:a", "copy"});
    ASSERT_EQ(neither.status, 0) << neither.err;
    EXPECT_EQ(kinds(dir / "ansn.mkv"), (std::vector{AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_VIDEO}));
    EXPECT_EQ(decodeFile(dir / "ansn.mkv").count, 4);

    // -frames:v ends the whole output there, the copied streams with it, as ffmpeg's does.
    const RunResult cut = run({dir / "rich.mkv", "-o", dir / "cut.mkv", "-frames:v", "2"});
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_EQ(decodeFile(dir / "cut.mkv").count, 2);
    const auto cutPackets = packetsByStream(dir / "cut.mkv");
    ASSERT_EQ(cutPackets.size(), inPackets.size());
    EXPECT_LT(cutPackets[2].first, inPackets[2].first) << "the audio went on past the last frame";

    const RunResult encode = run({dir / "rich.mkv", "-o", dir / "aac.mkv", "-c:a", "aac"});
    EXPECT_EQ(encode.status, 2);
    EXPECT_NE(encode.err.find("copied as they are"), std::string::npos) << encode.err;
}

// -metadata sets the output file's tags over those it copies, in order; an
// empty value removes one.
TEST_F(Streams, MetadataSetsAndRemovesTheFilesTags) {
    writeClip(dir / "in.mkv", ClipRecipe{});
    const auto tag = [](const std::string& path, const char* key) -> std::string {
        InputPtr file = openInput(path);
        const AVDictionaryEntry* entry = av_dict_get(file->metadata, key, nullptr, 0);
        return entry != nullptr ? entry->value : "(none)";
    };
    const RunResult first = run({dir / "in.mkv", "-o", dir / "first.mkv", "-metadata", "title=First", "-metadata",
                                 "album=A", "-metadata", "comment=x=y"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(tag(dir / "first.mkv", "title"), "First");
    EXPECT_EQ(tag(dir / "first.mkv", "comment"), "x=y");
    const RunResult second = run({dir / "first.mkv", "-o", dir / "second.mkv", "-metadata", "title=Second",
                                  "-metadata", "album="});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(tag(dir / "second.mkv", "title"), "Second");
    EXPECT_EQ(tag(dir / "second.mkv", "album"), "(none)");
    EXPECT_EQ(tag(dir / "second.mkv", "comment"), "x=y") << "a tag not named was not copied";
}

// FFmpeg lists FLAC among MP4's codecs but writes it only as an experimental
// feature: the stream is left out with a note that says how to keep it,
// rather than the whole run failing, and -strict experimental keeps it.
TEST_F(Streams, AnExperimentalStreamIsLeftOutUnlessStrictExperimental) {
    ClipRecipe flac;
    flac.frames = 4;
    flac.audioStreams = 1;
    flac.flacAudio = true;
    writeClip(dir / "flac.mkv", flac);
    const auto audioStreams = [](const std::string& path) {
        InputPtr file = openInput(path);
        int count = 0;
        for (unsigned i = 0; i < file->nb_streams; ++i) count += file->streams[i]->codecpar->codec_id == AV_CODEC_ID_FLAC;
        return count;
    };
    const RunResult left = run({dir / "flac.mkv", "-o", dir / "out.mp4"});
    ASSERT_EQ(left.status, 0) << left.err;
    EXPECT_NE(left.err.find("stream 1 (audio flac): mp4 files hold it only as an experimental feature (-strict "
                            "experimental keeps it)"),
              std::string::npos)
        << left.err;
    EXPECT_EQ(audioStreams(dir / "out.mp4"), 0);
    EXPECT_EQ(decodeFile(dir / "out.mp4").count, 4);

    const RunResult kept = run({dir / "flac.mkv", "-o", dir / "kept.mp4", "-strict", "-2"});
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(kept.err.find("experimental"), std::string::npos) << kept.err;
    EXPECT_EQ(audioStreams(dir / "kept.mp4"), 1);

    // Matroska holds FLAC as a matter of course.
    const RunResult mkv = run({dir / "flac.mkv", "-o", dir / "out.mkv"});
    ASSERT_EQ(mkv.status, 0) << mkv.err;
    EXPECT_EQ(audioStreams(dir / "out.mkv"), 1);
}

// A second video track coded in groups of pictures, copied from a point
// inside a group (-ss): its frames before the next key frame refer to
// pictures left out, so the copy starts at that key frame, as ffmpeg's does.
TEST_F(Streams, ACopiedVideoTrackStartsAtAKeyFrame) {
    ClipRecipe recipe;
    recipe.frames = 30;
    recipe.extraVideo = 1;
    recipe.extraCodec = "mpeg2video";  // a key frame every 12 frames
    writeClip(dir / "two.mkv", recipe);
    const RunResult result = run({dir / "two.mkv", "-o", dir / "out.mkv", "-ss", "0.2"});
    ASSERT_EQ(result.status, 0) << result.err;

    InputPtr out = openInput(dir / "out.mkv");
    ASSERT_EQ(out->nb_streams, 2u);
    PacketPtr packet(av_packet_alloc());
    int copied = 0;
    while (av_read_frame(out.get(), packet.get()) >= 0) {
        if (packet->stream_index == 1 && copied++ == 0) {
            EXPECT_NE(packet->flags & AV_PKT_FLAG_KEY, 0) << "the copy starts at time " << packet->pts;
        }
        av_packet_unref(packet.get());
    }
    EXPECT_GT(copied, 0);
}

// Fonts are in no muxer's codec list, even where the container holds them
// (Matroska); a cover picture is the one packet of its stream, stamped 0,
// and belongs to the whole file whatever part of it is selected.
TEST_F(Streams, AttachmentsAndCoverPicturesAreKept) {
    ClipRecipe fonts;
    fonts.frames = 10;
    fonts.attachment = true;
    writeClip(dir / "in.mkv", fonts);
    ClipRecipe covered;
    covered.frames = 10;
    covered.codec = "mpeg4";
    covered.pixelFormat = "yuv420p";
    covered.cover = true;
    writeClip(dir / "in.mp4", covered);
    for (const std::vector<std::string>& selection : {std::vector<std::string>{}, {"-ss", "0.2"}}) {
        for (const char* name : {"mkv", "mp4"}) {
            SCOPED_TRACE(std::string(name) + (selection.empty() ? "" : ", -ss 0.2"));
            std::vector<std::string> args{dir / ("in." + std::string(name)), "-o", dir / ("out." + std::string(name)),
                                          "-y"};
            args.insert(args.end(), selection.begin(), selection.end());
            const RunResult result = run(args);
            ASSERT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(result.err.find("not kept"), std::string::npos) << result.err;
            InputPtr out = openInput(dir / ("out." + std::string(name)));
            const AVStream* kept = nullptr;
            for (unsigned i = 0; i < out->nb_streams; ++i) {
                const AVStream* s = out->streams[i];
                if (s->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT ||
                    (s->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
                    kept = s;
                }
            }
            ASSERT_NE(kept, nullptr) << "the attachment is gone";
            if (std::string(name) == "mkv") {
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(kept->codecpar->extradata),
                                      static_cast<std::size_t>(kept->codecpar->extradata_size)),
                          ATTACHED_FONT);
                EXPECT_STREQ(av_dict_get(kept->metadata, "filename", nullptr, 0)->value, "font.ttf");
            } else {
                EXPECT_TRUE(Bytes(kept->attached_pic.data, kept->attached_pic.data + kept->attached_pic.size) ==
                            Bytes(std::begin(COVER_PICTURE), std::end(COVER_PICTURE)));
            }
        }
    }
}

TEST_F(Streams, ContainersThatDoNotSayAreAskedByTrial) {
    // MPEG-TS names no codecs it holds (a plain query said it could not
    // take even AAC): MPEG-4 video is copied into it after a trial header.
    ClipRecipe recipe;
    recipe.frames = 4;
    recipe.extraVideo = 1;
    recipe.extraCodec = "mpeg4";
    writeClip(dir / "in.mkv", recipe);
    const RunResult result = run({dir / "in.mkv", "-o", dir / "out.ts"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find("not kept"), std::string::npos) << result.err;
    InputPtr out = openInput(dir / "out.ts");
    ASSERT_EQ(out->nb_streams, 2u);
    EXPECT_EQ(out->streams[1]->codecpar->codec_id, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(packetsByStream(dir / "out.ts")[1].first, 4);
}

TEST_F(Streams, MapPicksTheFilteredStream) {
    ClipRecipe two;
    two.frames = 4;
    two.extraVideo = 1;  // stream 1: 16x16
    writeClip(dir / "two.mkv", two);
    for (const char* map : {"0:v:1", "0:1"}) {
        const RunResult result = run({dir / "two.mkv", "-o", dir / "out.mkv", "-map", map, "-y"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.err.find("4 frames filtered"), std::string::npos) << result.err;
        // The filtered stream comes first, the other video is copied after it.
        InputPtr out = openInput(dir / "out.mkv");
        ASSERT_EQ(out->nb_streams, 2u);
        EXPECT_EQ(out->streams[0]->codecpar->width, 16) << map;
        EXPECT_EQ(out->streams[1]->codecpar->width, 32) << map;
        EXPECT_EQ(packetsByStream(dir / "out.mkv")[1], packetsByStream(dir / "two.mkv")[0]) << "copied unfiltered";
    }
    for (const char* map : {"0:v:2", "0:5", "x"}) {
        const RunResult result = run({dir / "two.mkv", "-o", dir / "bad.mkv", "-map", map});
        EXPECT_EQ(result.status, 2) << map;
        EXPECT_EQ(result.errLines().size(), 1u) << result.err;
        EXPECT_NE(result.err.find("-map"), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace kalmix::tool::test
