#include "fragment_builder.h"

#include <algorithm>
#include <cstring>

namespace segrec {

namespace {

constexpr size_t KEEP_BUFFER_BYTES = 4 << 20;
constexpr uint32_t SAMPLE_SYNC = 0x02000000;     // depends on no other sample
constexpr uint32_t SAMPLE_NOT_SYNC = 0x01010000; // depends on others, not a sync sample
constexpr uint32_t TFHD_DEFAULT_FLAGS = 0x000020;
constexpr uint32_t TFHD_BASE_IS_MOOF = 0x020000;
constexpr uint32_t TRUN_DATA_OFFSET = 0x000001;
constexpr uint32_t TRUN_DURATION = 0x000100;
constexpr uint32_t TRUN_SIZE = 0x000200;
constexpr uint32_t TRUN_FLAGS = 0x000400;
constexpr uint32_t TRUN_PTS_OFFSET = 0x000800;

void Put32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutType(std::vector<uint8_t>& out, const char* type)
{
    for (int at = 0; at < 4; ++at)
        out.push_back(static_cast<uint8_t>(type[at]));
}

void Put64(std::vector<uint8_t>& out, uint64_t value)
{
    Put32(out, static_cast<uint32_t>(value >> 32));
    Put32(out, static_cast<uint32_t>(value));
}

void Patch32(std::vector<uint8_t>& out, size_t at, uint32_t value)
{
    out[at] = static_cast<uint8_t>(value >> 24);
    out[at + 1] = static_cast<uint8_t>(value >> 16);
    out[at + 2] = static_cast<uint8_t>(value >> 8);
    out[at + 3] = static_cast<uint8_t>(value);
}

// Opens a box (a full box when version is not negative); CloseBox writes its size.
size_t OpenBox(std::vector<uint8_t>& out, const char* type, int version = -1, uint32_t flags = 0)
{
    const size_t at = out.size();
    Put32(out, 0);
    PutType(out, type);
    if (version >= 0)
        Put32(out, static_cast<uint32_t>(version) << 24 | flags);
    return at;
}

void CloseBox(std::vector<uint8_t>& out, size_t at)
{
    Patch32(out, at, static_cast<uint32_t>(out.size() - at));
}

bool StartsWithStartCode(const uint8_t* bytes, int size)
{
    return (size >= 3 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1) ||
           (size >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1);
}

// Where the next 00 00 01 at or after from starts, or size.
size_t NextStartCode(const uint8_t* bytes, size_t from, size_t size)
{
    for (size_t at = from + 2; at < size;) {
        const void* one = std::memchr(bytes + at, 1, size - at);
        if (one == nullptr)
            return size;
        at = static_cast<size_t>(static_cast<const uint8_t*>(one) - bytes);
        if (bytes[at - 1] == 0 && bytes[at - 2] == 0)
            return at - 2;
        ++at;
    }
    return size;
}

// The end of the moov box among header's top-level boxes, or 0.
size_t MoovEnd(const std::vector<uint8_t>& header)
{
    size_t at = 0;
    while (header.size() - at >= 8) {
        const uint32_t size = static_cast<uint32_t>(header[at]) << 24 | static_cast<uint32_t>(header[at + 1]) << 16 |
                              static_cast<uint32_t>(header[at + 2]) << 8 | header[at + 3];
        if (size < 8 || size > header.size() - at)
            return 0;
        if (std::memcmp(&header[at + 4], "moov", 4) == 0)
            return at + size;
        at += size;
    }
    return 0;
}

} // namespace

std::unique_ptr<FragmentBuilder> FragmentBuilder::Create(const std::vector<const AVCodecParameters*>& tracks,
                                                         int fragmentMs, std::string& why)
{
    std::unique_ptr<FragmentBuilder> builder(new FragmentBuilder());
    FragmentBuilder* self = builder.get();
    builder->headerMuxer_ = ffmpeg_common::Fmp4Muxer::Create(
        tracks, std::max(fragmentMs, 1),
        [self](const uint8_t* bytes, int size) {
            self->header_.insert(self->header_.end(), bytes, bytes + size);
            return size;
        },
        why);
    if (!builder->headerMuxer_)
        return nullptr;
    builder->tracks_.resize(tracks.size());
    for (size_t index = 0; index < tracks.size(); ++index) {
        Track& track = builder->tracks_[index];
        const AVCodecParameters& parameters = *tracks[index];
        const AVRational timeBase = builder->headerMuxer_->TimeBase(static_cast<int>(index));
        track.timeBase = timeBase;
        track.video = parameters.codec_type == AVMEDIA_TYPE_VIDEO;
        // The muxer writes Annex B parameter sets into the sample entry as length-prefixed ones,
        // and so must the samples be.
        track.annexB = track.video && StartsWithStartCode(parameters.extradata, parameters.extradata_size);
        track.fragmentTicks =
            std::max<int64_t>(1, av_rescale_q(std::max(fragmentMs, 1), AVRational{1, 1000}, timeBase));
    }
    return builder;
}

bool FragmentBuilder::Ends(int track, const AVPacket& packet) const
{
    const Track& t = tracks_[static_cast<size_t>(track)];
    if (t.samples.empty())
        return false;
    return (t.video && (packet.flags & AV_PKT_FLAG_KEY) != 0) || packet.dts - t.samples.front().dts >= t.fragmentTicks;
}

void FragmentBuilder::ForgetHandedOut()
{
    if (!handedOut_)
        return;
    handedOut_ = false;
    std::vector<uint8_t>().swap(header_);
    for (Track& track : tracks_) {
        // A buffer that grew for one large fragment is given back after a smaller one.
        if (track.handed.capacity() > KEEP_BUFFER_BYTES && track.handed.capacity() > 4 * track.handed.size())
            std::vector<uint8_t>().swap(track.handed);
        track.handed.clear();
    }
}

int FragmentBuilder::Add(int track, const AVPacket& packet)
{
    Track& t = tracks_[static_cast<size_t>(track)];
    if (packet.dts == AV_NOPTS_VALUE || (t.lastDts != AV_NOPTS_VALUE && packet.dts <= t.lastDts))
        return AVERROR(EINVAL);
    const int64_t pts = packet.pts == AV_NOPTS_VALUE ? packet.dts : packet.pts;
    if (pts - packet.dts < INT32_MIN || pts - packet.dts > INT32_MAX)
        return AVERROR(EINVAL);
    if (t.first.order < 0) {
        t.first.data.assign(packet.data, packet.data + packet.size);
        t.first.pts = pts;
        t.first.dts = packet.dts;
        t.first.duration = packet.duration;
        t.first.flags = packet.flags;
        t.first.order = firstPackets_++;
        t.startDts = packet.dts;
        // A track that begins after the header was written has no edit list to place it: its
        // fragments' decode times count from the first track's start instead, so it plays when it
        // began rather than at the file's start.
        const Track& lead = tracks_.front();
        if (headerWritten_ && &t != &lead && lead.startDts != AV_NOPTS_VALUE)
            t.startDts = av_rescale_q(lead.startDts, lead.timeBase, t.timeBase);
    }
    if (!t.samples.empty())
        t.samples.back().duration = packet.dts - t.samples.back().dts;
    const size_t before = t.data.size();
    if (t.annexB)
        AppendAnnexB(t, packet.data, static_cast<size_t>(packet.size));
    else
        t.data.insert(t.data.end(), packet.data, packet.data + packet.size);
    t.samples.push_back(Sample{packet.dts, packet.duration, static_cast<int32_t>(pts - packet.dts),
                               static_cast<uint32_t>(t.data.size() - before), (packet.flags & AV_PKT_FLAG_KEY) != 0});
    t.lastDts = packet.dts;
    if (packet.duration > 0)
        t.lastDuration = packet.duration;
    return 0;
}

void FragmentBuilder::AppendAnnexB(Track& track, const uint8_t* bytes, size_t size)
{
    size_t code = NextStartCode(bytes, 0, size);
    while (code < size) {
        const size_t start = code + 3;
        const size_t next = NextStartCode(bytes, start, size);
        size_t end = next;
        if (next < size && end > start && bytes[end - 1] == 0) // the first zero of a four-byte start code
            --end;
        if (end > start) {
            Put32(track.data, static_cast<uint32_t>(end - start));
            track.data.insert(track.data.end(), bytes + start, bytes + end);
        }
        code = next;
    }
}

int FragmentBuilder::MakeHeader()
{
    // Each track's first packet, in the order they came, places the tracks in the header's edit
    // lists as the muxer would have placed them; the header muxer's own fragment is dropped.
    std::vector<int> order(tracks_.size(), -1);
    for (size_t index = 0; index < tracks_.size(); ++index) {
        if (tracks_[index].first.order >= 0)
            order[static_cast<size_t>(tracks_[index].first.order)] = static_cast<int>(index);
    }
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr)
        return AVERROR(ENOMEM);
    int result = 0;
    for (int index : order) {
        if (index < 0)
            break;
        FirstPacket& first = tracks_[static_cast<size_t>(index)].first;
        av_packet_unref(packet);
        packet->data = first.data.data();
        packet->size = static_cast<int>(first.data.size());
        packet->pts = first.pts;
        packet->dts = first.dts;
        packet->duration = first.duration;
        packet->flags = first.flags;
        result = headerMuxer_->Write(index, *packet, headerMuxer_->TimeBase(index));
        std::vector<uint8_t>().swap(first.data);
        if (result < 0)
            break;
    }
    av_packet_free(&packet);
    if (result >= 0)
        result = headerMuxer_->Finish();
    if (result < 0)
        return result;
    const size_t end = MoovEnd(header_);
    if (end == 0)
        return AVERROR_BUG;
    header_.resize(end);
    headerMuxer_.reset();
    return 0;
}

