// The recorder's file store: segment names, the day index after a crash or when hostile, retention.
#include "fragment_scan.h"
#include "fragment_timing.h"
#include "free_space_estimate.h"
#include "recording_names.h"
#include "recording_store.h"

#include "support/bounded_wait.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;
using dvr::test::ReadFile;
using dvr::test::TemporaryDirectory;
using dvr::test::WriteFile;
using recindex::FragmentScan;
using segrec::RecordingStore;
using segrec::RetentionPolicy;

// Every fsync the store makes, by the inode it synced: this definition takes the C library's place
// in the store's code linked into this test.
namespace {
std::mutex syncMutex;
std::vector<ino_t> syncedInodes; // guarded by syncMutex
} // namespace
extern "C" int fsync(int fd)
{
    struct stat info {};
    if (fstat(fd, &info) == 0) {
        const std::lock_guard lock(syncMutex);
        syncedInodes.push_back(info.st_ino);
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

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

// The header of a top-level MP4 box claiming the given total size, as a 64-bit largesize if asked.
std::string Header(const char* type, uint64_t size, bool large = false)
{
    std::string header;
    for (int shift = 24; shift >= 0; shift -= 8)
        header += static_cast<char>((large ? 1 : size) >> shift & 0xff);
    header += type;
    for (int shift = 56; large && shift >= 0; shift -= 8)
        header += static_cast<char>(size >> shift & 0xff);
    return header;
}

// A whole box of that size, its payload zeros.
std::string Box(const char* type, uint64_t size, bool large = false)
{
    const std::string header = Header(type, size, large);
    return header + std::string(size - header.size(), '\0');
}

// A recorder's file in miniature: ftyp and moov, then one moof + mdat pair per mdat size given.
std::string Mp4(std::initializer_list<uint64_t> mdats)
{
    std::string file = Box("ftyp", 24) + Box("moov", 40);
    for (const uint64_t mdat : mdats)
        file += Box("moof", 32) + Box("mdat", mdat);
    return file;
}

// Boxes with content: a plain box around its children, a full box (version and flags) of 32-bit fields.
std::string Nest(const char* type, const std::string& children)
{
    return Header(type, 8 + children.size()) + children;
}
std::string Full(const char* type, uint32_t flags, std::initializer_list<uint32_t> fields)
{
    std::string body = Header("", 0).substr(0, 4); // version 0 and flags
    for (int shift = 16; shift >= 0; shift -= 8)
        body[3 - shift / 8] = static_cast<char>(flags >> shift & 0xff);
    for (const uint32_t field : fields)
        body += Header("", field).substr(0, 4);
    return Nest(type, body);
}
constexpr uint32_t VIDE = 0x76696465, SOUN = 0x736f756e;

// A moov with a sound track 1 at 8000 Hz and a video track 2 at 90 kHz, whose trex gives 3000.
std::string TimedMoov()
{
    const auto trak = [](uint32_t id, uint32_t timescale, uint32_t handler) {
        return Nest("trak", Full("tkhd", 0, {0, 0, id, 0, 0}) +
                                Nest("mdia", Full("mdhd", 0, {0, 0, timescale, 0}) + Full("hdlr", 0, {0, handler, 0})));
    };
    return Nest("moov", trak(1, 8000, SOUN) + trak(2, 90000, VIDE) +
                            Nest("mvex", Full("trex", 0, {1, 1, 1024, 0, 0}) + Full("trex", 0, {2, 1, 3000, 0, 0})));
}

// A moof whose video run lasts ticks (per-sample durations), with a sound run beside it.
std::string TimedMoof(uint32_t ticks)
{
    return Nest("moof", Nest("traf", Full("tfhd", 0, {1}) + Full("trun", 0x300, {1, 1024, 10})) +
                            Nest("traf", Full("tfhd", 0, {2}) +
                                             Full("trun", 0x301, {2, 0, ticks / 2, 10, ticks - ticks / 2, 10})));
}

// Records a finished segment of the given size (at least 104 bytes: one whole fragment).
std::string Record(RecordingStore& store, const std::string& camera, int64_t startNs, size_t bytes, bool end = true)
{
    std::string path = store.BeginSegment(camera, startNs);
    WriteFile(path, Mp4({bytes - 96}));
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
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "rec"), fs::directory_iterator()), 2); // and the lock file

    WriteFile(first, Mp4({1138}));
    store.EndSegment(first, 60 * SECOND, 1234);
    const std::string index = ReadFile(day + "index.txt");
    const std::string clock = " " + std::to_string(start) + "\n"; // of the first frame, numbered in recording order
    EXPECT_NE(index.find("10-19-19.mp4 " + std::to_string(start) + " 60000000000 1234 complete 1" + clock),
              std::string::npos);
    EXPECT_NE(index.find("10-19-19-1.mp4 " + std::to_string(start) + " 0 0 writing 2" + clock), std::string::npos);
}

TEST(RecordingStore, ConcurrentWritersGetDistinctNamesAllListed)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    std::mutex mutex;
    std::set<std::string> paths;
    std::vector<dvr::test::TestThread> writers;
    writers.reserve(4);
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                const std::string path = store.BeginSegment("cam", Ns(2030, 1, 1));
                const std::lock_guard lock(mutex);
                paths.insert(path);
            }
        });
    for (dvr::test::TestThread& writer : writers)
        ASSERT_TRUE(writer.Join("a writer's 25 segments"));
    EXPECT_EQ(paths.size(), 100u);
    const std::string index = ReadFile(dir / "rec/cam/2030-01-01/index.txt");
    EXPECT_EQ(std::count(index.begin(), index.end(), '\n'), 101); // a comment line and one per segment
}

TEST(RecordingStore, CamerasAppendTheirIndexLinesSideBySideWhileRetentionDeletes)
{
    TemporaryDirectory dir;
    Logs logs;
    std::optional<RecordingStore> owned;
    RecordingStore& store = owned.emplace(dir / "rec", logs.Sink());
    const int64_t t = Ns(2030, 1, 1, 10);
    // Camera a's first append is held in its write: camera b still begins and ends a file, and
    // the room for the next files is still measured, meanwhile.
    std::atomic<bool> hold{true};
    std::promise<void> entered, release;
    std::future<void> enteredSeen = entered.get_future();
    const std::shared_future<void> released = release.get_future().share();
    store.SetIndexWriter([&](int fd, const std::string& text) {
        if (text.find(std::to_string(t)) != std::string::npos && hold.exchange(false)) {
            entered.set_value();
            released.wait_for(dvr::test::WAIT_LIMIT);
        }
        return segrec::WriteAll(fd, text);
    });
    std::string held;
    dvr::test::TestThread a([&] { held = store.BeginSegment("a", t); });
    ASSERT_TRUE(dvr::test::WaitReady(enteredSeen, "camera a's index append"));
    dvr::test::TestThread b([&] {
        Record(store, "b", t + HOUR, 300);
        store.NextSegmentsBytes(60 * SECOND);
    });
    EXPECT_TRUE(b.Join("camera b's file while camera a's index append is held"));
    release.set_value();
    ASSERT_TRUE(a.Join("camera a's index append once released"));
    WriteFile(held, Mp4({100}));
    store.EndSegment(held, 60 * SECOND, 196);

    // Two cameras record while retention passes take their oldest files: every line lands whole
    // and in order, so a restart finds each index agreeing with its folder.
    std::atomic<bool> recording{true};
    std::vector<dvr::test::TestThread> cameras;
    for (const char* camera : {"a", "b"})
        cameras.emplace_back([&store, &t, camera] {
            for (int i = 0; i < 40; ++i)
                Record(store, camera, t + 2 * HOUR + i * 60 * SECOND, 200 + i);
        });
    std::atomic<unsigned> deleted{0};
    dvr::test::TestThread retention([&] {
        for (int pass = 0; pass < 10000 && recording; ++pass)
            deleted += store.EnforceRetention(RetentionPolicy{10 * 60 * SECOND, 0, 3}, t + 2 * HOUR + 20 * 60 * SECOND)
                           .deleted;
    });
    for (dvr::test::TestThread& camera : cameras)
        ASSERT_TRUE(camera.Join("a camera's 40 files"));
    recording = false;
    ASSERT_TRUE(retention.Join("the retention passes"));
    while (unsigned more =
               store.EnforceRetention(RetentionPolicy{10 * 60 * SECOND, 0, 3}, t + 2 * HOUR + 20 * 60 * SECOND).deleted)
        deleted += more;
    EXPECT_GT(deleted, 0u);
    EXPECT_EQ(logs.Count("cannot write"), 0);
    owned.reset();
    Logs restart;
    RecordingStore after(dir / "rec", restart.Sink());
    after.Reconcile();
    EXPECT_EQ(restart.Count("reconciled 2 day folders: 0 segments marked interrupted, 0 files added to the index, 0 "
                            "files cut back to their last whole fragment, 0 entries of missing files dropped, 0 "
                            "unplayable files deleted, 0 index lines skipped"),
              1);
}

