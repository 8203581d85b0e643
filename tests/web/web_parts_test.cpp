// The web view's parts in-process: the request path's rules as tables, the day index reading, the
// configuration's refusals, the login pause on an injected clock, and the server's limits with
// short time-outs.
#include "recording_folder.h"
#include "recordings_index.h"
#include "request_rules.h"
#include "web_auth.h"
#include "web_client.h"
#include "web_config.h"
#include "web_log.h"
#include "web_server.h"

#include <gtest/gtest.h>

#include "support/bounded_wait.h"

#include <crypt.h>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <vector>

// The plugin's log goes to the core; here it is kept for the tests to read.
namespace {
std::mutex logLock;
std::vector<std::string> logLines; // guarded by logLock
} // namespace

void webview::Log(int level, const char* format, ...)
{
    char text[768];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::lock_guard lock(logLock);
    logLines.push_back(std::to_string(level) + " " + text);
}

namespace {

using namespace webview;
using namespace web::test;

TEST(RequestRules, TargetsNameTheirRoutesAndNothingOutsideTheFolder)
{
    struct Case {
        const char* target;
        RouteKind kind;
    } cases[] = {
        {"/api/cameras", RouteKind::Cameras},
        {"/api/status?x=1", RouteKind::Status},
        {"/api/login", RouteKind::Login},
        {"/api/recordings?camera=a&from=1&to=2", RouteKind::Recordings},
        {"/recordings/cam-1/2026-12-10/10-00-00.mp4", RouteKind::RecordingFile},
        {"/recordings/cam%2D1/2026-12-10/10-00-00-2.mp4", RouteKind::RecordingFile},
        {"/recordings/../2026-12-10/10-00-00.mp4", RouteKind::NotFound},
        {"/recordings/%2e%2e/2026-12-10/10-00-00.mp4", RouteKind::NotFound},
        {"/recordings/cam/2026-12-10/..%2f..%2fetc%2fpasswd.mp4", RouteKind::NotFound},
        {"/recordings/cam/2026-12-10/x%00.mp4", RouteKind::NotFound},
        {"/recordings/cam/2026-12-10/x%zz.mp4", RouteKind::NotFound},
        {"/recordings/cam/2026-12-10/%", RouteKind::NotFound},
        {"/recordings/cam/2026-12-10/index.txt", RouteKind::NotFound},
        {"/recordings/cam/20261210/10-00-00.mp4", RouteKind::NotFound},
        {"/recordings/cam//2026-12-10/10-00-00.mp4", RouteKind::NotFound},
        {"//etc/passwd", RouteKind::NotFound},
        {"http://host/api/status", RouteKind::NotFound},
        {"/api/status/", RouteKind::NotFound},
        {"", RouteKind::NotFound},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseRoute(c.target).kind, c.kind) << c.target;
    const Route file = ParseRoute("/recordings/cam%2D1/2026-12-10/10-00-00.mp4");
    EXPECT_EQ(file.camera, "cam-1");
    EXPECT_EQ(file.day, "2026-12-10");
    EXPECT_EQ(file.file, "10-00-00.mp4");
}

TEST(RequestRules, QueriesAreDecodedAndTimesAreWholeNumbers)
{
    const Route route = ParseRoute("/api/recordings?camera=a+b%21&from=-5&to=12x&from=7&&flag");
    EXPECT_EQ(route.query.at("camera"), "a b!");
    EXPECT_EQ(QueryTime(route, "from"), -5); // the first of a name given twice
    EXPECT_EQ(QueryTime(route, "to"), std::nullopt);
    EXPECT_EQ(QueryTime(route, "missing"), std::nullopt);
    EXPECT_EQ(route.query.at("flag"), "");
    EXPECT_EQ(ParseRoute("/api/status?bad=%1").kind, RouteKind::NotFound);
}

TEST(RequestRules, RangesFollowTheRangeHeaderRules)
{
    struct Case {
        const char* header; // nullptr: no header
        uint64_t size;
        RangeKind kind;
        uint64_t first;
        uint64_t length;
    } cases[] = {
        {nullptr, 100, RangeKind::Whole, 0, 100},
        {"bytes=0-9", 100, RangeKind::Partial, 0, 10},
        {"bytes=90-", 100, RangeKind::Partial, 90, 10},
        {"bytes=90-1000", 100, RangeKind::Partial, 90, 10},
        {"bytes=-10", 100, RangeKind::Partial, 90, 10},
        {"bytes=-1000", 100, RangeKind::Partial, 0, 100},
        {"bytes=99-99", 100, RangeKind::Partial, 99, 1},
        {"bytes=100-", 100, RangeKind::Unsatisfiable, 0, 0},
        {"bytes=-0", 100, RangeKind::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, RangeKind::Unsatisfiable, 0, 0},
        {"bytes=-5", 0, RangeKind::Unsatisfiable, 0, 0},
        // Ignored: served whole.
        {"bytes=9-0", 100, RangeKind::Whole, 0, 100},
        {"bytes=0-1,5-6", 100, RangeKind::Whole, 0, 100},
        {"items=0-1", 100, RangeKind::Whole, 0, 100},
        {"bytes=a-b", 100, RangeKind::Whole, 0, 100},
        {"bytes=-", 100, RangeKind::Whole, 0, 100},
        {"bytes= 0-1", 100, RangeKind::Whole, 0, 100},
        {"bytes=18446744073709551616-", 100, RangeKind::Whole, 0, 100},
    };
    for (const Case& c : cases) {
        const ByteRange range = ParseRange(c.header ? std::optional<std::string_view>(c.header) : std::nullopt, c.size);
        const std::string label = c.header ? c.header : "(none)";
        EXPECT_EQ(range.kind, c.kind) << label;
        EXPECT_EQ(range.first, c.first) << label;
        EXPECT_EQ(range.length, c.length) << label;
    }
    EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(HttpDate(1796990400), "Fri, 11 Dec 2026 12:00:00 GMT");
    EXPECT_NE(EntityTag(1, 2, 3), EntityTag(1, 3, 3)); // a grown file is another entity

    // A range is kept only for the version of the file the client names; If-None-Match says 304.
    const std::string tag = "\"1-2-3\"", date = HttpDate(0);
    EXPECT_TRUE(RangeApplies(std::nullopt, tag, date));
    EXPECT_TRUE(RangeApplies(tag, tag, date));
    EXPECT_TRUE(RangeApplies(date, tag, date));
    EXPECT_FALSE(RangeApplies("\"1-2-4\"", tag, date));
    EXPECT_FALSE(RangeApplies("W/" + tag, tag, date));
    EXPECT_FALSE(RangeApplies(HttpDate(1), tag, date));
    EXPECT_TRUE(NoneMatchHolds(tag, tag));
    EXPECT_TRUE(NoneMatchHolds("\"x\", W/" + tag, tag));
    EXPECT_TRUE(NoneMatchHolds("*", tag));
    EXPECT_FALSE(NoneMatchHolds("\"x\", \"1-2-4\"", tag));
    EXPECT_FALSE(NoneMatchHolds("", tag));
}

TEST(RequestRules, WithoutUsersOnlyLoopbackNamesAreAnsweredAndLiveViewsOpenOnlyFromTheServersPage)
{
    for (const char* host :
         {"127.0.0.1", "127.0.0.1:8080", "127.1.2.3:80", "localhost:8080", "LocalHost", "[::1]:8080", "[::1]"})
        EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : {"", "evil.example:8080", "128.0.0.1", "localhost.evil.example", "[::2]:80", "[::1]x",
                             "10.0.0.1:8080", "127.0.0.1.evil.example"})
        EXPECT_FALSE(IsLoopbackHost(host)) << host;

