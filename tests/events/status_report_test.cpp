#include "events/status_report.h"

#include <gtest/gtest.h>

#include "events/log_capture.h"
#include "support/grouping_locale.h"

namespace dvr {
namespace {

using test::GroupingLocaleExists;

// 12 events taken, 3 waiting, 40 video and 2 audio frames throttled, three blocks of 2000 bytes
// kept by 0x60000 and the current event's block of 500 bytes held by the core.
StatusFigures WorkedExample()
{
    ReferenceBlockTable blocks(nullptr);
    char kept[3];
    char current;
    blocks.AddHolder(&current, 500, CORE_PROVIDER_ID);
    for (char& block : kept)
        blocks.AddHolder(&block, 2000, 0x60000);

    MediaGate gate;
    _EventParmsIn frame{};
    frame.eventType = EVT_VIDEO;
    for (int dropped = 0; dropped < 40; ++dropped)
        gate.Gate(frame, true);
    frame.eventType = EVT_AUDIO;
    for (int dropped = 0; dropped < 2; ++dropped)
        gate.Gate(frame, true);

    StatusFigures figures = GatherStatusFigures(3, 12, gate, blocks);
    EXPECT_EQ(gate.TakeThrottledFrames().video, 0u) << "gathering takes the throttled counters";
    blocks.RemoveHolder(&current, CORE_PROVIDER_ID);
    for (char& block : kept)
        blocks.RemoveHolder(&block, 0x60000);
    return figures;
}

TEST(StatusReport, WorkedExampleGivesBothLines)
{
    test::LogCapture log;
    LogStatusReport(WorkedExample(), log.Callback());
    std::string bytes = GroupingLocaleExists() ? "6,500" : "6500";
    const std::vector<test::CapturedLine>& lines = log.Taken();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text,
              "core event queue size: 3, throttledframes:[v:40 a:2], events:12, refblks: 4 (" + bytes + " bytes)");
    EXPECT_EQ(lines[1].text, "Top - 60000:3, 80000000:1");
    for (const test::CapturedLine& line : lines) {
        EXPECT_EQ(line.providerID, CORE_PROVIDER_ID);
        EXPECT_EQ(line.level, 25);
    }
}

TEST(StatusReport, RankingKeepsFiveByDescendingCountAndTakenOrderForTies)
{
    std::vector<HolderCount> counts = {{0x10000, 1}, {0x20000, 5}, {0x30000, 1}, {0x40000, 7},
                                       {0x50000, 5}, {0x60000, 2}, {0x70000, 1}, {0x80000000u, 9}};
    EXPECT_EQ(TopHoldersText(counts), "80000000:9, 40000:7, 20000:5, 50000:5, 60000:2");
    EXPECT_EQ(TopHoldersText({{0xa0000, 2}, {0xb0000, 2}}), "a0000:2, b0000:2");
}

TEST(StatusReport, EmptyRankingStillWritesTheTopLine)
{
    test::LogCapture log;
    EXPECT_EQ(TopHoldersText({}), "");
    LogStatusReport(StatusFigures{0, 0, 0, 1, 0, 0, {}}, log.Callback());
    const std::vector<test::CapturedLine>& lines = log.Taken();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "Top - ");
}

} // namespace
} // namespace dvr