TEST(FragmentScan, EndsAtTheLastWholeFragmentWhereverTheFileIsCutAndWhateverItsSizesClaim)
{
    TemporaryDirectory dir;
    const auto scan = [&](const std::string& bytes) {
        WriteFile(dir / "f.mp4", bytes);
        return recindex::ScanFragments(dir / "f.mp4");
    };
    const std::string file = Mp4({100, 200}); // fragments end at 196 and 428
    const FragmentScan whole = scan(file);
    EXPECT_TRUE(whole.readable && whole.header && whole.Playable());
    EXPECT_EQ(whole.fragments, 2u);
    EXPECT_EQ(whole.wholeBytes, 428u);
    EXPECT_EQ(whole.fileBytes, 428u);
    // Cut in ftyp, in moov, after the header, in a moof, in an mdat, at a fragment's end, in the
    // next moof, a byte short.
    const std::pair<size_t, uint64_t> cuts[] = {{0, 0},   {5, 0},     {30, 0},    {64, 0},   {74, 0},
                                                {146, 0}, {196, 196}, {227, 196}, {427, 196}};
    for (const auto& [cut, end] : cuts) {
        const FragmentScan cutScan = scan(file.substr(0, cut));
        EXPECT_EQ(cutScan.wholeBytes, end) << cut;
        EXPECT_EQ(cutScan.Playable(), end > 0) << cut;
    }
    // A 64-bit largesize mdat, whole and cut inside its 16-byte header.
    const std::string large = Mp4({}) + Box("moof", 32) + Box("mdat", 100, true);
    EXPECT_EQ(scan(large).wholeBytes, 196u);
    EXPECT_EQ(scan(large.substr(0, 108)).fragments, 0u);
    // Hostile sizes after one whole fragment: to the end of the file (0), smaller than a header,
    // past the end, an absurd largesize, a largesize smaller than its header.
    const std::string zeros(200, '\0');
    for (const std::string& tail : {Header("mdat", 0) + zeros, Header("moof", 4) + zeros,
                                    Header("moof", UINT32_MAX) + zeros, Header("mdat", UINT64_MAX, true) + zeros,
                                    Header("mdat", 8, true) + zeros, Box("moof", 32) + Header("mdat", 0) + zeros}) {
        const FragmentScan hostile = scan(Mp4({100}) + tail);
        EXPECT_EQ(hostile.fragments, 1u);
        EXPECT_EQ(hostile.wholeBytes, 196u);
    }
    // Not what the recorder writes: ftyp not first, no moov before the first fragment, no file.
    EXPECT_FALSE(scan(Box("moov", 40) + Box("ftyp", 24) + Box("moof", 32) + Box("mdat", 10)).Playable());
    EXPECT_FALSE(scan(Box("ftyp", 24) + Box("moof", 32) + Box("mdat", 10) + Box("moov", 40)).Playable());
    EXPECT_FALSE(recindex::ScanFragments(dir / "missing.mp4").readable);
}

TEST(FragmentTiming, SumsTheVideoTracksSampleDurationsInItsTimescaleWhicheverBoxGivesThem)
{
    using recindex::FragmentTicks;
    const std::string moov = TimedMoov();
    const recindex::TrackTiming video = recindex::ReadTrackTiming(std::string_view(moov).substr(8));
    EXPECT_EQ(video.trackId, 2u);
    EXPECT_EQ(video.timescale, 90000u);
    EXPECT_EQ(video.defaultDuration, 3000u);
    const auto ticks = [&](const std::string& traf) { return FragmentTicks(Nest("traf", traf), video); };
    EXPECT_EQ(FragmentTicks(TimedMoof(9000).substr(8), video), 9000u); // per sample; the sound run not counted
    EXPECT_EQ(ticks(Full("tfhd", 0x08, {2, 4500}) + Full("trun", 0, {2})), 9000u); // the fragment's default
    EXPECT_EQ(ticks(Full("tfhd", 0x03, {2, 0, 0, 1}) + Full("trun", 0x05, {4, 0, 0})), 12000u); // the trex's
    // Hostile or cut: more samples than the run holds, a run before its header, a cut header.
    EXPECT_EQ(ticks(Full("tfhd", 0, {2}) + Full("trun", 0x100, {UINT32_MAX, 3000})), 0u);
    EXPECT_EQ(ticks(Full("trun", 0x100, {1, 3000}) + Full("tfhd", 0, {2})), 0u);
    EXPECT_EQ(ticks(Full("tfhd", 0x08, {2})), 0u);
    EXPECT_FALSE(recindex::ReadTrackTiming(Nest("trak", Full("tkhd", 0, {0, 0, 1}))).Known()); // no video track
    EXPECT_EQ(recindex::TicksToNs(UINT64_MAX, 1), INT64_MAX);
    // Every cut of a moof counts no more than the whole; bytes changed at random parse all the same.
    const std::string moof = TimedMoof(9000).substr(8);
    for (size_t cut = 0; cut <= moof.size(); ++cut)
        EXPECT_LE(FragmentTicks(moof.substr(0, cut), video), 9000u) << cut;
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        std::string changed = moof, changedMoov = moov;
        changed[random() % changed.size()] = static_cast<char>(random());
        changedMoov[random() % changedMoov.size()] = static_cast<char>(random());
        FragmentTicks(changed, recindex::ReadTrackTiming(changedMoov));
    }

    // Through the walk: whole fragments count, a cut one does not.
    TemporaryDirectory dir;
    const std::string file = Box("ftyp", 24) + moov + TimedMoof(90000) + Box("mdat", 40) + TimedMoof(45000) +
                             Box("mdat", 40) + TimedMoof(90000) + Box("mdat", 40);
    WriteFile(dir / "f.mp4", file.substr(0, file.size() - 1));
    EXPECT_EQ(recindex::ScanFragments(dir / "f.mp4").durationNs, 3 * SECOND / 2);
}

