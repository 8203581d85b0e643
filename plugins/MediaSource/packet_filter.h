// What one stream's packets go through before they are sent: the bitstream filter that turns them
// into the form <dvrcore/media.h> promises, whatever container they came in. AAC is the case: an
// MPEG-TS file or stream carries it in ADTS frames, with the configuration in each frame's header
// and none in the stream's extradata; aac_adtstoasc strips the headers and hands over the
// AudioSpecificConfig once, as new-extradata side data of its first packet. Raw AAC goes through
// it untouched. Video is sent as the container gives it (Annex B or length-prefixed).
#ifndef MEDIA_SOURCE_PACKET_FILTER_H
#define MEDIA_SOURCE_PACKET_FILTER_H

#include <memory>
#include <string>

struct AVBSFContext;
struct AVCodecContext;
struct AVCodecParserContext;
struct AVPacket;
struct AVStream;

namespace media_source {

struct BsfFree {
    void operator()(AVBSFContext* context) const;
};

// Used by the camera's reading thread only, one per stream and connection.
class PacketFilter {
public:
    // The filter stream needs, or none; false with a reason when it cannot be made.
    bool Open(const AVStream* stream, std::string& reason);
    // Filters packet in place: 0 with the filtered packet, AVERROR(EAGAIN) when the filter gave
    // nothing for it (packet is then empty), or another error for a packet it refused (emptied).
    // The filters used give at most one packet per packet.
    int Apply(AVPacket* packet);

private:
    std::unique_ptr<AVBSFContext, BsfFree> context_; // null: packets pass as they are
};

struct ParserClose {
    void operator()(AVCodecParserContext* parser) const;
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const;
};

// The picture size a video frame announces in band, read by FFmpeg's parser for the stream's codec.
// Used by the camera's reading thread only, one per stream and connection.
class PictureSizeReader {
public:
    // The size the complete frame in packet announces (its slices, after the parameter sets this or
    // an earlier frame brought); false when it tells none.
    bool Read(const AVStream* stream, const AVPacket* packet, uint32_t& width, uint32_t& height);

private:
    std::unique_ptr<AVCodecParserContext, ParserClose> parser_; // made at the first Read
    std::unique_ptr<AVCodecContext, CodecContextFree> context_;
};

} // namespace media_source

#endif
