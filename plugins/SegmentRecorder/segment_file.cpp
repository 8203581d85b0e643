#include "segment_file.h"

#include "recorder_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace segrec {

std::unique_ptr<SegmentFile> SegmentFile::Create(UniqueFd fd, const AVCodecParameters& video,
                                                 const AVCodecParameters* audio, int fragmentMs, std::string& why)
{
    std::unique_ptr<SegmentFile> file(new SegmentFile());
    file->fd_ = fd.Release();
    if (file->fd_ < 0) {
        why = "no file";
        return nullptr;
    }
    std::vector<const AVCodecParameters*> tracks = {&video};
    if (audio != nullptr)
        tracks.push_back(audio);
    file->builder_ = FragmentBuilder::Create(tracks, fragmentMs, why);
    if (!file->builder_)
        return nullptr;
    return file;
}

SegmentFile::~SegmentFile()
{
    if (fd_ >= 0)
        close(fd_);
}

int SegmentFile::WriteSpans()
{
    if (lastErrno_ != 0)
        return AVERROR(lastErrno_);
    constexpr size_t MAX_SPANS = 64;
    iovec parts[MAX_SPANS];
    size_t next = 0; // the first span not yet written whole
    size_t skip = 0; // bytes of it already written
    while (next < spans_.size()) {
        size_t count = 0;
        for (size_t index = next; index < spans_.size() && count < MAX_SPANS; ++index, ++count) {
            const size_t from = index == next ? skip : 0;
            parts[count].iov_base = const_cast<uint8_t*>(spans_[index].data + from);
            parts[count].iov_len = spans_[index].size - from;
        }
        const ssize_t written = writev(fd_, parts, static_cast<int>(count));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            lastErrno_ = written < 0 ? errno : ENOSPC;
            return AVERROR(lastErrno_);
        }
        bytes_ += static_cast<uint64_t>(written);
        size_t left = static_cast<size_t>(written);
        while (next < spans_.size() && left >= spans_[next].size - skip) {
            left -= spans_[next].size - skip;
            skip = 0;
            ++next;
        }
        skip += left;
    }
    return 0;
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
    av_packet_rescale_ts(&packet, from, builder_->TimeBase(track));
    if (builder_->Ends(track, packet)) {
        int result = WritePending();
        if (result >= 0)
            result = builder_->EndFragment(spans_);
        if (result < 0)
            return result;
        pending_ = !spans_.empty();
    }
    return builder_->Add(track, packet);
}

int SegmentFile::WritePending()
{
    if (!pending_)
        return 0;
    pending_ = false;
    const int result = WriteSpans();
    if (result < 0) {
        CutBack();
        return result;
    }
    wholeBytes_ = bytes_;
    return 0;
}

int SegmentFile::Finish()
{
    const int trailer = WriteTrailer();
    const int synced = SyncAndClose();
    return trailer < 0 ? trailer : synced;
}

int SegmentFile::WriteTrailer()
{
    if (trailerWritten_)
        return 0;
    trailerWritten_ = true;
    int result = lastErrno_ != 0 ? AVERROR(lastErrno_) : WritePending();
    if (result >= 0)
        result = builder_->EndFragment(spans_);
    if (result >= 0)
        result = WriteSpans();
    if (result >= 0)
        result = builder_->Trailer(spans_);
    if (result >= 0)
        result = WriteSpans();
    if (lastErrno_ != 0)
        CutBack();
    else if (result >= 0)
        wholeBytes_ = bytes_;
    return result;
}

int SegmentFile::SyncAndClose()
{
    if (fd_ < 0)
        return 0;
    int result = 0;
    if (fdatasync(fd_) != 0) {
        syncFailed_ = true;
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
