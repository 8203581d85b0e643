// The whole recording chain in real processes: the built core with the log plugin, MediaSource
// and SegmentRecorder in its plugins folder, fed by clips and by an RTSP server, recording into a
// folder that is sometimes slow, small or cut off by a kill. What ffmpeg and ffprobe make of the
// files is what counts.
#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <map>
#include <set>
#include <sstream>

#include "ipc/parent_protocol.h"
#include "media_support.h"
#include "support/core_installation.h"

namespace {

using namespace dvr::media;
using dvr::test::ReadFile;
using dvr::test::WriteFile;

// Module indexes of the two plugins: parent packets to (index << 20) reach them.
constexpr uint32_t SOURCE_MODULE = 0x0A2;
constexpr uint32_t RECORDER_MODULE = 0x0A3;
constexpr size_t FRAMES_PER_SEGMENT = 50; // 2 s at 25 frames a second, a key frame every second

class MediaChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!MEDIA_PLUGINS_BUILT)
            GTEST_SKIP() << "MediaSource and SegmentRecorder are not part of this build";
        for (const char* plugin : {"LogPI.so", "MediaSource.so", "SegmentRecorder.so"})
            install.AddPlugin(std::string(DVRCORE_BUILD_DIR "/plugins/") + plugin);
        // The core's own lines at every level on the console: a leak report would show there.
        WriteFile(install / "core.xml",
                  R"(<oDVR><Modules><Module><Plugin ID="-2147483648" LogLevel="0"/></Module></Modules></oDVR>)");
    }

    void TearDown() override
    {
        if (core)
            core->Signal(SIGKILL);
    }

    // media_source.xml with cameras as (name, url), each with the attributes given.
    void WriteSources(const std::vector<std::pair<std::string, std::string>>& cameras,
                      const std::string& attributes = "")
    {
        std::string xml = "<MediaSource>\n";
        for (const auto& [name, url] : cameras)
            xml += "  <Camera name=\"" + name + "\" url=\"" + url + "\" timeout=\"2\" " + attributes + "/>\n";
        WriteFile(install / "media_source.xml", xml + "</MediaSource>\n");
    }

    // segment_recorder.xml with these attributes.
    void WriteRecorder(const std::string& attributes)
    {
        WriteFile(install / "segment_recorder.xml", "<SegmentRecorder " + attributes + "/>\n");
    }

    // Starts the core with a supervisor's link and waits until it runs.
    void StartCore()
    {
        parent = std::make_unique<dvr::test::ParentEnd>();
        core = install.Start({std::to_string(parent->CoreDescriptor())}, {parent->CoreDescriptor()});
        parent->ReleaseCoreEnd();
        parent->SendParameters(std::string("ovrimd\0"
                                           "1.0.0",
                                           12));
        ASSERT_TRUE(core->WaitForOutput("successfully started core version", PATIENCE)) << core->Output();
    }

    // Asks the supervisor's stop and expects a clean exit with no block left behind.
    void StopCore()
    {
        parent->Send(dvr::MakeParentPacket(0, IPC_STOP, nullptr, 0));
        EXPECT_EQ(core->Wait(PATIENCE), 0) << core->Output() << core->Errors();
        EXPECT_EQ(core->Output().find("leaked by plugins"), std::string::npos) << core->Output();
        consoles += core->Output();
        core.reset();
        parent.reset();
    }

    void KillCore()
    {
        core->Signal(SIGKILL);
        EXPECT_EQ(core->Wait(PATIENCE), 128 + SIGKILL);
        consoles += core->Output();
        core.reset();
        parent.reset();
    }

    // One plugin's answer to a status packet: the first text packet that comes back.
    std::string Ask(uint32_t module)
    {
        parent->Send(dvr::MakeParentPacket(module << 20, 1, "status", 6));
        while (auto packet = parent->Receive(PATIENCE)) {
            std::string text(packet->begin(), packet->end());
            bool printable = !text.empty() && text[0] != '<' && std::all_of(text.begin(), text.end(), [](char c) {
                return c == '\n' || c == '\t' || (c >= ' ' && c < 127);
            });
            if (printable)
                return text;
        }
        return "";
    }

    bool WaitUntil(const std::function<bool()>& condition) { return dvr::media::WaitUntil(*core, condition); }

    std::string Recordings() const { return install / "recordings"; }

    // Every file under root is a segment, a day index, or the store's lock or day summaries; every segment decodes
    // without a word from ffmpeg and starts with a key frame, its decode times growing (with gaps only where allowed).
    // Returns what ffprobe said of each segment.
    static std::map<std::string, Inspection> ExpectEveryFilePlays(const std::string& root,
                                                                  Gaps gaps = Gaps::BeforeKeyFrames)
    {
        static const std::regex allowed(
            R"(.*/\d{4}-\d\d-\d\d/(\d\d-\d\d-\d\d(-\d+)?\.mp4|index\.txt)|.*/recordings/\.recorder\.(lock|days))");
        // The tools run for several files at once: their start-up is most of their time.
        std::map<std::string, std::future<std::pair<std::string, Inspection>>> checks;
        for (const std::string& file : FilesUnder(root)) {
            EXPECT_TRUE(std::regex_match(file, allowed)) << "unexpected file " << file;
            if (file.ends_with(".mp4"))
                checks[file] =
                    std::async(std::launch::async, [file] { return std::pair(DecodeErrors(file), Inspect(file)); });
        }
        std::map<std::string, Inspection> inspections;
        for (auto& [file, check] : checks) {
            auto [errors, inspection] = check.get();
            EXPECT_EQ(errors, "") << file;
            EXPECT_EQ(TimelineFaults(inspection.video, gaps), "") << file;
            inspections[file] = std::move(inspection);
        }
        return inspections;
    }

    // Each day index names exactly the segments in its folder, none as still being written, each
    // with the size and (within 0.2 s, ffprobe's container duration) the duration its file holds;
    // a camera's files never overlap.
    static void ExpectIndexesAgree(const std::string& root)
    {
        std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> spans; // camera -> start, duration
        for (const std::string& file : FilesUnder(root)) {
            if (!file.ends_with("index.txt"))
                continue;
            std::istringstream lines(ReadFile(file));
            std::string line;
            while (std::getline(lines, line)) {
                std::istringstream fields(line);
                std::string name, state;
                int64_t start = 0, duration = 0;
                uint64_t bytes = 0;
                if (line.starts_with("#") || !(fields >> name >> start >> duration >> bytes >> state))
                    continue;
                const fs::path path = fs::path(file).parent_path() / name;
                if (!fs::exists(path))
                    continue; // reported below
                EXPECT_EQ(bytes, fs::file_size(path)) << path;
                EXPECT_NEAR(static_cast<double>(duration) / 1e9, Inspect(path).duration, 0.2) << path;
                spans[path.parent_path().parent_path().string()].emplace_back(start, duration);
            }
        }
        for (auto& [camera, files] : spans) {
            std::sort(files.begin(), files.end());
            for (size_t i = 1; i < files.size(); ++i)
                EXPECT_GE(files[i].first, files[i - 1].first + files[i - 1].second)
                    << camera << ": file " << i << " starts before the one before it ends";
        }
        static const std::regex segment(R"(\d\d-\d\d-\d\d(?:-\d+)?\.mp4)");
        for (const std::string& file : FilesUnder(root)) {
            if (!file.ends_with(".mp4"))
                continue;
            std::string index = ReadFile(fs::path(file).parent_path() / "index.txt");
            EXPECT_NE(index.find(fs::path(file).filename().string()), std::string::npos)
                << file << " missing from its index:\n"
                << index;
        }
        for (const std::string& file : FilesUnder(root)) {
            if (!file.ends_with("index.txt"))
                continue;
            std::string index = ReadFile(file);
            EXPECT_EQ(index.find(" writing\n"), std::string::npos) << file << " still lists a file being written";
            for (auto it = std::sregex_iterator(index.begin(), index.end(), segment); it != std::sregex_iterator();
                 ++it)
                EXPECT_TRUE(fs::exists(fs::path(file).parent_path() / it->str()))
                    << file << " lists " << it->str() << ", which is gone";
        }
    }

    dvr::test::CoreInstallation install;
    std::unique_ptr<dvr::test::ParentEnd> parent;
    std::unique_ptr<dvr::test::ChildProcess> core;
    std::string consoles; // the console output of every core run so far
};

