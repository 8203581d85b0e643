#include "fmp4_muxer.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace ffmpeg_common {

namespace {

constexpr int IO_BUFFER_SIZE = 64 * 1024;

// Frees a dictionary when it goes out of scope.
struct DictionaryHolder {
    AVDictionary* dictionary = nullptr;
    ~DictionaryHolder() { av_dict_free(&dictionary); }
};

} // namespace

std::string AvErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::unique_ptr<Fmp4Muxer> Fmp4Muxer::Create(const std::vector<const AVCodecParameters*>& tracks, int fragmentMs,
                                             Sink sink, std::string& why)
{
    std::unique_ptr<Fmp4Muxer> muxer(new Fmp4Muxer());
    muxer->sink_ = std::move(sink);
    int result = avformat_alloc_output_context2(&muxer->context_, nullptr, "mp4", nullptr);
    if (result < 0) {
        why = "no mp4 muxer: " + AvErrorText(result);
        return nullptr;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(IO_BUFFER_SIZE));
    if (buffer == nullptr) {
        why = "out of memory";
        return nullptr;
    }
    muxer->io_ = avio_alloc_context(buffer, IO_BUFFER_SIZE, 1, muxer.get(), nullptr, WriteBytes, nullptr);
    if (muxer->io_ == nullptr) {
        av_free(buffer);
        why = "out of memory";
        return nullptr;
    }
    muxer->context_->pb = muxer->io_;
    // Every packet the muxer takes is flushed through WriteBytes: the mp4 muxer hands over bytes
    // only when it finishes a fragment, so each fragment reaches the sink as soon as it is complete.
    muxer->context_->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;

    for (const AVCodecParameters* track : tracks) {
        AVStream* stream = avformat_new_stream(muxer->context_, nullptr);
        if (stream == nullptr || (result = avcodec_parameters_copy(stream->codecpar, track)) < 0) {
            why = "cannot add a track: " + AvErrorText(stream == nullptr ? AVERROR(ENOMEM) : result);
            return nullptr;
        }
        stream->codecpar->codec_tag = 0;
        stream->time_base =
            track->codec_type == AVMEDIA_TYPE_VIDEO ? AVRational{1, 90000} : AVRational{1, track->sample_rate};
    }
    DictionaryHolder options;
    if (fragmentMs > 0) {
        // delay_moov: the header goes out with the first fragment, once each track's first times
        // are known, and carries edit lists: a track starts when its first frame does (audio that
        // begins after the key frame is not moved forward to it) and B-frames' reordering delay is
        // kept.
        av_dict_set(&options.dictionary, "movflags", "frag_keyframe+empty_moov+default_base_moof+delay_moov", 0);
        av_dict_set_int(&options.dictionary, "frag_duration", static_cast<int64_t>(fragmentMs) * 1000, 0);
    } else {
        // empty_moov: the init segment stands alone, before any fragment; frag_custom: a fragment
        // ends only when EndFragment says so; default_base_moof: what Media Source Extensions expect.
        av_dict_set(&options.dictionary, "movflags", "empty_moov+default_base_moof+frag_custom", 0);
    }
    av_dict_set(&options.dictionary, "flush_packets", "1", 0);
    result = avformat_write_header(muxer->context_, &options.dictionary);
    if (result >= 0 && fragmentMs <= 0) {
        avio_flush(muxer->io_);
        result = muxer->io_->error;
    }
    if (result < 0) {
        why = "cannot write the file header: " + AvErrorText(result);
        return nullptr;
    }
    return muxer;
}

Fmp4Muxer::~Fmp4Muxer()
{
    if (context_ != nullptr)
        avformat_free_context(context_); // does not free a custom pb
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
}

int Fmp4Muxer::WriteBytes(void* opaque, uint8_t* buffer, int size)
{
    return static_cast<Fmp4Muxer*>(opaque)->sink_(buffer, size);
}

int Fmp4Muxer::Write(int track, AVPacket& packet, AVRational from)
{
    packet.stream_index = track;
    av_packet_rescale_ts(&packet, from, context_->streams[track]->time_base);
    const int result = av_write_frame(context_, &packet);
    return result >= 0 && io_->error < 0 ? io_->error : result;
}

int Fmp4Muxer::EndFragment()
{
    int result = av_write_frame(context_, nullptr); // with frag_custom: flush the fragment
    if (result >= 0) {
        avio_flush(io_);
        result = io_->error;
    }
    return result < 0 ? result : 0;
}

int Fmp4Muxer::Finish()
{
    int result = av_write_trailer(context_);
    if (result >= 0) {
        avio_flush(io_);
        if (io_->error < 0)
            result = io_->error;
    }
    return result;
}

} // namespace ffmpeg_common
