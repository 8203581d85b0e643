// The parameter sets (H.264 SPS and PPS; H.265 VPS, SPS and PPS) that an Annex B frame carries in
// band, and whether they are the ones a stream's extradata holds: how a change of them without a
// reconnect (a new picture size, a new profile) is noticed. Pure: bytes in, bytes out.
#ifndef MEDIA_SOURCE_PARAMETER_SETS_H
#define MEDIA_SOURCE_PARAMETER_SETS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace media_source {

// Whether extradata is in Annex B form (start codes), or empty; else it is an avcC or hvcC record,
// whose frames are length-prefixed.
bool IsAnnexB(const std::vector<uint8_t>& extradata);

// The parameter sets of an Annex B frame of codec (DVR_CODEC_H264 or DVR_CODEC_HEVC), in frame
// order, each after a four-byte start code; empty when it has none.
std::vector<uint8_t> ParameterSetsOf(uint32_t codec, const uint8_t* data, size_t size);

// Whether two Annex B byte strings hold the same parameter sets, whatever their order, start codes
// or trailing zero bytes.
bool SameParameterSets(uint32_t codec, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// The AudioSpecificConfig of plain AAC-LC at sampleRate Hz with channels channels, as an ADTS
// header describes it (and as FFmpeg's aac_adtstoasc writes it); empty when such a stream needs
// more than two bytes (a rate off the table, a channel layout without a configuration number).
std::vector<uint8_t> AacLcConfig(uint32_t sampleRate, uint32_t channels);

} // namespace media_source

#endif