// ---- The checks themselves: a cut file or a lost frame does not pass ----------------------------

TEST(MediaChecks, ACutFileAndALostOrRepeatedFrameAreSeen)
{
    dvr::test::TemporaryDirectory dir;
    std::string whole = dir / "whole.mp4";
    ASSERT_EQ(dvr::test::RunToEnd({MEDIA_FFMPEG, "-nostdin", "-v", "error", "-i", Clip("h264_aac.mp4"), "-c", "copy",
                                   "-movflags", "frag_keyframe+empty_moov+default_base_moof", "-frag_duration",
                                   "500000", whole},
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(DecodeErrors(whole), "");
    std::vector<Box> boxes = WholeBoxes(whole);
    ASSERT_GE(WholeFragments(whole), 4u);
    const Box& secondMdat = boxes[5];
    ASSERT_EQ(secondMdat.type, "mdat");
    std::string cut = dir / "cut.mp4";
    CopyPrefix(whole, cut, secondMdat.offset + secondMdat.size / 2);
    EXPECT_NE(DecodeErrors(cut), "");
    EXPECT_EQ(WholeFragmentsEnd(cut), boxes[3].offset + boxes[3].size);
    size_t kept = VideoFramesInWholeFragments(whole, secondMdat.offset + secondMdat.size / 2, dir / "scratch.mp4");
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, VideoPackets(whole).size());

    std::vector<int64_t> clip = Fingerprint(VideoPackets(Clip("h264_aac.mp4")));
    std::vector<int64_t> looped(clip.begin() + 100, clip.end());
    looped.insert(looped.end(), clip.begin(), clip.begin() + 60);
    EXPECT_EQ(PlaceInLoop(looped, clip), 100);
    std::vector<int64_t> lost = looped;
    lost.erase(lost.begin() + 70);
    EXPECT_EQ(PlaceInLoop(lost, clip), -1);
    std::vector<int64_t> repeated = looped;
    repeated.insert(repeated.begin() + 70, repeated[70]);
    EXPECT_EQ(PlaceInLoop(repeated, clip), -1);
}

// ---- A file: clips recorded, cut into 2 s segments at key frames, every frame once --------------

class RecordAndVerify : public MediaChain {};

TEST_F(RecordAndVerify, ThreeCodecPairsRecordedInWholeSegmentsWithEveryFrameOnce)
{
    const std::vector<std::pair<std::string, std::string>> cameras = {
        {"aac", "h264_aac.mp4"}, {"alaw", "h264_alaw.mov"}, {"hevc", "h265_ulaw.mov"}};
    std::vector<std::pair<std::string, std::string>> sources;
    for (const auto& [camera, clip] : cameras)
        sources.emplace_back(camera, "file:" + Clip(clip));
    WriteSources(sources);
    WriteRecorder(R"(segmentSeconds="2")");
    ASSERT_NO_FATAL_FAILURE(StartCore());

    // Two finished segments a camera (a third begun, with the loop of the shorter clips).
    ASSERT_TRUE(WaitUntil([&] {
        for (const auto& camera : cameras)
            if (Segments(Recordings(), camera.first).size() < 3)
                return false;
        return true;
    })) << core->Output();
    std::string sourceAnswer = Ask(SOURCE_MODULE);
    std::string recorderAnswer = Ask(RECORDER_MODULE);
    StopCore();

    EXPECT_NE(sourceAnswer, "");
    EXPECT_NE(recorderAnswer, "");
    std::map<std::string, Inspection> inspections = ExpectEveryFilePlays(Recordings());
    ExpectIndexesAgree(Recordings());
    for (const auto& [camera, clip] : cameras) {
        SCOPED_TRACE(camera);
        std::vector<int64_t> recorded;
        std::vector<std::string> segments = Segments(Recordings(), camera);
        for (size_t i = 0; i < segments.size(); ++i) {
            const Inspection& file = inspections[segments[i]];
            EXPECT_NE(file.tracks.find(":video"), std::string::npos) << segments[i] << " " << file.tracks;
            EXPECT_NE(file.tracks.find(":audio"), std::string::npos) << segments[i] << " " << file.tracks;
            if (i + 1 < segments.size()) { // the last one ended with the stop
                EXPECT_EQ(file.video.size(), FRAMES_PER_SEGMENT) << segments[i];
                EXPECT_GE(file.duration, 1.95) << segments[i];
                EXPECT_LE(file.duration, 2.2) << segments[i];
            }
            std::vector<int64_t> marks = Fingerprint(file.video);
            recorded.insert(recorded.end(), marks.begin(), marks.end());
        }
        // The frames of all segments in order are the clip's, looped, none lost or repeated.
        EXPECT_GE(PlaceInLoop(recorded, Fingerprint(VideoPackets(Clip(clip)))), 0)
            << recorded.size() << " frames recorded";
    }
}

// ---- An import: a file read as fast as it can be, into a queue far smaller than the file ---------

class Import : public MediaChain {};

TEST_F(Import, AnUnpacedFileIntoASmallQueueRecordsEveryFrameOnce)
{
    WriteSources({{"import", "file:" + Clip("h264_aac.mp4")}}, R"(pace="0")");
    WriteRecorder(R"(segmentSeconds="2" queueMB="1" queueSeconds="1")");
    ASSERT_NO_FATAL_FAILURE(StartCore());
    // Three passes of the 6 s clip: the writer falls behind the reader from the first frame.
    ASSERT_TRUE(WaitUntil([&] { return Segments(Recordings(), "import").size() >= 9; })) << core->Output();
    std::string sourceAnswer = Ask(SOURCE_MODULE);
    std::string recorderAnswer = Ask(RECORDER_MODULE);
    StopCore();

    EXPECT_NE(recorderAnswer.find("queue full 0,"), std::string::npos) << recorderAnswer;
    EXPECT_NE(sourceAnswer.find("throttled 0, no key frame 0,"), std::string::npos) << sourceAnswer;
    std::map<std::string, Inspection> inspections = ExpectEveryFilePlays(Recordings(), Gaps::None);
    std::vector<int64_t> recorded;
    for (const std::string& segment : Segments(Recordings(), "import")) {
        std::vector<int64_t> marks = Fingerprint(inspections[segment].video);
        recorded.insert(recorded.end(), marks.begin(), marks.end());
    }
    EXPECT_GE(recorded.size(), 9 * FRAMES_PER_SEGMENT);
    EXPECT_GE(PlaceInLoop(recorded, Fingerprint(VideoPackets(Clip("h264_aac.mp4")))), 0)
        << recorded.size() << " frames recorded";
}

// ---- RTSP: the server goes away and comes back ---------------------------------------------------

class Rtsp : public MediaChain {};

TEST_F(Rtsp, ServerRestartGivesANewFileAndNoBrokenOneAndDigestCredentialsWorkAndStayHidden)
{
    RtspServer server({"--user", "viewer:s3cr3tPass", "--digest"});
    ASSERT_EQ(server.Failure(), "");
    WriteSources({{"door", server.Url("viewer:s3cr3tPass@")}, {"porch", server.Url("viewer:n0tThePass@")}});
    WriteRecorder(R"(segmentSeconds="60" fragmentMs="500")");
    ASSERT_NO_FATAL_FAILURE(StartCore());

    auto fragmentsOfLast = [&] {
        std::vector<std::string> segments = Segments(Recordings(), "door");
        return segments.empty() ? size_t{0} : WholeFragments(segments.back());
    };
    ASSERT_TRUE(WaitUntil([&] { return fragmentsOfLast() >= 2; })) << core->Output();
    server.Restart();
    ASSERT_EQ(server.Failure(), "");
    // The source notices, connects again and the recorder begins a new file, which fills.
    ASSERT_TRUE(WaitUntil([&] { return Segments(Recordings(), "door").size() >= 2 && fragmentsOfLast() >= 2; }))
        << core->Output();
    StopCore();
    server.Stop();

    ExpectEveryFilePlays(Recordings(), Gaps::Anywhere); // a live stream's clock
    ExpectIndexesAgree(Recordings());
    for (const std::string& segment : Segments(Recordings(), "door"))
        EXPECT_GT(VideoPackets(segment).size(), 0u) << segment;
    // A wrong password records nothing and says why.
    EXPECT_TRUE(Segments(Recordings(), "porch").empty());
    EXPECT_NE(consoles.find("camera porch: cannot open"), std::string::npos) << consoles;
    EXPECT_NE(consoles.find("401"), std::string::npos) << consoles;
    EXPECT_EQ(consoles.find("read by FFmpeg's RTSP client"), std::string::npos) << consoles;
    std::vector<std::string> everything = FilesUnder(install.Path());
    for (const std::string& file : everything) {
        if (file.ends_with(".so") || file.ends_with("/dvrcore") || file.ends_with("/media_source.xml"))
            continue;
        EXPECT_EQ(ReadFile(file).find("s3cr3tPass"), std::string::npos) << file;
    }
    EXPECT_EQ(consoles.find("s3cr3tPass"), std::string::npos) << consoles;
}

TEST_F(Rtsp, BFramesAtConnectAndReconnectCostNoFileAndNoFrameAfterTheFirstKeyFrame)
{
    // The demuxer gives the first frames of each connection no decode time (nor the first a pts).
    RtspServer server({"--clip", Clip("bframes.mp4")});
    ASSERT_EQ(server.Failure(), "");
    WriteSources({{"door", server.Url()}});
    WriteRecorder(R"(segmentSeconds="60" fragmentMs="500")");
    ASSERT_NO_FATAL_FAILURE(StartCore());

    auto fragmentsOfLast = [&] {
        std::vector<std::string> segments = Segments(Recordings(), "door");
        return segments.empty() ? size_t{0} : WholeFragments(segments.back());
    };
    ASSERT_TRUE(WaitUntil([&] { return fragmentsOfLast() >= 3; })) << core->Output();
    server.Restart();
    ASSERT_EQ(server.Failure(), "");
    ASSERT_TRUE(WaitUntil([&] { return Segments(Recordings(), "door").size() >= 2 && fragmentsOfLast() >= 3; }))
        << core->Output();
    const std::string figures = Ask(RECORDER_MODULE);
    StopCore();
    server.Stop();

    ExpectEveryFilePlays(Recordings(), Gaps::Anywhere);
    ExpectIndexesAgree(Recordings());
    // One file a connection, each the clip's frames from its first on, none lost or repeated.
    const std::vector<std::string> segments = Segments(Recordings(), "door");
    EXPECT_EQ(segments.size(), 2u);
    const std::vector<int64_t> clip = Fingerprint(VideoPackets(Clip("bframes.mp4")));
    for (const std::string& segment : segments) {
        const std::vector<int64_t> recorded = Fingerprint(VideoPackets(segment));
        EXPECT_GE(recorded.size(), 25u) << segment;
        EXPECT_EQ(PlaceInLoop(recorded, clip), 0) << segment << ": " << recorded.size() << " frames";
    }
    EXPECT_NE(figures.find("awaiting key frame 0,"), std::string::npos) << figures;
    EXPECT_EQ(consoles.find("timestamps went back"), std::string::npos) << consoles;
}

// ---- Crashes: a killed core, a cut-off file ------------------------------------------------------

class Crash : public MediaChain {
protected:
    void SetUp() override
    {
        MediaChain::SetUp();
        if (IsSkipped())
            return;
        WriteSources({{"cam", "file:" + Clip("h264_aac.mp4")}});
        WriteRecorder(R"(segmentSeconds="2" fragmentMs="500")");
    }

    std::vector<std::string> Files() const { return Segments(Recordings(), "cam"); }

    // A file cut off by a kill, and the video frames of its whole fragments then.
    struct Interrupted {
        std::string path;
        size_t frames;
    };
    Interrupted Measure(const std::string& path) const
    {
        return {path, VideoFramesInWholeFragments(path, fs::file_size(path), install / "scratch.mp4")};
    }
};

TEST_F(Crash, KilledAtFragmentsMidFragmentAndAtACutEachFilePlaysToItsLastWholeFragment)
{
    std::vector<Interrupted> interrupted;
    size_t before = 0;
    auto newFile = [&](size_t index) { return Files().size() > before + index ? Files()[before + index] : ""; };

    // After two fragments reached the first file.
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_TRUE(WaitUntil([&] { return !newFile(0).empty() && WholeFragments(newFile(0)) >= 2; })) << core->Output();
    std::string first = newFile(0);
    KillCore();
    interrupted.push_back(Measure(first));

    // While a fragment is being written: part of one is on disk (if that is seen before the file
    // holds three whole ones; the kill comes then anyway).
    before = Files().size();
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_TRUE(WaitUntil([&] {
        std::string file = newFile(0);
        if (file.empty() || WholeFragments(file) == 0)
            return false;
        return WholeFragmentsEnd(file) != fs::file_size(file) || WholeFragments(file) >= 3;
    })) << core->Output();
    std::string second = newFile(0);
    bool partSeen = WholeFragmentsEnd(second) != fs::file_size(second);
    KillCore();
    interrupted.push_back(Measure(second));
    printf("[   NOTE   ] part of a fragment %s on disk at the mid-fragment kill\n", partSeen ? "was" : "was not");

    // As the recorder cuts: the moment the next segment appears.
    before = Files().size();
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_TRUE(WaitUntil([&] { return !newFile(1).empty(); })) << core->Output();
    std::string finishing = newFile(0);
    KillCore();
    interrupted.push_back(Measure(finishing));

    // A last run that ends cleanly, once its own file holds a fragment.
    before = Files().size();
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_TRUE(WaitUntil([&] { return !newFile(0).empty() && WholeFragments(newFile(0)) >= 1; })) << core->Output();
    StopCore();

    ExpectEveryFilePlays(Recordings());
    ExpectIndexesAgree(Recordings());
    for (const Interrupted& file : interrupted) {
        ASSERT_TRUE(fs::exists(file.path)) << file.path;
        EXPECT_EQ(VideoPackets(file.path).size(), file.frames) << file.path;
    }
    EXPECT_GE(interrupted[0].frames, 2u);
}

TEST_F(Crash, FileCutAtAnyByteIsRepairedToItsLastWholeFragmentOnTheNextStart)
{
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_TRUE(WaitUntil([&] { return !Files().empty() && WholeFragments(Files()[0]) >= 3; })) << core->Output();
    const std::string victim = Files()[0];
    KillCore();
    // A power loss keeps less of the file than the writer wrote: the next starts see it cut at
    // these offsets, and run without cameras, only to reconcile.
    std::string snapshot = install / "snapshot";
    fs::copy(Recordings(), snapshot, fs::copy_options::recursive);
    std::vector<Box> boxes = WholeBoxes(victim);
    std::vector<uint64_t> offsets;
    for (size_t i = 0; i + 1 < boxes.size(); ++i)
        if (boxes[i].type == "moof" && offsets.size() < 6) {
            offsets.push_back(boxes[i].offset + 8);                         // into a moof
            offsets.push_back(boxes[i + 1].offset + boxes[i + 1].size / 2); // into its mdat
            offsets.push_back(boxes[i + 1].offset + boxes[i + 1].size);     // right after it
        }
    offsets.push_back(boxes.front().offset + boxes.front().size + 3); // into the header
    offsets.push_back(fs::file_size(victim) - 1);
    WriteSources({});

    for (uint64_t offset : offsets) {
        SCOPED_TRACE("cut at " + std::to_string(offset));
        fs::remove_all(Recordings());
        fs::copy(snapshot, Recordings(), fs::copy_options::recursive);
        fs::resize_file(victim, offset);
        size_t expected = VideoFramesInWholeFragments(victim, offset, install / "scratch.mp4");
        ASSERT_NO_FATAL_FAILURE(StartCore());
        StopCore();
        if (expected == 0) { // nothing to play: gone, or playable and empty
            EXPECT_TRUE(!fs::exists(victim) || DecodeErrors(victim).empty());
        } else {
            EXPECT_EQ(DecodeErrors(victim), "");
            EXPECT_EQ(VideoPackets(victim).size(), expected);
        }
        ExpectIndexesAgree(Recordings());
    }
    printf("[   NOTE   ] %zu cut offsets checked\n", offsets.size());
}

// ---- Timestamps that jump back -------------------------------------------------------------------

class Timestamps : public MediaChain {};

TEST_F(Timestamps, JumpBackIsClampedOrStartsANewFileNeverABrokenOne)
{
    WriteSources({{"jump", "file:" + Clip("jump_back.ts")}});
    WriteRecorder(R"(segmentSeconds="2" fragmentMs="500")");
    ASSERT_NO_FATAL_FAILURE(StartCore());
    // The clip jumps back after 3 s: a fourth 2 s segment (or a fifth, if the jump begins a file)
    // begins after it.
    ASSERT_TRUE(WaitUntil([&] { return Segments(Recordings(), "jump").size() >= 4; })) << core->Output();
    StopCore();

    ExpectEveryFilePlays(Recordings()); // each file's decode times grow
    ExpectIndexesAgree(Recordings());
}

// ---- MPEG-TS: AAC in ADTS frames, a loop through B-frames -----------------------------------------

class TransportStream : public MediaChain {};

TEST_F(TransportStream, AacFromAFileAndAnRtspStreamIsRecordedWithTheVideo)
{
    RtspServer server({"--ts"});
    ASSERT_EQ(server.Failure(), "");
    WriteSources({{"tsfile", "file:" + Clip("h264_aac.ts")}, {"tsrtsp", server.Url()}});
    WriteRecorder(R"(segmentSeconds="2" fragmentMs="500")");
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_TRUE(WaitUntil([&] {
        return Segments(Recordings(), "tsfile").size() >= 3 && Segments(Recordings(), "tsrtsp").size() >= 3;
    })) << core->Output();
    StopCore();
    server.Stop();

    std::map<std::string, Inspection> inspections = ExpectEveryFilePlays(Recordings(), Gaps::Anywhere);
    ExpectIndexesAgree(Recordings());
    for (const char* camera : {"tsfile", "tsrtsp"}) {
        std::vector<std::string> segments = Segments(Recordings(), camera);
        for (size_t i = 0; i + 1 < segments.size(); ++i) { // the last one ended with the stop
            const Inspection& file = inspections[segments[i]];
            EXPECT_NE(file.tracks.find("h264:video"), std::string::npos) << segments[i] << " " << file.tracks;
            EXPECT_NE(file.tracks.find("aac:audio"), std::string::npos) << segments[i] << " " << file.tracks;
            EXPECT_GE(file.duration, 1.5) << segments[i];
        }
    }
}

TEST_F(TransportStream, ALoopedClipWithBFramesDecodesAcrossEveryLoop)
{
    WriteSources({{"loop", "file:" + Clip("bframes.ts")}});
    WriteRecorder(R"(segmentSeconds="2" fragmentMs="500")");
    ASSERT_NO_FATAL_FAILURE(StartCore());
    // The 2 s clip has looped twice once a fourth file begins.
    ASSERT_TRUE(WaitUntil([&] { return Segments(Recordings(), "loop").size() >= 4; })) << core->Output();
    StopCore();

    std::map<std::string, Inspection> inspections = ExpectEveryFilePlays(Recordings());
    ExpectIndexesAgree(Recordings());
    std::vector<int64_t> recorded;
    for (const std::string& segment : Segments(Recordings(), "loop")) {
        std::vector<int64_t> marks = Fingerprint(inspections[segment].video);
        recorded.insert(recorded.end(), marks.begin(), marks.end());
    }
    EXPECT_GE(PlaceInLoop(recorded, Fingerprint(VideoPackets(Clip("bframes.ts")))), 0)
        << recorded.size() << " frames recorded";
}

// ---- Disks: a small one that fills, a slow one --------------------------------------------------

class Disk : public MediaChain {};

TEST_F(Disk, SmallDiskFillsRetentionDeletesTheOldestAndRecordingGoesOn)
{
    SmallDisk disk(2560);
    if (!disk.Failure().empty())
        GTEST_SKIP() << disk.Failure();
    std::string root = disk.Path() + "/recordings";
    WriteSources({{"busy", "file:" + Clip("busy.mp4")}});
    WriteRecorder("folder=\"" + root + R"(" segmentSeconds="1" minFreeMB="1" retentionBatch="4")");
    ASSERT_NO_FATAL_FAILURE(StartCore());

    // About half a megabyte a second into 2.5 MB with 1 MB kept free: the oldest files go, and
    // at least two more segments are written after the first went.
    std::vector<std::string> seen;
    size_t seenAtFirstDeletion = 0;
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& segment : Segments(root, "busy"))
            if (std::find(seen.begin(), seen.end(), segment) == seen.end())
                seen.push_back(segment);
        bool deleted = std::any_of(seen.begin(), seen.end(), [](const std::string& s) { return !fs::exists(s); });
        if (deleted && seenAtFirstDeletion == 0)
            seenAtFirstDeletion = seen.size();
        return seenAtFirstDeletion != 0 && seen.size() >= seenAtFirstDeletion + 2;
    })) << core->Output();
    StopCore();

    std::vector<std::string> left = Segments(root, "busy");
    ASSERT_FALSE(left.empty());
    for (const std::string& segment : seen) { // the deleted ones are the oldest
        if (fs::exists(segment))
            continue;
        EXPECT_LT(std::find(seen.begin(), seen.end(), segment), std::find(seen.begin(), seen.end(), left[0]))
            << segment << " deleted while " << left[0] << " is kept";
    }
    ExpectEveryFilePlays(root);
    ExpectIndexesAgree(root);
}