int FragmentBuilder::HandOutHeader(std::vector<ByteSpan>& out)
{
    if (headerWritten_)
        return 0;
    const int result = MakeHeader();
    if (result < 0)
        return result;
    out.push_back(ByteSpan{header_.data(), header_.size()});
    offset_ += header_.size();
    headerWritten_ = true;
    return 0;
}

int FragmentBuilder::EndFragment(std::vector<ByteSpan>& out)
{
    ForgetHandedOut();
    out.clear();
    uint32_t dataBytes = 0;
    for (const Track& track : tracks_)
        dataBytes += static_cast<uint32_t>(track.data.size());
    const bool any = std::any_of(tracks_.begin(), tracks_.end(), [](const Track& t) { return !t.samples.empty(); });
    if (!any)
        return 0;
    if (const int result = HandOutHeader(out); result < 0)
        return result;
    BuildMoof(dataBytes);
    out.push_back(ByteSpan{box_.data(), box_.size()});
    for (Track& track : tracks_) {
        if (!track.data.empty())
            out.push_back(ByteSpan{track.data.data(), track.data.size()});
        track.data.swap(track.handed); // the next fragment fills the buffer the last one was written from
    }
    offset_ += box_.size() + dataBytes;
    handedOut_ = true;
    return 0;
}

