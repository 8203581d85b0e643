#include "parameter_sets.h"

#include <dvrcore/media.h>

#include <algorithm>
#include <cstring>

namespace media_source {
namespace {

struct Unit {
    const uint8_t* data;
    size_t size;
};

// The NAL units of an Annex B byte string, without start codes and trailing zero bytes.
std::vector<Unit> Units(const uint8_t* data, size_t size)
{
    std::vector<Unit> units;
    size_t start = SIZE_MAX; // of the unit being read
    for (size_t i = 0; i + 2 < size;) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start != SIZE_MAX)
                units.push_back({data + start, i - start});
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX && start < size)
        units.push_back({data + start, size - start});
    for (Unit& unit : units)
        while (unit.size > 0 && unit.data[unit.size - 1] == 0)
            --unit.size;
    return units;
}

bool IsParameterSet(uint32_t codec, const Unit& unit)
{
    if (unit.size == 0)
        return false;
    if (codec == DVR_CODEC_H264) {
        const int type = unit.data[0] & 0x1F;
        return type == 7 || type == 8;
    }
    if (codec == DVR_CODEC_HEVC) {
        const int type = (unit.data[0] >> 1) & 0x3F;
        return type >= 32 && type <= 34;
    }
    return false;
}

std::vector<std::vector<uint8_t>> SortedSets(uint32_t codec, const std::vector<uint8_t>& bytes)
{
    std::vector<std::vector<uint8_t>> sets;
    for (const Unit& unit : Units(bytes.data(), bytes.size()))
        if (IsParameterSet(codec, unit))
            sets.emplace_back(unit.data, unit.data + unit.size);
    // By bytes, then length. Spelled out: GCC 12 at -O3 warns (stringop-overread) on the memcmp it
    // inlines for vector's own operator<.
    std::sort(sets.begin(), sets.end(), [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
        const size_t common = std::min(a.size(), b.size());
        const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
        return order != 0 ? order < 0 : a.size() < b.size();
    });
    return sets;
}

} // namespace

bool IsAnnexB(const std::vector<uint8_t>& extradata)
{
    static const uint8_t three[] = {0, 0, 1}, four[] = {0, 0, 0, 1};
    return extradata.empty() || (extradata.size() >= 3 && std::equal(three, three + 3, extradata.begin())) ||
           (extradata.size() >= 4 && std::equal(four, four + 4, extradata.begin()));
}

std::vector<uint8_t> ParameterSetsOf(uint32_t codec, const uint8_t* data, size_t size)
{
    std::vector<uint8_t> sets;
    for (const Unit& unit : Units(data, size)) {
        if (!IsParameterSet(codec, unit))
            continue;
        sets.insert(sets.end(), {0, 0, 0, 1});
        sets.insert(sets.end(), unit.data, unit.data + unit.size);
    }
    return sets;
}

std::vector<uint8_t> AacLcConfig(uint32_t sampleRate, uint32_t channels)
{
    static const uint32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
    const auto rate = std::find(std::begin(rates), std::end(rates), sampleRate);
    // Channel configurations 1 to 6 are 1 to 6 channels, 7 is eight.
    const uint32_t configuration = channels >= 1 && channels <= 6 ? channels : channels == 8 ? 7 : 0;
    if (rate == std::end(rates) || configuration == 0)
        return {};
    const uint32_t index = static_cast<uint32_t>(rate - std::begin(rates));
    // Object type 2 (LC), 5 bits; the rate's index, 4; the channel configuration, 4; then three zero
    // bits: 1024-sample frames, no core coder, no extension.
    const uint32_t bits = (2u << 11) | (index << 7) | (configuration << 3);
    return {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits & 0xFF)};
}

bool SameParameterSets(uint32_t codec, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    return SortedSets(codec, a) == SortedSets(codec, b);
}

} // namespace media_source
