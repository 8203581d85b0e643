// The recorder's file store: segment names, the day index after a crash or when hostile, retention.
#include "recording_store.h"

#include "support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using dvr::test::ReadFile;
using dvr::test::TemporaryDirectory;
using dvr::test::WriteFile;
using segrec::RecordingStore;
using segrec::RetentionPolicy;

namespace {

constexpr int64_t SECOND = 1'000'000'000;
constexpr int64_t HOUR = 3600 * SECOND;

// UTC ns of a date and time, by calendar arithmetic (no time_t involved).
int64_t Ns(int year, unsigned month, unsigned day, int64_t hour = 0, int64_t minute = 0, int64_t second = 0)
{
    const std::chrono::sys_days date{std::chrono::year{year} / month / day};
    return (date.time_since_epoch().count() * 86400 + hour * 3600 + minute * 60 + second) * SECOND;
}

// Collects the store's log lines; thread-safe.
struct Logs {
    std::mutex mutex;
    std::vector<std::string> lines;
    segrec::StoreLog Sink()
    {
        return [this](int, const std::string& text) {
            const std::lock_guard lock(mutex);
            lines.push_back(text);
        };
    }
    int Count(const std::string& part)
    {
        const std::lock_guard lock(mutex);
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
};

// Records a finished segment of the given size.
std::string Record(RecordingStore& store, const std::string& camera, int64_t startNs, size_t bytes, bool end = true)
{
    std::string path = store.BeginSegment(camera, startNs);
    WriteFile(path, std::string(bytes, 'v'));
    if (end)
        store.EndSegment(path, 60 * SECOND, bytes);
    return path;
}

} // namespace

TEST(RecordingStore, SegmentsAreNamedByUtcStartWithSuffixesForTakenNamesAndPlainCamerasOnly)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    const int64_t start = Ns(2026, 12, 9, 10, 19, 19) + SECOND / 2;
    const std::string day = dir / "rec/front/2026-12-09/";
    const std::string first = store.BeginSegment("front", start);
    EXPECT_EQ(first, day + "10-19-19.mp4");
    EXPECT_EQ(store.BeginSegment("front", start), day + "10-19-19-1.mp4"); // taken in the index
    WriteFile(day + "10-19-20.mp4", "x");
    EXPECT_EQ(store.BeginSegment("front", start + SECOND), day + "10-19-20-1.mp4"); // taken on disk
    // Past 19 January 2038, where a 32-bit time_t wraps; a leap day; before 1970.
    EXPECT_EQ(store.BeginSegment("front", Ns(2040, 2, 29, 23, 59, 59)), dir / "rec/front/2040-02-29/23-59-59.mp4");
    EXPECT_EQ(store.BeginSegment("front", -SECOND / 2), dir / "rec/front/1969-12-31/23-59-59.mp4");

    for (const char* camera : {"", ".", "..", "a/b", "../up", "two words", "tab\t"})
        EXPECT_EQ(store.BeginSegment(camera, start), "") << camera;
    EXPECT_EQ(logs.Count("cannot name a folder"), 7);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "rec"), fs::directory_iterator()), 1);

    store.EndSegment(first, 60 * SECOND, 1234);
    const std::string index = ReadFile(day + "index.txt");
    EXPECT_NE(index.find("10-19-19.mp4 " + std::to_string(start) + " 60000000000 1234 complete\n"), std::string::npos);
    EXPECT_NE(index.find("10-19-19-1.mp4 " + std::to_string(start) + " 0 0 writing\n"), std::string::npos);
}

TEST(RecordingStore, ConcurrentWritersGetDistinctNamesAllListed)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    std::mutex mutex;
    std::set<std::string> paths;
    std::vector<std::thread> writers;
    writers.reserve(4);
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                const std::string path = store.BeginSegment("cam", Ns(2030, 1, 1));
                const std::lock_guard lock(mutex);
                paths.insert(path);
            }
        });
    for (std::thread& writer : writers)
        writer.join();
    EXPECT_EQ(paths.size(), 100u);
    const std::string index = ReadFile(dir / "rec/cam/2030-01-01/index.txt");
    EXPECT_EQ(std::count(index.begin(), index.end(), '\n'), 101); // a comment line and one per segment
}

