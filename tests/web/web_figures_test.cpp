// The figures of the web view's status and the page it serves, in-process: a camera's rates, ages
// and missing frames on an injected clock, the core's status documents, a camera's files on disk,
// and the page's files.
#include "camera_table.h"
#include "core_status.h"
#include "page_files.h"
#include "recording_folder.h"
#include "recordings_summary.h"
#include "status_figures.h"
#include "web_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <set>
#include <unistd.h>

void webview::Log(int, const char*, ...) {}

namespace {

using namespace webview;
using namespace web::test;
using namespace std::chrono_literals;

_DvrMediaParams Params(uint32_t camera, uint32_t generation)
{
    _DvrMediaParams params{};
    params.size = sizeof params;
    params.camera = camera;
    params.generation = generation;
    std::strcpy(params.name, "cam");
    return params;
}

// A frame of bytes coded bytes: Frame counts what follows the frame's header.
void Send(CameraTable& table, bool video, uint32_t sequence, uint32_t bytes, bool throttling = false)
{
    _DvrMediaFrame frame{};
    frame.size = sizeof frame;
    frame.camera = 1;
    frame.sequence = sequence;
    table.Frame(video, frame, sizeof frame + bytes, throttling);
}

TEST(CameraFigures, RatesAndAgeFollowTheClockAndGapsAreCountedByCause)
{
    SteadyTime now{};
    CameraTable table([&] { return now; });
    table.Parameters(Params(1, 1));
    EXPECT_EQ(table.Cameras().at(0).lastFrameAgeMs, -1);
    // 25 video frames of 1000 bytes and 50 audio frames of 100 bytes a second, for 8 s.
    uint32_t video = 0;
    uint32_t audio = 0;
    for (int tick = 0; tick < 8 * 50; ++tick) {
        if (tick % 2 == 0)
            Send(table, true, video++, 1000);
        Send(table, false, audio++, 100);
        now += 20ms;
    }
    CameraFigures camera = table.Cameras().at(0);
    EXPECT_NEAR(camera.rates.framesPerSecond, 25, 0.5);
    EXPECT_NEAR(camera.rates.bitsPerSecond, (25 * 1000 + 50 * 100) * 8, 2000);
    EXPECT_EQ(camera.lastFrameAgeMs, 20);
    // The first second of a camera is not read as a burst, nor the first seconds as a slow start.
    SteadyTime fresh{};
    CameraTable young([&] { return fresh; });
    young.Parameters(Params(1, 1));
    for (uint32_t i = 0; i < 50; ++i, fresh += 40ms)
        Send(young, true, i, 0);
    EXPECT_NEAR(young.Cameras().at(0).rates.framesPerSecond, 25, 0.5);

    // Silence: the rates fall to nothing and the age grows.
    now += 10s;
    camera = table.Cameras().at(0);
    EXPECT_EQ(camera.rates.framesPerSecond, 0);
    EXPECT_EQ(camera.lastFrameAgeMs, 10020);

    // Gaps in each kind's numbering, put down to throttling when the core said it throttles; a late
    // or repeated number is no gap, and a new connection numbers afresh.
    Send(table, true, video + 5, 1000);       // 5 video frames missing
    Send(table, false, audio + 2, 100, true); // 2 audio frames missing while throttled
    Send(table, true, video + 3, 1000);       // late: nothing
    Send(table, true, video + 9, 1000, true); // 3 more missing while throttled
    table.Parameters(Params(1, 1));           // the same connection: numbering goes on
    Send(table, true, video + 11, 1000);      // 1 missing
    table.Parameters(Params(1, 2));           // reconnected
    Send(table, true, 0, 1000);
    Send(table, true, 1, 1000);
    camera = table.Cameras().at(0);
    EXPECT_EQ(camera.missingOther, 6u);
    EXPECT_EQ(camera.missingThrottled, 5u);
    // Numbers wrap: 0xFFFFFFFF is followed by 0.
    SequenceGaps gaps;
    EXPECT_EQ(gaps.Next(0xFFFFFFFEu), 0u);
    EXPECT_EQ(gaps.Next(0xFFFFFFFFu), 0u);
    EXPECT_EQ(gaps.Next(2), 2u);
}

TEST(CoreStatusDocuments, ThrottlingIsTakenFromMemoryDocumentsOnly)
{
    CoreStatus core;
    EXPECT_FALSE(core.Figures().throttling);
    EXPECT_FALSE(core.Throttling());
    const auto document = [](int throttling, const char* time) {
        return std::string("<?xml version=\"1.0\" ?><oDVR><Memory ID=\"-2147483648\" Throttling=\"") +
               std::to_string(throttling) + "\" Time=\"" + time + "\" /></oDVR>";
    };
    EXPECT_TRUE(core.Document(document(0, "100")));
    EXPECT_EQ(core.Figures().throttling, false);
    EXPECT_TRUE(core.Document(document(1, "200")));
    EXPECT_TRUE(core.Document(document(1, "300"))); // no change: no new start
    EXPECT_TRUE(core.Throttling());
    EXPECT_EQ(core.Figures().throttlingStarts, 1u);
    EXPECT_EQ(core.Figures().changedAt, 200);
    // After 2038 the time is a negative 32-bit number, read as unsigned.
    EXPECT_TRUE(core.Document(document(0, "-2")));
    EXPECT_EQ(core.Figures().changedAt, int64_t{0xFFFFFFFE});
    for (const char* other : {"", "<oDVR/>", "<oDVR><Memory/></oDVR>", "<oDVR><Modules/></oDVR>", "not xml"})
        EXPECT_FALSE(core.Document(other)) << other;
    EXPECT_FALSE(core.Throttling());
    EXPECT_GT(ResidentBytes(), 0u);
}

class DiskFigures : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/web_figures_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override
    {
        if (fd_ >= 0)
            close(fd_);
        std::filesystem::remove_all(root_);
    }
    int Folder()
    {
        if (fd_ < 0)
            fd_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
        return fd_;
    }
    std::filesystem::path root_;
    int fd_ = -1;
};

