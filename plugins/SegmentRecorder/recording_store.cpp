// The recorder's files on disk; the layout and the day index's format are described in
// recording_store.h. Index files come from disk and are read as hostile input: bounded lines,
// checked numbers, plain file names only.
#include "recording_store.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace segrec {
namespace {

constexpr size_t MAX_NAME = 255;                         // longest camera or file name taken
constexpr size_t MAX_INDEX_LINE = 1024;                  // longer index lines are skipped
constexpr uint64_t MAX_INDEX_BYTES = uint64_t{16} << 20; // an index is read up to this size
constexpr int MAX_SUFFIX = 999;                          // "-1" ... "-999" within one second
constexpr int64_t NS_PER_SECOND = 1'000'000'000;
constexpr const char* INDEX_NAME = "index.txt";
constexpr const char* INDEX_TEMP_NAME = "index.txt.tmp";
constexpr int LOG_DETAIL = 0;
constexpr int LOG_INFO = 25;
constexpr int LOG_WARNING = 50;
constexpr int LOG_FAILURE = 100;

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...)
{
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

// A name from configuration or disk as a log line may show it: printable ASCII, at most 80 characters.
std::string Printable(std::string_view text)
{
    std::string shown;
    for (const char c : text.substr(0, 80))
        shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    return text.size() > 80 ? shown + "..." : shown;
}

// A name used as one path component: letters, digits, '-', '_', '.', never "." or "..", so it
// cannot lead out of its folder.
bool IsPlainName(std::string_view name)
{
    if (name.empty() || name.size() > MAX_NAME || name == "." || name == "..")
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    });
}

bool IsSegmentName(std::string_view name)
{
    return name.size() > 4 && name.ends_with(".mp4") && IsPlainName(name);
}

