// FFmpeg's mp4 muxer writing fragmented MP4 through an AVIOContext of ours into a byte sink: the
// recorder's segment files, the web view's exports and its live view are made by it alike. Compiled into each
// plugin that uses it. One object is used by one thread at a time.
#ifndef FFMPEG_COMMON_FMP4_MUXER_H
#define FFMPEG_COMMON_FMP4_MUXER_H

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ffmpeg_common {

// FFmpeg's text for an AVERROR code.
std::string AvErrorText(int code);

class Fmp4Muxer {
public:
    // Takes bytes the muxer hands over: returns size once all are taken, or an AVERROR code.
    using Sink = std::function<int(const uint8_t* bytes, int size)>;

    // Starts the header of a file with one track per entry of tracks (video in 1/90000, audio in
    // 1/sample rate), fragments of at most fragmentMs; the header reaches sink with the first
    // fragment. fragmentMs 0: the header (an init segment of ftyp and moov) reaches sink at once,
    // and a fragment ends only at EndFragment, as a live view sends them. Null with the reason in
    // why.
    static std::unique_ptr<Fmp4Muxer> Create(const std::vector<const AVCodecParameters*>& tracks, int fragmentMs,
                                             Sink sink, std::string& why);
    ~Fmp4Muxer();
    Fmp4Muxer(const Fmp4Muxer&) = delete;
    Fmp4Muxer& operator=(const Fmp4Muxer&) = delete;

    // Writes one packet of track, its timestamps counted in from; every fragment it ends is handed
    // to the sink before it returns. 0 or an AVERROR code (the sink's failure too).
    int Write(int track, AVPacket& packet, AVRational from);
    // Writes the trailer (the last fragment) and hands the rest to the sink.
    int Finish();
    // With fragmentMs 0: ends the fragment being made and hands it to the sink (nothing when it
    // holds no packet). 0 or an AVERROR code.
    int EndFragment();

    size_t Tracks() const { return context_->nb_streams; }
    // The time base the muxer keeps track's timestamps in, set once the header is written.
    AVRational TimeBase(int track) const { return context_->streams[track]->time_base; }

private:
    Fmp4Muxer() = default;
    static int WriteBytes(void* opaque, uint8_t* buffer, int size);

    Sink sink_;
    AVFormatContext* context_ = nullptr;
    AVIOContext* io_ = nullptr;
};

} // namespace ffmpeg_common

#endif
