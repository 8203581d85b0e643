#include <gtest/gtest.h>

#include "events/event_callback.h"
#include "support/recording_core.h"

using dvr::test::RecordingCore;

namespace {

TEST(CoreObject, StartsWithItsInitialValues)
{
    RecordingCore core;
    EXPECT_EQ(core.logLevels.Get(0), 25);
    EXPECT_EQ(core.defaultLogLevels.Get(0), 25);
    for (unsigned i = 1; i < dvr::LogLevelTable::SIZE; ++i) {
        ASSERT_EQ(core.logLevels.Get(i), -1) << i;
        ASSERT_EQ(core.defaultLogLevels.Get(i), -1) << i;
    }
    EXPECT_EQ(core.productFamily, "ovrimSight");
    EXPECT_EQ(core.productVersion, "");
    EXPECT_TRUE(core.plugins.Empty());
    EXPECT_FALSE(core.eventQueue.StopRequested());
    EXPECT_EQ(core.lastLowMemoryTime, INT64_MAX);
    EXPECT_EQ(dvr::CoreInstance(), &core);
}

TEST(CoreObject, InitializeWithoutParentNamesTheCore)
{
    RecordingCore core;
    core.moduleNames.Set(CORE_PROVIDER_ID, "old");
    EXPECT_TRUE(core.Initialize(-1));
    EXPECT_EQ(core.moduleNames.Lookup(CORE_PROVIDER_ID), "core");
    EXPECT_FALSE(core.parentSocket.is_open());
}

TEST(CoreObject, InitializeFailsOnDescriptorThatIsNotOpen)
{
    RecordingCore core;
    core.logLevels.Set(0, 0);
    EXPECT_FALSE(core.Initialize(987));
    EXPECT_TRUE(core.Logged("failed to open ipc pipe"));
    ASSERT_FALSE(core.Lines().empty());
    EXPECT_EQ(core.Lines().back().level, 100);
}

TEST(LogLevelTable, StoresTheLowByteAndIgnoresIndexesBeyondTheTable)
{
    dvr::LogLevelTable table;
    table.Set(3, 255);
    EXPECT_EQ(table.Get(3), -1);
    table.Set(3, 100);
    EXPECT_EQ(table.Get(3), 100);
    table.Set(255, 10);
    EXPECT_EQ(table.Get(255), -1);
}

} // namespace
