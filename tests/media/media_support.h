// The media process tests' tools: the recorded files as ffmpeg and ffprobe see them, the boxes of a
// fragmented MP4 file, the plugins' figures, and the things a test runs beside the core (an RTSP
// server, a slow disk, a small disk). The ffmpeg tools are the build machine's, also when the tests
// themselves run under an emulator.
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace dvr::media {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Generous: the suite also runs under a sanitizer and an emulator.
constexpr auto PATIENCE = 60s;

inline std::string Clip(const std::string& name)
{
    return MEDIA_CLIP_DIR "/" + name;
}

// ---- Files as the ffmpeg tools see them ----------------------------------------------------------

// What `ffmpeg -v error -i FILE -f null -` prints on standard error: empty when every packet of
// every track decodes. A run that cannot finish says so.
inline std::string DecodeErrors(const std::string& file)
{
    std::string errors;
    int status = dvr::test::RunToEnd({MEDIA_FFMPEG, "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"}, nullptr,
                                     &errors, PATIENCE);
    if (status != 0 && errors.empty())
        errors = "ffmpeg exited with status " + std::to_string(status);
    return errors;
}

inline std::string Probe(const std::vector<std::string>& arguments, const std::string& file)
{
    std::vector<std::string> command{MEDIA_FFPROBE, "-v", "error"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.push_back(file);
    std::string output;
    dvr::test::RunToEnd(command, &output, nullptr, PATIENCE);
    return output;
}

// One video packet as the demuxer reads it.
struct Packet {
    int64_t dts; // in the track's time base
    int64_t duration;
    int64_t size; // bytes
    bool key;
};

// What ffprobe tells of a file, read in one run (each run of a tool costs a good part of a second
// on a busy machine).
struct Inspection {
    double duration = -1;      // of the container, in seconds; negative when unknown
    std::string tracks;        // "h264:video aac:audio"
    std::vector<Packet> video; // the video packets in file order
};

inline Inspection Inspect(const std::string& file)
{
    std::string text =
        Probe({"-show_entries",
               "format=duration:stream=codec_name,codec_type:packet=codec_type,dts,duration,size,flags", "-of", "csv"},
              file);
    Inspection result;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        long long dts = 0;
        long long duration = 0;
        long long size = 0;
        char flags[8] = {};
        char name[32] = {};
        char type[32] = {};
        if (sscanf(line.c_str(), "packet,video,%lld,%lld,%lld,%7s", &dts, &duration, &size, flags) == 4)
            result.video.push_back({dts, duration, size, flags[0] == 'K'});
        else if (sscanf(line.c_str(), "stream,%31[^,],%31s", name, type) == 2)
            result.tracks += (result.tracks.empty() ? "" : " ") + std::string(name) + ":" + type;
        else if (line.rfind("format,", 0) == 0 && line.size() > 7 && isdigit(static_cast<unsigned char>(line[7])))
            result.duration = std::stod(line.substr(7));
    }
    return result;
}

inline std::vector<Packet> VideoPackets(const std::string& file)
{
    return Inspect(file).video;
}

// Where a file's video timeline may leave gaps: nowhere; only right before a key frame (frames were
// left out by whole groups of pictures, or a looped clip began again); anywhere (a live source's
// clock).
enum class Gaps { None, BeforeKeyFrames, Anywhere };

// What is wrong with a file's video timeline, empty when nothing: the first packet is not a key
// frame, a decode time does not grow, a packet comes before its predecessor's duration has passed
// (frames squeezed together: a player shows them all at once), or later where gaps may not be. A
// live source's clock may do either a little, so with Gaps::Anywhere only the order counts.
inline std::string TimelineFaults(const std::vector<Packet>& packets, Gaps gaps = Gaps::None)
{
    std::ostringstream faults;
    if (!packets.empty() && !packets[0].key)
        faults << "first video packet is not a key frame; ";
    for (size_t i = 1; i < packets.size(); ++i) {
        const Packet& before = packets[i - 1];
        const Packet& packet = packets[i];
        if (packet.dts <= before.dts)
            faults << "packet " << i << " dts " << packet.dts << " after " << before.dts << "; ";
        else if (packet.dts < before.dts + before.duration && gaps != Gaps::Anywhere)
            faults << "packet " << i << " dts " << packet.dts << " within " << before.dts << "+" << before.duration
                   << "; ";
        else if (packet.dts > before.dts + before.duration && gaps != Gaps::Anywhere &&
                 !(gaps == Gaps::BeforeKeyFrames && packet.key))
            faults << "packet " << i << " dts " << packet.dts << " leaves a gap after " << before.dts << "+"
                   << before.duration << "; ";
    }
    return faults.str();
}

// ---- Which frames arrived ------------------------------------------------------------------------

// A run of video packets told by their sizes, with a key frame as -1 (its size may change: a source
// may add parameter sets in band). A clip's frames keep their sizes through source and recorder, so
// the sequence shows which of the clip's frames a recording holds.
inline std::vector<int64_t> Fingerprint(const std::vector<Packet>& packets)
{
    std::vector<int64_t> marks;
    for (const Packet& packet : packets)
        marks.push_back(packet.key ? -1 : packet.size);
    return marks;
}

// Where in the looped clip the recorded frames run on, one after the other, with none lost or
// repeated: the clip's index of the first recorded frame, or -1 when they do not.
inline long PlaceInLoop(const std::vector<int64_t>& recorded, const std::vector<int64_t>& clip)
{
    for (size_t start = 0; start < clip.size() && !recorded.empty(); ++start) {
        bool match = true;
        for (size_t i = 0; i < recorded.size() && match; ++i)
            match = recorded[i] == clip[(start + i) % clip.size()];
        if (match)
            return static_cast<long>(start);
    }
    return -1;
}

// The groups of pictures of a run of packets, each a key frame and what follows up to the next.
inline std::vector<std::vector<int64_t>> GroupsOfPictures(const std::vector<Packet>& packets)
{
    std::vector<std::vector<int64_t>> groups;
    for (int64_t mark : Fingerprint(packets)) {
        if (mark == -1 || groups.empty())
            groups.emplace_back();
        groups.back().push_back(mark);
    }
    return groups;
}

// ---- Fragmented MP4 boxes ------------------------------------------------------------------------

struct Box {
    std::string type;
    uint64_t offset;
    uint64_t size;
};

// The top-level boxes of the file's first `length` bytes (all when 0) that lie there whole.
inline std::vector<Box> WholeBoxes(const std::string& file, uint64_t length = 0)
{
    std::ifstream in(file, std::ios::binary);
    uint64_t end = length ? length : fs::file_size(file);
    std::vector<Box> boxes;
    for (uint64_t offset = 0; offset + 8 <= end;) {
        unsigned char header[16];
        in.seekg(static_cast<std::streamoff>(offset));
        if (!in.read(reinterpret_cast<char*>(header), 8))
            break;
        uint64_t size =
            (uint64_t{header[0]} << 24) | (uint64_t{header[1]} << 16) | (uint64_t{header[2]} << 8) | header[3];
        if (size == 1 && offset + 16 <= end && in.read(reinterpret_cast<char*>(header + 8), 8)) {
            size = 0;
            for (int i = 8; i < 16; ++i)
                size = size << 8 | header[i];
        }
        if (size < 8 || offset + size > end)
            break;
        boxes.push_back({std::string(reinterpret_cast<char*>(header + 4), 4), offset, size});
        offset += size;
    }
    return boxes;
}

// Where the file's last whole fragment (a moof with its mdat) ends within its first `length`
// bytes; 0 when not even one fragment is whole.
inline uint64_t WholeFragmentsEnd(const std::string& file, uint64_t length = 0)
{
    std::vector<Box> boxes = WholeBoxes(file, length);
    uint64_t end = 0;
    for (size_t i = 0; i + 1 < boxes.size(); ++i)
        if (boxes[i].type == "moof" && boxes[i + 1].type == "mdat")
            end = boxes[i + 1].offset + boxes[i + 1].size;
    return end;
}

inline size_t WholeFragments(const std::string& file)
{
    size_t count = 0;
    std::vector<Box> boxes = WholeBoxes(file);
    for (size_t i = 0; i + 1 < boxes.size(); ++i)
        count += boxes[i].type == "moof" && boxes[i + 1].type == "mdat";
    return count;
}

// Copies the first length bytes of from to to.
inline void CopyPrefix(const std::string& from, const std::string& to, uint64_t length)
{
    std::string bytes = dvr::test::ReadFile(from);
    dvr::test::WriteFile(to, bytes.substr(0, std::min<uint64_t>(length, bytes.size())));
}

// The number of video frames in the file's first length bytes' whole fragments: what a player
// must still show of a file cut off there.
inline size_t VideoFramesInWholeFragments(const std::string& file, uint64_t length, const std::string& scratch)
{
    uint64_t end = WholeFragmentsEnd(file, length);
    if (end == 0)
        return 0;
    CopyPrefix(file, scratch, end);
    size_t frames = VideoPackets(scratch).size();
    fs::remove(scratch);
    return frames;
}

// ---- The recordings ------------------------------------------------------------------------------

// A camera's segments, oldest first: <root>/<camera>/<YYYY-MM-DD>/<HH-MM-SS>[-N].mp4, by day, time
// and then suffix ("10-00-00.mp4" before "10-00-00-1.mp4", which plain name order reverses).
inline std::vector<std::string> Segments(const std::string& root, const std::string& camera)
{
    struct Entry {
        std::string day, time;
        long suffix;
        std::string path;
    };
    std::vector<Entry> entries;
    std::error_code error;
    fs::path folder = fs::path(root) / camera;
    if (!fs::is_directory(folder, error))
        return {};
    static const std::regex name(R"((\d\d-\d\d-\d\d)(?:-(\d+))?\.mp4)");
    for (const auto& day : fs::directory_iterator(folder, error))
        for (const auto& file : fs::directory_iterator(day.path(), error)) {
            std::smatch parts;
            std::string fileName = file.path().filename().string();
            if (std::regex_match(fileName, parts, name))
                entries.push_back({day.path().filename().string(), parts[1], parts[2].matched ? std::stol(parts[2]) : 0,
                                   file.path().string()});
        }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.day, a.time, a.suffix) < std::tie(b.day, b.time, b.suffix);
    });
    std::vector<std::string> paths;
    for (const Entry& entry : entries)
        paths.push_back(entry.path);
    return paths;
}

