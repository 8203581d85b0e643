// One camera's live remuxer: FFmpeg's mp4 muxer writing fragmented MP4 into memory through an
// AVIOContext of ours, one fragment each time the caller ends one. Used by the live thread only.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace webview {

class LiveMuxer {
public:
    static constexpr int VIDEO_TRACK = 0;
    static constexpr int AUDIO_TRACK = 1;

    // A muxer of video and (when not null) audio; its init segment (ftyp and moov) in init. Null
    // with the reason in why.
    static std::unique_ptr<LiveMuxer> Create(const AVCodecParameters& video, const AVCodecParameters* audio,
                                             std::vector<uint8_t>& init, std::string& why);
    ~LiveMuxer();
    LiveMuxer(const LiveMuxer&) = delete;
    LiveMuxer& operator=(const LiveMuxer&) = delete;

    // Adds one packet of track to the fragment being made, its timestamps counted in from.
    int Write(int track, AVPacket& packet, AVRational from);
    // Ends the fragment: its moof and mdat in fragment (empty when it holds no packet).
    int EndFragment(std::vector<uint8_t>& fragment);

    bool HasAudio() const { return context_->nb_streams > AUDIO_TRACK; }

private:
    LiveMuxer() = default;
    static int WriteBytes(void* opaque, uint8_t* buffer, int size);

    AVFormatContext* context_ = nullptr;
    AVIOContext* io_ = nullptr;
    std::vector<uint8_t> written_; // what the muxer wrote since it was last taken
};

// An FFmpeg error code as text.
std::string AvError(int code);

} // namespace webview
