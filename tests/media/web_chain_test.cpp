// The web view in the whole chain: the built core with MediaSource on a file camera, SegmentRecorder
// and WebView on 127.0.0.1 at a free port. What a client gets is checked against the files on disk
// and with the ffmpeg tool; what hostile clients do is checked against the recorder's figures.
#include <gtest/gtest.h>

#include <crypt.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>

#include "ipc/parent_protocol.h"
#include "media_support.h"
#include "support/core_installation.h"
#include "web/web_client.h"

namespace {

using namespace dvr::media;
using dvr::test::ReadFile;
using dvr::test::WriteFile;
using web::test::Answer;
using web::test::Dechunk;
using web::test::Fetch;

constexpr uint32_t RECORDER_MODULE = 0x0A3;
constexpr int64_t SECOND = 1'000'000'000;
constexpr double GOP_SECONDS = 1.0; // the clip's key frame interval

class WebChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!WEB_CHAIN_BUILT)
            GTEST_SKIP() << "MediaSource, SegmentRecorder and WebView are not all part of this build";
        for (const char* plugin : {"LogPI.so", "MediaSource.so", "SegmentRecorder.so", "WebView.so"})
            install.AddPlugin(std::string(DVRCORE_BUILD_DIR "/plugins/") + plugin);
        WriteFile(install / "media_source.xml",
                  "<MediaSource><Camera name=\"cam\" url=\"file:" + Clip("h264_aac.mp4") + "\"/></MediaSource>\n");
        WriteFile(install / "segment_recorder.xml", "<SegmentRecorder segmentSeconds=\"2\"/>\n");
        // An instrumented core with four plugins passes the memory limit within seconds, and the
        // file camera would then wait for memory that never comes back; throttling has tests of its own.
        WriteFile(install / "core.xml", "<oDVR><Memory Throttling=\"0\"/></oDVR>\n");
        char salt[64];
        crypt_data data{};
        ASSERT_NE(crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt), nullptr);
        WriteFile(install / "web_view.xml", std::string("<WebView port=\"0\"><User name=\"alice\" hash=\"") +
                                                crypt_r("s3cret word", salt, &data) + "\"/></WebView>\n");
        ASSERT_NO_FATAL_FAILURE(StartCore());
    }

    // Starts the core with a supervisor's link, finds the plugin's port and logs in.
    void StartCore()
    {
        parent = std::make_unique<dvr::test::ParentEnd>();
        core = install.Start({std::to_string(parent->CoreDescriptor())}, {parent->CoreDescriptor()});
        parent->ReleaseCoreEnd();
        parent->SendParameters(std::string("ovrimd\0"
                                           "1.0.0",
                                           12));
        ASSERT_TRUE(WaitUntil(*core, [&] {
            return std::regex_search(core->Output(), served, std::regex(R"(serving http://127\.0\.0\.1:(\d+)/)"));
        })) << core->Output();
        port = static_cast<uint16_t>(std::stoi(served[1]));
        const Answer login = Fetch(port, "/api/login", "Content-Type: application/x-www-form-urlencoded\r\n", "POST",
                                   "name=alice&password=s3cret+word");
        ASSERT_EQ(login.status, 200) << login.head;
        const std::string cookie = login.Header("Set-Cookie");
        session = "Cookie: " + cookie.substr(0, cookie.find(';')) + "\r\n";
    }

    void TearDown() override
    {
        if (core)
            core->Signal(SIGKILL);
    }

    // Stops the core through its supervisor: a clean exit, no block left behind.
    void StopCore()
    {
        parent->Send(dvr::MakeParentPacket(0, IPC_STOP, nullptr, 0));
        EXPECT_EQ(core->Wait(PATIENCE), 0) << core->Output() << core->Errors();
        EXPECT_EQ(core->Output().find("leaked by plugins"), std::string::npos) << core->Output();
        core.reset();
    }

    // The recorder's answer to a status packet.
    std::string RecorderFigures()
    {
        parent->Send(dvr::MakeParentPacket(RECORDER_MODULE << 20, 1, "status", 6));
        while (auto packet = parent->Receive(PATIENCE)) {
            std::string text(packet->begin(), packet->end());
            if (text.find("dropped:") != std::string::npos)
                return text;
        }
        return "";
    }

    // The finished files of the camera as the recordings list gives them.
    nlohmann::json Listed()
    {
        const Answer list = Fetch(port, "/api/recordings?camera=cam", session);
        EXPECT_EQ(list.status, 200) << list.head;
        return nlohmann::json::parse(list.body, nullptr, false)["files"];
    }

    bool WaitForFinishedFiles(size_t count)
    {
        return WaitUntil(*core, [&] {
            size_t complete = 0;
            for (const auto& file : Listed())
                complete += file["state"] == "complete";
            return complete >= count;
        });
    }

    std::string Recordings() const { return install / "recordings"; }

    dvr::test::CoreInstallation install;
    std::unique_ptr<dvr::test::ParentEnd> parent;
    std::unique_ptr<dvr::test::ChildProcess> core;
    std::smatch served;
    uint16_t port = 0;
    std::string session; // the Cookie header of a logged-in client
};

