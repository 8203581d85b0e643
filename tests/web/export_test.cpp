// The export's parts in-process: what a span is made of, the bounded pipe between the remux and
// the connection, and how the server sends a reply made while it is sent.
#include "export_plan.h"
#include "export_stream.h"
#include "web_client.h"
#include "web_log.h"
#include "web_server.h"

#include <gtest/gtest.h>

#include "support/bounded_wait.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <future>
#include <thread>

// The plugin's log goes to the core; these tests read none of it.
void webview::Log(int, const char*, ...) {}

namespace {

using namespace webview;
using web::test::Dechunk;
using web::test::Fetch;

constexpr int64_t S = 1'000'000'000;

Recording File(const char* name, int64_t startNs, int64_t durationNs,
               recindex::SegmentState state = recindex::SegmentState::Complete)
{
    Recording recording;
    recording.day = "1970-01-01";
    recording.entry.name = name;
    recording.entry.startNs = startNs;
    recording.entry.durationNs = durationNs;
    recording.entry.state = state;
    return recording;
}

TEST(ExportPlan, GapsAreTheSpanLeftUncoveredAndAFileBeingWrittenCoversOnward)
{
    const std::vector<Recording> found = {File("c.mp4", 20 * S, 2 * S), File("a.mp4", 10 * S, 2 * S),
                                          File("b.mp4", 12 * S + S / 25, 2 * S),
                                          File("d.mp4", 30 * S, 0, recindex::SegmentState::Writing)};
    struct Case {
        int64_t from, to;
        std::vector<std::string> files;
        std::string gaps;
    };
    const Case cases[] = {
        {11 * S, 13 * S, {"a.mp4", "b.mp4"}, "0"}, // a frame's hole between files is no gap
        {11 * S, 25 * S, {"a.mp4", "b.mp4", "c.mp4"}, "2; 14040000000-20000000000,22000000000-25000000000"},
        {5 * S, 11 * S, {"a.mp4"}, "1; 5000000000-10000000000"},
        {31 * S, 90 * S, {"d.mp4"}, "0"},
        {15 * S, 19 * S, {}, "1; 15000000000-19000000000"},
    };
    for (const Case& c : cases) {
        const ExportPlan plan = PlanExport(found, c.from, c.to);
        std::vector<std::string> names;
        for (const Recording& file : plan.files)
            names.push_back(file.entry.name);
        EXPECT_EQ(names, c.files) << c.from << "-" << c.to;
        EXPECT_EQ(GapHeader(plan.gaps), c.gaps) << c.from << "-" << c.to;
    }
    EXPECT_TRUE(ExportSpanProblem(2 * S, S));
    EXPECT_TRUE(ExportSpanProblem(0, MAX_EXPORT_NS + 1));
    EXPECT_TRUE(ExportSpanProblem(INT64_MIN, INT64_MAX)); // no overflow into a short span
    EXPECT_FALSE(ExportSpanProblem(0, S));
    EXPECT_EQ(ExportFileName("front door\"", 90061 * S), "front_door__1970-01-02_01-01-01.mp4");
}

// Takes pieces from pipe until its end; whole says how it ended.
std::string Drain(ExportPipe& pipe, bool& whole, size_t* firstPiece = nullptr)
{
    boost::asio::io_context io;
    const auto work = boost::asio::make_work_guard(io); // the maker's pieces come from its thread
    std::string body;
    for (bool more = true; more;) {
        pipe.Next(io.get_executor(), [&](ChunkSource::Piece piece, std::string bytes) {
            if (firstPiece != nullptr && body.empty())
                *firstPiece = bytes.size();
            body += bytes;
            whole = piece == ChunkSource::Piece::End;
            more = piece == ChunkSource::Piece::Data;
        });
        EXPECT_EQ(io.run_one_for(dvr::test::WAIT_LIMIT), 1u) << "no piece came";
    }
    return body;
}

TEST(ExportPipe, TheMakerWaitsWhileItIsFullAndStopsWhenTheReaderGoes)
{
    ExportPipe pipe(10);
    std::atomic<int> pushed = 0;
    std::thread maker([&] {
        for (const char* piece : {"aaaaaaaa", "bbbbbbbb", "cccccccc", "dddddddd"})
            if (pipe.Push(reinterpret_cast<const uint8_t*>(piece), 8))
                ++pushed;
        pipe.End(true, "");
    });
    ASSERT_TRUE(dvr::test::WaitUntil([&] { return pushed >= 2; }, "two pieces queued"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // room for a third, were the pipe unbounded
    bool whole = false;
    size_t first = 0;
    EXPECT_EQ(Drain(pipe, whole, &first), "aaaaaaaabbbbbbbbccccccccdddddddd");
    EXPECT_TRUE(whole);
    EXPECT_EQ(first, 16u); // the third piece waited for room
    maker.join();

    // A reader that goes away frees a maker waiting for room, and the pipe takes no more.
    ExportPipe abandoned(4);
    const uint8_t bytes[8] = {};
    ASSERT_TRUE(abandoned.Push(bytes, 8)); // full now
    auto blocked = std::async(std::launch::async, [&] { return abandoned.Push(bytes, 8); });
    abandoned.Cancel();
    ASSERT_EQ(blocked.wait_for(dvr::test::WAIT_LIMIT), std::future_status::ready);
    EXPECT_FALSE(blocked.get());
    EXPECT_TRUE(abandoned.Cancelled());
    whole = true;
    Drain(abandoned, whole);
    EXPECT_FALSE(whole);
}

// A body of scripted pieces; notes whether it was cancelled.
class ScriptedBody : public ChunkSource {
public:
    explicit ScriptedBody(std::vector<std::pair<Piece, std::string>> script)
        : script_(std::move(script))
    {
    }
    void Next(boost::asio::any_io_executor executor, Ready ready) override
    {
        auto [piece, bytes] = script_.at(next_++);
        boost::asio::post(executor, [ready, piece = piece, bytes = bytes] { ready(piece, bytes); });
    }
    void Cancel() override { cancelled = true; }
    std::atomic<bool> cancelled = false;

private:
    std::vector<std::pair<Piece, std::string>> script_;
    size_t next_ = 0;
};

TEST(ChunkedReplies, AWholeBodyEndsWithTheLastChunkAFailedOneWithoutAndAFailureFirstIsA500)
{
    using Piece = ChunkSource::Piece;
    std::map<std::string, std::shared_ptr<ScriptedBody>> bodies = {
        {"/whole", std::make_shared<ScriptedBody>(std::vector<std::pair<Piece, std::string>>{
                       {Piece::Data, "abc"}, {Piece::Data, "defg"}, {Piece::End, ""}})},
        {"/cut", std::make_shared<ScriptedBody>(
                     std::vector<std::pair<Piece, std::string>>{{Piece::Data, "abc"}, {Piece::Failed, "broken"}})},
        {"/none",
         std::make_shared<ScriptedBody>(std::vector<std::pair<Piece, std::string>>{{Piece::Failed, "no file"}})},
    };
    ServerSettings settings;
    settings.port = 0;
    WebServer server(settings, [&](const Request& request, const RequestContext&) -> Reply {
        HeadResponse head{http::status::ok, request.version()};
        head.set(http::field::content_type, "video/mp4");
        return ChunkedReply{std::move(head), bodies.at(std::string(request.target()))};
    });
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    bool complete = false;

    const auto whole = Fetch(server.Port(), "/whole");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.Header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(Dechunk(whole.body, complete), "abcdefg");
    EXPECT_TRUE(complete);

    const auto cut = Fetch(server.Port(), "/cut");
    EXPECT_EQ(cut.status, 200);
    EXPECT_EQ(Dechunk(cut.body, complete), "abc");
    EXPECT_FALSE(complete) << "a failed body must not look whole";

    const auto none = Fetch(server.Port(), "/none");
    EXPECT_EQ(none.status, 500);
    EXPECT_EQ(none.body, "no file\n");
    for (const auto& [target, body] : bodies)
        EXPECT_TRUE(dvr::test::WaitUntil([&] { return body->cancelled.load(); }, target + " cancelled at its end"));
}

} // namespace