bool ReadDigits(std::string_view text, size_t at, size_t count, int& value)
{
    if (at + count > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Days since 1970 of a day folder's name "YYYY-MM-DD"; nothing when it is not a date.
std::optional<int64_t> DayFromName(std::string_view name)
{
    int year = 0, month = 0, day = 0;
    if (name.size() != 10 || name[4] != '-' || name[7] != '-' || !ReadDigits(name, 0, 4, year) ||
        !ReadDigits(name, 5, 2, month) || !ReadDigits(name, 8, 2, day))
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok())
        return std::nullopt;
    return std::chrono::sys_days{date}.time_since_epoch().count();
}

// Start of a segment from its day and its file name "HH-MM-SS.mp4" or "HH-MM-SS-n.mp4".
std::optional<int64_t> StartFromName(int64_t day, std::string_view name)
{
    int hour = 0, minute = 0, second = 0;
    if (name.size() < 12 || name[2] != '-' || name[5] != '-' || (name[8] != '.' && name[8] != '-') ||
        !ReadDigits(name, 0, 2, hour) || !ReadDigits(name, 3, 2, minute) || !ReadDigits(name, 6, 2, second) ||
        hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    return ((day * 24 + hour) * 60 + minute) * 60 * NS_PER_SECOND + int64_t{second} * NS_PER_SECOND;
}

// The day folder ("YYYY-MM-DD") and file stem ("HH-MM-SS") of a start time, in UTC.
bool UtcNames(int64_t startNs, std::string& day, std::string& time)
{
    static_assert(sizeof(time_t) >= 8, "dates after January 2038 need a 64-bit time_t (_TIME_BITS=64)");
    int64_t seconds = startNs / NS_PER_SECOND;
    if (startNs % NS_PER_SECOND < 0)
        --seconds; // round down before 1970 as well
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    if (gmtime_r(&when, &parts) == nullptr)
        return false;
    day = Format("%04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
    time = Format("%02d-%02d-%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    return true;
}

const char* StateName(SegmentState state)
{
    switch (state) {
    case SegmentState::Writing: return "writing";
    case SegmentState::Complete: return "complete";
    case SegmentState::Interrupted: return "interrupted";
    }
    return "interrupted";
}

template <typename Number>
bool ReadNumber(std::string_view field, Number& value)
{
    const char* end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, value);
    return !field.empty() && error == std::errc() && stop == end;
}

// One index line "<name> <start ns> <duration ns> <bytes> <state>"; nothing when it does not parse.
std::optional<IndexEntry> ParseIndexLine(std::string_view line)
{
    std::string_view fields[5];
    size_t count = 0;
    for (size_t from = 0; from <= line.size(); ++count) {
        if (count == 5)
            return std::nullopt;
        const size_t space = std::min(line.find(' ', from), line.size());
        fields[count] = line.substr(from, space - from);
        from = space + 1;
    }
    IndexEntry entry;
    if (count != 5 || !IsSegmentName(fields[0]) || !ReadNumber(fields[1], entry.startNs) ||
        !ReadNumber(fields[2], entry.durationNs) || entry.durationNs < 0 || !ReadNumber(fields[3], entry.bytes))
        return std::nullopt;
    entry.name = fields[0];
    if (fields[4] == "writing")
        entry.state = SegmentState::Writing;
    else if (fields[4] == "complete")
        entry.state = SegmentState::Complete;
    else if (fields[4] == "interrupted")
        entry.state = SegmentState::Interrupted;
    else
        return std::nullopt;
    return entry;
}

// A descriptor closed when it goes out of scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd)
        : fd_(fd)
    {
    }
    ~UniqueFd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

bool IsRealDirectory(const fs::path& path)
{
    std::error_code error;
    return fs::symlink_status(path, error).type() == fs::file_type::directory;
}

} // namespace

struct RecordingStore::ReconcileCounts {
    unsigned days = 0, interrupted = 0, added = 0, dropped = 0, emptyDeleted = 0, linesSkipped = 0;
};

RecordingStore::RecordingStore(std::string root, StoreLog log)
    : root_(std::move(root)),
      log_(std::move(log))
{
    std::error_code error;
    fs::create_directories(root_, error);
    if (error)
        log_(LOG_FAILURE, "cannot create the recordings folder " + root_ + ": " + error.message());
    freeSpace_ = [this] {
        struct statvfs space {};
        if (statvfs(root_.c_str(), &space) != 0) {
            log_(LOG_WARNING, "cannot read the free space of " + root_ + ": " + strerror(errno));
            return UINT64_MAX;
        }
        return static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    };
}

void RecordingStore::SetFreeSpaceQuery(std::function<uint64_t()> query)
{
    freeSpace_ = std::move(query);
}

uint64_t RecordingStore::FreeBytes() const
{
    return freeSpace_();
}

RecordingStore::DayIndex RecordingStore::ReadDay(const std::string& dayFolder, unsigned& skipped) const
{
    DayIndex day;
    skipped = 0;
    const std::string path = dayFolder + "/" + INDEX_NAME;
    const std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "rbe"), fclose);
    if (!file) {
        if (errno != ENOENT)
            log_(LOG_WARNING, "cannot read " + path + ": " + strerror(errno));
        return day;
    }
    std::set<std::string> names;
    std::string line;
    bool tooLong = false;
    unsigned lineNumber = 0, firstSkipped = 0;
    const auto endLine = [&] {
        ++lineNumber;
        if (!tooLong && (line.empty() || line[0] == '#')) {
            line.clear();
            return;
        }
        std::optional<IndexEntry> entry;
        if (!tooLong)
            entry = ParseIndexLine(line);
        if (entry && names.insert(entry->name).second) {
            day.push_back(std::move(*entry));
        } else if (skipped++ == 0) {
            firstSkipped = lineNumber;
        }
        line.clear();
        tooLong = false;
    };
    char buffer[4096];
    uint64_t total = 0;
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file.get())) > 0 && total < MAX_INDEX_BYTES) {
        total += got;
        for (size_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n')
                endLine();
            else if (line.size() < MAX_INDEX_LINE)
                line += buffer[i];
            else
                tooLong = true;
        }
    }
    if (!line.empty() || tooLong)
        endLine();
    if (total >= MAX_INDEX_BYTES)
        log_(LOG_WARNING, Format("%s: longer than %llu bytes, the rest is ignored", path.c_str(),
                                 static_cast<unsigned long long>(MAX_INDEX_BYTES)));
    if (skipped > 0)
        log_(LOG_WARNING, Format("%s: skipped %u unreadable or repeated lines (the first is line %u)", path.c_str(),
                                 skipped, firstSkipped));
    return day;
}

