// One fragmented MP4 file being written: its fragments built from the packets (fragment_builder)
// and written to a file descriptor we own in one call each, so every finished fragment reaches the
// file at once and the writer thread decides when it reaches the disk. Used by one camera's writer
// thread only.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "folder_access.h"
#include "fragment_builder.h"

#include <cstdint>
#include <memory>
#include <string>

namespace segrec {

constexpr int VIDEO_TRACK = 0;
constexpr int AUDIO_TRACK = 1;

class SegmentFile {
public:
    // Starts the file header in file, a new empty file open for writing, which it takes over; the
    // header reaches the file with the first fragment.
    // audio may be null. Returns null with the reason in why.
    static std::unique_ptr<SegmentFile> Create(UniqueFd file, const AVCodecParameters& video,
                                               const AVCodecParameters* audio, int fragmentMs, std::string& why);
    ~SegmentFile(); // closes the descriptor; Finish first for a whole file
    SegmentFile(const SegmentFile&) = delete;
    SegmentFile& operator=(const SegmentFile&) = delete;

    // Takes one packet of track, its timestamps counted in from from the file's start; its data is
    // copied before Write returns. A packet that ends a fragment leaves it pending, for
    // WritePending: a fragment still pending then is written first.
    int Write(int track, AVPacket& packet, AVRational from);
    bool HasPending() const { return pending_; }
    // Writes the pending fragment, if any. On a failed write the file is cut back to its last whole
    // fragment; LastErrno tells why it failed.
    int WritePending();
    // Writes the pending fragment and the trailer (unless a write failed), forces the file to the
    // disk and closes it.
    int Finish();
    // Finish in two steps, which may run on different threads one after the other: the trailer
    // (cutting the file back to its last whole fragment when a write failed), then the sync and the
    // close. Each answers 0 or an AVERROR code.
    int WriteTrailer();
    int SyncAndClose();
    // Forces what was written since the last call to the disk; a failure is logged and tried again
    // at the next call.
    void Sync();
    // Whether every fdatasync so far succeeded. Once one failed the file is never known to be whole
    // on the disk: the kernel may have dropped the pages it could not write, and a later success
    // does not bring them back.
    bool Durable() const { return !syncFailed_; }

    bool HasAudio() const { return builder_->Tracks() > AUDIO_TRACK; }
    // The time base the file keeps track's timestamps in.
    AVRational TimeBase(int track) const { return builder_->TimeBase(track); }
    uint64_t Bytes() const { return bytes_; }
    int LastErrno() const { return lastErrno_; }

private:
    SegmentFile() = default;
    // Writes spans_ whole: 0, or an AVERROR code with lastErrno_ set.
    int WriteSpans();
    void CutBack();

    int fd_ = -1;
    std::unique_ptr<FragmentBuilder> builder_;
    std::vector<ByteSpan> spans_; // what the builder handed out last
    bool pending_ = false;        // spans_ hold a fragment not written yet
    uint64_t bytes_ = 0;          // written to the descriptor
    uint64_t wholeBytes_ = 0;     // bytes_ after the last packet the muxer took without a failure
    uint64_t syncedBytes_ = 0;    // bytes_ at the last fdatasync
    int lastErrno_ = 0;           // of the first failed write, 0 while none failed
    bool syncFailed_ = false;     // an fdatasync failed
    bool trailerWritten_ = false;
};

} // namespace segrec