TEST(RecordingStore, ReconcileCutsInterruptedFilesBackToTheirLastWholeFragmentAndRepairsTheIndex)
{
    TemporaryDirectory dir;
    const std::string day = dir / "rec/front/2026-12-09/";
    fs::create_directories(day);
    fs::create_directories(dir / "rec/back/2026-12-10");
    const int64_t t = Ns(2026, 12, 9, 10);
    WriteFile(day + "index.txt", "10-00-00.mp4 " + std::to_string(t) + " 60000000000 1000 complete\n" +
                                     "10-01-00.mp4 " + std::to_string(t + 60 * SECOND) + " 0 0 writing\n" +
                                     "10-02-00.mp4 " + std::to_string(t + 120 * SECOND) + " 0 0 writing\n" +
                                     "10-05-00.mp4 " + std::to_string(t + 300 * SECOND) + " 0 0 writing\n" +
                                     "09-00-00.mp4 " + std::to_string(t - HOUR) + " 60000000000 5 complete\n");
    WriteFile(day + "10-00-00.mp4", std::string(1000, 'v'));                      // finished: never touched
    WriteFile(day + "10-01-00.mp4", Mp4({100, 100}).substr(0, 258));              // the power went inside an mdat
    WriteFile(day + "10-02-00.mp4", "");                                          // created, nothing written yet
    WriteFile(day + "10-03-00-1.mp4", Mp4({50}) + Box("moof", 32).substr(0, 12)); // not listed, cut in a moof
    WriteFile(day + "10-04-00.mp4", "");
    WriteFile(day + "10-05-00.mp4", Mp4({})); // killed as the recorder cut: only the header
    WriteFile(day + "index.txt.tmp", "10-00-00.mp4 1 0 0 wri");
    WriteFile(dir / "rec/back/2026-12-10/00-00-01.mp4", Mp4({10})); // a day without an index

    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    store.Reconcile();
    EXPECT_EQ(ReadFile(day + "index.txt"), "# file start_ns duration_ns bytes state\n"
                                           "10-00-00.mp4 " +
                                               std::to_string(t) + " 60000000000 1000 complete\n" + "10-01-00.mp4 " +
                                               std::to_string(t + 60 * SECOND) + " 0 196 interrupted\n" +
                                               "10-03-00-1.mp4 " + std::to_string(t + 180 * SECOND) +
                                               " 0 146 interrupted\n");
    EXPECT_EQ(fs::file_size(day + "10-00-00.mp4"), 1000u);
    EXPECT_EQ(fs::file_size(day + "10-01-00.mp4"), 196u);
    EXPECT_EQ(fs::file_size(day + "10-03-00-1.mp4"), 146u);
    EXPECT_NE(ReadFile(dir / "rec/back/2026-12-10/index.txt")
                  .find("00-00-01.mp4 " + std::to_string(Ns(2026, 12, 10, 0, 0, 1)) + " 0 106 interrupted\n"),
              std::string::npos);
    for (const char* gone : {"10-02-00.mp4", "10-04-00.mp4", "10-05-00.mp4", "index.txt.tmp"})
        EXPECT_FALSE(fs::exists(day + gone)) << gone;
    EXPECT_EQ(logs.Count("10-01-00.mp4: cut back to its last whole fragment, 258 bytes to 196"), 1);
    EXPECT_EQ(logs.Count("10-03-00-1.mp4: cut back to its last whole fragment, 158 bytes to 146"), 1);
    EXPECT_EQ(logs.Count("10-05-00.mp4: no whole fragment, deleted, 64 bytes to 0"), 1);
    EXPECT_EQ(logs.Count("reconciled 2 day folders: 1 segments marked interrupted, 2 files added to the index, 2 "
                         "files cut back to their last whole fragment, 1 entries of missing files dropped, 3 "
                         "unplayable files deleted"),
              1);
    // Also after a restart, a new segment starts no earlier than the latest listed one ends.
    EXPECT_EQ(store.BeginSegment("front", t + 60 * SECOND), day + "10-03-00.mp4");
}

TEST(RecordingStore, ReconcileChecksEveryFilesSizeAndListsTheDurationItsFragmentsHold)
{
    TemporaryDirectory dir;
    const std::string day = dir / "rec/front/2026-12-09/";
    fs::create_directories(day);
    const int64_t t = Ns(2026, 12, 9, 10);
    // Fragments of 1 s, 0.5 s and 1 s, ending at 460, 616 and 772 bytes.
    const std::string file = Box("ftyp", 24) + TimedMoov() + TimedMoof(90000) + Box("mdat", 40) + TimedMoof(45000) +
                             Box("mdat", 40) + TimedMoof(90000) + Box("mdat", 40);
    const auto line = [&](const char* name, int64_t start, int64_t duration, size_t bytes, const char* state) {
        return std::string(name) + " " + std::to_string(t + start) + " " + std::to_string(duration) + " " +
               std::to_string(bytes) + " " + state + "\n";
    };
    WriteFile(day + "index.txt", line("10-00-00.mp4", 0, 60 * SECOND, 772, "complete") +               // cut afterwards
                                     line("10-01-00.mp4", 60 * SECOND, 60 * SECOND, 772, "complete") + // in its header
                                     line("10-02-00.mp4", 120 * SECOND, 0, 0, "writing") +             // killed
                                     line("10-03-00.mp4", 180 * SECOND, 7 * SECOND, 772, "interrupted")); // intact
    WriteFile(day + "10-00-00.mp4", file.substr(0, 700));
    WriteFile(day + "10-01-00.mp4", file.substr(0, 100));
    WriteFile(day + "10-02-00.mp4", file.substr(0, 620));
    WriteFile(day + "10-03-00.mp4", file);
    WriteFile(day + "10-04-00.mp4", file); // not listed

    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    store.Reconcile();
    EXPECT_EQ(ReadFile(day + "index.txt"), "# file start_ns duration_ns bytes state\n" +
                                               line("10-00-00.mp4", 0, 3 * SECOND / 2, 616, "interrupted") +
                                               line("10-02-00.mp4", 120 * SECOND, 3 * SECOND / 2, 616, "interrupted") +
                                               line("10-03-00.mp4", 180 * SECOND, 7 * SECOND, 772, "interrupted") +
                                               line("10-04-00.mp4", 240 * SECOND, 5 * SECOND / 2, 772, "interrupted"));
    EXPECT_EQ(fs::file_size(day + "10-00-00.mp4"), 616u);
    EXPECT_FALSE(fs::exists(day + "10-01-00.mp4"));
    EXPECT_EQ(logs.Count("2 finished files whose size changed"), 1);
}

TEST(RecordingStore, AnIndexAppendedToUntilACrashIsReadByItsLatestWholeLines)
{
    TemporaryDirectory dir;
    const std::string day = dir / "rec/front/2026-12-09/";
    fs::create_directories(day);
    const int64_t t = Ns(2026, 12, 9, 10);
    const auto line = [&](const char* name, int64_t start, int64_t duration, size_t bytes, const char* state,
                          int sequence) {
        return std::string(name) + " " + std::to_string(t + start) + " " + std::to_string(duration) + " " +
               std::to_string(bytes) + " " + state + " " + std::to_string(sequence) + " " + std::to_string(t + start) +
               "\n";
    };
    // The first file began and ended, the second began, and the power went while its end was
    // appended: the torn line, its clock cut short, would still parse.
    const std::string torn = line("10-01-00.mp4", 60 * SECOND, 60 * SECOND, 196, "complete", 2);
    WriteFile(day + "index.txt",
              "# file start_ns duration_ns bytes state\n" + line("10-00-00.mp4", 0, 0, 0, "writing", 1) +
                  line("10-00-00.mp4", 0, 60 * SECOND, 196, "complete", 1) +
                  line("10-01-00.mp4", 60 * SECOND, 0, 0, "writing", 2) + torn.substr(0, torn.size() - 4));
    WriteFile(day + "10-00-00.mp4", Mp4({100}));
    WriteFile(day + "10-01-00.mp4", Mp4({100}));
    Logs logs;
    std::optional<RecordingStore> store;
    store.emplace(dir / "rec", logs.Sink());
    store->Reconcile();
    EXPECT_EQ(logs.Count("index.txt: its last line was cut short, dropped"), 1);
    const std::string reconciled = "# file start_ns duration_ns bytes state\n" +
                                   line("10-00-00.mp4", 0, 60 * SECOND, 196, "complete", 1) +
                                   line("10-01-00.mp4", 60 * SECOND, 0, 196, "interrupted", 2);
    EXPECT_EQ(ReadFile(day + "index.txt"), reconciled);

    // Appended to again once whole; a file recorded after a restart numbers on.
    const std::string next = Record(*store, "front", t + 180 * SECOND, 300);
    EXPECT_EQ(ReadFile(day + "index.txt"), reconciled + line("10-03-00.mp4", 180 * SECOND, 0, 0, "writing", 3) +
                                               line("10-03-00.mp4", 180 * SECOND, 60 * SECOND, 300, "complete", 3));
    store.reset();
    store.emplace(dir / "rec", logs.Sink());
    store->Reconcile();
    EXPECT_EQ(logs.Count("reconciled 1 day folders: 0 segments marked interrupted, 0 files added to the index, 0 files "
                         "cut back"),
              1);
    EXPECT_EQ(ReadFile(day + "index.txt"),
              reconciled + line("10-03-00.mp4", 180 * SECOND, 60 * SECOND, 300, "complete", 3));
}