    EXPECT_TRUE(SameOrigin(std::nullopt, "127.0.0.1:8080"));
    EXPECT_TRUE(SameOrigin("http://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_TRUE(SameOrigin("https://Cam.Local", "cam.local"));
    for (const char* origin :
         {"http://evil.example", "http://127.0.0.1:8081", "null", "file://", "ws://127.0.0.1:8080", "http://"})
        EXPECT_FALSE(SameOrigin(origin, "127.0.0.1:8080")) << origin;
}

TEST(DayIndex, LaterLinesWinDeletionsDropAndATornLastLineIsSkipped)
{
    const std::string text = "# comment\n"
                             "10-00-00.mp4 1000 0 100 writing 1 1000\n"
                             "10-01-00.mp4 2000 5 200 complete 2 2000\n"
                             "not a line\n"
                             "10-00-00.mp4 1000 60 150 complete 1 1000\n"
                             "10-01-00.mp4 deleted\n"
                             "10-02-00.mp4 3000 0 10 interrupted\n"
                             "10-03-00.mp4 4000 0 10 writing 4 4000"; // no newline: torn
    const auto entries = recindex::ParseDayIndex(text).entries;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "10-00-00.mp4");
    EXPECT_EQ(entries[0].durationNs, 60);
    EXPECT_EQ(entries[0].state, recindex::SegmentState::Complete);
    EXPECT_EQ(entries[1].name, "10-02-00.mp4");
    EXPECT_EQ(entries[1].sequence, 0u); // an older index's line
}

// A recordings folder in a fresh temporary folder.
class RecordingsFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/web_parts_test.XXXXXX";
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

TEST_F(RecordingsFolder, FilesAreListedByOverlapAndOpenedOnlyWhenIndexedRegularAndReal)
{
    constexpr int64_t DAY = int64_t{86400} * 1'000'000'000;
    const auto day = root_ / "cam" / "1970-01-02";
    WriteFile(day / "index.txt", "00-00-00.mp4 " + std::to_string(DAY) + " 100 112 complete 1 1\n" + "00-00-01.mp4 " +
                                     std::to_string(DAY + 1000) + " 0 112 writing 2 2\n" + "00-00-02.mp4 " +
                                     std::to_string(DAY + 2000) + " 0 10 writing 3 3\n" + "fifo.mp4 " +
                                     std::to_string(DAY + 3000) + " 0 0 complete 4 4\n" + "link.mp4 " +
                                     std::to_string(DAY + 4000) + " 0 0 complete 5 5\n");
    WriteFile(day / "00-00-00.mp4", FragmentedFile());
    WriteFile(day / "00-00-01.mp4", FragmentedFile(30)); // being written: a fragment half there
    WriteFile(day / "00-00-02.mp4", Box("ftyp", 24));    // being written: no fragment yet
    WriteFile(day / "unlisted.mp4", FragmentedFile());
    ASSERT_EQ(mkfifo((day / "fifo.mp4").c_str(), 0600), 0);
    std::filesystem::create_symlink(day / "00-00-00.mp4", day / "link.mp4");

    std::vector<Recording> found;
    std::string why;
    ASSERT_TRUE(ListRecordings(Folder(), "cam", DAY + 50, DAY + 1500, found, why)) << why;
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].entry.name, "00-00-00.mp4");
    EXPECT_EQ(found[1].entry.name, "00-00-01.mp4");
    // A file being written (duration 0 in its line) holds a moment after its start.
    std::vector<Recording> ongoing;
    ASSERT_TRUE(ListRecordings(Folder(), "cam", DAY + 1500, DAY + 1600, ongoing, why)) << why;
    ASSERT_EQ(ongoing.size(), 1u);
    EXPECT_EQ(ongoing[0].entry.name, "00-00-01.mp4");
    // Times at the end of the clock's range neither wrap nor are left out.
    const int64_t late = INT64_MAX - 10;
    WriteFile(root_ / "cam" / "2262-04-11" / "index.txt",
              "23-47-16.mp4 " + std::to_string(late) + " 100 1 complete 9 9\n");
    WriteFile(root_ / "cam" / "9999-12-31" / "index.txt", "00-00-00.mp4 1 1 1 complete 10 1\n");
    std::vector<Recording> last;
    ASSERT_TRUE(ListRecordings(Folder(), "cam", late + 5, INT64_MAX, last, why)) << why;
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].entry.name, "23-47-16.mp4");
    EXPECT_FALSE(ListRecordings(Folder(), "nobody", 0, DAY * 9, found, why));
    EXPECT_EQ(why, "");

    auto whole = OpenRecordingFile(Folder(), "cam", "1970-01-02", "00-00-00.mp4");
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->servedBytes, BYTES_WHOLE);
    close(whole->fd);
    auto writing = OpenRecordingFile(Folder(), "cam", "1970-01-02", "00-00-01.mp4");
    ASSERT_TRUE(writing);
    EXPECT_EQ(writing->servedBytes, BYTES_WHOLE); // up to its last whole fragment
    close(writing->fd);
    for (const char* refused : {"00-00-02.mp4", "unlisted.mp4", "fifo.mp4", "link.mp4", "missing.mp4"})
        EXPECT_FALSE(OpenRecordingFile(Folder(), "cam", "1970-01-02", refused)) << refused;

    // A camera or day folder that is a symlink is not followed.
    std::filesystem::create_directory_symlink(root_ / "cam", root_ / "alias");
    std::filesystem::create_directory_symlink(day, root_ / "cam" / "1970-01-03");
    EXPECT_FALSE(OpenRecordingFile(Folder(), "alias", "1970-01-02", "00-00-00.mp4"));
    EXPECT_FALSE(ListRecordings(Folder(), "alias", 0, DAY * 9, found, why));
    EXPECT_FALSE(OpenRecordingFile(Folder(), "cam", "1970-01-03", "00-00-00.mp4"));
}