TEST_F(WebChain, RoutesRangesAndExportsServeWhatIsRecordedAndOnlyToALoggedInClient)
{
    ASSERT_TRUE(WaitForFinishedFiles(4)) << core->Output();

    // Refused without a session, and for a wrong password.
    EXPECT_EQ(Fetch(port, "/api/cameras").status, 401);
    EXPECT_EQ(Fetch(port, "/api/export?camera=cam&from=0&to=1").status, 401);
    EXPECT_EQ(Fetch(port, "/api/login", "Content-Type: application/x-www-form-urlencoded\r\n", "POST",
                    "name=alice&password=wrong")
                  .status,
              401);

    const Answer cameras = Fetch(port, "/api/cameras", session);
    EXPECT_EQ(cameras.status, 200);
    EXPECT_NE(cameras.body.find("\"name\":\"cam\""), std::string::npos) << cameras.body;
    EXPECT_NE(cameras.body.find("\"width\":320"), std::string::npos) << cameras.body;
    const Answer status = Fetch(port, "/api/status", session);
    EXPECT_EQ(status.status, 200);
    EXPECT_NE(status.body.find("\"name\":\"cam\""), std::string::npos) << status.body;

    // The list names exactly the files on disk, with their sizes once finished.
    const nlohmann::json files = Listed();
    std::set<std::string> listed;
    for (const auto& file : files) {
        const std::string path =
            Recordings() + "/cam/" + file["day"].get<std::string>() + "/" + file["file"].get<std::string>();
        listed.insert(path);
        if (file["state"] == "complete") {
            EXPECT_EQ(file["bytes"].get<uint64_t>(), fs::file_size(path)) << path;
        }
    }
    std::set<std::string> onDisk;
    for (const std::string& segment : Segments(Recordings(), "cam"))
        onDisk.insert(segment);
    for (const std::string& path : listed)
        EXPECT_TRUE(onDisk.count(path)) << path << " is listed but not on disk";
    // The newest file may have begun after the list was made.
    EXPECT_GE(listed.size() + 1, onDisk.size());

    // A range of a recorded file is its exact bytes.
    const nlohmann::json& first = files[0];
    const std::string firstPath =
        Recordings() + "/cam/" + first["day"].get<std::string>() + "/" + first["file"].get<std::string>();
    const Answer range = Fetch(port, first["url"].get<std::string>(), session + "Range: bytes=100-4195\r\n");
    EXPECT_EQ(range.status, 206) << range.head;
    EXPECT_EQ(range.body, ReadFile(firstPath).substr(100, 4096));

    // An export across a file boundary decodes and covers the span, to within a group of pictures
    // at either end.
    const int64_t from = files[1]["start"].get<int64_t>() + SECOND / 2;
    const int64_t to = from + 3 * SECOND;
    const Answer exported =
        Fetch(port, "/api/export?camera=cam&from=" + std::to_string(from) + "&to=" + std::to_string(to), session);
    ASSERT_EQ(exported.status, 200) << exported.head << exported.body.substr(0, 200);
    EXPECT_EQ(exported.Header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(exported.Header("X-Dvr-Gaps"), "0");
    EXPECT_NE(exported.Header("Content-Disposition").find("filename=\"cam_"), std::string::npos) << exported.head;
    bool complete = false;
    const std::string mp4 = Dechunk(exported.body, complete);
    EXPECT_TRUE(complete);
    const std::string saved = install / "export.mp4";
    WriteFile(saved, mp4);
    EXPECT_EQ(DecodeErrors(saved), "");
    const Inspection inspection = Inspect(saved);
    EXPECT_GE(inspection.duration, 3.0 - 0.05) << inspection.duration;
    EXPECT_LE(inspection.duration, 3.0 + 2 * GOP_SECONDS + 0.1) << inspection.duration;

    // A span of nothing, and a span that is not one, are refused before any byte of video.
    EXPECT_EQ(Fetch(port, "/api/export?camera=cam&from=1000&to=2000", session).status, 404);
    EXPECT_EQ(Fetch(port, "/api/export?camera=cam&from=2000&to=1000", session).status, 400);
    EXPECT_EQ(Fetch(port, "/api/export?camera=cam&from=x&to=1000", session).status, 400);
    const int old = web::test::Connect(port);
    std::string refused;
    EXPECT_TRUE(web::test::SendAll(old, "GET /api/export?camera=cam&from=" + std::to_string(from) +
                                            "&to=" + std::to_string(to) + " HTTP/1.0\r\n" + session + "\r\n"));
    EXPECT_TRUE(web::test::ClosedWithin(old, std::chrono::seconds(10), &refused));
    close(old);
    EXPECT_TRUE(refused.starts_with("HTTP/1.0 505")) << refused.substr(0, 100);
    StopCore();
}

TEST_F(WebChain, HostileClientsLeaveRecordingUntouchedAndThePluginAnswering)
{
    ASSERT_TRUE(WaitForFinishedFiles(1)) << core->Output();
    // A slowloris connection: a header begun and never finished.
    const int slow = web::test::Connect(port);
    ASSERT_GE(slow, 0);
    EXPECT_TRUE(web::test::SendAll(slow, "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "));
    // Oversized headers: refused with 431 (or the connection closed).
    const Answer oversized = Fetch(port, "/api/status", "X-Big: " + std::string(64 * 1024, 'a') + "\r\n" + session);
    EXPECT_TRUE(oversized.status == 431 || oversized.status == 0) << oversized.head;
    // 1,000 connection attempts in a burst, each closed at once.
    for (int i = 0; i < 1000; ++i) {
        const int fd = web::test::Connect(port);
        if (fd >= 0)
            close(fd);
    }
    // Recording went on through it all: more files, and not a frame dropped.
    const size_t before = Listed().size();
    ASSERT_TRUE(WaitForFinishedFiles(before + 1)) << core->Output();
    EXPECT_EQ(Fetch(port, "/api/status", session).status, 200);
    const std::string figures = CameraLine(RecorderFigures(), "cam");
    const std::string dropped = figures.substr(figures.find("dropped:"),
                                               figures.find(';', figures.find("dropped:")) - figures.find("dropped:"));
    for (const auto& [name, value] : Figures(dropped))
        EXPECT_EQ(value, 0u) << name << " in " << figures;
    EXPECT_NE(figures.find("never reached the recorder 0,"), std::string::npos) << figures;
    close(slow);
    StopCore();
}

// A restart of the core leaves a hole between two files: an export across it keeps the hole in
// time (the file lasts the span, not the span less the hole) and names it in its header.
TEST_F(WebChain, AnExportAcrossAGapKeepsItInTimeAndSaysSo)
{
    ASSERT_TRUE(WaitForFinishedFiles(2)) << core->Output();
    StopCore();
    const int64_t stopped =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    // The hole must be longer than the 1 s a gap needs: wait until the wall clock has moved 3 s on.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_TRUE(WaitUntil(*core, [&] {
        for (const auto& file : Listed())
            if (file["start"].get<int64_t>() > stopped && file["state"] == "complete")
                return true;
        return false;
    })) << core->Output();
    int64_t lastBefore = 0, firstAfter = INT64_MAX;
    for (const auto& file : Listed()) {
        const int64_t start = file["start"].get<int64_t>();
        if (start < stopped)
            lastBefore = std::max(lastBefore, start);
        else
            firstAfter = std::min(firstAfter, start);
    }
    const int64_t from = lastBefore; // the stop may have ended that file within a second
    const int64_t to = firstAfter + SECOND;
    const Answer exported =
        Fetch(port, "/api/export?camera=cam&from=" + std::to_string(from) + "&to=" + std::to_string(to), session);
    ASSERT_EQ(exported.status, 200) << exported.head << exported.body.substr(0, 200);
    EXPECT_TRUE(exported.Header("X-Dvr-Gaps").starts_with("1; ")) << exported.head;
    bool complete = false;
    const std::string saved = install / "gap.mp4";
    WriteFile(saved, Dechunk(exported.body, complete));
    EXPECT_TRUE(complete);
    EXPECT_EQ(DecodeErrors(saved), "");
    const double span = static_cast<double>(to - from) / 1e9;
    const double duration = Inspect(saved).duration;
    EXPECT_GE(duration, span - 0.05) << "the hole was squeezed out";
    EXPECT_LE(duration, span + 2 * GOP_SECONDS + 0.1);
    StopCore();
}

} // namespace