void FragmentBuilder::BuildMoof(uint32_t dataBytes)
{
    box_.clear();
    const uint64_t moofOffset = offset_;
    const size_t moof = OpenBox(box_, "moof");
    const size_t mfhd = OpenBox(box_, "mfhd", 0);
    Put32(box_, ++sequence_);
    CloseBox(box_, mfhd);
    std::vector<size_t> dataOffsets;
    for (size_t index = 0; index < tracks_.size(); ++index) {
        Track& track = tracks_[index];
        if (track.samples.empty())
            continue;
        Sample& last = track.samples.back();
        if (last.duration <= 0)
            last.duration = track.lastDuration;
        const bool offsets =
            std::any_of(track.samples.begin(), track.samples.end(), [](const Sample& s) { return s.ptsOffset != 0; });
        const bool negative =
            std::any_of(track.samples.begin(), track.samples.end(), [](const Sample& s) { return s.ptsOffset < 0; });
        const size_t traf = OpenBox(box_, "traf");
        const size_t tfhd = OpenBox(box_, "tfhd", 0, TFHD_BASE_IS_MOOF | (track.video ? 0 : TFHD_DEFAULT_FLAGS));
        Put32(box_, static_cast<uint32_t>(index + 1));
        if (!track.video)
            Put32(box_, SAMPLE_SYNC);
        CloseBox(box_, tfhd);
        const uint64_t baseTime = static_cast<uint64_t>(track.samples.front().dts - track.startDts);
        const size_t tfdt = OpenBox(box_, "tfdt", 1);
        Put64(box_, baseTime);
        CloseBox(box_, tfdt);
        const uint32_t trunFlags = TRUN_DATA_OFFSET | TRUN_DURATION | TRUN_SIZE | (track.video ? TRUN_FLAGS : 0) |
                                   (offsets ? TRUN_PTS_OFFSET : 0);
        const size_t trun = OpenBox(box_, "trun", negative ? 1 : 0, trunFlags);
        Put32(box_, static_cast<uint32_t>(track.samples.size()));
        dataOffsets.push_back(box_.size());
        Put32(box_, 0);
        for (const Sample& sample : track.samples) {
            Put32(box_, static_cast<uint32_t>(std::clamp<int64_t>(sample.duration, 0, UINT32_MAX)));
            Put32(box_, sample.size);
            if (track.video)
                Put32(box_, sample.key ? SAMPLE_SYNC : SAMPLE_NOT_SYNC);
            if (offsets)
                Put32(box_, static_cast<uint32_t>(sample.ptsOffset));
        }
        CloseBox(box_, trun);
        CloseBox(box_, traf);
        track.starts.emplace_back(static_cast<int64_t>(baseTime) + track.samples.front().ptsOffset, moofOffset);
    }
    CloseBox(box_, moof);
    // Each track run's data offset counts from the moof's first byte to its samples in the mdat.
    uint32_t dataOffset = static_cast<uint32_t>(box_.size()) + 8;
    size_t patched = 0;
    for (Track& track : tracks_) {
        if (track.samples.empty())
            continue;
        Patch32(box_, dataOffsets[patched++], dataOffset);
        dataOffset += static_cast<uint32_t>(track.data.size());
    }
    Put32(box_, 8 + dataBytes);
    PutType(box_, "mdat");
    for (Track& track : tracks_)
        track.samples.clear();
}