TEST(RecordingStore, ReconcileRepairsTheIndexAfterACrash)
{
    TemporaryDirectory dir;
    const std::string day = dir / "rec/front/2026-12-09/";
    fs::create_directories(day);
    fs::create_directories(dir / "rec/back/2026-12-10");
    const int64_t t = Ns(2026, 12, 9, 10);
    WriteFile(day + "index.txt", "10-00-00.mp4 " + std::to_string(t) + " 60000000000 1000 complete\n" +
                                     "10-01-00.mp4 " + std::to_string(t + 60 * SECOND) + " 0 0 writing\n" +
                                     "10-02-00.mp4 " + std::to_string(t + 120 * SECOND) + " 0 0 writing\n" +
                                     "09-00-00.mp4 " + std::to_string(t - HOUR) + " 60000000000 5 complete\n");
    WriteFile(day + "10-00-00.mp4", std::string(1000, 'v'));
    WriteFile(day + "10-01-00.mp4", std::string(300, 'v'));  // being written when the power went
    WriteFile(day + "10-02-00.mp4", "");                     // created, nothing written yet
    WriteFile(day + "10-03-00-1.mp4", std::string(50, 'v')); // not in the index
    WriteFile(day + "10-04-00.mp4", "");
    WriteFile(day + "index.txt.tmp", "10-00-00.mp4 1 0 0 wri");
    WriteFile(dir / "rec/back/2026-12-10/00-00-01.mp4", "seven!!"); // a day without an index

    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    store.Reconcile();
    EXPECT_EQ(ReadFile(day + "index.txt"), "# file start_ns duration_ns bytes state\n"
                                           "10-00-00.mp4 " +
                                               std::to_string(t) + " 60000000000 1000 complete\n" + "10-01-00.mp4 " +
                                               std::to_string(t + 60 * SECOND) + " 0 300 interrupted\n" +
                                               "10-03-00-1.mp4 " + std::to_string(t + 180 * SECOND) +
                                               " 0 50 interrupted\n");
    EXPECT_NE(ReadFile(dir / "rec/back/2026-12-10/index.txt")
                  .find("00-00-01.mp4 " + std::to_string(Ns(2026, 12, 10, 0, 0, 1)) + " 0 7 interrupted\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(day + "10-02-00.mp4"));
    EXPECT_FALSE(fs::exists(day + "10-04-00.mp4"));
    EXPECT_FALSE(fs::exists(day + "index.txt.tmp"));
    EXPECT_EQ(logs.Count("reconciled 2 day folders: 1 segments marked interrupted, 2 files added to the index, 1 "
                         "entries of missing files dropped, 2 empty files deleted"),
              1);
    // The interrupted file keeps its name.
    EXPECT_EQ(store.BeginSegment("front", t + 60 * SECOND), day + "10-01-00-1.mp4");
}

TEST(RecordingStore, HostileIndexLinesAreSkippedAndNeverLeadOutOfTheFolder)
{
    TemporaryDirectory dir;
    const std::string day = dir / "rec/front/2026-12-09/";
    fs::create_directories(day);
    const std::string good = "10-05-00.mp4 " + std::to_string(Ns(2026, 12, 9, 10, 5)) + " 0 4 complete\n";
    WriteFile(day + "index.txt", std::string(100000, 'x') + "\n" + "10-00-00.mp4 99999999999999999999 0 0 complete\n" +
                                     "../../victim.mp4 1 0 10 complete\n" + "a/b.mp4 1 0 10 complete\n" +
                                     "10-00-00.mp4 1 2 3\n" + "10-00-00.mp4 1 2 3 complete extra\n" +
                                     "10-00-00.mp4 1 -5 3 complete\n" + "10-00-00.mp4 1 0 3 done\n" +
                                     std::string("\x01\xff\0 garbage\n", 12) + "\n# a comment\n" + good + good);
    WriteFile(day + "10-05-00.mp4", "four");
    WriteFile(dir / "rec/victim.mp4", "keep me");
    WriteFile(dir / "victim.mp4", "keep me");

    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    store.Reconcile();
    EXPECT_EQ(logs.Count("skipped 10 unreadable or repeated lines (the first is line 1)"), 1);
    EXPECT_EQ(ReadFile(day + "index.txt"), "# file start_ns duration_ns bytes state\n" + good);

    const auto result = store.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, Ns(2030, 1, 1));
    EXPECT_EQ(result.deleted, 1u);
    EXPECT_FALSE(fs::exists(dir / "rec/front"));
    EXPECT_TRUE(fs::exists(dir / "rec/victim.mp4"));
    EXPECT_TRUE(fs::exists(dir / "victim.mp4"));
}

TEST(RecordingStore, RetentionByAgeDeletesOldestFinishedFilesFirstInBoundedBatches)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    const std::string a1 = Record(store, "a", Ns(2027, 3, 1, 10), 10);
    const std::string a2 = Record(store, "a", Ns(2027, 3, 2, 10), 10);
    const std::string b1 = Record(store, "b", Ns(2027, 3, 1, 11), 10);
    const std::string b2 = Record(store, "b", Ns(2027, 3, 2, 9), 10);
    const std::string open = Record(store, "b", Ns(2027, 3, 1, 9), 10, false); // the oldest, still being written
    const RetentionPolicy policy{20 * HOUR, 0, 1};                             // day 1 is too old, day 2 is not
    const int64_t now = Ns(2027, 3, 2, 12);

    EXPECT_EQ(store.EnforceRetention(policy, now).deleted, 1u);
    EXPECT_FALSE(fs::exists(a1));
    EXPECT_FALSE(fs::exists(dir / "rec/a/2027-03-01")); // emptied day folder
    EXPECT_TRUE(fs::exists(b1));
    EXPECT_EQ(logs.Count("retention deleted 1 files"), 1);

    EXPECT_EQ(store.EnforceRetention(policy, now).deleted, 1u);
    EXPECT_FALSE(fs::exists(b1));
    EXPECT_TRUE(fs::exists(open));
    EXPECT_EQ(ReadFile(dir / "rec/b/2027-03-01/index.txt"), "# file start_ns duration_ns bytes state\n09-00-00.mp4 " +
                                                                std::to_string(Ns(2027, 3, 1, 9)) + " 0 0 writing\n");
    EXPECT_EQ(store.EnforceRetention(policy, now).deleted, 0u); // only younger and open files left

    store.EndSegment(open, SECOND, 10);
    EXPECT_EQ(store.EnforceRetention(policy, now).deleted, 1u);
    EXPECT_FALSE(fs::exists(dir / "rec/b/2027-03-01"));
    EXPECT_TRUE(fs::exists(a2));
    EXPECT_TRUE(fs::exists(b2));

    const auto last = store.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, now);
    EXPECT_EQ(last.deleted, 2u);
    EXPECT_EQ(last.bytesFreed, 20u);
    EXPECT_FALSE(fs::exists(dir / "rec/a")); // emptied camera folders
    EXPECT_FALSE(fs::exists(dir / "rec/b"));
    EXPECT_TRUE(fs::exists(dir / "rec"));
}

