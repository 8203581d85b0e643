#include "recordings_index.h"

#include "day_index.h"
#include "fragment_scan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace webview {

namespace {

constexpr int64_t NS_PER_DAY = int64_t{86400} * 1'000'000'000;

// Closes its descriptor.
class Fd {
public:
    explicit Fd(int fd = -1)
        : fd_(fd)
    {
    }
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

int OpenFolder(int parent, const std::string& name)
{
    return openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The entries of a day folder's index; nothing when it is missing, not a regular file or unreadable.
std::optional<std::vector<recindex::IndexEntry>> ReadIndex(int dayFd)
{
    Fd fd(openat(dayFd, recindex::INDEX_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (fd.Get() < 0 || fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    bool failed = false;
    recindex::DayIndex day = recindex::ReadDayIndex(fd.Get(), failed);
    if (failed)
        return std::nullopt;
    return std::move(day.entries);
}

// The names of a folder's entries that are folders themselves (by lstat: a symlink is not one).
std::vector<std::string> SubFolders(int folderFd)
{
    std::vector<std::string> names;
    const int copy = dup(folderFd);
    if (copy < 0)
        return names;
    DIR* folder = fdopendir(copy);
    if (folder == nullptr) {
        close(copy);
        return names;
    }
    while (const dirent* entry = readdir(folder)) {
        struct stat status {};
        if (fstatat(folderFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode) &&
            recindex::DayFromName(entry->d_name))
            names.emplace_back(entry->d_name);
    }
    closedir(folder);
    return names;
}

} // namespace

int64_t RecordedUntil(const recindex::IndexEntry& entry)
{
    if (entry.state == recindex::SegmentState::Writing)
        return INT64_MAX; // its index line says 0 until it ends
    const int64_t duration = std::max<int64_t>(entry.durationNs, 0);
    return entry.startNs > INT64_MAX - duration ? INT64_MAX : entry.startNs + duration;
}

bool ListRecordings(int recordingsFd, const std::string& camera, int64_t fromNs, int64_t toNs,
                    std::vector<Recording>& found, std::string& why)
{
    Fd cameraFd(OpenFolder(recordingsFd, camera));
    if (cameraFd.Get() < 0) {
        why = errno == ENOENT ? "" : std::strerror(errno);
        return false;
    }
    for (const std::string& day : SubFolders(cameraFd.Get())) {
        // Days whose nanoseconds do not fit hold no file the index can list.
        const int64_t days = *recindex::DayFromName(day);
        if (days < INT64_MIN / NS_PER_DAY || days > INT64_MAX / NS_PER_DAY)
            continue;
        const int64_t dayStart = days * NS_PER_DAY;
        // A file starts on its day and may run into the next one.
        if (dayStart > toNs || (fromNs > INT64_MIN + 2 * NS_PER_DAY && dayStart < fromNs - 2 * NS_PER_DAY))
            continue;
        Fd dayFd(OpenFolder(cameraFd.Get(), day));
        if (dayFd.Get() < 0)
            continue;
        auto entries = ReadIndex(dayFd.Get());
        if (!entries)
            continue;
        for (recindex::IndexEntry& entry : *entries) {
            if (entry.startNs <= toNs && RecordedUntil(entry) >= fromNs)
                found.push_back({day, std::move(entry)});
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Recording& a, const Recording& b) { return a.entry.startNs < b.entry.startNs; });
    return true;
}

std::optional<OpenRecording> OpenRecordingFile(int recordingsFd, const std::string& camera, const std::string& day,
                                               const std::string& file)
{
    Fd cameraFd(OpenFolder(recordingsFd, camera));
    if (cameraFd.Get() < 0)
        return std::nullopt;
    Fd dayFd(OpenFolder(cameraFd.Get(), day));
    if (dayFd.Get() < 0)
        return std::nullopt;
    auto entries = ReadIndex(dayFd.Get());
    if (!entries)
        return std::nullopt;
    OpenRecording result;
    bool listed = false;
    for (recindex::IndexEntry& entry : *entries)
        if (entry.name == file) {
            result.entry = std::move(entry);
            listed = true;
        }
    if (!listed)
        return std::nullopt;
    Fd fd(openat(dayFd.Get(), file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (fd.Get() < 0 || fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    result.servedBytes = static_cast<uint64_t>(status.st_size);
    if (result.entry.state == recindex::SegmentState::Writing) {
        const recindex::FragmentScan scan = recindex::ScanFragments(fd.Get());
        if (!scan.Playable())
            return std::nullopt;
        result.servedBytes = scan.wholeBytes;
    }
    result.inode = status.st_ino;
    result.modifiedNs = static_cast<int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    result.fd = fd.Release();
    return result;
}

} // namespace webview