// Every file under root, any name, for the checks that no file is broken or holds a secret.
inline std::vector<std::string> FilesUnder(const std::string& root)
{
    std::vector<std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error))
        if (it->is_regular_file())
            files.push_back(it->path().string());
    return files;
}

// ---- The plugins' figures ------------------------------------------------------------------------

// The figures in a line of text: "250 video, 3 dropped" and "video=250 dropped: 3" both give
// {video: 250, dropped: 3}. A number is taken with the word after it, or else the word before it.
inline std::map<std::string, uint64_t> Figures(const std::string& text)
{
    std::map<std::string, uint64_t> figures;
    static const std::regex token(R"([A-Za-z][A-Za-z_]*|\d+)");
    std::vector<std::string> tokens;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), token); it != std::sregex_iterator(); ++it)
        tokens.push_back(it->str());
    auto isNumber = [](const std::string& t) { return isdigit(static_cast<unsigned char>(t[0])) != 0; };
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (!isNumber(tokens[i]))
            continue;
        if (i + 1 < tokens.size() && !isNumber(tokens[i + 1]))
            figures.emplace(tokens[i + 1], std::stoull(tokens[i]));
        else if (i > 0 && !isNumber(tokens[i - 1]))
            figures.emplace(tokens[i - 1], std::stoull(tokens[i]));
    }
    return figures;
}

