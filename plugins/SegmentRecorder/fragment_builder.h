// The fragments of a fragmented MP4 file, built from packets: each track's samples are copied once
// into a buffer kept from fragment to fragment, and a moof box describes them. The file's header
// (ftyp and moov, with the edit lists that place each track's first frame) is the one the shared
// FFmpeg muxer writes, fed each track's first packet; after the last fragment an mfra box lists
// them all. Holds no file: the caller writes the spans it is handed, in order, whole. Used by one
// thread at a time.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "fmp4_muxer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace segrec {

struct ByteSpan {
    const uint8_t* data;
    size_t size;
};

class FragmentBuilder {
public:
    // One track per entry of tracks (video first, in 1/90000; audio in 1/sample rate), fragments of
    // at most fragmentMs. Null with the reason in why.
    static std::unique_ptr<FragmentBuilder> Create(const std::vector<const AVCodecParameters*>& tracks, int fragmentMs,
                                                   std::string& why);

    // Whether packet, of track and in its time base, must start a new fragment: a video key frame,
    // or a packet fragmentMs or more after its track's first one in the fragment being made.
    bool Ends(int track, const AVPacket& packet) const;
    // Copies packet, of track and in its time base, into the fragment being made (Annex B video
    // turned into length-prefixed NAL units, as the header's sample entry says). 0, or an AVERROR
    // code for timestamps that do not rise. Leaves the spans last handed out as they are.
    int Add(int track, const AVPacket& packet);
    // Ends the fragment being made: out receives the spans to write, in order (the header before
    // the first fragment), valid until the next EndFragment or Trailer. Nothing when it holds no
    // sample. 0 or an AVERROR code when the header could not be made.
    int EndFragment(std::vector<ByteSpan>& out);
    // Ends the file after EndFragment: the header when no fragment was made, then the mfra box.
    int Trailer(std::vector<ByteSpan>& out);

    size_t Tracks() const { return tracks_.size(); }
    AVRational TimeBase(int track) const { return tracks_[static_cast<size_t>(track)].timeBase; }

private:
    struct Sample {
        int64_t dts;
        int64_t duration;
        int32_t ptsOffset; // pts - dts
        uint32_t size;
        bool key;
    };
    struct FirstPacket { // what the header muxer is fed to place the track
        std::vector<uint8_t> data;
        int64_t pts = 0, dts = 0, duration = 0;
        int flags = 0;
        int order = -1; // among the tracks' first packets, -1 while none came
    };
    struct Track {
        AVRational timeBase{1, 1};
        bool video = false;
        bool annexB = false;   // packets carry start codes the file must not
        int64_t fragmentTicks; // fragmentMs in the track's time base
        int64_t startDts = AV_NOPTS_VALUE;
        int64_t lastDts = AV_NOPTS_VALUE;
        int64_t lastDuration = 0;    // of the last packet added, as the packet gave it
        std::vector<Sample> samples; // of the fragment being made
        std::vector<uint8_t> data;   // their bytes, as the mdat holds them
        std::vector<uint8_t> handed; // the last fragment's, until written; its buffer is used again
        FirstPacket first;
        std::vector<std::pair<int64_t, uint64_t>> starts; // each fragment's first time and moof offset
    };

    FragmentBuilder() = default;
    int MakeHeader();
    // Adds the header to out before the first fragment (or the trailer of a file without one).
    int HandOutHeader(std::vector<ByteSpan>& out);
    void AppendAnnexB(Track& track, const uint8_t* bytes, size_t size);
    void BuildMoof(uint32_t mdatBytes);
    void ForgetHandedOut();

    std::vector<Track> tracks_;
    std::unique_ptr<ffmpeg_common::Fmp4Muxer> headerMuxer_; // writes the header, then goes
    std::vector<uint8_t> header_;                           // ftyp and moov, until written
    bool headerWritten_ = false;
    bool handedOut_ = false; // spans point at the tracks' handed buffers, box_ and header_
    int firstPackets_ = 0;
    uint32_t sequence_ = 0;    // of the last fragment made
    uint64_t offset_ = 0;      // bytes handed out so far
    std::vector<uint8_t> box_; // the moof and mdat header, or the mfra, being handed out
};

} // namespace segrec
