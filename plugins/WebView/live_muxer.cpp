#include "live_muxer.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <new>

namespace webview {

namespace {

constexpr int IO_BUFFER_SIZE = 64 * 1024;

// Frees a dictionary when it goes out of scope.
struct DictionaryHolder {
    AVDictionary* dictionary = nullptr;
    ~DictionaryHolder() { av_dict_free(&dictionary); }
};

} // namespace

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = "";
    av_make_error_string(text, sizeof text, code);
    return text;
}

std::unique_ptr<LiveMuxer> LiveMuxer::Create(const AVCodecParameters& video, const AVCodecParameters* audio,
                                             std::vector<uint8_t>& init, std::string& why)
{
    std::unique_ptr<LiveMuxer> muxer(new LiveMuxer());
    int result = avformat_alloc_output_context2(&muxer->context_, nullptr, "mp4", nullptr);
    if (result < 0) {
        why = "no mp4 muxer: " + AvError(result);
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
    muxer->context_->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;
    const AVCodecParameters* tracks[] = {&video, audio};
    for (const AVCodecParameters* track : tracks) {
        if (track == nullptr)
            continue;
        AVStream* stream = avformat_new_stream(muxer->context_, nullptr);
        if (stream == nullptr || (result = avcodec_parameters_copy(stream->codecpar, track)) < 0) {
            why = "cannot add a track: " + AvError(stream == nullptr ? AVERROR(ENOMEM) : result);
            return nullptr;
        }
        stream->codecpar->codec_tag = 0;
        stream->time_base =
            track->codec_type == AVMEDIA_TYPE_VIDEO ? AVRational{1, 90000} : AVRational{1, track->sample_rate};
    }
    DictionaryHolder options;
    // empty_moov: the init segment stands alone, before any fragment; frag_custom: a fragment ends
    // only when EndFragment says so; default_base_moof: what Media Source Extensions expect.
    av_dict_set(&options.dictionary, "movflags", "empty_moov+default_base_moof+frag_custom", 0);
    av_dict_set(&options.dictionary, "flush_packets", "1", 0);
    result = avformat_write_header(muxer->context_, &options.dictionary);
    if (result >= 0) {
        avio_flush(muxer->io_);
        result = muxer->io_->error;
    }
    if (result < 0) {
        why = "cannot write the init segment: " + AvError(result);
        return nullptr;
    }
    init = std::move(muxer->written_);
    muxer->written_.clear();
    return muxer;
}

LiveMuxer::~LiveMuxer()
{
    if (context_ != nullptr)
        avformat_free_context(context_); // does not free a custom pb
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
}

int LiveMuxer::WriteBytes(void* opaque, uint8_t* buffer, int size)
{
    auto* muxer = static_cast<LiveMuxer*>(opaque);
    try { // nothing may be thrown through FFmpeg
        muxer->written_.insert(muxer->written_.end(), buffer, buffer + size);
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    }
    return size;
}

int LiveMuxer::Write(int track, AVPacket& packet, AVRational from)
{
    packet.stream_index = track;
    av_packet_rescale_ts(&packet, from, context_->streams[track]->time_base);
    return av_write_frame(context_, &packet);
}

int LiveMuxer::EndFragment(std::vector<uint8_t>& fragment)
{
    int result = av_write_frame(context_, nullptr); // with frag_custom: flush the fragment
    if (result >= 0) {
        avio_flush(io_);
        result = io_->error;
    }
    fragment = std::move(written_);
    written_.clear();
    return result < 0 ? result : 0;
}

} // namespace webview
