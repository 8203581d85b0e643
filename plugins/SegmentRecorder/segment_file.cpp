#include "segment_file.h"

#include "recorder_log.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace segrec {

namespace {

constexpr int IO_BUFFER_SIZE = 64 * 1024;

// Frees a dictionary when it goes out of scope.
struct DictionaryHolder {
    AVDictionary* dictionary = nullptr;
    ~DictionaryHolder() { av_dict_free(&dictionary); }
};

} // namespace

std::unique_ptr<SegmentFile> SegmentFile::Create(UniqueFd fd, const AVCodecParameters& video,
                                                 const AVCodecParameters* audio, int fragmentMs, std::string& why)
{
    std::unique_ptr<SegmentFile> file(new SegmentFile());
    file->fd_ = fd.Release();
    if (file->fd_ < 0) {
        why = "no file";
        return nullptr;
    }
    int result = avformat_alloc_output_context2(&file->context_, nullptr, "mp4", nullptr);
    if (result < 0) {
        why = "no mp4 muxer: " + AvError(result);
        return nullptr;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(IO_BUFFER_SIZE));
    if (buffer == nullptr) {
        why = "out of memory";
        return nullptr;
    }
    file->io_ = avio_alloc_context(buffer, IO_BUFFER_SIZE, 1, file.get(), nullptr, WriteBytes, nullptr);
    if (file->io_ == nullptr) {
        av_free(buffer);
        why = "out of memory";
        return nullptr;
    }
    file->context_->pb = file->io_;
    // Every packet the muxer takes is flushed through WriteBytes: the mp4 muxer hands over bytes
    // only when it finishes a fragment, so each fragment is in the file as soon as it is complete.
    file->context_->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;

    const AVCodecParameters* tracks[] = {&video, audio};
    for (const AVCodecParameters* track : tracks) {
        if (track == nullptr)
            continue;
        AVStream* stream = avformat_new_stream(file->context_, nullptr);
        if (stream == nullptr || (result = avcodec_parameters_copy(stream->codecpar, track)) < 0) {
            why = "cannot add a track: " + AvError(stream == nullptr ? AVERROR(ENOMEM) : result);
            return nullptr;
        }
        stream->codecpar->codec_tag = 0;
        stream->time_base =
            track->codec_type == AVMEDIA_TYPE_VIDEO ? AVRational{1, 90000} : AVRational{1, track->sample_rate};
    }
    DictionaryHolder options;
    // delay_moov: the header goes out with the first fragment, once each track's first times are
    // known, and carries edit lists: a track starts when its first frame does (audio that begins
    // after the key frame is not moved forward to it) and B-frames' reordering delay is kept.
    av_dict_set(&options.dictionary, "movflags", "frag_keyframe+empty_moov+default_base_moof+delay_moov", 0);
    av_dict_set_int(&options.dictionary, "frag_duration", static_cast<int64_t>(fragmentMs) * 1000, 0);
    av_dict_set(&options.dictionary, "flush_packets", "1", 0);
    result = avformat_write_header(file->context_, &options.dictionary);
    if (result < 0) {
        why = "cannot write the file header: " + AvError(result);
        return nullptr;
    }
    file->wholeBytes_ = file->bytes_;
    return file;
}

SegmentFile::~SegmentFile()
{
    if (context_ != nullptr)
        avformat_free_context(context_); // does not free a custom pb
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0)
        close(fd_);
}

int SegmentFile::WriteBytes(void* opaque, uint8_t* buffer, int size)
{
    auto* file = static_cast<SegmentFile*>(opaque);
    if (file->lastErrno_ != 0)
        return AVERROR(file->lastErrno_);
    int left = size;
    while (left > 0) {
        ssize_t written = write(file->fd_, buffer, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            file->lastErrno_ = written < 0 ? errno : ENOSPC;
            return AVERROR(file->lastErrno_);
        }
        buffer += written;
        left -= static_cast<int>(written);
        file->bytes_ += static_cast<uint64_t>(written);
    }
    return size;
}

void SegmentFile::CutBack()
{
    // A fragment written in part would end the file in the middle of a box; without it the file
    // plays whole up to its last complete fragment.
    if (bytes_ != wholeBytes_ && ftruncate(fd_, static_cast<off_t>(wholeBytes_)) == 0)
        bytes_ = wholeBytes_;
}

int SegmentFile::Write(int track, AVPacket& packet, AVRational from)
{
    if (lastErrno_ != 0)
        return AVERROR(lastErrno_);
    packet.stream_index = track;
    av_packet_rescale_ts(&packet, from, context_->streams[track]->time_base);
    int result = av_write_frame(context_, &packet);
    if (result >= 0 && io_->error < 0)
        result = io_->error;
    if (result < 0) {
        if (lastErrno_ != 0)
            CutBack();
        return result;
    }
    wholeBytes_ = bytes_;
    return 0;
}

int SegmentFile::Finish()
{
    if (finished_)
        return 0;
    finished_ = true;
    int result = lastErrno_ != 0 ? AVERROR(lastErrno_) : av_write_trailer(context_);
    if (result >= 0) {
        avio_flush(io_);
        if (io_->error < 0)
            result = io_->error;
    }
    if (lastErrno_ != 0)
        CutBack();
    if (fdatasync(fd_) != 0) {
        syncFailed_ = true;
        if (result >= 0)
            result = AVERROR(errno);
    }
    syncedBytes_ = bytes_;
    close(fd_);
    fd_ = -1;
    return result;
}

void SegmentFile::Sync()
{
    if (fd_ < 0 || syncedBytes_ == bytes_)
        return;
    if (fdatasync(fd_) != 0) {
        syncFailed_ = true;
        Log(LOG_WARNING, "fdatasync failed: %s", std::strerror(errno));
        return;
    }
    syncedBytes_ = bytes_;
}

} // namespace segrec
