#include "config/config_change.h"

#include "config_test_support.h"

namespace dvr {
namespace {

class ConfigChange : public ::testing::Test {
protected:
    ConfigChange() { defaults_.Set(4, 30); }

    LogLevelTable levels_;
    LogLevelTable defaults_;
};

std::string ChangeDocument(const std::string& delta, const std::string& plugins)
{
    return "<Change" + delta + "><Modules><Module>" + plugins + "</Module></Modules></Change>";
}

TEST_F(ConfigChange, DocumentsThatChangeNothingAreIgnored)
{
    const std::string setFour = "<Plugin ID=\"262144\" LogLevel=\"10\"/>";
    const std::string ignored[] = {
        "not xml",
        "<Change Delta=\"1\"><Modules><Module>" + setFour + "</Module></Modules>", // cut off
        ChangeDocument("", setFour),
        ChangeDocument(" Delta=\"0\"", setFour),
        ChangeDocument(" Delta=\"abc\"", setFour),
        "<Change Delta=\"1\"><Module>" + setFour + "</Module></Change>",
        "<Change Delta=\"1\"><Modules>" + setFour + "</Modules></Change>",
        ChangeDocument(" Delta=\"1\"",
                       "<Plugin ID=\"262143\" LogLevel=\"10\"/><Plugin ID=\"16711680\" LogLevel=\"10\"/>"
                       "<Plugin ID=\"262144\" LogLevel=\"101\"/><Plugin ID=\"262144\"/>"),
        "<Change Delta=\"1\"><Modules><Module>" + test::NestedElements(100000) + setFour +
            "</Module></Modules></Change>",
    };
    for (const std::string& text : ignored) {
        EXPECT_FALSE(ApplyLogLevelChange(text, levels_, defaults_)) << text.substr(0, 200);
        EXPECT_EQ(levels_.Get(4), -1) << text.substr(0, 200);
    }
}

TEST_F(ConfigChange, ChangeAppliesOnce)
{
    const std::string text = ChangeDocument(" Delta=\"1\"", "<Plugin ID=\"262144\" LogLevel=\"10\"/>"
                                                            "<Plugin ID=\"-2147483648\" LogLevel=\"25\"/>");
    EXPECT_TRUE(ApplyLogLevelChange(text, levels_, defaults_));
    EXPECT_EQ(levels_.Get(4), 10);
    EXPECT_EQ(levels_.Get(0), 25);
    EXPECT_FALSE(ApplyLogLevelChange(text, levels_, defaults_)) << "same values again";
}

TEST_F(ConfigChange, ResetFallsBackToDeclaredLevel)
{
    levels_.Set(4, 10);
    levels_.Set(5, 10);
    const std::string text =
        ChangeDocument(" Delta=\"2\"", "<Plugin ID=\"262144\" LogLevel=\"-1\" LogLevelDefault=\"60\"/>"
                                       "<Plugin ID=\"327680\" LogLevel=\"-1\"/>");
    EXPECT_TRUE(ApplyLogLevelChange(text, levels_, defaults_));
    EXPECT_EQ(levels_.Get(4), 30) << "the declared level, not the document's LogLevelDefault";
    EXPECT_EQ(levels_.Get(5), -1) << "nothing declared";
    EXPECT_FALSE(ApplyLogLevelChange(text, levels_, defaults_)) << "a repeated reset changes nothing and saves nothing";
}

} // namespace
} // namespace dvr