TEST_F(DiskFigures, FilesBytesHorizonAndRecordingComeFromTheIndexes)
{
    constexpr int64_t DAY = int64_t{86400} * 1'000'000'000;
    EXPECT_EQ(SummarizeRecordings(Folder(), "cam").files, 0u);
    WriteFile(root_ / "cam" / "1970-01-02" / "index.txt",
              "00-00-00.mp4 " + std::to_string(DAY) + " 100 1000 complete 1 1\n" + "00-00-09.mp4 " +
                  std::to_string(DAY + 9) + " 100 500 complete 2 2\n00-00-09.mp4 deleted\n");
    WriteFile(root_ / "cam" / "1970-01-03" / "index.txt", "00-00-00.mp4 " + std::to_string(2 * DAY) +
                                                              " 100 2000 interrupted 3 3\n" + "00-01-00.mp4 " +
                                                              std::to_string(2 * DAY + 60) + " 0 0 writing 4 4\n");
    WriteFile(root_ / "cam" / "1970-01-03" / "00-01-00.mp4", FragmentedFile(30));
    RecordingsSummary summary = SummarizeRecordings(Folder(), "cam");
    EXPECT_EQ(summary.files, 3u);
    EXPECT_EQ(summary.bytes, 1000 + 2000 + BYTES_WHOLE); // the file being written up to its whole fragments
    EXPECT_EQ(summary.oldestNs, DAY);
    EXPECT_EQ(summary.newestNs, 2 * DAY + 60);
    EXPECT_TRUE(summary.writing);

    // Recording: the newest file is being written and frames arrive.
    CameraFigures camera;
    camera.lastFrameAgeMs = 100;
    EXPECT_TRUE(IsRecording(camera, summary));
    camera.lastFrameAgeMs = FRAMES_ARRIVING.count();
    EXPECT_FALSE(IsRecording(camera, summary)); // a camera gone silent
    camera.lastFrameAgeMs = -1;
    EXPECT_FALSE(IsRecording(camera, summary));
    camera.lastFrameAgeMs = 100;
    summary.writing = false; // what a stopped recorder leaves
    EXPECT_FALSE(IsRecording(camera, summary));
    const nlohmann::json figures = CameraStatus(camera, summary);
    EXPECT_EQ(figures["recordings"]["oldestNs"], DAY);
    EXPECT_EQ(figures["lastFrameAgeMs"], 100);
    EXPECT_TRUE(CameraStatus(CameraFigures{}, {})["recordings"]["oldestNs"].is_null());
}