// The day index is read by the recorder's rules: one longer than the read limit is read up to it,
// not dropped whole.
TEST_F(RecordingsFolder, AnIndexPastTheReadLimitListsWhatTheRecorderReads)
{
    std::string text = "00-00-00.mp4 86400000000000 100 112 complete 1 1\n";
    const std::string padding = "#" + std::string(1000, ' ') + "\n";
    while (text.size() <= recindex::MAX_INDEX_BYTES)
        text += padding;
    WriteFile(root_ / "cam" / "1970-01-02" / "index.txt", text);
    std::vector<Recording> found;
    std::string why;
    ASSERT_TRUE(ListRecordings(Folder(), "cam", 0, INT64_MAX, found, why)) << why;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].entry.name, "00-00-00.mp4");
}

TEST_F(RecordingsFolder, BadConfigurationsAreRefusedAndExposureNeedsAUser)
{
    const std::string path = root_ / "web_view.xml";
    const std::string recorder = root_ / "segment_recorder.xml";
    WriteFile(recorder, "<SegmentRecorder folder=\"/srv/rec\"/>");
    auto defaults = ReadWebConfig(path, recorder);
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->address, "127.0.0.1");
    EXPECT_EQ(defaults->port, 8080);
    EXPECT_EQ(defaults->recordings, "/srv/rec");
    EXPECT_EQ(ReadWebConfig(path, root_ / "none.xml")->recordings, "recordings");

    for (const char* bad : {
             "<WebView",
             "<Other/>",
             "<WebView address=\"example.com\"/>",
             "<WebView port=\"65536\"/>",
             "<WebView port=\"80x\"/>",
             "<WebView certificate=\"c.pem\"/>",
             "<WebView><User name=\"a\"/></WebView>",
             "<WebView><User name=\"a\" hash=\"plain-text\"/></WebView>",
             "<WebView><User name=\"a:b\" hash=\"$6$x$y\"/></WebView>",
             "<WebView><User name=\"a\" hash=\"$6$x$y\"/><User name=\"a\" hash=\"$6$x$z\"/></WebView>",
         }) {
        WriteFile(path, bad);
        logLines.clear();
        EXPECT_FALSE(ReadWebConfig(path, recorder)) << bad;
        ASSERT_EQ(logLines.size(), 1u) << bad;
        EXPECT_EQ(logLines[0].rfind("100 ", 0), 0u) << logLines[0];
        EXPECT_EQ(logLines[0].find("$6$"), std::string::npos) << "a hash was logged: " << logLines[0];
    }

    WriteFile(path, "<WebView address=\"0.0.0.0\" port=\"0\" recordings=\"r\"><User name=\"a\" hash=\"$6$x$y\"/>"
                    "</WebView>");
    auto exposed = ReadWebConfig(path, recorder);
    ASSERT_TRUE(exposed);
    EXPECT_EQ(exposed->recordings, "r");
    EXPECT_EQ(ExposureRefusal(*exposed), "");
    exposed->users.clear();
    EXPECT_NE(ExposureRefusal(*exposed), "");
    for (const char* loopback : {"127.0.0.1", "127.1.2.3", "::1"}) {
        exposed->address = loopback;
        EXPECT_EQ(ExposureRefusal(*exposed), "") << loopback;
    }
    exposed->address = "::";
    EXPECT_NE(ExposureRefusal(*exposed), "");
}