bool RecordingStore::WriteDay(const std::string& dayFolder, const DayIndex& day) const
{
    std::string text = "# file start_ns duration_ns bytes state\n";
    for (const IndexEntry& entry : day)
        text += Format("%s %lld %lld %llu %s\n", entry.name.c_str(), static_cast<long long>(entry.startNs),
                       static_cast<long long>(entry.durationNs), static_cast<unsigned long long>(entry.bytes),
                       StateName(entry.state));
    const std::string temp = dayFolder + "/" + INDEX_TEMP_NAME;
    const std::string path = dayFolder + "/" + INDEX_NAME;
    const char* step = "create";
    UniqueFd file(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.Get() >= 0) {
        step = "write";
        if (WriteAll(file.Get(), text) && (step = "sync", fsync(file.Get()) == 0) &&
            (step = "close", close(file.Release()) == 0) &&
            (step = "rename", rename(temp.c_str(), path.c_str()) == 0)) {
            // The rename is durable only once the folder itself is synced.
            step = "sync the folder of";
            const UniqueFd folder(open(dayFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (folder.Get() >= 0 && fsync(folder.Get()) == 0)
                return true;
        }
    }
    log_(LOG_FAILURE, Format("cannot %s %s: %s", step, path.c_str(), strerror(errno)));
    return false;
}

RecordingStore::DayIndex& RecordingStore::LoadedDay(const std::string& dayFolder)
{
    auto day = days_.find(dayFolder);
    if (day == days_.end()) {
        unsigned skipped = 0;
        day = days_.emplace(dayFolder, ReadDay(dayFolder, skipped)).first;
    }
    return day->second;
}

std::vector<std::string> RecordingStore::DayFolders() const
{
    std::vector<std::string> folders;
    std::error_code error;
    for (const fs::directory_entry& camera : fs::directory_iterator(root_, error)) {
        const std::string cameraName = camera.path().filename().string();
        if (!IsPlainName(cameraName) || !IsRealDirectory(camera.path()))
            continue;
        std::error_code dayError;
        for (const fs::directory_entry& day : fs::directory_iterator(camera.path(), dayError)) {
            const std::string dayName = day.path().filename().string();
            if (DayFromName(dayName) && IsRealDirectory(day.path()))
                folders.push_back((fs::path(root_) / cameraName / dayName).string());
        }
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

std::string RecordingStore::BeginSegment(const std::string& camera, int64_t startNs)
{
    if (!IsPlainName(camera)) {
        log_(LOG_FAILURE, "camera name \"" + Printable(camera) +
                              "\" cannot name a folder (letters, digits, '-', '_', '.' only): not recorded");
        return {};
    }
    std::string dayName, timeName;
    if (!UtcNames(startNs, dayName, timeName)) {
        log_(LOG_FAILURE,
             Format("camera %s: no date for start time %lld ns", camera.c_str(), static_cast<long long>(startNs)));
        return {};
    }
    const fs::path folder = fs::path(root_) / camera / dayName;
    const std::string dayFolder = folder.string();
    const std::lock_guard lock(mutex_);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        log_(LOG_FAILURE, "cannot create " + dayFolder + ": " + error.message());
        return {};
    }
    DayIndex& day = LoadedDay(dayFolder);
    std::string name;
    for (int suffix = 0; suffix <= MAX_SUFFIX && name.empty(); ++suffix) {
        std::string candidate = timeName + (suffix > 0 ? "-" + std::to_string(suffix) : "") + ".mp4";
        const bool listed =
            std::any_of(day.begin(), day.end(), [&](const IndexEntry& e) { return e.name == candidate; });
        if (!listed && !fs::exists(fs::symlink_status(folder / candidate, error)))
            name = std::move(candidate);
    }
    if (name.empty()) {
        log_(LOG_FAILURE,
             "camera " + camera + ": every name for a segment at " + dayName + " " + timeName + " is taken");
        return {};
    }
    day.push_back(IndexEntry{name, startNs, 0, 0, SegmentState::Writing});
    std::string path = (folder / name).string();
    open_.insert(path);
    // A failed index write is logged; the segment is still recorded and Reconcile lists it later.
    WriteDay(dayFolder, day);
    return path;
}

void RecordingStore::EndSegment(const std::string& path, int64_t durationNs, uint64_t bytes)
{
    const fs::path file(path);
    const std::string dayFolder = file.parent_path().string();
    const std::lock_guard lock(mutex_);
    if (open_.erase(path) == 0) {
        log_(LOG_WARNING, "segment " + path + " ended but was not begun");
        return;
    }
    DayIndex& day = LoadedDay(dayFolder);
    const auto entry =
        std::find_if(day.begin(), day.end(), [&](const IndexEntry& e) { return e.name == file.filename().string(); });
    if (entry == day.end()) {
        log_(LOG_WARNING, "segment " + path + " ended but is missing from its day's index");
        return;
    }
    entry->durationNs = std::max<int64_t>(durationNs, 0);
    entry->bytes = bytes;
    entry->state = SegmentState::Complete;
    WriteDay(dayFolder, day);
}

void RecordingStore::Reconcile()
{
    ReconcileCounts counts;
    // The folders are listed without the lock; each day is then reconciled under it on its own.
    for (const std::string& dayFolder : DayFolders())
        ReconcileDay(dayFolder, counts);
    log_(LOG_INFO, Format("reconciled %u day folders: %u segments marked interrupted, %u files added to the index, "
                          "%u entries of missing files dropped, %u empty files deleted, %u index lines skipped",
                          counts.days, counts.interrupted, counts.added, counts.dropped, counts.emptyDeleted,
                          counts.linesSkipped));
}

void RecordingStore::ReconcileDay(const std::string& dayFolder, ReconcileCounts& counts)
{
    const int64_t dayNumber = DayFromName(fs::path(dayFolder).filename().string()).value_or(0);
    const std::lock_guard lock(mutex_);
    ++counts.days;
    unsigned skipped = 0;
    auto loaded = days_.find(dayFolder);
    if (loaded == days_.end())
        loaded = days_.emplace(dayFolder, ReadDay(dayFolder, skipped)).first;
    counts.linesSkipped += skipped;
    bool changed = skipped > 0;
    DayIndex& day = loaded->second;

    std::map<std::string, struct stat> files; // the segment files in the folder
    std::error_code error;
    for (const fs::directory_entry& item : fs::directory_iterator(dayFolder, error)) {
        const std::string name = item.path().filename().string();
        struct stat info {};
        if (name == INDEX_TEMP_NAME) {
            unlink(item.path().c_str()); // an index write a crash cut short
        } else if (IsSegmentName(name) && lstat(item.path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            files.emplace(name, info);
        }
    }
    const auto deleteEmpty = [&](const std::string& name) {
        if (unlink((dayFolder + "/" + name).c_str()) == 0)
            ++counts.emptyDeleted;
    };

    DayIndex kept;
    for (IndexEntry& entry : day) {
        const auto file = files.find(entry.name);
        if (open_.count(dayFolder + "/" + entry.name) > 0) {
            kept.push_back(std::move(entry)); // being written now: not a crash's leftover
        } else if (file == files.end()) {
            ++counts.dropped;
            changed = true;
        } else if (file->second.st_size == 0) {
            deleteEmpty(entry.name);
            changed = true;
        } else {
            if (entry.state == SegmentState::Writing) {
                entry.state = SegmentState::Interrupted;
                entry.bytes = static_cast<uint64_t>(file->second.st_size);
                ++counts.interrupted;
                changed = true;
            }
            kept.push_back(std::move(entry));
        }
        if (file != files.end())
            files.erase(file);
    }
    for (const auto& [name, info] : files) {
        changed = true;
        if (info.st_size == 0) {
            deleteEmpty(name);
            continue;
        }
        const int64_t start = StartFromName(dayNumber, name)
                                  .value_or(int64_t{info.st_mtim.tv_sec} * NS_PER_SECOND + info.st_mtim.tv_nsec);
        kept.push_back(IndexEntry{name, start, 0, static_cast<uint64_t>(info.st_size), SegmentState::Interrupted});
        ++counts.added;
    }
    day = std::move(kept);
    if (changed) {
        std::stable_sort(day.begin(), day.end(),
                         [](const IndexEntry& a, const IndexEntry& b) { return a.startNs < b.startNs; });
        WriteDay(dayFolder, day);
    }
}

RetentionResult RecordingStore::EnforceRetention(const RetentionPolicy& policy, int64_t nowNs)
{
    RetentionResult result;
    if (policy.maxAgeNs <= 0 && policy.minFreeBytes == 0)
        return result;
    // Days not yet in memory are listed and read without the lock, then added unless a writer
    // loaded them meanwhile.
    std::vector<std::pair<std::string, DayIndex>> found;
    for (std::string& dayFolder : DayFolders()) {
        bool loaded = false;
        {
            const std::lock_guard lock(mutex_);
            loaded = days_.count(dayFolder) > 0;
        }
        unsigned skipped = 0;
        if (!loaded)
            found.emplace_back(dayFolder, ReadDay(dayFolder, skipped));
    }
    const uint64_t freeAtStart = policy.minFreeBytes > 0 ? FreeBytes() : UINT64_MAX;

    struct Victim {
        std::string dayFolder;
        IndexEntry entry;
    };
    std::vector<Victim> victims;
    {
        const std::lock_guard lock(mutex_);
        for (auto& [dayFolder, day] : found)
            days_.try_emplace(dayFolder, std::move(day));
        std::vector<Victim> candidates;
        for (const auto& [dayFolder, day] : days_)
            for (const IndexEntry& entry : day)
                if (open_.count(dayFolder + "/" + entry.name) == 0)
                    candidates.push_back(Victim{dayFolder, entry});
        std::sort(candidates.begin(), candidates.end(), [](const Victim& a, const Victim& b) {
            return std::tie(a.entry.startNs, a.dayFolder, a.entry.name) <
                   std::tie(b.entry.startNs, b.dayFolder, b.entry.name);
        });
        uint64_t freeBytes = freeAtStart;
        for (Victim& candidate : candidates) {
            const int64_t start = candidate.entry.startNs;
            const bool tooOld =
                policy.maxAgeNs > 0 &&
                start<nowNs&& static_cast<uint64_t>(nowNs) - static_cast<uint64_t>(start)> static_cast<uint64_t>(
                    policy.maxAgeNs);
            const bool diskShort = freeBytes < policy.minFreeBytes;
            if ((!tooOld && !diskShort) || (policy.batch > 0 && victims.size() >= policy.batch))
                break; // the rest are younger
            freeBytes += std::min(candidate.entry.bytes, UINT64_MAX - freeBytes);
            DayIndex& day = days_[candidate.dayFolder];
            day.erase(std::find_if(day.begin(), day.end(),
                                   [&](const IndexEntry& e) { return e.name == candidate.entry.name; }));
            victims.push_back(std::move(candidate));
        }
    }

    // Files are deleted without the lock: unlinking a large file can take a while.
    std::vector<Victim> kept;
    std::set<std::string> touched;
    for (Victim& victim : victims) {
        const std::string path = victim.dayFolder + "/" + victim.entry.name;
        struct stat info {};
        const uint64_t size = lstat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
        touched.insert(victim.dayFolder);
        if (unlink(path.c_str()) == 0) {
            ++result.deleted;
            result.bytesFreed += size;
        } else if (errno != ENOENT) {
            log_(LOG_WARNING, "retention cannot delete " + path + ": " + strerror(errno));
            kept.push_back(std::move(victim));
        }
    }

    {
        const std::lock_guard lock(mutex_);
        for (Victim& victim : kept)
            days_[victim.dayFolder].push_back(std::move(victim.entry));
        for (const std::string& dayFolder : touched) {
            // Emptied folders go under the lock, so BeginSegment cannot be creating a file in them.
            std::error_code error;
            if (days_[dayFolder].empty() && unlink((dayFolder + "/" + INDEX_NAME).c_str()) == 0 &&
                fs::remove(dayFolder, error)) {
                days_.erase(dayFolder);
                fs::remove(fs::path(dayFolder).parent_path(), error); // only when that was its last day
            } else {
                WriteDay(dayFolder, days_[dayFolder]);
            }
        }
    }
    if (policy.minFreeBytes > 0)
        result.floorStillReached = (result.deleted > 0 ? FreeBytes() : freeAtStart) < policy.minFreeBytes;
    if (result.deleted > 0)
        log_(LOG_INFO, Format("retention deleted %u files (%llu MB)%s", result.deleted,
                              static_cast<unsigned long long>(result.bytesFreed >> 20),
                              result.floorStillReached ? "; free space is still below the floor" : ""));
    else if (result.floorStillReached)
        log_(LOG_DETAIL, "retention: free space is below the floor and no finished file is left to delete");
    return result;
}

} // namespace segrec