TEST_F(Disk, SlowDiskMakesTheCoreThrottleAFileThatWaitsAndLosesNoFrame)
{
    // The clip read as fast as it can be, into a recorder whose queue may hold far more than the
    // core's memory limit: the blocks it keeps while the disk crawls fill the core's memory.
    SlowDisk disk(200); // 32 KiB writes: under 200 KB/s
    if (!disk.Failure().empty())
        GTEST_SKIP() << disk.Failure();
    std::string root = disk.Path() + "/recordings";
    WriteSources({{"busy", "file:" + Clip("busy.mp4")}}, R"(pace="0")");
    WriteRecorder("folder=\"" + root + R"(" segmentSeconds="30" queueMB="512" queueTotalMB="512" queueSeconds="3600")");
    ASSERT_NO_FATAL_FAILURE(StartCore());
    auto throttled = [&] {
        const std::string& output = core->Output();
        return output.find("refusing gated frames") != std::string::npos ||
               output.find("throttling video") != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil([&] { return throttled() && !Segments(root, "busy").empty(); })) << core->Output();
    // The disk at its full speed again: the recorder's queue drains, throttling ends, and the file
    // goes on from the frame the core refused.
    disk.EndDelay();
    std::string sourceAnswer;
    EXPECT_TRUE(WaitUntil([&] {
        sourceAnswer = Ask(SOURCE_MODULE);
        return sourceAnswer.find("offered again 0") == std::string::npos;
    })) << sourceAnswer;
    StopCore();

    // The throttled frames were offered again: none was dropped, and the files hold the clip's frames
    // in order with no gap.
    EXPECT_NE(sourceAnswer.find("throttled 0, no key frame 0,"), std::string::npos) << sourceAnswer;
    std::map<std::string, Inspection> files = ExpectEveryFilePlays(root, Gaps::None);
    ExpectIndexesAgree(root);
    std::vector<int64_t> recorded;
    for (const std::string& segment : Segments(root, "busy")) {
        std::vector<int64_t> marks = Fingerprint(files[segment].video);
        recorded.insert(recorded.end(), marks.begin(), marks.end());
    }
    EXPECT_GE(PlaceInLoop(recorded, Fingerprint(VideoPackets(Clip("busy.mp4")))), 0)
        << recorded.size() << " frames recorded";
}

} // namespace