// A crypt hash of password, as `openssl passwd -6` makes one.
std::string HashOf(const char* password)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt), nullptr);
    crypt_data data{};
    return crypt_r(password, salt, &data);
}

TEST(Authenticator, FailedLoginsPauseTheirAddressAndSessionsExpire)
{
    SteadyTime now{};
    Authenticator auth({{"alice", HashOf("secret")}}, [&] { return now; });
    std::string session;
    EXPECT_EQ(auth.Login("127.0.0.11", "alice", "wrong", session), LoginResult::Refused);
    EXPECT_EQ(auth.Login("127.0.0.11", "alice", "secret", session), LoginResult::Slowed);
    EXPECT_EQ(auth.Login("127.0.0.12", "bob", "secret", session), LoginResult::Refused); // no such user
    now += std::chrono::seconds(1);
    EXPECT_EQ(auth.Login("127.0.0.11", "alice", "wrong", session), LoginResult::Refused);
    now += std::chrono::seconds(1); // the second failure pauses 2 s
    EXPECT_EQ(auth.Login("127.0.0.11", "alice", "secret", session), LoginResult::Slowed);
    EXPECT_EQ(auth.RetryAfter("127.0.0.11"), std::chrono::seconds(1));
    now += std::chrono::seconds(1);
    ASSERT_EQ(auth.Login("127.0.0.11", "alice", "secret", session), LoginResult::Accepted);
    EXPECT_EQ(session.size(), 64u);
    EXPECT_TRUE(auth.SessionValid(session));
    EXPECT_FALSE(auth.SessionValid(session + "0"));
    // Basic credentials: "alice:secret" and "alice:wrong".
    EXPECT_EQ(auth.CheckBasic("127.0.0.13", "Basic YWxpY2U6c2VjcmV0"), LoginResult::Accepted);
    EXPECT_EQ(auth.CheckBasic("127.0.0.13", "Basic YWxpY2U6d3Jvbmc="), LoginResult::Refused);
    EXPECT_EQ(auth.CheckBasic("127.0.0.13", "Basic YWxpY2U6c2VjcmV0"), LoginResult::Slowed);
    now += std::chrono::hours(13);
    EXPECT_FALSE(auth.SessionValid(session));
}

