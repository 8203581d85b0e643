// Where a fragmented MP4 file's playable part ends. The recorder writes the top-level boxes ftyp,
// moov (no samples), then one moof + mdat pair per fragment, each written whole; a crash can cut
// the file anywhere. Plain C++ and POSIX: the box walk reads only the boxes' headers.
#pragma once

#include <cstdint>
#include <string>

namespace recindex {

// A moov or moof box larger than this is walked past unread: its durations are not counted.
inline constexpr uint64_t MAX_TIMING_BOX = uint64_t{4} << 20;

// What the walk of a file's top-level boxes found.
struct FragmentScan {
    bool readable = false;   // the file could be opened and its size read
    uint64_t fileBytes = 0;  // its size
    bool header = false;     // a whole ftyp and then a whole moov before any fragment
    unsigned fragments = 0;  // whole moof boxes each followed at once by a whole mdat
    uint64_t wholeBytes = 0; // where the last whole fragment ends; 0 when there is none
    int64_t durationNs = 0;  // the video track's summed sample durations in the whole fragments;
                             // 0 when the moov names no video track

    // Whether the file holds at least one playable frame: its header and one whole fragment.
    bool Playable() const { return header && fragments > 0; }
};

// Walks the top-level boxes of the file at path by their sizes (32-bit size, 64-bit largesize when
// size is 1). A size that reaches past the end of the file, is smaller than its own header, or is
// 0 ("to the end of the file", which a cut file cannot promise) ends the walk: what follows is
// not whole. Only the moov and moof boxes are read whole (up to MAX_TIMING_BOX bytes each), for the
// durations, so a hostile file costs one or two reads per box.
// A file whose first box is not ftyp, or that has no moov before its first moof, is not playable.
FragmentScan ScanFragments(const std::string& path);
// The same walk of the file open on fd (which stays open); not readable unless it is a regular file.
FragmentScan ScanFragments(int fd);

} // namespace recindex
