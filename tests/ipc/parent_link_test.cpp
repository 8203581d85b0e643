// The parent link of the real executable, with the test as its supervisor.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <thread>

#include "ipc/parent_protocol.h"
#include "support/core_installation.h"

using namespace std::chrono_literals;
using dvr::test::ChildProcess;

namespace {

constexpr uint32_t PEER_TARGET = 0x03000000; // module index 0x030: plugin_parent_peer
const std::string PARAMETERS("ovrimd\0"
                             "3.2.1",
                             12);

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

class ParentLink : public ::testing::Test {
protected:
    void SetUp() override { install.AddPlugin(dvr::test::BuiltPlugin("plugin_parent_peer.so")); }

    void StartCore()
    {
        core = install.Start({std::to_string(parent.CoreDescriptor())}, {parent.CoreDescriptor()});
        parent.ReleaseCoreEnd();
    }

    void StopCore()
    {
        parent.Send(dvr::MakeParentPacket(0, IPC_STOP, nullptr, 0));
        EXPECT_EQ(core->Wait(20s), 0) << core->Output();
        EXPECT_EQ(core->Output().find("sleeping for one minute"), std::string::npos);
    }

    std::vector<std::string> PeerLog() const { return Lines(dvr::test::ReadFile(install / "parent_peer.log")); }

    // Waits until the peer plugin logged at least count lines.
    std::vector<std::string> WaitForPeerLog(size_t count) const
    {
        for (int i = 0; i < 200 && PeerLog().size() < count; ++i)
            std::this_thread::sleep_for(25ms);
        return PeerLog();
    }

    dvr::test::CoreInstallation install;
    dvr::test::ParentEnd parent;
    std::unique_ptr<ChildProcess> core;
};

TEST_F(ParentLink, PromptParametersStartTheCoreAndReachCoreXml)
{
    auto started = std::chrono::steady_clock::now();
    StartCore();
    parent.SendParameters(PARAMETERS);
    ASSERT_TRUE(core->WaitForOutput("successfully started core version", 20s)) << core->Output();
    // Parameters that arrive before the core waits for them do not hold start-up for its 10 seconds.
    // A core that waited would take 10 s or more; one that did not takes a fraction of that, however
    // slow the build, so the bound sits just under the wait rather than near a normal start's time.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 9s);
    EXPECT_NE(dvr::test::ReadFile(install / "core.xml")
                  .find("<Library Name=\"ovrimd\" Filename=\"ovrimd\" Version=\"3.2.1\""),
              std::string::npos)
        << dvr::test::ReadFile(install / "core.xml");
    auto hello = parent.Receive(5s); // what the peer sent at Open
    ASSERT_TRUE(hello);
    EXPECT_EQ(std::string(hello->begin(), hello->end()), "hello");
    EXPECT_EQ(WaitForPeerLog(1).at(0), "open-send 0");
    StopCore();
}

class BackgroundParameter : public ParentLink, public ::testing::WithParamInterface<std::pair<std::string, bool>> {};

TEST_P(BackgroundParameter, OnlyTheExactTextSilencesTheConsole)
{
    StartCore();
    parent.SendParameters(std::string("a\0b\0", 4) + GetParam().first);
    for (int i = 0; i < 400 && !std::filesystem::exists(install / "core.xml"); ++i)
        std::this_thread::sleep_for(25ms);
    core->WaitForOutput("successfully started", 2s);
    StopCore();
    bool silent = GetParam().second;
    EXPECT_EQ(core->Output().find("successfully started") == std::string::npos, silent) << core->Output();
    EXPECT_EQ(core->Output().find("stopping core") == std::string::npos, silent) << core->Output();
}

INSTANTIATE_TEST_SUITE_P(ParentLink, BackgroundParameter,
                         ::testing::Values(std::make_pair(std::string("Background:true"), true),
                                           std::make_pair(std::string("Background:true\0", 16), true),
                                           std::make_pair(std::string("background:true"), false),
                                           std::make_pair(std::string("Background:true "), false)));

TEST_F(ParentLink, PacketsAreFramedAndReachTheAddressedPlugin)
{
    dvr::test::WriteFile(
        install / "core.xml",
        "<oDVR><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></oDVR>");
    StartCore();
    parent.SendParameters(PARAMETERS);
    ASSERT_TRUE(core->WaitForOutput("successfully started", 20s)) << core->Output();

    auto first = dvr::MakeParentPacket(PEER_TARGET | 0x12345, 9, "one", 3);
    auto second = dvr::MakeParentPacket(PEER_TARGET, 10, "two!", 4);
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    parent.Send(both);                                              // two packets in one send
    parent.Send(dvr::MakeParentPacket(0x05000000, 9, "nobody", 6)); // no plugin has index 0x050
    auto split = dvr::MakeParentPacket(PEER_TARGET, 11, "split", 5);
    parent.Send({split.begin(), split.begin() + 7}); // one packet over two sends
    parent.Send({split.begin() + 7, split.end()});
    parent.Send(dvr::MakeParentPacket(PEER_TARGET, IPC_PARAMETERS, nullptr, 0)); // no payload: for the plugin
    parent.Send(dvr::MakeParentPacket(PEER_TARGET, 101, nullptr, 0));            // the plugin's IOCTL fails

    auto log = WaitForPeerLog(6);
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[1], "packet 19 0x03012345 9 3 " + std::to_string(('o' * 31 + 'n') * 31 + 'e'));
    EXPECT_EQ(log[2].substr(0, 24), "packet 20 0x03000000 10 ");
    EXPECT_EQ(log[3].substr(0, 24), "packet 21 0x03000000 11 ");
    EXPECT_EQ(log[4], "packet 16 0x03000000 7 0 0");
    EXPECT_EQ(log[5], "packet 16 0x03000000 101 0 0");
    EXPECT_TRUE(core->WaitForOutput("plugin plugin_parent_peer.so ipc ioctl returned 9 error 3", 5s)) << core->Output();
    StopCore();
}