// A server on a free port of 127.0.0.1 answering every request with "hello".
class ServerLimits : public ::testing::Test {
protected:
    void Start(ServerSettings settings)
    {
        settings.port = 0;
        server_ = std::make_unique<WebServer>(settings, [](const Request& request, const RequestContext&) -> Reply {
            StringResponse response{http::status::ok, request.version()};
            response.body() = "hello";
            return response;
        });
        std::string why;
        ASSERT_TRUE(server_->Start(why)) << why;
    }
    std::unique_ptr<WebServer> server_;
};

TEST_F(ServerLimits, SlowAndSilentClientsAreCutOffAtTheHeaderTimeOut)
{
    ServerSettings settings;
    settings.headerTimeout = std::chrono::milliseconds(200);
    settings.idleTimeout = std::chrono::hours(1);
    Start(settings);
    int fd = Connect(server_->Port());
    ASSERT_GE(fd, 0);
    // A byte every 20 ms, never ending its header: only the header time-out can end it (the header
    // limit is far away).
    const auto giveUp = std::chrono::steady_clock::now() + dvr::test::WAIT_LIMIT;
    const std::string header = "GET /api/status HTTP/1.1\r\nX-Slow: ";
    bool closed = false;
    for (size_t i = 0; !closed && std::chrono::steady_clock::now() < giveUp; ++i)
        closed = !SendAll(fd, i < header.size() ? header.substr(i, 1) : "a") ||
                 ClosedWithin(fd, std::chrono::milliseconds(20));
    EXPECT_TRUE(closed) << "the slow client was never cut off";
    close(fd);
    // One that connects and sends nothing at all is cut off alike.
    fd = Connect(server_->Port());
    EXPECT_TRUE(ClosedWithin(fd, dvr::test::WAIT_LIMIT)) << "the silent client was never cut off";
    close(fd);
    EXPECT_EQ(Fetch(server_->Port(), "/").status, 200); // and the server answers others
}

TEST_F(ServerLimits, OversizedRequestsAndConnectionsOverTheLimitAreRefused)
{
    ServerSettings settings;
    settings.connectionsPerAddress = 2;
    Start(settings);
    const Answer big = Fetch(server_->Port(), "/", "X-Big: " + std::string(9000, 'a') + "\r\n");
    EXPECT_EQ(big.status, 431);
    EXPECT_EQ(big.Header("X-Content-Type-Options"), "nosniff");
    EXPECT_NE(big.Header("Content-Security-Policy"), "");
    EXPECT_EQ(Fetch(server_->Port(), "/", "", "POST", std::string(17000, 'b')).status, 413);

    const int first = Connect(server_->Port());
    const int second = Connect(server_->Port());
    ASSERT_TRUE(SendAll(first, "GET / HTTP/1.1\r\nHost: x\r\n\r\n")); // both accepted and counted
    std::string answered;
    while (answered.find("hello") == std::string::npos &&
           !ClosedWithin(first, std::chrono::milliseconds(50), &answered))
        if (answered.size() > 1000)
            break;
    ASSERT_NE(answered.find("hello"), std::string::npos);
    const int third = Connect(server_->Port());
    EXPECT_TRUE(ClosedWithin(third, std::chrono::seconds(10))) << "a third connection from one address stayed";
    close(third);
    close(second);
    close(first);
    // The server sees the closes on its own thread: once it did, the address may connect again.
    Answer normal;
    EXPECT_TRUE(dvr::test::WaitUntil([&] { return (normal = Fetch(server_->Port(), "/")).status == 200; },
                                     "a connection after the others closed"));
    EXPECT_EQ(normal.Header("X-Content-Type-Options"), "nosniff");
}

} // namespace