// The line of a plugin's answer about one camera (the whole answer when no line names it).
inline std::string CameraLine(const std::string& answer, const std::string& camera)
{
    std::istringstream lines(answer);
    for (std::string line; std::getline(lines, line);)
        if (line.find(camera) != std::string::npos)
            return line;
    return answer;
}

// The first of names among figures; -1 when none is there.
inline int64_t Figure(const std::map<std::string, uint64_t>& figures, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (auto it = figures.find(name); it != figures.end())
            return static_cast<int64_t>(it->second);
    return -1;
}

// ---- Waiting -------------------------------------------------------------------------------------

// Waits until condition holds, reading the core's output meanwhile so that it never blocks on its
// console; false when PATIENCE (or timeout) passed first.
inline bool WaitUntil(dvr::test::ChildProcess& core, const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = PATIENCE)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        core.WaitForOutput("\x01 never printed", 5ms);
    }
    return true;
}

// ---- Beside the core -----------------------------------------------------------------------------

// The test RTSP server (rtsp_server.py) on 127.0.0.1: a live H.264 pattern with an A-law tone.
class RtspServer {
public:
    // With clip, serves that MP4 clip's video from its start at each connection.
    explicit RtspServer(std::string clip = "")
        : clip_(std::move(clip))
    {
        Start(0);
    }
    int Port() const { return port_; }
    std::string Url(const std::string& credentials = "") const
    {
        return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(port_) + "/stream";
    }
    // SIGTERM, and the end of the process.
    void Stop()
    {
        if (process_)
            process_->Stop(SIGTERM, PATIENCE);
        process_.reset();
    }
    // Starts again on the same port.
    void Restart()
    {
        Stop();
        Start(port_);
    }
    const std::string& Failure() const { return failure_; }

private:
    void Start(int port)
    {
        std::vector<std::string> command{"/usr/bin/python3", MEDIA_SOURCE_DIR "/rtsp_server.py", "--port",
                                         std::to_string(port)};
        if (!clip_.empty())
            command.insert(command.end(), {"--clip", clip_});
        process_ = std::make_unique<dvr::test::ChildProcess>(command, dvr::test::ChildProcess::Options{});
        if (!process_->WaitForOutput("\n", PATIENCE) || sscanf(process_->Output().c_str(), "ready %d", &port_) != 1)
            failure_ = "the RTSP server did not start: " + process_->Output() + process_->Errors();
    }