TEST(RecordingStore, ARestartReadsOnlyEachCamerasLatestDayAndTheDaysChangedSinceTheLastCleanStop)
{
    TemporaryDirectory dir;
    Logs logs;
    const int64_t t = Ns(2027, 5, 1, 10);
    const int64_t day = 24 * HOUR;
    std::optional<RecordingStore> store;
    store.emplace(dir / "rec", logs.Sink());
    for (int d = 0; d < 5; ++d)
        for (int i = 0; i < 3; ++i)
            Record(*store, "a", t + d * day + i * 60 * SECOND, 200 + 100 * d + i);
    Record(*store, "b", t, 500);
    const uint64_t room = store->NextSegmentsBytes(60 * SECOND);
    store->Compact(); // a clean stop
    store.reset();

    // Camera a's latest day and b's only one are read; a's four others are taken from their summaries.
    store.emplace(dir / "rec", logs.Sink());
    store->Reconcile();
    EXPECT_EQ(logs.Count("reconciled 2 day folders: 0 segments marked interrupted"), 1);
    EXPECT_EQ(logs.Count("; 4 day folders unchanged since the last clean stop"), 1);
    EXPECT_EQ(store->LoadedDays(), (std::pair<size_t, size_t>{2, 4}));
    EXPECT_EQ(store->NextSegmentsBytes(60 * SECOND), room);
    // Retention still takes the oldest file first, from a day that was not read.
    EXPECT_EQ(store->EnforceRetention(RetentionPolicy{HOUR, 0, 1}, t + 10 * day).deleted, 1u);
    EXPECT_FALSE(fs::exists(dir / "rec/a/2027-05-01/10-00-00.mp4"));

    // Then a crash cuts off a's file being written and one begun before its index line; a day's
    // index was also appended to by another hand. The days read are those three.
    const std::string cut = store->BeginSegment("a", t + 4 * day + HOUR);
    WriteFile(cut, Mp4({100}) + "torn fragment");
    WriteFile(dir / "rec/a/2027-05-05/12-00-00.mp4", Mp4({100}));
    WriteFile(dir / "rec/a/2027-05-02/11-00-00.mp4", Mp4({100}));
    WriteFile(dir / "rec/a/2027-05-02/index.txt", ReadFile(dir / "rec/a/2027-05-02/index.txt") + "11-00-00.mp4 " +
                                                      std::to_string(t + day + HOUR) + " 60000000000 196 complete\n");
    store.reset();
    store.emplace(dir / "rec", logs.Sink());
    store->Reconcile();
    EXPECT_EQ(logs.Count("reconciled 4 day folders: 1 segments marked interrupted, 1 files added to the index, 1 files "
                         "cut back to their last whole fragment, 0 entries of missing files dropped"),
              1);
    EXPECT_EQ(logs.Count("; 2 day folders unchanged since the last clean stop"), 1);
    const std::string latest = ReadFile(dir / "rec/a/2027-05-05/index.txt");
    EXPECT_NE(latest.find("11-00-00.mp4 " + std::to_string(t + 4 * day + HOUR) + " 0 196 interrupted"),
              std::string::npos)
        << latest;
    EXPECT_NE(latest.find("12-00-00.mp4 " + std::to_string(t + 4 * day + 2 * HOUR) + " 0 196 interrupted"),
              std::string::npos)
        << latest;

    // Summaries that do not parse or do not match are no summaries: those days are read.
    store.reset();
    const std::string saved = ReadFile(dir / (std::string("rec/") + segrec::SUMMARY_NAME));
    const size_t third = saved.find("a/2027-05-03 ");
    ASSERT_NE(third, std::string::npos) << saved;
    WriteFile(dir / (std::string("rec/") + segrec::SUMMARY_NAME),
              saved.substr(0, third) + "a/2027-05-03 1 2 3 4 5 6\n" + saved.substr(saved.find('\n', third) + 1) +
                  "../2027-05-03 1 2 3 4 5 6 7\n");
    store.emplace(dir / "rec", logs.Sink());
    store->Reconcile();
    EXPECT_EQ(logs.Count("reconciled 5 day folders: 0 segments marked interrupted"), 1);
    EXPECT_EQ(logs.Count("; 1 day folders unchanged since the last clean stop"), 1);
}

TEST(RecordingStore, DeletionLinesDropTheirFilesATornOneIsDroppedItselfAndDeadLinesAreRewrittenAway)
{
    TemporaryDirectory dir;
    const std::string day = dir / "rec/front/2026-12-09/";
    fs::create_directories(day);
    const int64_t t = Ns(2026, 12, 9, 10);
    const auto line = [&](const char* name, int sequence) {
        const std::string start = std::to_string(t + sequence * 60 * SECOND);
        return std::string(name) + " " + start + " 60000000000 196 complete " + std::to_string(sequence) + " " + start +
               "\n";
    };
    // Retention deleted the first file, and the power went while it appended the second's line.
    WriteFile(day + "index.txt", "# file start_ns duration_ns bytes state\n" + line("10-01-00.mp4", 1) +
                                     line("10-02-00.mp4", 2) + line("10-03-00.mp4", 3) + "10-01-00.mp4 deleted\n" +
                                     "10-02-00.mp4 dele");
    WriteFile(day + "10-02-00.mp4", Mp4({100}));
    WriteFile(day + "10-03-00.mp4", Mp4({100}));
    Logs logs;
    std::optional<RecordingStore> store;
    store.emplace(dir / "rec", logs.Sink());
    store->Reconcile();
    EXPECT_EQ(logs.Count("index.txt: its last line was cut short, dropped"), 1);
    EXPECT_EQ(logs.Count("reconciled 1 day folders: 0 segments marked interrupted, 0 files added to the index, 0 files "
                         "cut back to their last whole fragment, 0 entries of missing files dropped"),
              1);
    EXPECT_EQ(ReadFile(day + "index.txt"),
              "# file start_ns duration_ns bytes state\n" + line("10-02-00.mp4", 2) + line("10-03-00.mp4", 3));

    // A day's passes append deletion lines until its dead lines outnumber its files; then it is
    // rewritten one line a file, and reads back as the files left.
    for (int i = 0; i < 20; ++i)
        Record(*store, "front", t + (10 + i) * 60 * SECOND, 196);
    bool rewritten = false;
    for (int pass = 0; pass < 20 && !rewritten; ++pass) {
        ASSERT_EQ(store->EnforceRetention(RetentionPolicy{HOUR, 0, 1}, t + 3 * HOUR).deleted, 1u);
        const std::string index = ReadFile(day + "index.txt");
        rewritten = index.find(" deleted\n") == std::string::npos;
        if (pass == 0) {
            EXPECT_TRUE(index.ends_with("10-02-00.mp4 deleted\n")) << index;
        }
    }
    EXPECT_TRUE(rewritten);
    const std::string index = ReadFile(day + "index.txt");
    const auto files = std::count_if(fs::directory_iterator(day), fs::directory_iterator(),
                                     [](const fs::directory_entry& file) { return file.path().extension() == ".mp4"; });
    EXPECT_GT(files, 5);
    EXPECT_EQ(std::count(index.begin(), index.end(), '\n'), files + 1) << index;
    store.reset();
    store.emplace(dir / "rec", logs.Sink());
    store->Reconcile();
    EXPECT_EQ(logs.Count("0 files added to the index, 0 files cut back to their last whole fragment, 0 entries of "
                         "missing files dropped"),
              2);
}

