#include <gtest/gtest.h>

#include <cstring>

#include "ipc/parent_protocol.h"

namespace {

using Fields = std::vector<std::string>;

TEST(SplitString, EverySeparatorStartsAField)
{
    EXPECT_EQ(dvr::SplitString("a\0b\0Background:true", 19, '\0'), (Fields{"a", "b", "Background:true"}));
    EXPECT_EQ(dvr::SplitString("a\0b\0Background:true\0", 20, '\0'), (Fields{"a", "b", "Background:true", ""}));
    EXPECT_EQ(dvr::SplitString("a", 1, '\0'), (Fields{"a"}));
    EXPECT_EQ(dvr::SplitString("x,y", static_cast<size_t>(-1), ','), (Fields{"x", "y"}));
    EXPECT_EQ(dvr::SplitString("", 0, ','), (Fields{""}));
    EXPECT_TRUE(dvr::SplitString(nullptr, 5, ',').empty());
}

// Feeds byte runs into a receive buffer as the link does and records what the framing takes.
class Framing : public ::testing::Test {
protected:
    void Receive(const std::vector<uint8_t>& bytes)
    {
        ASSERT_LE(length + bytes.size(), buffer.size());
        memcpy(buffer.data() + length, bytes.data(), bytes.size());
        length = dvr::TakeParentPackets(
            buffer.data(), length + static_cast<uint32_t>(bytes.size()),
            [this](const uint8_t* packet, uint32_t packetLength) {
                packets.emplace_back(packet, packet + packetLength);
            },
            [this] { ++badLengths; });
    }

    static std::vector<uint8_t> Header(uint32_t declaredLength)
    {
        return {static_cast<uint8_t>(declaredLength),
                static_cast<uint8_t>(declaredLength >> 8),
                static_cast<uint8_t>(declaredLength >> 16),
                static_cast<uint8_t>(declaredLength >> 24),
                0,
                0,
                0,
                0,
                9,
                0,
                0,
                0,
                0,
                0,
                0,
                0};
    }

    std::vector<uint8_t> buffer = std::vector<uint8_t>(PARENT_PACKET_MAX_LENGTH);
    uint32_t length = 0;
    std::vector<std::vector<uint8_t>> packets;
    int badLengths = 0;
};

TEST_F(Framing, TwoPacketsInOneReceiveAreTakenInOrder)
{
    auto first = dvr::MakeParentPacket(0x03000000, 9, "one", 3);
    auto second = dvr::MakeParentPacket(0x03000000, 10, "second", 6);
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    Receive(both);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], first);
    EXPECT_EQ(packets[1], second);
    EXPECT_EQ(length, 0u);
}

TEST_F(Framing, SplitPacketIsTakenOnceComplete)
{
    auto packet = dvr::MakeParentPacket(0x03000000, 9, "split payload", 13);
    Receive({packet.begin(), packet.begin() + 10}); // not even a whole header
    EXPECT_TRUE(packets.empty());
    Receive({packet.begin() + 10, packet.begin() + 20});
    EXPECT_TRUE(packets.empty());
    Receive({packet.begin() + 20, packet.end()});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], packet);
}

TEST_F(Framing, LargestPacketIsAcceptedOnceAllOfItArrived)
{
    std::vector<uint8_t> payload(PARENT_PACKET_MAX_LENGTH - PARENT_PACKET_HEADER_SIZE, 0x42);
    auto packet = dvr::MakeParentPacket(1, 9, payload.data(), payload.size());
    Receive({packet.begin(), packet.begin() + 30000});
    Receive({packet.begin() + 30000, packet.end()});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), PARENT_PACKET_MAX_LENGTH);
    EXPECT_EQ(badLengths, 0);
}

TEST_F(Framing, LengthsThatCannotBeFramedDropEverythingBuffered)
{
    for (uint32_t bad : {0u, 15u, PARENT_PACKET_MAX_LENGTH + 1}) {
        Receive(Header(bad));
        EXPECT_EQ(length, 0u) << bad;
    }
    EXPECT_EQ(badLengths, 3);
    EXPECT_TRUE(packets.empty());
    auto good = dvr::MakeParentPacket(0, 9, nullptr, 0); // a bare header is a whole packet
    Receive(good);
    ASSERT_EQ(packets.size(), 1u);
}

TEST(ParentTarget, TopTwelveBitsNameTheModuleIndex)
{
    EXPECT_TRUE(dvr::ParentTargetMatches(0x030ABCDE, 0x00300000));
    EXPECT_TRUE(dvr::ParentTargetMatches(0x03000000, 0x0030FFFF));
    EXPECT_FALSE(dvr::ParentTargetMatches(0x03100000, 0x00300000));
    EXPECT_FALSE(dvr::ParentTargetMatches(0x03000000, 0x00310000));
}

} // namespace