TEST_F(ParentLink, LengthsThatCannotBeFramedAreDroppedAndTheLinkGoesOn)
{
    StartCore();
    parent.SendParameters(PARAMETERS);
    ASSERT_TRUE(core->WaitForOutput("successfully started", 20s)) << core->Output();

    std::vector<uint8_t> largest(PARENT_PACKET_MAX_LENGTH - PARENT_PACKET_HEADER_SIZE, 'x');
    parent.Send(dvr::MakeParentPacket(PEER_TARGET, 9, largest.data(), largest.size()));
    for (uint32_t bad : {PARENT_PACKET_MAX_LENGTH + 1, 0u, 15u}) {
        auto packet = dvr::MakeParentPacket(PEER_TARGET, 9, "bad", 3);
        packet[0] = static_cast<uint8_t>(bad);
        packet[1] = static_cast<uint8_t>(bad >> 8);
        packet[2] = static_cast<uint8_t>(bad >> 16);
        parent.Send(packet);
    }
    parent.Send(dvr::MakeParentPacket(PEER_TARGET, 12, "after", 5));
    auto log = WaitForPeerLog(3);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].substr(0, 26), "packet 65536 0x03000000 9 ");
    EXPECT_EQ(log[2].substr(0, 24), "packet 21 0x03000000 12 ");
    StopCore();
    EXPECT_EQ(Count(core->Output(), "bad ipc packet length"), 3u) << core->Output();
}

TEST_F(ParentLink, PluginPacketsReachTheParentInOrder)
{
    StartCore();
    parent.SendParameters(PARAMETERS);
    ASSERT_TRUE(core->WaitForOutput("successfully started", 20s)) << core->Output();
    ASSERT_TRUE(parent.Receive(5s)); // "hello" from Open

    parent.Send(dvr::MakeParentPacket(PEER_TARGET, 100, "send 3 10", 9));
    for (char expected : {'a', 'b', 'c'}) {
        auto packet = parent.Receive(5s);
        ASSERT_TRUE(packet);
        EXPECT_EQ(std::string(packet->begin(), packet->end()), std::string(10, expected));
    }
    parent.Send(dvr::MakeParentPacket(PEER_TARGET, 100, "send 1 200000", 13));
    std::vector<size_t> sizes;
    for (int i = 0; i < 4; ++i) {
        auto packet = parent.Receive(5s);
        ASSERT_TRUE(packet);
        sizes.push_back(packet->size());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{65536, 65536, 65536, 200000 - 3 * 65536}));
    StopCore();
    auto log = PeerLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "sent 0"), 4);
}

TEST_F(ParentLink, ParentGoneBeforeItsParametersStopsTheStartUp)
{
    // The I/O thread closes the link while the main thread is still starting up and asks whether
    // to wait for the parameters: a race that ThreadSanitizer reports (make test-tsan).
    StartCore();
    parent.Close();
    ASSERT_TRUE(core->WaitForOutput("stopping core version", 20s)) << core->Output() << core->Errors();
    EXPECT_NE(core->Output().find("ovrimd ipc pipe disconnected"), std::string::npos);
    core->Signal(SIGKILL); // the one-minute pause before the plugins close is SlowParentLink's
    core->Wait(20s);
    EXPECT_EQ(core->Errors().find("ThreadSanitizer"), std::string::npos) << core->Errors();
}

TEST(ParentLinkAbsent, PacketsForTheParentAreRefusedWithoutALink)
{
    dvr::test::CoreInstallation install;
    install.AddPlugin(dvr::test::BuiltPlugin("plugin_parent_peer.so"));
    auto core = install.Start();
    ASSERT_TRUE(core->WaitForOutput("successfully started", 20s)) << core->Output();
    EXPECT_EQ(core->Stop(SIGTERM, 20s), 0);
    EXPECT_EQ(dvr::test::ReadFile(install / "parent_peer.log"), "open-send 1\n");
}

} // namespace