TEST_F(DiskFigures, TheWholeStoreIsReadAgainOnlyAfterAWhileTheNewestFileAtEveryCall)
{
    constexpr int64_t DAY = int64_t{86400} * 1'000'000'000;
    const auto index = root_ / "cam" / "1970-01-11" / "index.txt";
    WriteFile(root_ / "cam" / "1970-01-02" / "index.txt",
              "00-00-00.mp4 " + std::to_string(DAY) + " 100 1000 complete 1 1\n");
    WriteFile(index, "00-00-00.mp4 " + std::to_string(10 * DAY) + " 100 10 complete 2 2\n");
    SteadyTime now{};
    int64_t wall = 10 * DAY + 500;
    RecordingsSummaries summaries([&] { return now; }, [&] { return wall; });
    EXPECT_EQ(summaries.Get(Folder(), "cam").files, 2u);

    // A new file starts: the newest and its state at once, the counts at the next whole reading.
    std::ofstream(index, std::ios::app) << "00-00-01.mp4 " << 10 * DAY + 1000 << " 0 0 writing 3 3\n";
    now += RecordingsSummaries::WHOLE_EVERY - 1s;
    RecordingsSummary summary = summaries.Get(Folder(), "cam");
    EXPECT_EQ(summary.files, 2u);
    EXPECT_EQ(summary.newestNs, 10 * DAY + 1000);
    EXPECT_TRUE(summary.writing);
    EXPECT_EQ(summary.oldestNs, DAY);
    now += 1s;
    EXPECT_EQ(summaries.Get(Folder(), "cam").files, 3u);
    // Only the last day's indexes are read between: an older day's change waits for the whole.
    wall += 3 * DAY;
    std::ofstream(root_ / "cam" / "1970-01-02" / "index.txt", std::ios::app) << "00-00-00.mp4 deleted\n";
    EXPECT_EQ(summaries.Get(Folder(), "cam").oldestNs, DAY);
    now += RecordingsSummaries::WHOLE_EVERY;
    summary = summaries.Get(Folder(), "cam");
    EXPECT_EQ(summary.oldestNs, 10 * DAY);
    EXPECT_TRUE(summary.writing);
}

Request Get(const std::string& target, const std::string& match = "")
{
    Request request{http::verb::get, target, 11};
    if (!match.empty())
        request.set(http::field::if_none_match, match);
    return request;
}

TEST(PageFiles, ThePageAndEveryFileItLoadsAreServedWithTheirTypeAndTag)
{
    const EmbeddedFile* index = FindPageFile("/");
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->path, "/index.html");
    for (const char* nothing : {"/index.html", "/page/", "/page/../index.html", "/page/nothing.js", "/api/status"})
        EXPECT_EQ(FindPageFile(nothing), nullptr) << nothing;
    EXPECT_EQ(PageContentType("/a.css"), "text/css; charset=utf-8");

    // Every file the page names (its stylesheet, its modules and theirs) is built into the plugin.
    std::set<std::string> named;
    const std::regex reference(R"re((?:href|src)="(/page/[^"]+)"|from '\./([^']+)')re");
    for (size_t i = 0; i < PAGE_FILE_COUNT; ++i) {
        const std::string text(PAGE_FILES[i].bytes);
        for (std::sregex_iterator at(text.begin(), text.end(), reference), end; at != end; ++at)
            named.insert((*at)[1].matched ? (*at)[1].str() : "/page/" + (*at)[2].str());
    }
    EXPECT_GE(named.size(), 5u);
    for (const std::string& path : named)
        EXPECT_NE(FindPageFile(path), nullptr) << path << " is named by the page but not built in";

    auto page = PageReply(Get("/?from=bookmark"));
    ASSERT_TRUE(page);
    EXPECT_EQ(page->result(), http::status::ok);
    EXPECT_EQ(page->at(http::field::content_type), "text/html; charset=utf-8");
    EXPECT_EQ(page->body(), index->bytes);
    const std::string tag(page->at(http::field::etag));
    auto script = PageReply(Get("/page/app.js"));
    ASSERT_TRUE(script);
    EXPECT_EQ(script->at(http::field::content_type), "text/javascript; charset=utf-8");
    EXPECT_NE(std::string(script->at(http::field::etag)), tag);
    auto unchanged = PageReply(Get("/", tag));
    EXPECT_EQ(unchanged->result(), http::status::not_modified);
    EXPECT_EQ(unchanged->body(), "");
    EXPECT_EQ(PageReply(Get("/", "\"other\""))->result(), http::status::ok);
    Request post = Get("/");
    post.method(http::verb::post);
    EXPECT_EQ(PageReply(post)->result(), http::status::method_not_allowed);
    EXPECT_FALSE(PageReply(Get("/api/cameras")));
}

} // namespace
