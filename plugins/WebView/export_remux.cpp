// The remux of an export: each file of the span read by FFmpeg's mp4 demuxer (through an
// AVIOContext over the descriptor OpenRecordingFile gives, so a file being written is read up to
// its last whole fragment), its packets retimed onto one timeline and written by the shared
// fragmented MP4 muxer into the export's pipe. Runs on the export's own thread.
#include "export_stream.h"

#include "ffmpeg_log.h"
#include "fmp4_muxer.h"
#include "web_log.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace webview {

namespace {

using ffmpeg_common::AvErrorText;

constexpr int IO_BUFFER_SIZE = 64 * 1024;
constexpr int EXPORT_FRAGMENT_MS = 1000; // fragments of at most a second: the muxer holds no more
constexpr AVRational NS = {1, 1'000'000'000};

// One recorded file open for demuxing.
class InputFile {
public:
    // Opens recording of camera under the recordings folder; null with why.
    static std::unique_ptr<InputFile> Open(int recordingsFd, const std::string& camera, const Recording& recording,
                                           std::string& why)
    {
        std::unique_ptr<InputFile> input(new InputFile());
        auto file = OpenRecordingFile(recordingsFd, camera, recording.day, recording.entry.name);
        if (!file) {
            why = recording.day + "/" + recording.entry.name + " cannot be read";
            return nullptr;
        }
        input->fd_ = file->fd;
        input->size_ = file->servedBytes;
        input->startNs_ = recording.entry.startNs;
        auto* buffer = static_cast<uint8_t*>(av_malloc(IO_BUFFER_SIZE));
        if (buffer != nullptr)
            input->io_ = avio_alloc_context(buffer, IO_BUFFER_SIZE, 0, input.get(), ReadBytes, nullptr, SeekBytes);
        if (input->io_ == nullptr) {
            av_free(buffer);
            why = "out of memory";
            return nullptr;
        }
        input->context_ = avformat_alloc_context();
        if (input->context_ == nullptr) {
            why = "out of memory";
            return nullptr;
        }
        input->context_->pb = input->io_;
        input->context_->flags |= AVFMT_FLAG_CUSTOM_IO;
        const int result = avformat_open_input(&input->context_, nullptr, av_find_input_format("mp4"), nullptr);
        if (result < 0) {
            why = recording.entry.name + ": " + AvErrorText(result);
            return nullptr;
        }
        input->video_ = av_find_best_stream(input->context_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        input->audio_ = av_find_best_stream(input->context_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (input->video_ < 0 && input->audio_ < 0) {
            why = recording.entry.name + ": no video or audio track";
            return nullptr;
        }
        return input;
    }

    ~InputFile()
    {
        avformat_close_input(&context_); // leaves a custom pb
        if (io_ != nullptr) {
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        }
        if (fd_ >= 0)
            close(fd_);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The codec parameters of the video or audio track; null when there is none.
    const AVCodecParameters* Video() const { return video_ < 0 ? nullptr : context_->streams[video_]->codecpar; }
    const AVCodecParameters* Audio() const { return audio_ < 0 ? nullptr : context_->streams[audio_]->codecpar; }

    // The next packet of the video or audio track, its times made ns since 1970 (the file's first
    // packet at its index start); key is whether the export may start or end at it. False at the
    // end of the file or on a read failure (why set).
    bool Read(AVPacket* packet, bool& isVideo, bool& key, std::string& why)
    {
        for (;;) {
            av_packet_unref(packet);
            const int result = av_read_frame(context_, packet);
            if (result == AVERROR_EOF)
                return false;
            if (result < 0) {
                why = AvErrorText(result);
                return false;
            }
            if (packet->stream_index != video_ && packet->stream_index != audio_)
                continue;
            if (packet->dts == AV_NOPTS_VALUE)
                packet->dts = packet->pts;
            if (packet->dts == AV_NOPTS_VALUE)
                continue;
            if (packet->pts == AV_NOPTS_VALUE)
                packet->pts = packet->dts;
            const AVRational base = context_->streams[packet->stream_index]->time_base;
            const int64_t dts = av_rescale_q(packet->dts, base, NS);
            if (originNs_ == INT64_MIN)
                originNs_ = dts;
            const int64_t shift = startNs_ - originNs_;
            packet->pts = av_rescale_q(packet->pts, base, NS) + shift;
            packet->dts = dts + shift;
            packet->duration = av_rescale_q(packet->duration, base, NS);
            isVideo = packet->stream_index == video_;
            key = (isVideo || video_ < 0) && (packet->flags & AV_PKT_FLAG_KEY);
            return true;
        }
    }

private:
    InputFile() = default;

    static int ReadBytes(void* opaque, uint8_t* buffer, int size)
    {
        auto* self = static_cast<InputFile*>(opaque);
        if (self->position_ >= self->size_)
            return AVERROR_EOF;
        const size_t wanted =
            static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(size), self->size_ - self->position_));
        for (;;) {
            const ssize_t got = pread(self->fd_, buffer, wanted, static_cast<off_t>(self->position_));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return AVERROR(errno);
            if (got == 0)
                return AVERROR_EOF;
            self->position_ += static_cast<uint64_t>(got);
            return static_cast<int>(got);
        }
    }

    static int64_t SeekBytes(void* opaque, int64_t offset, int whence)
    {
        auto* self = static_cast<InputFile*>(opaque);
        if (whence & AVSEEK_SIZE)
            return static_cast<int64_t>(self->size_);
        int64_t to = offset;
        if ((whence & 3) == SEEK_CUR)
            to += static_cast<int64_t>(self->position_);
        else if ((whence & 3) == SEEK_END)
            to += static_cast<int64_t>(self->size_);
        if (to < 0)
            return AVERROR(EINVAL);
        self->position_ = static_cast<uint64_t>(to);
        return to;
    }

    int fd_ = -1;
    uint64_t size_ = 0;            // bytes served: up to the last whole fragment of a file being written
    uint64_t position_ = 0;        // of the next read
    int64_t startNs_ = 0;          // the file's start in its index
    int64_t originNs_ = INT64_MIN; // the media time of the file's first packet
    AVIOContext* io_ = nullptr;
    AVFormatContext* context_ = nullptr;
    int video_ = -1;
    int audio_ = -1;
};

// Frees a packet when it goes out of scope.
struct PacketHolder {
    AVPacket* packet = av_packet_alloc();
    ~PacketHolder() { av_packet_free(&packet); }
};

// Whether a later file's track can continue the export's: the same codec and picture size.
bool SameTrack(const AVCodecParameters* first, const AVCodecParameters* later)
{
    if (first == nullptr || later == nullptr)
        return first == later;
    return first->codec_id == later->codec_id && first->width == later->width && first->height == later->height &&
           first->sample_rate == later->sample_rate;
}

// Where the export starts: the last key frame of the first file at or before fromNs, or its first
// key frame when it starts later. Nothing (why set) when the file has none.
std::optional<int64_t> StartOf(int recordingsFd, const ExportJob& job, std::string& why)
{
    auto input = InputFile::Open(recordingsFd, job.camera, job.files.front(), why);
    if (!input)
        return std::nullopt;
    PacketHolder holder;
    std::optional<int64_t> start;
    bool isVideo = false, key = false;
    while (input->Read(holder.packet, isVideo, key, why)) {
        if (!key)
            continue;
        if (holder.packet->dts > job.fromNs && start)
            break;
        start = holder.packet->dts;
        if (holder.packet->dts > job.fromNs)
            break;
    }
    if (!start && why.empty())
        why = job.files.front().entry.name + " holds no key frame";
    return start;
}

// The remux itself; false with why when it could not finish.
bool Remux(int recordingsFd, const ExportJob& job, ExportPipe& pipe, std::string& why)
{
    const std::optional<int64_t> startNs = StartOf(recordingsFd, job, why);
    if (!startNs)
        return false;
    std::unique_ptr<ffmpeg_common::Fmp4Muxer> muxer;
    std::array<AVCodecParameters*, 2> tracks{}; // the first file's video and audio, for the files after it
    std::array<int64_t, 2> lastDts = {INT64_MIN, INT64_MIN};
    std::array<int, 2> trackOf = {-1, -1}; // the output track of video, audio
    struct ParametersHolder {
        std::array<AVCodecParameters*, 2>& tracks;
        ~ParametersHolder()
        {
            for (AVCodecParameters*& track : tracks)
                avcodec_parameters_free(&track);
        }
    } holdParameters{tracks};
    PacketHolder holder;
    for (const Recording& recording : job.files) {
        auto input = InputFile::Open(recordingsFd, job.camera, recording, why);
        if (!input)
            return false;
        const AVCodecParameters* found[2] = {input->Video(), input->Audio()};
        if (!muxer) {
            std::vector<const AVCodecParameters*> outputs;
            for (int i = 0; i < 2; ++i)
                if (found[i] != nullptr) {
                    trackOf[i] = static_cast<int>(outputs.size());
                    outputs.push_back(found[i]);
                    tracks[i] = avcodec_parameters_alloc();
                    if (tracks[i] == nullptr || avcodec_parameters_copy(tracks[i], found[i]) < 0) {
                        why = "out of memory";
                        return false;
                    }
                }
            muxer = ffmpeg_common::Fmp4Muxer::Create(
                outputs, EXPORT_FRAGMENT_MS,
                [&pipe](const uint8_t* bytes, int size) {
                    return pipe.Push(bytes, static_cast<size_t>(size)) ? size : AVERROR_EXIT;
                },
                why);
            if (!muxer)
                return false;
        } else if (!SameTrack(tracks[0], found[0]) || !SameTrack(tracks[1], found[1])) {
            why = "the camera's streams changed at " + recording.day + "/" + recording.entry.name;
            return false;
        }
        bool isVideo = false, key = false, reachedEnd = false;
        while (input->Read(holder.packet, isVideo, key, why)) {
            AVPacket& packet = *holder.packet;
            const int kind = isVideo ? 0 : 1;
            if (packet.dts < *startNs)
                continue; // before the key frame the export starts at
            if (key && packet.dts >= job.toNs && packet.dts > *startNs) {
                reachedEnd = true;
                break; // the group of pictures that holds toNs is written whole
            }
            const int track = trackOf[kind];
            const AVRational base = muxer->TimeBase(track);
            // Times from the export's start; a gap between files stays a gap.
            int64_t dts = av_rescale_q(packet.dts - *startNs, NS, base);
            int64_t pts = av_rescale_q(packet.pts - *startNs, NS, base);
            if (dts <= lastDts[kind])
                dts = lastDts[kind] + 1;
            lastDts[kind] = dts;
            packet.dts = dts;
            packet.pts = std::max(pts, dts);
            packet.duration = av_rescale_q(packet.duration, NS, base);
            packet.pos = -1;
            const int result = muxer->Write(track, packet, base);
            if (result < 0) {
                why = pipe.Cancelled() ? "the client went away" : AvErrorText(result);
                return false;
            }
        }
        if (reachedEnd)
            break;
        if (!why.empty())
            return false;
    }
    const int result = muxer->Finish();
    if (result < 0) {
        why = pipe.Cancelled() ? "the client went away" : AvErrorText(result);
        return false;
    }
    return true;
}

} // namespace

void RunExport(const ExportJob& job, ExportPipe& pipe)
{
    ffmpeg_common::FfmpegLines lines("export of " + job.camera, "", "",
                                     [](int32_t level, const std::string& line) { Log(level, "%s", line.c_str()); });
    const ffmpeg_common::FfmpegLinesScope scope(&lines);
    std::string why;
    bool whole = false;
    const int recordingsFd = open(job.recordings.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (recordingsFd < 0)
        why = "the recordings folder cannot be opened";
    else if (job.files.empty())
        why = "nothing recorded";
    else
        whole = Remux(recordingsFd, job, pipe, why);
    if (recordingsFd >= 0)
        close(recordingsFd);
    if (!whole && !pipe.Cancelled())
        Log(LOG_WARNING, "export of %s failed: %s", job.camera.c_str(), why.c_str());
    pipe.End(whole, why);
}

} // namespace webview
