// How much media a fragmented MP4 file holds, read from its boxes' bytes: the video track's
// timescale from the moov, and the sample durations each moof's track runs give that track. Pure:
// no files, no FFmpeg. The bytes come from disk after a crash and are read as hostile input: every
// size and count is checked against what is left.
#pragma once

#include <cstdint>
#include <string_view>

namespace recindex {

// The timing of a file's video track, from its moov box.
struct TrackTiming {
    uint32_t trackId = 0;         // 0 when the moov names no video track
    uint32_t timescale = 0;       // ticks a second, from the track's mdhd; 0 when unknown
    uint32_t defaultDuration = 0; // a sample's duration when no fragment says, from the track's trex

    bool Known() const { return trackId != 0 && timescale != 0; }
};

// The first video track (handler "vide") of a moov box's body, the box's own header excluded.
TrackTiming ReadTrackTiming(std::string_view moov);

// The summed sample durations, in track's timescale, that a moof box's body (header excluded) gives
// track: each track run's per-sample durations, else the track fragment's default duration, else
// track's default. 0 when the moof holds none of track's samples or does not parse.
uint64_t FragmentTicks(std::string_view moof, const TrackTiming& track);

// ticks of timescale as ns, saturating at INT64_MAX; 0 when timescale is 0.
int64_t TicksToNs(uint64_t ticks, uint32_t timescale);

} // namespace recindex