TEST(RecordingStore, NewFoldersAreSyncedIntoTheirParentsAndAFailedIndexWriteLeavesTheOldIndexWhole)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    const auto inode = [](const std::string& path) {
        struct stat info {};
        EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
        return info.st_ino;
    };
    const auto synced = [](ino_t folder) {
        const std::lock_guard lock(syncMutex);
        return std::count(syncedInodes.begin(), syncedInodes.end(), folder);
    };
    {
        const std::lock_guard lock(syncMutex); // earlier tests' folders may have had the same inodes
        syncedInodes.clear();
    }
    const ino_t root = inode(dir / "rec");
    const std::string path = store.BeginSegment("front", Ns(2026, 12, 9, 10));
    EXPECT_EQ(synced(root), 1);                     // holds the new camera folder
    EXPECT_EQ(synced(inode(dir / "rec/front")), 1); // holds the new day folder
    store.BeginSegment("front", Ns(2026, 12, 9, 11));
    EXPECT_EQ(synced(inode(dir / "rec/front")), 1); // not made again

    // The index's new text fails halfway: the old index stays whole and says the file is written.
    const std::string index = dir / "rec/front/2026-12-09/index.txt";
    const std::string before = ReadFile(index);
    store.SetIndexWriter([](int fd, const std::string& text) {
        segrec::WriteAll(fd, text.substr(0, text.size() / 2));
        errno = EIO;
        return false;
    });
    WriteFile(path, Mp4({100}));
    store.EndSegment(path, SECOND, 196);
    EXPECT_EQ(ReadFile(index), before);
    EXPECT_EQ(logs.Count("cannot write index.txt: Input/output error"), 1);
}

TEST(RecordingStore, EndSegmentListsTheDurationTheFileHoldsAndCompleteOnlyWhenItIsDurable)
{
    TemporaryDirectory dir;
    Logs logs;
    std::optional<RecordingStore> store;
    store.emplace(dir / "rec", logs.Sink());
    const int64_t t = Ns(2026, 12, 9, 10);
    const std::string file = Box("ftyp", 24) + TimedMoov() + TimedMoof(45000) + Box("mdat", 40);
    const std::string failed = store->BeginSegment("front", t), synced = store->BeginSegment("front", t + SECOND);
    WriteFile(failed, file);
    WriteFile(synced, file);
    store->EndSegment(failed, 0, file.size(), false); // its sync failed; the writer counted nothing
    store->EndSegment(synced, 60 * SECOND, file.size());
    const std::string bytes = " " + std::to_string(file.size()) + " ";
    const std::string index = dir / "rec/front/2026-12-09/index.txt";
    const std::string header = "# file start_ns duration_ns bytes state\n";
    const std::string ended = "10-00-00.mp4 " + std::to_string(t) + " 500000000" + bytes + "interrupted 1 " +
                              std::to_string(t) + "\n10-00-01.mp4 " + std::to_string(t + SECOND) + " 500000000" +
                              bytes + "complete 2 " + std::to_string(t + SECOND) + "\n";
    // Each change is a line appended; the later line of a file is what it is. Compacted, one line
    // a file.
    EXPECT_EQ(ReadFile(index), header + "10-00-00.mp4 " + std::to_string(t) + " 0 0 writing 1 " + std::to_string(t) +
                                   "\n10-00-01.mp4 " + std::to_string(t + SECOND) + " 0 0 writing 2 " +
                                   std::to_string(t + SECOND) + "\n" + ended);
    store->Compact();
    EXPECT_EQ(ReadFile(index), header + ended);
    EXPECT_EQ(logs.Count("is not known to be whole on the disk"), 1);
}

TEST(RecordingStore, ACamerasSegmentStartsNoEarlierThanItsPreviousOneEnds)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    const int64_t t = Ns(2026, 12, 9, 23, 59, 58);
    // The first frames are stamped 1.5 s into a 2 s file and 3.4 s before the end of a 60 s one,
    // the last over midnight; another camera and the first file keep their first frame's time.
    const std::string first = Record(store, "front", t, 200); // 60 s
    store.BeginSegment("back", t + SECOND);
    const std::string second = store.BeginSegment("front", t + 60 * SECOND - 3400 * SECOND / 1000);
    WriteFile(second, Mp4({104}));
    store.EndSegment(second, 2 * SECOND, 200);
    const std::string third = store.BeginSegment("front", t + 61500 * SECOND / 1000);
    EXPECT_EQ(first, dir / "rec/front/2026-12-09/23-59-58.mp4");
    EXPECT_EQ(second, dir / "rec/front/2026-12-10/00-00-58.mp4");
    EXPECT_EQ(third, dir / "rec/front/2026-12-10/00-01-00.mp4");
    EXPECT_NE(ReadFile(dir / "rec/front/2026-12-10/index.txt")
                  .find("00-01-00.mp4 " + std::to_string(t + 62 * SECOND) + " 0 0 writing"),
              std::string::npos);
    EXPECT_NE(ReadFile(dir / "rec/back/2026-12-09/index.txt").find(std::to_string(t + SECOND)), std::string::npos);

    // A writer that enters its ended files later gives their end itself; the new file's line is then
    // its to write.
    RecordingStore::Continuation next;
    next.notBeforeNs = t + 63 * SECOND;
    EXPECT_EQ(store.BeginSegment("front", t + 62 * SECOND, nullptr, next), dir / "rec/front/2026-12-10/00-01-01.mp4");
    EXPECT_EQ(next.startNs, t + 63 * SECOND);
    const std::string line = "00-01-01.mp4 " + std::to_string(t + 63 * SECOND) + " 0 0 writing";
    EXPECT_EQ(ReadFile(dir / "rec/front/2026-12-10/index.txt").find(line), std::string::npos);
    store.WriteBegunLine(next);
    EXPECT_NE(ReadFile(dir / "rec/front/2026-12-10/index.txt").find(line), std::string::npos);
}

