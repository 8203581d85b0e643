#include "events/routing.h"

#include <algorithm>
#include <iterator>

#include <gtest/gtest.h>

namespace dvr {
namespace {

// Masks that accept nothing but key 0 in every class.
constexpr uint32_t NO_MASKS[EVENT_CLASS_COUNT] = {};

TEST(Routing, DeliveryKeyMovesAttributeBitsUpAndDropsBit31)
{
    EXPECT_EQ(DeliveryRoutingKey(EVF_CORE_LOG_LINE), 0x02000002u);
    EXPECT_EQ(DeliveryRoutingKey(EVF_CORE_DOCUMENT), 0x02000010u);
    EXPECT_EQ(DeliveryRoutingKey(0x00FFFFFFu), 0x00FFFFFFu);
    EXPECT_EQ(DeliveryRoutingKey(0x7F000000u), 0xFE000000u);
    EXPECT_EQ(DeliveryRoutingKey(0x80000000u), 0u);
}

TEST(Routing, ReaderKeyMovesAttributeBitsDownOntoTheLowPart)
{
    EXPECT_EQ(ReaderRoutingKey(EVF_CORE_LOG_LINE), 0x00800002u);
    EXPECT_EQ(ReaderRoutingKey(0xFF000000u), 0x7F800000u);
    EXPECT_EQ(ReaderRoutingKey(0x00800000u), 0x00800000u);
    EXPECT_EQ(ReaderRoutingKey(0x80000001u), 0x40000001u);
}

TEST(Routing, MaskMustContainEveryKeyBitOfAClassTheEventCarries)
{
    uint32_t masks[EVENT_CLASS_COUNT] = {};
    masks[6] = 0x02000002u; // class 0x0040
    EXPECT_TRUE(MatchesClassMasks(EVT_LOG, 0x02000002u, masks));
    EXPECT_TRUE(MatchesClassMasks(EVT_LOG, 0x00000002u, masks));
    EXPECT_FALSE(MatchesClassMasks(EVT_LOG, 0x02000003u, masks));
    EXPECT_FALSE(MatchesClassMasks(EVT_VIDEO, 0x02000002u, masks)) << "only the mask of the class carried counts";

    masks[8] = 0xFFFFFFFFu; // class 0x0400
    EXPECT_TRUE(MatchesClassMasks(0x0400u, 0xFFFFFFFFu, masks));
    EXPECT_TRUE(MatchesClassMasks(EVT_LOG | 0x0400u, 0x80000000u, masks)) << "one matching class is enough";
}

TEST(Routing, ZeroMaskTakesOnlyKeyZero)
{
    EXPECT_TRUE(MatchesClassMasks(EVT_AUDIO, 0, NO_MASKS));
    EXPECT_FALSE(MatchesClassMasks(EVT_AUDIO, 1, NO_MASKS));
}

TEST(Routing, TypeBitsOutsideTheNineClassesNeverMatch)
{
    uint32_t all[EVENT_CLASS_COUNT];
    std::fill(std::begin(all), std::end(all), 0xFFFFFFFFu);
    for (uint32_t type : {0x0100u, 0x0200u, 0x0800u, 0x1000u, 0x2000u, 0x80000000u, 0u})
        EXPECT_FALSE(MatchesClassMasks(type, 0, all)) << std::hex << type;
    EXPECT_TRUE(MatchesClassMasks(0x0300u | EVT_STATUS, 0, all));
}

} // namespace
} // namespace dvr
