// The recorder's segment files against FFmpeg's own muxer: a clip's packets written both ways read
// back as the same packets, whatever the clip's codecs, parameter set form and frame order.
#include "fmp4_muxer.h"
#include "recorder_log.h"
#include "segment_file.h"

#include "media/media_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>

void segrec::Log(int, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}

std::string segrec::AvError(int code)
{
    return ffmpeg_common::AvErrorText(code);
}

namespace {

using dvr::media::Clip;
using dvr::media::Probe;

constexpr int FRAGMENT_MS = 1000;

struct Input {
    AVFormatContext* context = nullptr;
    ~Input() { avformat_close_input(&context); }
};

// Writes the clip's video and raw AAC packets (the audio from audioFrom seconds on) into a segment
// file at recorded and through FFmpeg's muxer into reference; false with the reason in why.
bool WriteBothWays(const std::string& clip, double audioFrom, const std::string& recorded, const std::string& reference,
                   std::string& why)
{
    Input input;
    if (avformat_open_input(&input.context, clip.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input.context, nullptr) < 0) {
        why = "cannot read " + clip;
        return false;
    }
    std::vector<const AVCodecParameters*> tracks;
    std::vector<int> trackOf(input.context->nb_streams, -1);
    for (unsigned index = 0; index < input.context->nb_streams; ++index) {
        const AVCodecParameters* parameters = input.context->streams[index]->codecpar;
        const bool rawAac =
            parameters->codec_id == AV_CODEC_ID_AAC && std::string(input.context->iformat->name) != "mpegts";
        if (parameters->codec_type == AVMEDIA_TYPE_VIDEO || rawAac) { // an MPEG-TS's AAC has ADTS headers
            trackOf[index] = static_cast<int>(tracks.size());
            tracks.push_back(parameters);
        }
    }
    std::FILE* out = std::fopen(reference.c_str(), "wb");
    auto muxer = ffmpeg_common::Fmp4Muxer::Create(
        tracks, FRAGMENT_MS,
        [out](const uint8_t* bytes, int size) {
            return std::fwrite(bytes, 1, static_cast<size_t>(size), out) == static_cast<size_t>(size) ? size : -1;
        },
        why);
    auto file = segrec::SegmentFile::Create(
        segrec::UniqueFd(open(recorded.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)), *tracks[0],
        tracks.size() > 1 ? tracks[1] : nullptr, FRAGMENT_MS, why);
    bool written = muxer && file;
    AVPacket* packet = av_packet_alloc();
    AVPacket* copy = av_packet_alloc();
    while (written && av_read_frame(input.context, packet) >= 0) {
        int track = trackOf[static_cast<size_t>(packet->stream_index)];
        const AVRational from = input.context->streams[packet->stream_index]->time_base;
        if (track > 0 && packet->pts * av_q2d(from) < audioFrom)
            track = -1;
        if (track >= 0) {
            av_packet_ref(copy, packet);
            written = file->Write(track, *packet, from) >= 0 && muxer->Write(track, *copy, from) >= 0;
            av_packet_unref(copy);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    av_packet_free(&copy);
    written = written && file->Finish() >= 0 && muxer->Finish() >= 0;
    if (out != nullptr)
        std::fclose(out);
    if (!written && why.empty())
        why = "a write failed";
    return written;
}

// The packets ffprobe reads from a file, sorted: where a track's first fragment falls may differ.
std::vector<std::string> SortedPackets(const std::string& file)
{
    std::istringstream text(Probe(
        {"-show_entries", "packet=stream_index,pts,dts,duration,size,flags:stream=codec_name", "-of", "csv"}, file));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(SegmentFile, ReadsBackAsTheSamePacketsAsFFmpegsMuxerWrites)
{
    // Parameter sets in the sample entry with AAC; in band (Annex B) from an MPEG-TS; B-frames; H.265;
    // audio that begins seconds after the video, once the header is written.
    const std::vector<std::pair<const char*, double>> clips = {
        {"h264_aac.mp4", 0}, {"h264_aac.ts", 0}, {"bframes.mp4", 0}, {"h265_ulaw.mov", 0}, {"h264_aac.mp4", 2.5}};
    for (const auto& [name, audioFrom] : clips) {
        SCOPED_TRACE(std::string(name) + ", audio from " + std::to_string(audioFrom) + " s");
        const std::string recorded = testing::TempDir() + "recorded.mp4";
        const std::string reference = testing::TempDir() + "reference.mp4";
        std::string why;
        ASSERT_TRUE(WriteBothWays(Clip(name), audioFrom, recorded, reference, why)) << why;
        const std::vector<std::string> expected = SortedPackets(reference);
        EXPECT_GT(expected.size(), 50u);
        EXPECT_EQ(SortedPackets(recorded), expected);
        EXPECT_EQ(dvr::media::DecodeErrors(recorded), "");
        std::filesystem::remove(recorded);
        std::filesystem::remove(reference);
    }
}

} // namespace