TEST(RecordingStore, EndSegmentDeletesAFileWithoutAWholeFragmentInsteadOfListingIt)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    const int64_t t = Ns(2026, 12, 9, 10);
    const std::string headerOnly = store.BeginSegment("front", t); // ended before its first frame
    WriteFile(headerOnly, Mp4({}));
    const std::string cutShort = store.BeginSegment("front", t + SECOND); // a write failed in the first fragment
    WriteFile(cutShort, Mp4({}) + Box("moof", 32) + Header("mdat", 100));
    const std::string removed = store.BeginSegment("front", t + 2 * SECOND); // its header could not be written
    const std::string good = Record(store, "front", t + 3 * SECOND, 500, false);
    for (const std::string& path : {headerOnly, cutShort, removed}) {
        store.EndSegment(path, SECOND, 64);
        EXPECT_FALSE(fs::exists(path)) << path;
    }
    EXPECT_EQ(logs.Count("ended without a whole fragment"), 3);
    EXPECT_EQ(store.BeginSegment("front", t), headerOnly); // the name is free again
    store.EndSegment(good, 60 * SECOND, 500);
    EXPECT_EQ(ReadFile(dir / "rec/front/2026-12-09/index.txt"),
              "# file start_ns duration_ns bytes state\n10-00-03.mp4 " + std::to_string(t + 3 * SECOND) +
                  " 0 0 writing 4 " + std::to_string(t + 3 * SECOND) + "\n10-00-00.mp4 " + std::to_string(t) +
                  " 0 0 writing 5 " + std::to_string(t) + "\n10-00-03.mp4 " + std::to_string(t + 3 * SECOND) +
                  " 60000000000 500 complete 4 " + std::to_string(t + 3 * SECOND) + "\n");
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
                                     "10-00-00.mp4 1 0 3 complete 0 1\n" + // numbered from 1, and never near the end
                                     "10-00-00.mp4 1 0 3 complete 4611686018427387905 1\n" +
                                     std::string("\x01\xff\0 garbage\n", 12) + "\n# a comment\n" + good + good);
    WriteFile(day + "10-05-00.mp4", "four");
    WriteFile(dir / "rec/victim.mp4", "keep me");
    WriteFile(dir / "victim.mp4", "keep me");

    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    store.Reconcile();
    EXPECT_EQ(logs.Count("skipped 12 unreadable or repeated lines (the first is line 1)"), 1);
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
    const std::string open = Record(store, "b", Ns(2027, 3, 1, 9), 200, false); // the oldest, still being written
    const std::string a1 = Record(store, "a", Ns(2027, 3, 1, 10), 200);
    const std::string b1 = Record(store, "b", Ns(2027, 3, 1, 11), 200);
    const std::string b2 = Record(store, "b", Ns(2027, 3, 2, 9), 200);
    const std::string a2 = Record(store, "a", Ns(2027, 3, 2, 10), 200);
    const RetentionPolicy policy{20 * HOUR, 0, 1}; // day 1 is too old, day 2 is not
    const int64_t now = Ns(2027, 3, 2, 12);

    EXPECT_EQ(store.EnforceRetention(policy, now).deleted, 1u);
    EXPECT_FALSE(fs::exists(a1));
    EXPECT_FALSE(fs::exists(dir / "rec/a/2027-03-01")); // emptied day folder
    EXPECT_TRUE(fs::exists(b1));
    EXPECT_EQ(logs.Count("retention deleted 1 files"), 1);

    EXPECT_EQ(store.EnforceRetention(policy, now).deleted, 1u);
    EXPECT_FALSE(fs::exists(b1));
    EXPECT_TRUE(fs::exists(open));
    // The deletion is one line appended to the day's index, not a rewrite of it.
    const std::string b1Line = "11-00-00.mp4 " + std::to_string(Ns(2027, 3, 1, 11));
    EXPECT_EQ(ReadFile(dir / "rec/b/2027-03-01/index.txt"),
              "# file start_ns duration_ns bytes state\n09-00-00.mp4 " + std::to_string(Ns(2027, 3, 1, 9)) +
                  " 0 0 writing 1 " + std::to_string(Ns(2027, 3, 1, 9)) + "\n" + b1Line + " 0 0 writing 3 " +
                  std::to_string(Ns(2027, 3, 1, 11)) + "\n" + b1Line + " 60000000000 200 complete 3 " +
                  std::to_string(Ns(2027, 3, 1, 11)) + "\n11-00-00.mp4 deleted\n");
    EXPECT_EQ(store.EnforceRetention(policy, now).deleted, 0u); // only younger and open files left

    store.EndSegment(open, SECOND, 200);
    EXPECT_EQ(store.EnforceRetention(policy, now).deleted, 1u);
    EXPECT_FALSE(fs::exists(dir / "rec/b/2027-03-01"));
    EXPECT_TRUE(fs::exists(a2));
    EXPECT_TRUE(fs::exists(b2));

    const auto last = store.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, now);
    EXPECT_EQ(last.deleted, 2u);
    EXPECT_EQ(last.bytesFreed, 400u);
    EXPECT_FALSE(fs::exists(dir / "rec/a")); // emptied camera folders
    EXPECT_FALSE(fs::exists(dir / "rec/b"));
    EXPECT_TRUE(fs::exists(dir / "rec"));
}

TEST(RecordingStore, RetentionFindsADayFolderAnotherHandMadeAfterItsCameraWasListed)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    const int64_t t = Ns(2027, 3, 2, 10);
    Record(store, "a", t, 200);
    // The camera folder's time is long past, so the pass keeps its listing.
    const timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "rec/a").c_str(), times, 0), 0);
    EXPECT_EQ(store.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, t).deleted, 0u);
    const std::string day = dir / "rec/a/2027-03-01/";
    fs::create_directories(day);
    WriteFile(day + "09-00-00.mp4", Mp4({100}));
    WriteFile(day + "index.txt", "09-00-00.mp4 " + std::to_string(Ns(2027, 3, 1, 9)) + " 60000000000 196 complete\n");
    EXPECT_EQ(store.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, t).deleted, 1u);
    EXPECT_FALSE(fs::exists(day + "09-00-00.mp4"));
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