TEST(RecordingStore, RetentionFreesSpaceUpToTheFloorAndSaysWhenItCannot)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    // A 10,000-byte disk holding only the recordings.
    store.SetFreeSpaceQuery([&] {
        uint64_t used = 0;
        for (const auto& file : fs::recursive_directory_iterator(dir / "rec"))
            if (file.path().extension() == ".mp4")
                used += file.file_size();
        return 10000 - used;
    });
    std::vector<std::string> paths;
    paths.reserve(4);
    for (int i = 0; i < 4; ++i)
        paths.push_back(Record(store, i % 2 ? "a" : "b", Ns(2027, 3, 1, 10, i), 1000));
    const std::string open = Record(store, "a", Ns(2027, 3, 1, 9), 2000, false);
    const int64_t now = Ns(2027, 3, 1, 12);

    auto result = store.EnforceRetention(RetentionPolicy{0, 5500, 16}, now); // 4000 free: two must go
    EXPECT_EQ(result.deleted, 2u);
    EXPECT_EQ(result.bytesFreed, 2000u);
    EXPECT_FALSE(result.floorStillReached);
    EXPECT_FALSE(fs::exists(paths[0]));
    EXPECT_FALSE(fs::exists(paths[1]));
    EXPECT_TRUE(fs::exists(paths[2]));

    result = store.EnforceRetention(RetentionPolicy{0, 5500, 16}, now);
    EXPECT_EQ(result.deleted, 0u);

    result = store.EnforceRetention(RetentionPolicy{0, 9000, 16}, now); // only the open file would reach it
    EXPECT_EQ(result.deleted, 2u);
    EXPECT_TRUE(result.floorStillReached);
    EXPECT_TRUE(fs::exists(open));
    EXPECT_EQ(logs.Count("free space is still below the floor"), 1);
}