    std::string clip_; // served instead of the live test pattern, when given
    std::unique_ptr<dvr::test::ChildProcess> process_;
    int port_ = 0;
    std::string failure_; // empty while it runs as asked
};

inline bool IsMountPoint(const std::string& path)
{
    std::ifstream mounts("/proc/self/mounts");
    for (std::string device, point, rest; mounts >> device >> point && std::getline(mounts, rest);)
        if (point == path)
            return true;
    return false;
}

// A size-limited tmpfs at a fresh folder, unmounted when it goes. Failure() says why there is none.
class SmallDisk {
public:
    explicit SmallDisk(unsigned kibibytes)
    {
        std::string options = "size=" + std::to_string(kibibytes) + "k";
        if (mount("tmpfs", folder_.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            failure_ = std::string("cannot mount a tmpfs: ") + strerror(errno);
    }
    ~SmallDisk()
    {
        if (failure_.empty())
            umount2(folder_.Path().c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    const std::string& Path() const { return folder_.Path(); }
    const std::string& Failure() const { return failure_; }

private:
    dvr::test::TemporaryDirectory folder_;
    std::string failure_;
};

// The slow_fs passthrough filesystem over a fresh backing folder: every write waits delayMs first,
// until EndDelay. Unmounted when it goes. Failure() says why there is none.
class SlowDisk {
public:
    explicit SlowDisk(unsigned delayMs)
    {
        if (access("/dev/fuse", R_OK | W_OK) != 0) {
            failure_ = "/dev/fuse is not available";
            return;
        }
        fs::create_directories(backing_ / "data");
        fs::create_directories(backing_ / "mnt");
        process_ = std::make_unique<dvr::test::ChildProcess>(
            std::vector<std::string>{MEDIA_SLOW_FS, backing_ / "data", Path(), std::to_string(delayMs)},
            dvr::test::ChildProcess::Options{});
        if (!process_->WaitForOutput("mounted", PATIENCE) || !IsMountPoint(Path()))
            failure_ = "cannot mount the slow FUSE filesystem: " + process_->Errors();
    }
    ~SlowDisk()
    {
        if (IsMountPoint(Path()))
            dvr::test::RunToEnd({"/usr/bin/fusermount3", "-u", "-z", Path()}, nullptr, nullptr, PATIENCE);
    }
    SlowDisk(const SlowDisk&) = delete;
    SlowDisk& operator=(const SlowDisk&) = delete;
    std::string Path() const { return backing_ / "mnt"; }
    const std::string& Failure() const { return failure_; }
    // From now on writes pass straight through (a write waiting now ends its wait).
    void EndDelay() { process_->Signal(SIGUSR1); }

private:
    dvr::test::TemporaryDirectory backing_;
    std::unique_ptr<dvr::test::ChildProcess> process_;
    std::string failure_;
};

} // namespace dvr::media