TEST(RecordingOrder, FilesAreAgedByClocksThatCanBeRightAndNeverOutOfRecordingOrder)
{
    using segrec::JudgedTimes;
    const int64_t t = Ns(2027, 3, 1, 10);
    const int64_t now = Ns(2027, 3, 1, 12);
    const std::optional<int64_t> unknown;
    const struct {
        const char* what;
        std::vector<int64_t> clocks; // in recording order
        std::vector<std::optional<int64_t>> judged;
    } cases[] = {
        {"before the first time sync", {5 * SECOND, 65 * SECOND, t, t + 60 * SECOND}, {t, t, t, t + 60 * SECOND}},
        {"set ahead, then put right",
         {t, Ns(2030, 1, 1), Ns(2030, 1, 1, 0, 1), t + 300 * SECOND},
         {t, t + 300 * SECOND, t + 300 * SECOND, t + 300 * SECOND}},
        {"stepped back", {t, t - HOUR, t + 120 * SECOND}, {t, t, t + 120 * SECOND}},
        {"not set since", {t, 5 * SECOND, Ns(2030, 1, 1)}, {t, unknown, unknown}},
        {"hostile", {INT64_MIN, INT64_MAX, t}, {t, t, t}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JudgedTimes(c.clocks, now), c.judged) << c.what;
    EXPECT_EQ(JudgedTimes({t}, INT64_MAX), std::vector<std::optional<int64_t>>{t}); // no overflow
}

TEST(RecordingStore, RetentionGoesByRecordingOrderAcrossRestartsAndWallClocksThatStep)
{
    TemporaryDirectory dir;
    Logs logs;
    const int64_t t = Ns(2027, 3, 1, 10);
    std::optional<RecordingStore> store;
    store.emplace(dir / "rec", logs.Sink());
    const std::string first = Record(*store, "a", t, 1000); // 60 s each
    const std::string second = Record(*store, "a", t + 60 * SECOND, 1000);
    store.emplace(dir / "rec", logs.Sink()); // a restart: the numbering goes on from the indexes
    store->Reconcile();
    // A new camera before the first time sync; then the clock set two years ahead and put right.
    const std::string unset = Record(*store, "b", 5 * SECOND, 1000);
    const std::string ahead = Record(*store, "a", Ns(2029, 3, 1), 1000);
    const std::string putRight = Record(*store, "a", t + 300 * SECOND, 1000);
    EXPECT_EQ(unset, dir / "rec/b/1970-01-01/00-00-05.mp4");
    EXPECT_EQ(ahead, dir / "rec/a/2029-03-01/00-00-00.mp4");
    EXPECT_EQ(putRight, dir / "rec/a/2029-03-01/00-01-00.mp4"); // after the file before it, never over it
    EXPECT_NE(ReadFile(dir / "rec/b/1970-01-01/index.txt").find(" complete 3 5000000000\n"), std::string::npos);
    EXPECT_NE(ReadFile(dir / "rec/a/2029-03-01/index.txt").find(" complete 5 " + std::to_string(t + 300 * SECOND)),
              std::string::npos);

    // Short of space, the first file recorded goes first, not the one named 1970.
    uint64_t free = 0;
    store->SetFreeSpaceQuery([&] { return free; });
    EXPECT_EQ(store->EnforceRetention(RetentionPolicy{0, 500, 1}, t + 400 * SECOND).deleted, 1u);
    EXPECT_FALSE(fs::exists(first));
    EXPECT_TRUE(fs::exists(unset));

    // By age, a file is as old as the clocks that can be right say: the one named 1970 and the ones
    // named 2029 were recorded before 10:05, and age from then.
    free = UINT64_MAX;
    const RetentionPolicy hour{HOUR, 0, 16};
    EXPECT_EQ(store->EnforceRetention(hour, t + 1800 * SECOND).deleted, 0u);
    EXPECT_EQ(store->EnforceRetention(hour, t + 3700 * SECOND).deleted, 1u); // past 11:01
    EXPECT_FALSE(fs::exists(second));
    EXPECT_EQ(store->EnforceRetention(hour, t + 3 * HOUR).deleted, 3u);
    EXPECT_FALSE(fs::exists(dir / "rec/a"));
    EXPECT_FALSE(fs::exists(dir / "rec/b"));
}

TEST(RecordingStore, WithFewDayIndexesInMemoryRetentionStillTakesEveryFileInRecordingOrder)
{
    TemporaryDirectory dir;
    Logs logs;
    std::vector<std::string> recorded; // in recording order
    {
        RecordingStore store(dir / "rec", logs.Sink());
        // Three cameras a day for five days, their files interleaved; then a camera whose clock
        // stepped back writes into the first day, recorded after everything else.
        for (int day = 1; day <= 5; ++day)
            for (const char* camera : {"a", "b", "c"})
                for (int hour = 0; hour < 2; ++hour)
                    recorded.push_back(Record(store, camera, Ns(2027, 3, day, hour + 10), 200 + day));
        recorded.push_back(Record(store, "z", Ns(2027, 3, 1, 9), 300));
    }
    // A restart with room for two day indexes: the sixteen days are summarised, not held.
    RecordingStore store(dir / "rec", logs.Sink());
    store.SetLoadedDaysLimit(2);
    store.Reconcile();
    EXPECT_EQ(store.LoadedDays().first, 2u);
    const std::string open = store.BeginSegment("a", Ns(2027, 3, 6, 10)); // its day stays loaded
    EXPECT_EQ(store.NextSegmentsBytes(60 * SECOND), 205u * 3 + 300u);     // every camera's latest files
    for (size_t i = 0; i < recorded.size(); ++i) {
        ASSERT_EQ(store.EnforceRetention(RetentionPolicy{HOUR, 0, 1}, Ns(2028, 1, 1)).deleted, 1u) << i;
        EXPECT_FALSE(fs::exists(recorded[i])) << recorded[i];
        if (i + 1 < recorded.size()) {
            EXPECT_TRUE(fs::exists(recorded[i + 1])) << recorded[i + 1];
        }
        EXPECT_LE(store.LoadedDays().first, 3u); // the limit, and the day being written
    }
    EXPECT_EQ(store.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, Ns(2028, 1, 1)).deleted, 0u);
    EXPECT_TRUE(fs::exists(open));
    EXPECT_FALSE(fs::exists(dir / "rec/b"));
}

TEST(RecordingStore, WithoutAFloorRetentionStillKeepsRoomForEachCamerasNextFileWhenDeletingCanMakeIt)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    // A 4,500-byte disk holding the recordings and what another program writes.
    uint64_t others = 0;
    store.SetFreeSpaceQuery([&] {
        uint64_t used = others;
        for (const auto& file : fs::recursive_directory_iterator(dir / "rec"))
            if (file.path().extension() == ".mp4")
                used += file.file_size();
        return used < 4500 ? 4500 - used : 0;
    });
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) // 1,000 bytes a minute: a file of two minutes needs 2,000
        paths.push_back(Record(store, "a", Ns(2027, 3, 1, 10, i), 1000));
    const RetentionPolicy noFloor{0, 0, 16, 120 * SECOND};
    const auto result = store.EnforceRetention(noFloor, Ns(2027, 3, 1, 12));
    EXPECT_EQ(result.deleted, 2u);
    EXPECT_FALSE(result.floorStillReached);
    EXPECT_FALSE(fs::exists(paths[1]));
    EXPECT_TRUE(fs::exists(paths[2]));
    EXPECT_EQ(store.NextSegmentsBytes(120 * SECOND), 2000u);
    EXPECT_EQ(store.EnforceRetention(noFloor, Ns(2027, 3, 1, 12)).deleted, 0u); // the room is there now

    // Another program fills the disk: deleting every recording would not make room for a file of
    // four minutes, so none is deleted for it.
    others = 2000;
    EXPECT_EQ(store.EnforceRetention(RetentionPolicy{0, 0, 16, 240 * SECOND}, Ns(2027, 3, 1, 12)).deleted, 0u);
    EXPECT_TRUE(fs::exists(paths[2]));
}

TEST(RecordingStore, AnIndexOnAFullDiskNeverListsADeletedFileAsWritingAndCatchesUpOnceThereIsRoom)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    const int64_t t = Ns(2026, 12, 9, 10);
    const std::string index = dir / "rec/front/2026-12-09/index.txt";
    const std::string good = Record(store, "front", t, 500, false);
    const std::string removed = store.BeginSegment("front", t + SECOND); // its header found the disk full
    // The disk is full while the unplayable file holds its blocks, and then while diskFull is set.
    bool diskFull = false;
    store.SetIndexWriter([&](int fd, const std::string& text) {
        if (diskFull || fs::exists(removed)) {
            errno = ENOSPC;
            return false;
        }
        return segrec::WriteAll(fd, text);
    });
    store.EndSegment(removed, 0, 0);
    EXPECT_FALSE(fs::exists(removed));
    EXPECT_EQ(ReadFile(index).find("10-00-01.mp4"), std::string::npos) << ReadFile(index);

    diskFull = true;
    store.EndSegment(good, 60 * SECOND, 500);
    EXPECT_NE(ReadFile(index).find("10-00-00.mp4 " + std::to_string(t) + " 0 0 writing"), std::string::npos);
    diskFull = false;
    store.EnforceRetention(RetentionPolicy{0, 0, 16}, t); // deletes nothing, rewrites the index
    EXPECT_NE(ReadFile(index).find("10-00-00.mp4 " + std::to_string(t) + " 60000000000 500 complete"),
              std::string::npos)
        << ReadFile(index);
}

// ---- The recordings folder as input: symlinks, FIFOs, a second process ------------------------

