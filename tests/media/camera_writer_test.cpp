// One camera's writer with the plugin's hooks played by the test: a writer thread that never comes
// back from the disk, and what Stop does about it on a test clock.
#include "camera_writer.h"
#include "recorder_log.h"

#include "support/bounded_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using dvr::test::WaitReady;
using dvr::test::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {
std::mutex logMutex;
std::vector<std::string> logLines; // every line the writer logged; guarded by logMutex

bool Logged(const std::string& text)
{
    const std::lock_guard lock(logMutex);
    for (const std::string& line : logLines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}
} // namespace

// The plugin's log, as segment_recorder.cpp sends it to the core.
void segrec::Log(int level, const char* format, ...)
{
    char text[768];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    const std::lock_guard lock(logMutex);
    logLines.push_back(std::to_string(level) + " " + text);
}

std::string segrec::AvError(int code)
{
    return "error " + std::to_string(code);
}

namespace {

// The core's side of a camera: the blocks it handed over and got back, the plugin's hooks, and
// a clock the test moves.
class WriterBench {
public:
    WriterBench()
    {
        char folder[] = "/tmp/camera_writer_XXXXXX";
        EXPECT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        store_.emplace(folder_ + "/recordings", [](int, const std::string&) {});
    }
    ~WriterBench() { fs::remove_all(folder_); }

    segrec::WriterHooks Hooks()
    {
        return {.release =
                    [this](void* block) {
                        const std::lock_guard lock(mutex_);
                        released_.insert(block);
                    },
                .noSpace = [] {},
                .freeBytes = [] { return UINT64_MAX; },
                .makeRoom = [] { return UINT64_MAX; },
                // The disk hangs: the writer thread's first call on it does not come back until freed.
                .waitForStore =
                    [this] {
                        if (!hangs)
                            return true;
                        hung_ = true;
                        unhung_.get_future().wait();
                        return false;
                    },
                .now = [this] { return Clock::time_point(Clock::duration(now_.load())); }};
    }
    void Advance(std::chrono::seconds by) { now_ += Clock::duration(by).count(); }
    Clock::time_point Now() const { return Clock::time_point(Clock::duration(now_.load())); }
    void FreeTheDisk() { unhung_.set_value(); }
    const std::string& Folder() const { return folder_; }
    size_t Released()
    {
        const std::lock_guard lock(mutex_);
        return released_.size();
    }

    segrec::RecorderConfig config;
    bool hangs = true; // whether the disk hangs at the first file
    std::optional<segrec::RecordingStore> store_;
    std::atomic<bool> hung_{false};

private:
    std::string folder_;
    std::promise<void> unhung_;
    std::atomic<Clock::rep> now_{0};
    std::mutex mutex_;
    std::set<void*> released_; // guarded by mutex_
};

// Stream parameters of an H.264 camera, and its frames, each with a block of its own.
std::shared_ptr<const segrec::CameraParams> H264Params()
{
    auto params = std::make_shared<segrec::CameraParams>();
    params->params.size = sizeof params->params;
    params->params.videoCodec = DVR_CODEC_H264;
    params->params.width = 320;
    params->params.height = 240;
    std::snprintf(params->params.name, sizeof params->params.name, "front");
    return params;
}

_DvrMediaFrame Frame(int64_t dts, bool key)
{
    _DvrMediaFrame frame{};
    frame.size = sizeof frame;
    frame.dts = frame.pts = dts;
    frame.captureTimeNs = int64_t{1'796'000'000} * 1'000'000'000 + dts * 1'000'000'000 / DVR_MEDIA_CLOCK_RATE;
    frame.duration = DVR_MEDIA_CLOCK_RATE / 25;
    frame.flags = key ? DVR_MEDIA_KEY_FRAME : 0;
    return frame;
}

} // namespace

TEST(CameraWriter, StopOnAHungDiskDropsTheQueueReleasesEveryBlockAndLeavesTheStuckThreadByItsDeadline)
{
    WriterBench bench;
    auto writer = std::make_unique<segrec::CameraWriter>(0, bench.config, *bench.store_, bench.Hooks());
    std::vector<std::vector<uint8_t>> blocks(6, std::vector<uint8_t>(1000, 0x42));
    writer->OfferParams(H264Params());
    ASSERT_TRUE(writer->OfferFrame(EVT_VIDEO, Frame(0, true), blocks[0].data(), blocks[0].data(), 1000));
    ASSERT_TRUE(WaitUntil([&] { return bench.hung_.load(); }, "the writer thread to reach the disk"));
    for (size_t i = 1; i < blocks.size(); ++i)
        ASSERT_TRUE(writer->OfferFrame(EVT_VIDEO, Frame(3600 * static_cast<int64_t>(i), false), blocks[i].data(),
                                       blocks[i].data(), 1000));

    // The frame in the hung write no longer holds its block: it was copied before the write.
    EXPECT_EQ(bench.Released(), 1u);
    const Clock::time_point drainBy = bench.Now() + std::chrono::seconds(6);
    const Clock::time_point finishBy = bench.Now() + std::chrono::seconds(8);
    auto stopped = std::async(std::launch::async, [&] { return writer->Stop(drainBy, finishBy); });
    bench.Advance(std::chrono::seconds(7)); // past the time to write the queue: it is dropped
    ASSERT_TRUE(WaitUntil([&] { return bench.Released() == blocks.size(); }, "every queued block to be released"));
    EXPECT_TRUE(WaitUntil(
        [] {
            return Logged("50 front: closing: the disk did not take the queue in time; 5 frames (5000 bytes) dropped");
        },
        "the drop to be logged"));
    bench.Advance(std::chrono::seconds(2)); // past the time to end the file: the thread is left
    ASSERT_TRUE(WaitReady(stopped, "Stop to return by its deadline"));
    EXPECT_FALSE(stopped.get());
    EXPECT_TRUE(Logged("100 front: the writer is stuck"));
    EXPECT_EQ(writer->Counters().droppedClosing, 5u);

    // The disk comes back: the thread left running ends by itself on the object kept for it.
    bench.FreeTheDisk();
    const Clock::time_point giveUp = bench.Now() + std::chrono::seconds(1);
    auto ended = std::async(std::launch::async, [&] { return writer->Stop(giveUp, giveUp); });
    EXPECT_TRUE(WaitReady(ended, "the stuck thread to end once its write returned"));
    bench.Advance(std::chrono::seconds(2)); // ends the wait above if it failed
    EXPECT_TRUE(ended.get());
    EXPECT_EQ(writer->Counters().droppedAwaitingKey, 1u); // its key frame, whose file never began
    EXPECT_EQ(bench.Released(), blocks.size());
}

TEST(QueueBudget, EachCameraFillsItsOwnShareAndTogetherTheyStayWithinTheTotal)
{
    segrec::QueueBudget budget(4000);
    for (uint32_t camera : {0u, 1u, 2u})
        budget.Join(camera);
    EXPECT_EQ(budget.Share(), 1333u);

    // Camera 0 falls behind: it fills its share and then takes nothing more.
    uint64_t taken = 0;
    while (budget.Take(0, 100))
        taken += 100;
    EXPECT_EQ(taken, 1300u);
    // The others still have their whole shares.
    EXPECT_TRUE(budget.Take(1, 1333));
    EXPECT_TRUE(budget.Take(2, 1333));
    EXPECT_FALSE(budget.Take(2, 1));
    // What a camera gives back is room for its own queue again.
    budget.Give(0, 1300);
    EXPECT_FALSE(budget.Take(1, 1));
    EXPECT_TRUE(budget.Take(0, 1333));

    // A fourth camera: the shares shrink, and the cameras over theirs take nothing until they drain.
    budget.Join(3);
    EXPECT_EQ(budget.Share(), 1000u);
    EXPECT_TRUE(budget.Take(3, 1000));
    EXPECT_FALSE(budget.Take(0, 1));
    budget.Give(0, 1333);
    EXPECT_TRUE(budget.Take(0, 1000));
    // Room promised before the shares shrank is taken all the same.
    EXPECT_TRUE(budget.Take(0, 333, true));
}

TEST(FlowPromise, AFrameSentUnderAnyRecordSoFarWasPromisedRoomEvenAfterALaterRecordShrankTheWindow)
{
    segrec::FlowPromise promise;
    EXPECT_FALSE(promise.Offer(100)); // before any record: the sender's own first window, not promised

    promise.Announce(0, 4000);        // done 0: up to byte 4000
    EXPECT_TRUE(promise.Offer(1900)); // 100..2000
    // The shares shrank (cameras joined) and a record gave a smaller window, while the sender,
    // which has not had it yet, goes on under the first one.
    promise.Announce(1000, 1000);
    EXPECT_TRUE(promise.Offer(1900)); // 2000..3900: within the first record's 4000
    EXPECT_FALSE(promise.Offer(200)); // 3900..4100: beyond every record

    // Once everything offered is done, any frame may come, however large.
    promise.Announce(4100, 1000);
    EXPECT_TRUE(promise.Offer(9000));
    EXPECT_EQ(promise.ReportedDone(), 4100u);
}

TEST(CameraWriter, AFileEndsWithoutWaitingForTheDiskAndTheIndexStillListsItsFilesInOrder)
{
    WriterBench bench;
    bench.hangs = false;
    bench.config.segmentSeconds = 1;
    // The index's syncs after a file's end wait until the test lets them go, as on a busy disk.
    std::promise<void> diskBack;
    std::shared_future<void> diskIsBack = diskBack.get_future().share();
    std::mutex textsMutex;
    std::vector<std::string> texts; // every index write; guarded by textsMutex
    bench.store_->SetIndexWriter([&](int fd, const std::string& text) {
        const std::lock_guard lock(textsMutex);
        texts.push_back(text);
        return segrec::WriteAll(fd, text);
    });
    bench.store_->SetIndexSync([&](int fd) {
        bool ended = false;
        {
            const std::lock_guard lock(textsMutex);
            ended = texts.back().find(" complete ") != std::string::npos;
        }
        if (ended)
            diskIsBack.wait();
        return fsync(fd);
    });
    auto writer = std::make_unique<segrec::CameraWriter>(0, bench.config, *bench.store_, bench.Hooks());
    auto params = std::make_shared<segrec::CameraParams>(*H264Params());
    params->videoExtradata = {1, 0x42, 0xC0, 0x1E, 0xFF, 0xE0, 0x00}; // avcC without parameter sets
    params->params.videoExtradataLength = static_cast<uint32_t>(params->videoExtradata.size());
    writer->OfferParams(params);
    // Three files of one second, and the first frame of a fourth.
    constexpr int FRAMES = 3 * 25 + 1;
    std::vector<std::vector<uint8_t>> blocks(FRAMES, std::vector<uint8_t>(1000, 0x42));
    for (int i = 0; i < FRAMES; ++i)
        ASSERT_TRUE(writer->OfferFrame(EVT_VIDEO, Frame(3600 * int64_t{i}, i % 25 == 0), blocks[i].data(),
                                       blocks[i].data(), 1000));

    // Every frame is written while the first file's end still waits for the disk.
    const bool written = WaitUntil([&] { return writer->Counters().video == FRAMES; }, "every frame to be written");
    diskBack.set_value();
    ASSERT_TRUE(written);
    EXPECT_EQ(bench.Released(), blocks.size());
    EXPECT_EQ(writer->Counters().segments, 4u);
    writer.reset(); // Stop: the files it ended are entered before it returns

    // Each end went out with the begun line of the file after it, in one write: the index lists the
    // files one after another, each starting where the one before ended.
    const std::vector<std::string> files = {"00-53-20.mp4", "00-53-21.mp4", "00-53-22.mp4", "00-53-23.mp4"};
    size_t together = 0;
    for (const std::string& text : texts)
        together += text.find(" complete ") != std::string::npos && text.find(" writing ") != std::string::npos;
    EXPECT_EQ(together, 3u);
    std::ifstream index(bench.Folder() + "/recordings/front/2026-11-30/index.txt");
    const std::string text((std::istreambuf_iterator<char>(index)), std::istreambuf_iterator<char>());
    const std::vector<recindex::IndexEntry> listed = recindex::ParseDayIndex(text).entries;
    ASSERT_EQ(listed.size(), files.size()) << text;
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i].name, files[i]);
        EXPECT_EQ(listed[i].state, recindex::SegmentState::Complete) << listed[i].name;
        if (i > 0) {
            EXPECT_EQ(listed[i].startNs, listed[i - 1].startNs + listed[i - 1].durationNs) << listed[i].name;
        }
    }
}
