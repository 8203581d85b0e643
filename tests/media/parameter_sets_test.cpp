// MediaSource's reading of the parameter sets a frame carries in band.
#include "parameter_sets.h"

#include <dvrcore/media.h>
#include <gtest/gtest.h>

#include <vector>

using namespace media_source;

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes bytes;
    for (const Bytes& part : parts)
        bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

const Bytes START3 = {0, 0, 1}, START4 = {0, 0, 0, 1};
const Bytes SPS = {0x67, 0x42, 0xC0, 0x0D, 0x8C}, PPS = {0x68, 0xCE, 0x3C, 0x80};
const Bytes SEI = {0x06, 0x05, 0x01}, IDR = {0x65, 0x88, 0x84, 0x00, 0x21};
} // namespace

TEST(ParameterSets, AnAnnexBFramesSetsAreFoundAndComparedWhateverTheirStartCodesAndOrder)
{
    const Bytes frame = Join({START4, SEI, START4, SPS, {0, 0}, START3, PPS, START3, IDR});
    EXPECT_EQ(ParameterSetsOf(DVR_CODEC_H264, frame.data(), frame.size()), Join({START4, SPS, START4, PPS}));
    EXPECT_TRUE(ParameterSetsOf(DVR_CODEC_H264, IDR.data(), IDR.size()).empty()) << "no start code";
    const Bytes slice = Join({START4, IDR});
    EXPECT_TRUE(ParameterSetsOf(DVR_CODEC_H264, slice.data(), slice.size()).empty());

    EXPECT_TRUE(SameParameterSets(DVR_CODEC_H264, frame, Join({START3, PPS, START4, SPS})));
    Bytes otherSps = SPS;
    otherSps.back() ^= 1;
    EXPECT_FALSE(SameParameterSets(DVR_CODEC_H264, frame, Join({START4, otherSps, START4, PPS})));
    EXPECT_FALSE(SameParameterSets(DVR_CODEC_H264, frame, Join({START4, SPS})));
    // H.265: VPS (32), SPS (33), PPS (34) by the type in bits 1 to 6; a slice (19) is none.
    const Bytes hevc = Join({START4,
                             {0x40, 0x01, 0x0C},
                             START4,
                             {0x42, 0x01, 0x01},
                             START4,
                             {0x44, 0x01, 0xC1},
                             START4,
                             {0x26, 0x01, 0xAF}});
    EXPECT_EQ(ParameterSetsOf(DVR_CODEC_HEVC, hevc.data(), hevc.size()).size(), 3 * 4 + 9u);

    EXPECT_TRUE(IsAnnexB({}));
    EXPECT_TRUE(IsAnnexB(Join({START3, SPS})));
    EXPECT_FALSE(IsAnnexB({0x01, 0x42, 0xC0, 0x0D, 0xFF, 0xE1})) << "an avcC record";
}

TEST(ParameterSets, AacLcConfigurationFromRateAndChannels)
{
    EXPECT_EQ(AacLcConfig(8000, 1), (Bytes{0x15, 0x88}));
    EXPECT_EQ(AacLcConfig(48000, 2), (Bytes{0x11, 0x90}));
    EXPECT_EQ(AacLcConfig(44100, 8), (Bytes{0x12, 0x38}));
    EXPECT_TRUE(AacLcConfig(8001, 1).empty());
    EXPECT_TRUE(AacLcConfig(48000, 7).empty());
    EXPECT_TRUE(AacLcConfig(48000, 0).empty());
}
