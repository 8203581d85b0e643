// The media duration of a fragmented MP4 file's boxes; see fragment_timing.h.
#include "fragment_timing.h"

#include <cstdint>
#include <limits>

namespace recindex {
namespace {

uint64_t BigEndian(std::string_view bytes, size_t at, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Calls visit(type, body) for each whole box in bytes, in order; stops at the first box whose size
// does not fit (0, smaller than its header, past the end).
template <typename Visit>
void ForEachBox(std::string_view bytes, Visit visit)
{
    size_t offset = 0;
    while (bytes.size() - offset >= 8) {
        uint64_t size = BigEndian(bytes, offset, 4);
        size_t header = 8;
        if (size == 1) {
            if (bytes.size() - offset < 16)
                return;
            size = BigEndian(bytes, offset + 8, 8);
            header = 16;
        }
        if (size < header || size > bytes.size() - offset)
            return;
        visit(bytes.substr(offset + 4, 4), bytes.substr(offset + header, size - header));
        offset += size;
    }
}

// A full box's body: version and flags, then its fields. Reads fail (false) past the end.
class FullBox {
public:
    explicit FullBox(std::string_view body)
        : body_(body)
    {
        ok_ = body.size() >= 4;
        if (ok_) {
            version = static_cast<unsigned>(BigEndian(body, 0, 1));
            flags = static_cast<uint32_t>(BigEndian(body, 1, 3));
            at_ = 4;
        }
    }
    // The next field of count bytes (4 or 8); 0 once the body is exhausted, and Ok() turns false.
    uint64_t Next(int count)
    {
        if (!ok_ || body_.size() - at_ < static_cast<size_t>(count)) {
            ok_ = false;
            return 0;
        }
        at_ += count;
        return BigEndian(body_, at_ - count, count);
    }
    void Skip(int count) { Next(count); }
    bool Ok() const { return ok_; }
    size_t Left() const { return ok_ ? body_.size() - at_ : 0; }

    unsigned version = 0;
    uint32_t flags = 0;

private:
    std::string_view body_;
    size_t at_ = 0;
    bool ok_ = false;
};

// a + b, at most UINT64_MAX: hostile counts and durations must not wrap into a small sum.
uint64_t Add(uint64_t a, uint64_t b)
{
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

// track fragment header flags, track run flags
constexpr uint32_t TFHD_BASE_DATA_OFFSET = 0x01, TFHD_DESCRIPTION_INDEX = 0x02, TFHD_DEFAULT_DURATION = 0x08;
constexpr uint32_t TRUN_DATA_OFFSET = 0x01, TRUN_FIRST_FLAGS = 0x04, TRUN_DURATION = 0x100, TRUN_SIZE = 0x200,
                   TRUN_FLAGS = 0x400, TRUN_COMPOSITION = 0x800;

// The ticks of one traf body for track; 0 when it is another track's.
uint64_t TrackFragmentTicks(std::string_view traf, const TrackTiming& track)
{
    bool ours = false;
    uint64_t defaultDuration = track.defaultDuration, ticks = 0;
    ForEachBox(traf, [&](std::string_view type, std::string_view body) {
        FullBox box(body);
        if (type == "tfhd") {
            ours = box.Next(4) == track.trackId;
            if (box.flags & TFHD_BASE_DATA_OFFSET)
                box.Skip(8);
            if (box.flags & TFHD_DESCRIPTION_INDEX)
                box.Skip(4);
            if ((box.flags & TFHD_DEFAULT_DURATION) && box.Ok())
                defaultDuration = box.Next(4);
            ours = ours && box.Ok();
        } else if (type == "trun" && ours) {
            const uint64_t count = box.Next(4);
            if (box.flags & TRUN_DATA_OFFSET)
                box.Skip(4);
            if (box.flags & TRUN_FIRST_FLAGS)
                box.Skip(4);
            if (!box.Ok())
                return;
            if (!(box.flags & TRUN_DURATION)) {
                ticks = Add(ticks, count * defaultDuration); // each below 2^32
                return;
            }
            const unsigned fields =
                1 + !!(box.flags & TRUN_SIZE) + !!(box.flags & TRUN_FLAGS) + !!(box.flags & TRUN_COMPOSITION);
            // A count the body cannot hold is a cut or hostile box: none of it is counted.
            if (count > box.Left() / (4 * fields))
                return;
            for (uint64_t i = 0; i < count; ++i) {
                ticks = Add(ticks, box.Next(4));
                box.Skip(4 * (fields - 1));
            }
        }
    });
    return ticks;
}

} // namespace

TrackTiming ReadTrackTiming(std::string_view moov)
{
    TrackTiming video;
    std::string_view mvex;
    ForEachBox(moov, [&](std::string_view type, std::string_view body) {
        if (type == "mvex")
            mvex = body;
        if (type != "trak" || video.trackId != 0)
            return;
        TrackTiming track;
        bool isVideo = false;
        ForEachBox(body, [&](std::string_view type, std::string_view body) {
            if (type == "tkhd") {
                FullBox tkhd(body);
                tkhd.Skip(tkhd.version == 1 ? 16 : 8); // creation and modification times
                track.trackId = static_cast<uint32_t>(tkhd.Next(4));
            } else if (type == "mdia") {
                ForEachBox(body, [&](std::string_view type, std::string_view body) {
                    FullBox box(body);
                    if (type == "mdhd") {
                        box.Skip(box.version == 1 ? 16 : 8);
                        track.timescale = static_cast<uint32_t>(box.Next(4));
                    } else if (type == "hdlr") {
                        box.Skip(4); // pre_defined
                        isVideo = box.Ok() && box.Left() >= 4 && body.substr(8, 4) == "vide";
                    }
                });
            }
        });
        if (isVideo)
            video = track;
    });
    ForEachBox(mvex, [&](std::string_view type, std::string_view body) {
        FullBox trex(body);
        if (type == "trex" && video.trackId != 0 && trex.Next(4) == video.trackId) {
            trex.Skip(4); // sample description index
            video.defaultDuration = static_cast<uint32_t>(trex.Next(4));
        }
    });
    return video;
}

uint64_t FragmentTicks(std::string_view moof, const TrackTiming& track)
{
    uint64_t ticks = 0;
    if (!track.Known())
        return 0;
    ForEachBox(moof, [&](std::string_view type, std::string_view body) {
        if (type == "traf")
            ticks = Add(ticks, TrackFragmentTicks(body, track));
    });
    return ticks;
}

int64_t TicksToNs(uint64_t ticks, uint32_t timescale)
{
    if (timescale == 0)
        return 0;
    // Whole seconds and the rest apart, so no product overflows 64 bits (32-bit targets have no
    // 128-bit integers): the rest is below the time scale, and a time scale times 10^9 fits.
    constexpr uint64_t NS_PER_SECOND = 1'000'000'000u;
    constexpr auto MAX_NS = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const uint64_t seconds = ticks / timescale;
    const uint64_t restNs = ticks % timescale * NS_PER_SECOND / timescale;
    if (seconds > (MAX_NS - restNs) / NS_PER_SECOND)
        return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(seconds * NS_PER_SECOND + restNs);
}

} // namespace recindex