int FragmentBuilder::Trailer(std::vector<ByteSpan>& out)
{
    ForgetHandedOut();
    out.clear();
    if (const int result = HandOutHeader(out); result < 0)
        return result;
    for (Track& track : tracks_) { // no fragment follows: their buffers go
        std::vector<uint8_t>().swap(track.data);
        std::vector<uint8_t>().swap(track.handed);
    }
    box_.clear();
    const size_t mfra = OpenBox(box_, "mfra");
    for (size_t index = 0; index < tracks_.size(); ++index) {
        const Track& track = tracks_[index];
        if (track.starts.empty())
            continue;
        const size_t tfra = OpenBox(box_, "tfra", 1);
        Put32(box_, static_cast<uint32_t>(index + 1));
        Put32(box_, 0); // one byte each for the traf, trun and sample numbers
        Put32(box_, static_cast<uint32_t>(track.starts.size()));
        for (const auto& [time, moofOffset] : track.starts) {
            Put64(box_, static_cast<uint64_t>(time));
            Put64(box_, moofOffset);
            for (int number = 0; number < 3; ++number) // the first traf, trun and sample
                box_.push_back(1);
        }
        CloseBox(box_, tfra);
    }
    const size_t mfro = OpenBox(box_, "mfro", 0);
    Put32(box_, static_cast<uint32_t>(box_.size() - mfra + 4));
    CloseBox(box_, mfro);
    CloseBox(box_, mfra);
    out.push_back(ByteSpan{box_.data(), box_.size()});
    offset_ += box_.size();
    handedOut_ = true;
    return 0;
}

} // namespace segrec
