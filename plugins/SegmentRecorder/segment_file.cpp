#include "segment_file.h"

#include "recorder_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
    SegmentFile* self = file.get();
    file->muxer_ = ffmpeg_common::Fmp4Muxer::Create(
        tracks, fragmentMs, [self](const uint8_t* bytes, int size) { return self->WriteBytes(bytes, size); }, why);
    if (!file->muxer_)
        return nullptr;
    file->wholeBytes_ = file->bytes_;
    return file;
}

SegmentFile::~SegmentFile()
{
    muxer_.reset();
    if (fd_ >= 0)
        close(fd_);
}

int SegmentFile::WriteBytes(const uint8_t* buffer, int size)
{
    if (lastErrno_ != 0)
        return AVERROR(lastErrno_);
    int left = size;
    while (left > 0) {
        ssize_t written = write(fd_, buffer, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            lastErrno_ = written < 0 ? errno : ENOSPC;
            return AVERROR(lastErrno_);
        }
        buffer += written;
        left -= static_cast<int>(written);
        bytes_ += static_cast<uint64_t>(written);
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
    const int result = muxer_->Write(track, packet, from);
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
    const int trailer = WriteTrailer();
    const int synced = SyncAndClose();
    return trailer < 0 ? trailer : synced;
}

int SegmentFile::WriteTrailer()
{
    if (trailerWritten_)
        return 0;
    trailerWritten_ = true;
    const int result = lastErrno_ != 0 ? AVERROR(lastErrno_) : muxer_->Finish();
    if (lastErrno_ != 0)
        CutBack();
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