TEST(RecordingStore, OnlyRealFoldersOfCameraAndDayNamesAreEnteredOtherSuchNamesAreRefused)
{
    using segrec::EntryUse;
    const struct {
        const char* name;
        mode_t type;
        EntryUse camera;
        EntryUse day;
    } cases[] = {
        {"front", S_IFDIR, EntryUse::Use, EntryUse::Ignore},
        {"front", S_IFLNK, EntryUse::Refuse, EntryUse::Ignore},
        {"front", S_IFIFO, EntryUse::Refuse, EntryUse::Ignore},
        {"front", S_IFREG, EntryUse::Ignore, EntryUse::Ignore},
        {segrec::LOCK_NAME, S_IFREG, EntryUse::Ignore, EntryUse::Ignore},
        {"..", S_IFDIR, EntryUse::Ignore, EntryUse::Ignore},
        {"2026-12-09", S_IFDIR, EntryUse::Use, EntryUse::Use},
        {"2026-12-09", S_IFLNK, EntryUse::Refuse, EntryUse::Refuse},
        {"2026-12-09", S_IFREG, EntryUse::Ignore, EntryUse::Refuse},
        {"2026-02-30", S_IFLNK, EntryUse::Refuse, EntryUse::Ignore},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(segrec::CameraEntryUse(c.name, c.type), c.camera) << c.name << " " << c.type;
        EXPECT_EQ(segrec::DayEntryUse(c.name, c.type), c.day) << c.name << " " << c.type;
    }
}

TEST(RecordingStore, IndexWritesFollowNoSymlinkPlantedAsTheTemporaryFile)
{
    TemporaryDirectory dir;
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    const std::string day = dir / "rec/front/2026-12-09/";
    Record(store, "front", Ns(2026, 12, 9, 10), 200);
    WriteFile(dir / "victim", "keep me");
    fs::create_symlink(dir / "victim", day + "index.txt.tmp");
    Record(store, "front", Ns(2026, 12, 9, 11), 200);
    // Retention takes the first file, and Compact rewrites the index whole.
    EXPECT_EQ(store.EnforceRetention(RetentionPolicy{HOUR, 0, 1}, Ns(2027, 1, 1)).deleted, 1u);
    store.Compact();
    EXPECT_EQ(ReadFile(dir / "victim"), "keep me");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(day + "index.txt")));
    EXPECT_NE(ReadFile(day + "index.txt").find("11-00-00.mp4"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(day + "index.txt.tmp")));
}

TEST(RecordingStore, AnIndexThatIsAFifoIsSkippedWithoutBlocking)
{
    TemporaryDirectory dir;
    const std::string day = dir / "rec/front/2026-12-09/";
    fs::create_directories(day);
    ASSERT_EQ(mkfifo((day + "index.txt").c_str(), 0644), 0);
    WriteFile(day + "10-00-00.mp4", Mp4({100}));
    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    auto reconciled = std::async(std::launch::async, [&] { store.Reconcile(); });
    if (reconciled.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "Reconcile blocked on the FIFO";
        close(open((day + "index.txt").c_str(), O_WRONLY | O_NONBLOCK)); // lets it go on
    }
    reconciled.get();
    EXPECT_EQ(logs.Count("index.txt: it is not a regular file; skipped"), 1);
    // The file is listed again in a real index, which replaces the FIFO.
    EXPECT_NE(ReadFile(day + "index.txt").find("10-00-00.mp4"), std::string::npos);
}

TEST(RecordingStore, SymlinkedCameraOrDayFoldersAreRefusedAndNothingIsWrittenOrDeletedThroughThem)
{
    TemporaryDirectory dir;
    const std::string elsewhere = dir / "elsewhere/2020-01-01/";
    fs::create_directories(elsewhere);
    const std::string index = std::to_string(Ns(2020, 1, 1)) + " 0 4 complete\n";
    WriteFile(elsewhere + "wedding.mp4", "keep");
    WriteFile(elsewhere + "index.txt", "wedding.mp4 " + index);
    fs::create_directories(dir / "rec/back");
    fs::create_symlink(dir / "elsewhere", dir / "rec/front");                      // a camera folder
    fs::create_symlink(dir / "elsewhere/2020-01-01", dir / "rec/back/2020-01-01"); // a day folder

    Logs logs;
    RecordingStore store(dir / "rec", logs.Sink());
    store.Reconcile();
    for (const char* camera : {"front", "back"})
        EXPECT_EQ(store.BeginSegment(camera, Ns(2020, 1, 1, 10)), "") << camera;
    EXPECT_EQ(store.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, Ns(2030, 1, 1)).deleted, 0u);
    EXPECT_EQ(store.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, Ns(2030, 1, 1)).deleted, 0u);

    EXPECT_EQ(ReadFile(elsewhere + "wedding.mp4"), "keep");
    EXPECT_EQ(ReadFile(elsewhere + "index.txt"), "wedding.mp4 " + index);
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 2);
    // Once a folder, however often it is met.
    EXPECT_EQ(logs.Count("rec/front: it is a symlink; refused"), 1);
    EXPECT_EQ(logs.Count("rec/back/2020-01-01: it is a symlink; refused"), 1);
}

TEST(RecordingStore, ASecondStoreOnTheFolderDoesNothingUntilTheFirstIsGone)
{
    TemporaryDirectory dir;
    Logs logs;
    const std::string index = dir / "rec/front/2026-12-09/index.txt";
    auto first = std::make_unique<RecordingStore>(dir / "rec", logs.Sink());
    EXPECT_EQ(first->Unusable(), "");
    const std::string writing = Record(*first, "front", Ns(2026, 12, 9, 10), 200, false);
    Record(*first, "front", Ns(2020, 1, 1), 200);
    const std::string before = ReadFile(index);
    {
        RecordingStore second(dir / "rec", logs.Sink());
        EXPECT_NE(second.Unusable().find("another process records into it"), std::string::npos) << second.Unusable();
        EXPECT_EQ(second.BeginSegment("front", Ns(2026, 12, 9, 11)), "");
        second.Reconcile(); // would mark the first's live file interrupted
        EXPECT_EQ(second.EnforceRetention(RetentionPolicy{HOUR, 0, 16}, Ns(2030, 1, 1)).deleted, 0u);
    }
    EXPECT_EQ(ReadFile(index), before);
    EXPECT_TRUE(fs::exists(writing));
    first.reset();
    EXPECT_EQ(RecordingStore(dir / "rec", logs.Sink()).Unusable(), "");

    // A lock file that is a symlink is not used.
    const std::string lock = dir / (std::string("rec/") + segrec::LOCK_NAME);
    fs::remove(lock);
    WriteFile(dir / "victim", "keep me");
    fs::create_symlink(dir / "victim", lock);
    EXPECT_NE(RecordingStore(dir / "rec", logs.Sink()).Unusable().find("a symlink"), std::string::npos);
    EXPECT_EQ(ReadFile(dir / "victim"), "keep me");
}

TEST(FreeSpaceEstimate, StandsInForAQueryUntilItIsOldOrNearTheFloor)
{
    using Clock = segrec::FreeSpaceEstimate::Clock;
    constexpr uint64_t MiB = 1ULL << 20;
    const Clock::time_point t0{};
    segrec::FreeSpaceEstimate free(std::chrono::seconds(5));
    EXPECT_FALSE(free.Enough(100 * MiB, t0)) << "nothing measured yet";

    free.Measured(1000 * MiB, t0);
    free.Wrote(300 * MiB);
    EXPECT_EQ(free.Enough(100 * MiB, t0 + std::chrono::seconds(4)), 700 * MiB); // less what was written
    EXPECT_FALSE(free.Enough(100 * MiB, t0 + std::chrono::seconds(5))) << "too old: another program may write";
    // Within a quarter of the floor and 64 MiB of it, or below it, only a query answers.
    EXPECT_FALSE(free.Enough(600 * MiB, t0));
    EXPECT_EQ(free.Enough(500 * MiB, t0), 700 * MiB);
    free.Wrote(700 * MiB);
    EXPECT_FALSE(free.Enough(0, t0)) << "what was written used up every byte measured";

    free.Measured(UINT64_MAX, t0); // a disk whose free space is unknown stays unknown
    free.Wrote(MiB);
    EXPECT_EQ(free.Enough(100 * MiB, t0), UINT64_MAX);
}
