// One camera's live remuxer: the shared fragmented-MP4 muxer writing into memory, one fragment
// each time the caller ends one. Used by the live thread only.
#pragma once

#include "fmp4_muxer.h"

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
    LiveMuxer(const LiveMuxer&) = delete;
    LiveMuxer& operator=(const LiveMuxer&) = delete;

    // Adds one packet of track to the fragment being made, its timestamps counted in from.
    int Write(int track, AVPacket& packet, AVRational from);
    // Ends the fragment: its moof and mdat in fragment (empty when it holds no packet).
    int EndFragment(std::vector<uint8_t>& fragment);

    bool HasAudio() const { return muxer_->Tracks() > AUDIO_TRACK; }

private:
    LiveMuxer() = default;

    std::unique_ptr<ffmpeg_common::Fmp4Muxer> muxer_;
    std::vector<uint8_t> written_; // what the muxer wrote since it was last taken
};

} // namespace webview
