// The recorder's files on disk; the layout and the day index's format are described in
// recording_store.h. Index files come from disk and are read as hostile input: bounded lines,
// checked numbers, plain file names only.
#include "recording_store.h"

#include "fragment_scan.h"
#include "recording_names.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace segrec {
namespace {

using recindex::FragmentScan;
using recindex::INDEX_NAME;
using recindex::MAX_INDEX_BYTES;
using recindex::ScanFragments;
constexpr int MAX_SUFFIX = 999;                          // "-1" ... "-999" within one second
constexpr const char* INDEX_TEMP_NAME = "index.txt.tmp"; // ReplaceFileAt's temporary file
constexpr const char* INDEX_HEADER = "# file start_ns duration_ns bytes state\n";
constexpr size_t COMPACT_SLACK = 16; // superseded lines an index may hold beyond one a file
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

// Whether a file that started at startNs is more than ageNs old at nowNs, without overflow.
bool StartedLongerAgo(int64_t startNs, int64_t nowNs, int64_t ageNs)
{
    return startNs<nowNs&& static_cast<uint64_t>(nowNs) - static_cast<uint64_t>(startNs)> static_cast<uint64_t>(ageNs);
}

} // namespace

struct RecordingStore::ReconcileCounts {
    unsigned days = 0, interrupted = 0, repaired = 0, added = 0, dropped = 0, deleted = 0, linesSkipped = 0,
             resized = 0, summarized = 0;
};

RecordingStore::RecordingStore(std::string root, StoreLog log)
    : root_(std::move(root)),
      log_(std::move(log))
{
    std::error_code error;
    fs::create_directories(root_, error);
    rootFd_ = UniqueFd(open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string openError = strerror(errno);
    std::string why;
    if (rootFd_.Get() < 0)
        unusable_ = "cannot open the recordings folder " + root_ + ": " + (error ? error.message() : openError);
    else if ((lock_ = LockFolder(rootFd_.Get(), LOCK_NAME, why)).Get() < 0)
        unusable_ = "the recordings folder " + root_ + ": " + why;
    freeSpace_ = [this] {
        struct statvfs space {};
        if (fstatvfs(rootFd_.Get(), &space) != 0) {
            log_(LOG_WARNING, "cannot read the free space of " + root_ + ": " + strerror(errno));
            return UINT64_MAX;
        }
        return static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    };
}

void RecordingStore::Refuse(const std::string& path, const std::string& why) const
{
    {
        const std::lock_guard lock(refusedMutex_);
        if (!refused_.insert(path).second)
            return;
    }
    log_(LOG_WARNING, Printable(path) + ": " + why + "; refused: nothing is written or deleted through it");
}

bool RecordingStore::OpenDay(const std::string& dayFolder, bool create, DayFolder& opened) const
{
    const fs::path day(dayFolder);
    const fs::path camera = day.parent_path();
    std::string why;
    opened.camera = OpenFolderAt(rootFd_.Get(), camera.filename().string(), create, why);
    if (opened.camera.Get() < 0) {
        if (create || errno != ENOENT)
            Refuse(camera.string(), why);
        return false;
    }
    opened.day = OpenFolderAt(opened.camera.Get(), day.filename().string(), create, why);
    if (opened.day.Get() < 0) {
        if (create || errno != ENOENT)
            Refuse(dayFolder, why);
        return false;
    }
    return true;
}

void RecordingStore::SetFreeSpaceQuery(std::function<uint64_t()> query)
{
    freeSpace_ = std::move(query);
}

void RecordingStore::SetIndexSync(std::function<int(int fd)> sync)
{
    indexSync_ = std::move(sync);
}

void RecordingStore::SetIndexWriter(TextWriter write)
{
    indexWriter_ = std::move(write);
}

uint64_t RecordingStore::FreeBytes() const
{
    return freeSpace_();
}

RecordingStore::DayIndex RecordingStore::ReadDay(const std::string& dayFolder, unsigned& skipped, size_t* lines) const
{
    skipped = 0;
    const std::string path = dayFolder + "/" + INDEX_NAME;
    DayFolder folder;
    if (!OpenDay(dayFolder, false, folder))
        return {};
    std::string why;
    const UniqueFd fd = OpenFileAt(folder.day.Get(), INDEX_NAME, O_RDONLY, why);
    if (fd.Get() < 0) {
        if (errno != ENOENT)
            log_(LOG_WARNING, "cannot read " + path + ": " + why + "; skipped");
        return {};
    }
    bool failed = false;
    recindex::DayIndex day = recindex::ReadDayIndex(fd.Get(), failed);
    if (failed) {
        log_(LOG_WARNING, "cannot read " + path + ": " + strerror(errno));
        return {};
    }
    if (day.torn)
        log_(LOG_WARNING, path + ": its last line was cut short, dropped");
    if (day.truncated)
        log_(LOG_WARNING, Format("%s: longer than %llu bytes, the rest is ignored", path.c_str(),
                                 static_cast<unsigned long long>(recindex::MAX_INDEX_BYTES)));
    if (day.skipped > 0)
        log_(LOG_WARNING, Format("%s: skipped %u unreadable or repeated lines (the first is line %u)", path.c_str(),
                                 day.skipped, day.firstSkipped));
    skipped = day.skipped;
    if (lines != nullptr)
        *lines = day.torn ? SIZE_MAX : day.entryLines;
    return std::move(day.entries);
}

bool RecordingStore::WriteDay(const std::string& dayFolder, const DayIndex& day)
{
    std::string text = INDEX_HEADER;
    for (const IndexEntry& entry : day)
        text += FormatIndexLine(entry);
    DayFolder folder;
    if (!OpenDay(dayFolder, false, folder))
        return false;
    std::string why;
    if (ReplaceFileAt(folder.day.Get(), INDEX_NAME, text, why, indexWriter_)) {
        if (const auto known = days_.find(dayFolder); known != days_.end())
            known->second.lines = day.size();
        return true;
    }
    log_(LOG_FAILURE, dayFolder + ": " + why);
    return false;
}

RecordingStore::Append RecordingStore::PlanAppend(const std::string& dayFolder, std::string lines)
{
    // Rewritten whole when it must be (a torn last line, a write that failed before) or when its
    // superseded and deletion lines outnumber its files.
    Day& known = days_[dayFolder];
    const size_t files = known.entries ? known.entries->size() : 0;
    if (known.entries &&
        (known.lines == SIZE_MAX || known.lines >= 2 * files + COMPACT_SLACK || unwritten_.count(dayFolder) > 0)) {
        WriteDayOrLater(dayFolder, *known.entries);
        return Append{{}, unwritten_.count(dayFolder) == 0};
    }
    if (!lines.empty())
        ++known.appending;
    return Append{std::move(lines), true};
}

bool RecordingStore::AppendLines(const std::string& dayFolder, const Append& append, unsigned plans,
                                 std::unique_lock<std::mutex>* cameraLock)
{
    if (append.text.empty())
        return append.written;
    bool appended = false, rewrite = false;
    std::string failure;
    DayFolder folder;
    if (OpenDay(dayFolder, false, folder)) {
        std::string why;
        const UniqueFd index = OpenFileAt(folder.day.Get(), INDEX_NAME, O_RDWR | O_APPEND | O_CREAT, why);
        struct stat info {};
        char last = '\n';
        if (index.Get() < 0 || fstat(index.Get(), &info) != 0) {
            failure = index.Get() < 0 ? why : strerror(errno);
        } else if (info.st_size > 0 && (pread(index.Get(), &last, 1, info.st_size - 1) != 1 || last != '\n')) {
            rewrite = true; // not as this store left it
        } else {
            // A new index is a new name in the day folder, durable once the folder is synced.
            const std::string text = (info.st_size == 0 ? INDEX_HEADER : "") + append.text;
            const bool written = indexWriter_(index.Get(), text);
            // Once the lines are in the file, the camera's other changes need not wait for the
            // disk: a rewrite from now on holds them too, and syncs its own file.
            const bool unlocked = written && cameraLock != nullptr && cameraLock->owns_lock();
            if (unlocked)
                cameraLock->unlock();
            appended = written && indexSync_(index.Get()) == 0 && (info.st_size > 0 || fsync(folder.day.Get()) == 0);
            if (!appended) {
                failure = strerror(errno);
                // What was written of the lines goes, so the index ends with a whole line again;
                // once others may have appended after them, the index is rewritten whole instead.
                rewrite = unlocked || ftruncate(index.Get(), info.st_size) != 0;
            }
        }
    }
    if (!failure.empty())
        log_(LOG_FAILURE, dayFolder + ": cannot write " + INDEX_NAME + ": " + failure);
    const std::lock_guard lock(mutex_);
    const auto day = days_.find(dayFolder);
    if (day == days_.end() || !day->second.entries)
        return appended;
    day->second.appending -= std::min(day->second.appending, plans);
    if (appended) {
        day->second.lines += static_cast<size_t>(std::count(append.text.begin(), append.text.end(), '\n'));
        return true;
    }
    if (rewrite) {
        day->second.lines = SIZE_MAX;
        if (failure.empty()) {
            WriteDayOrLater(dayFolder, *day->second.entries);
            return unwritten_.count(dayFolder) == 0;
        }
    }
    unwritten_.insert(dayFolder); // rewritten at the next retention pass
    return false;
}

std::mutex& RecordingStore::CameraMutex(const std::string& camera)
{
    const std::lock_guard lock(cameraLocksMutex_);
    std::unique_ptr<std::mutex>& held = cameraLocks_[camera];
    if (!held)
        held = std::make_unique<std::mutex>();
    return *held;
}

std::string RecordingStore::CameraOf(const std::string& dayFolder)
{
    return fs::path(dayFolder).parent_path().filename().string();
}

std::unordered_set<std::string>& RecordingStore::Names(Day& day)
{
    if (!day.names) {
        day.names.emplace();
        for (const IndexEntry& entry : *day.entries)
            day.names->insert(entry.name);
    }
    return *day.names;
}

void RecordingStore::Compact()
{
    if (!unusable_.empty())
        return;
    std::vector<std::string> due;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [dayFolder, day] : days_)
            if (day.entries && day.lines != day.entries->size())
                due.push_back(dayFolder);
    }
    for (const std::string& dayFolder : due) {
        const std::lock_guard cameraLock(CameraMutex(CameraOf(dayFolder)));
        const std::lock_guard lock(mutex_);
        if (const auto day = days_.find(dayFolder); day != days_.end() && day->second.entries)
            WriteDay(dayFolder, *day->second.entries);
    }
    SaveSummaries();
}

RecordingStore::DayIndex& RecordingStore::LoadedDay(const std::string& dayFolder)
{
    Day& day = days_[dayFolder];
    day.used = ++useClock_;
    if (!day.entries) {
        unsigned skipped = 0;
        day.entries = ReadDay(dayFolder, skipped, &day.lines);
        day.names.reset();
        NoteSequences(*day.entries);
        Summarize(dayFolder, day);
    }
    return *day.entries;
}

void RecordingStore::AddDay(const std::string& dayFolder, DayIndex entries, size_t lines)
{
    const auto [added, fresh] = days_.try_emplace(dayFolder);
    if (!fresh)
        return;
    added->second.entries = std::move(entries);
    added->second.lines = lines;
    added->second.used = ++useClock_;
    NoteSequences(*added->second.entries);
    Summarize(dayFolder, added->second);
}

void RecordingStore::Summarize(const std::string& dayFolder, Day& day)
{
    constexpr size_t RECENT = 3; // the files of a camera its next one is judged by
    if (day.oldest)
        oldestFirst_.erase(*day.oldest);
    totalBytes_ -= day.bytes;
    day.oldest.reset();
    day.bytes = 0;
    const std::string camera = fs::path(dayFolder).parent_path().filename().string();
    recentGeneration_.fetch_add(1, std::memory_order_release);
    std::vector<Recent>& recent = recent_[camera];
    std::erase_if(recent, [&](const Recent& file) { return file.dayFolder == dayFolder; });
    const bool open = HasOpen(dayFolder);
    std::vector<const IndexEntry*> latest; // the day's newest finished files, newest first
    const IndexEntry* oldest = nullptr;
    for (const IndexEntry& entry : *day.entries) {
        day.bytes += entry.bytes;
        if (oldest == nullptr || std::tie(entry.sequence, entry.startNs) < std::tie(oldest->sequence, oldest->startNs))
            oldest = &entry;
        if (open && open_.count(dayFolder + "/" + entry.name) > 0)
            continue;
        const auto at = std::find_if(latest.begin(), latest.end(),
                                     [&](const IndexEntry* kept) { return RecordedAfter(entry, *kept); });
        if (latest.size() < RECENT || at != latest.end()) {
            latest.insert(at, &entry);
            if (latest.size() > RECENT)
                latest.pop_back();
        }
    }
    for (const IndexEntry* entry : latest)
        recent.push_back(Recent{dayFolder, *entry});
    const size_t kept = std::min(recent.size(), RECENT);
    std::partial_sort(recent.begin(), recent.begin() + static_cast<ptrdiff_t>(kept), recent.end(),
                      [](const Recent& a, const Recent& b) { return RecordedAfter(a.entry, b.entry); });
    recent.resize(kept);
    if (recent.empty())
        recent_.erase(camera);
    if (oldest != nullptr) {
        day.oldest = DayKey{oldest->sequence, oldest->startNs, dayFolder};
        oldestFirst_.insert(*day.oldest);
    }
    totalBytes_ += day.bytes;
}

void RecordingStore::NoteBegun(const std::string& dayFolder, Day& day, const IndexEntry& entry)
{
    const DayKey key{entry.sequence, entry.startNs, dayFolder};
    if (!day.oldest || key < *day.oldest) {
        if (day.oldest)
            oldestFirst_.erase(*day.oldest);
        day.oldest = key;
        oldestFirst_.insert(key);
    }
}

void RecordingStore::NoteEnded(const std::string& dayFolder, Day& day, const IndexEntry& entry, uint64_t bytesBefore)
{
    constexpr size_t RECENT = 3; // as Summarize keeps
    totalBytes_ = totalBytes_ - bytesBefore + entry.bytes;
    day.bytes = day.bytes - bytesBefore + entry.bytes;
    recentGeneration_.fetch_add(1, std::memory_order_release);
    std::vector<Recent>& recent = recent_[CameraOf(dayFolder)];
    std::erase_if(recent,
                  [&](const Recent& file) { return file.dayFolder == dayFolder && file.entry.name == entry.name; });
    const auto at = std::find_if(recent.begin(), recent.end(),
                                 [&](const Recent& kept) { return RecordedAfter(entry, kept.entry); });
    if (recent.size() < RECENT || at != recent.end()) {
        recent.insert(at, Recent{dayFolder, entry});
        if (recent.size() > RECENT)
            recent.pop_back();
    }
}

void RecordingStore::ForgetDay(const std::string& dayFolder)
{
    const auto day = days_.find(dayFolder);
    if (day == days_.end())
        return;
    day->second.entries.emplace(); // nothing listed: its summary and recent files go
    Summarize(dayFolder, day->second);
    days_.erase(day);
    unwritten_.erase(dayFolder);
}

bool RecordingStore::HasOpen(const std::string& dayFolder) const
{
    const std::string prefix = dayFolder + "/";
    const auto open = open_.lower_bound(prefix);
    return open != open_.end() && open->starts_with(prefix);
}

void RecordingStore::TrimLoadedDays()
{
    size_t loaded = 0;
    for (const auto& [dayFolder, day] : days_)
        loaded += day.entries.has_value();
    while (loaded > loadedLimit_) {
        Day* oldest = nullptr;
        for (auto& [dayFolder, day] : days_)
            if (day.entries && (oldest == nullptr || day.used < oldest->used) && unwritten_.count(dayFolder) == 0 &&
                retiring_.count(dayFolder) == 0 && day.appending == 0 && !HasOpen(dayFolder))
                oldest = &day;
        if (oldest == nullptr)
            return;              // every loaded day is being written or waits for its index write
        oldest->entries.reset(); // its index on disk says the same, and is read again when needed
        oldest->names.reset();
        --loaded;
    }
}

void RecordingStore::SetLoadedDaysLimit(size_t days)
{
    loadedLimit_ = days;
}

std::pair<size_t, size_t> RecordingStore::LoadedDays()
{
    const std::lock_guard lock(mutex_);
    std::pair<size_t, size_t> loaded;
    for (const auto& [dayFolder, day] : days_)
        if (day.entries) {
            ++loaded.first;
            loaded.second += day.entries->size();
        }
    return loaded;
}

std::vector<std::string> RecordingStore::DayFolders(bool changedOnly)
{
    std::vector<std::string> folders;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    for (const auto& [cameraName, cameraInfo] : ListFolder(rootFd_.Get())) {
        const std::string cameraPath = (fs::path(root_) / cameraName).string();
        const EntryUse cameraUse = CameraEntryUse(cameraName, cameraInfo.st_mode);
        if (cameraUse == EntryUse::Refuse)
            Refuse(cameraPath, RefusalText(cameraInfo.st_mode));
        if (cameraUse != EntryUse::Use)
            continue;
        // A folder's time changes when a folder is made or removed in it: one whose time is what it
        // was at its last listing has the same day folders. Only a time a second old is kept, so a
        // folder made within the same tick of the clock as the listing is not missed.
        const int64_t changed = int64_t{cameraInfo.st_mtim.tv_sec} * NS_PER_SECOND + cameraInfo.st_mtim.tv_nsec;
        const bool settled = changed + NS_PER_SECOND < int64_t{now.tv_sec} * NS_PER_SECOND + now.tv_nsec;
        {
            const std::lock_guard lock(listedMutex_);
            const auto listed = listed_.find(cameraName);
            if (changedOnly && listed != listed_.end() && listed->second == changed)
                continue;
            if (settled)
                listed_[cameraName] = changed;
            else if (listed != listed_.end())
                listed_.erase(listed);
        }
        std::string why;
        const UniqueFd camera = OpenFolderAt(rootFd_.Get(), cameraName, false, why);
        if (camera.Get() < 0) { // swapped since it was listed
            Refuse(cameraPath, why);
            continue;
        }
        for (const auto& [dayName, dayInfo] : ListFolder(camera.Get())) {
            const EntryUse dayUse = DayEntryUse(dayName, dayInfo.st_mode);
            if (dayUse == EntryUse::Use)
                folders.push_back((fs::path(root_) / cameraName / dayName).string());
            else if (dayUse == EntryUse::Refuse)
                Refuse(cameraPath + "/" + dayName, RefusalText(dayInfo.st_mode));
        }
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

std::string RecordingStore::StartSegment(const std::string& camera, int64_t startNs, UniqueFd* file,
                                         Continuation* continuation)
{
    if (!unusable_.empty())
        return {};
    if (!IsPlainName(camera)) {
        log_(LOG_FAILURE, "camera name \"" + Printable(camera) +
                              "\" cannot name a folder (letters, digits, '-', '_', '.' only): not recorded");
        return {};
    }
    std::string dayName, timeName;
    const std::lock_guard cameraLock(CameraMutex(camera));
    std::unique_lock lock(mutex_);
    const auto last = last_.find(camera);
    const int64_t clockNs = startNs;
    startNs = SegmentStart(startNs, last == last_.end() ? nullptr : &last->second);
    if (continuation != nullptr)
        startNs = std::max(startNs, continuation->notBeforeNs);
    if (!UtcNames(startNs, dayName, timeName)) {
        log_(LOG_FAILURE,
             Format("camera %s: no date for start time %lld ns", camera.c_str(), static_cast<long long>(startNs)));
        return {};
    }
    const fs::path folder = fs::path(root_) / camera / dayName;
    const std::string dayFolder = folder.string();
    DayFolder opened;
    if (!OpenDay(dayFolder, true, opened))
        return {};
    const bool wasLoaded = days_[dayFolder].entries.has_value();
    DayIndex& day = LoadedDay(dayFolder);
    Day& summary = days_[dayFolder];
    std::string name;
    UniqueFd created;
    for (int suffix = 0; suffix <= MAX_SUFFIX && name.empty(); ++suffix) {
        std::string candidate = timeName + (suffix > 0 ? "-" + std::to_string(suffix) : "") + ".mp4";
        if (Names(summary).count(candidate) > 0)
            continue;
        std::string why;
        created = OpenFileAt(opened.day.Get(), candidate, O_WRONLY | O_CREAT | O_EXCL, why);
        if (created.Get() >= 0) {
            name = std::move(candidate);
        } else if (errno != EEXIST) {
            log_(LOG_FAILURE, "camera " + camera + ": cannot create " + dayFolder + "/" + candidate + ": " + why);
            return {};
        }
    }
    if (name.empty()) {
        log_(LOG_FAILURE,
             "camera " + camera + ": every name for a segment at " + dayName + " " + timeName + " is taken");
        return {};
    }
    day.push_back(IndexEntry{name, startNs, 0, 0, SegmentState::Writing, nextSequence_++, clockNs});
    Names(summary).insert(name);
    std::string path = (folder / name).string();
    open_.insert(path);
    NoteBegun(dayFolder, summary, day.back());
    const Append append = PlanAppend(dayFolder, FormatIndexLine(day.back()));
    if (!wasLoaded)
        TrimLoadedDays();
    lock.unlock();
    if (continuation != nullptr) {
        continuation->startNs = startNs;
        continuation->dayFolder = dayFolder;
        continuation->append = append;
    } else {
        // A failed index write is logged; the segment is still recorded and Reconcile lists it later.
        AppendLines(dayFolder, append);
    }
    if (file != nullptr)
        *file = std::move(created);
    return path;
}

void RecordingStore::WriteBegunLine(const Continuation& continuation)
{
    if (continuation.dayFolder.empty())
        return;
    std::unique_lock cameraLock(CameraMutex(CameraOf(continuation.dayFolder)));
    AppendLines(continuation.dayFolder, continuation.append, 1, &cameraLock);
}

bool RecordingStore::EndSegment(const std::string& path, int64_t durationNs, uint64_t bytes, bool durable,
                                const FragmentScan* scanned, const Continuation* next)
{
    if (!unusable_.empty())
        return false;
    const fs::path file(path);
    const std::string dayFolder = file.parent_path().string();
    const std::string name = file.filename().string();
    // The writer is done with the file: no lock needed to scan it.
    DayFolder folder;
    const bool opened = OpenDay(dayFolder, false, folder);
    const FragmentScan scan = scanned != nullptr ? *scanned : opened ? ScanAt(folder, name) : FragmentScan{};
    std::unique_lock cameraLock(CameraMutex(CameraOf(dayFolder)));
    std::unique_lock lock(mutex_);
    if (open_.erase(path) == 0) {
        log_(LOG_WARNING, "segment " + path + " ended but was not begun");
        return false;
    }
    if (!opened) { // refused since the segment began, and logged: its index is left as it is
        ForgetDay(dayFolder);
        return false;
    }
    DayIndex& day = LoadedDay(dayFolder); // loaded while its file was being written
    // From the back: the file ending is its camera's latest, appended to the day last but for the
    // files other hands added since.
    const auto found = std::find_if(day.rbegin(), day.rend(), [&](const IndexEntry& e) { return e.name == name; });
    const auto entry = found == day.rend() ? day.end() : std::prev(found.base());
    if (entry == day.end()) {
        log_(LOG_WARNING, "segment " + path + " ended but is missing from its day's index");
        return false;
    }
    if (!scan.Playable()) {
        // Under the lock, so BeginSegment cannot meanwhile take the name that is being freed. The
        // file goes first: on a full disk its blocks are what lets the index be rewritten.
        day.erase(entry);
        if (days_[dayFolder].names)
            days_[dayFolder].names->erase(name);
        Summarize(dayFolder, days_[dayFolder]);
        if (unlinkat(folder.day.Get(), name.c_str(), 0) != 0 && errno != ENOENT)
            log_(LOG_WARNING, "cannot delete " + path + ": " + strerror(errno));
        WriteDayOrLater(dayFolder, day);
        log_(LOG_WARNING, Format("segment %s ended without a whole fragment (%llu bytes): deleted", path.c_str(),
                                 static_cast<unsigned long long>(scan.fileBytes)));
        return false;
    }
    const uint64_t bytesBefore = entry->bytes;
    entry->durationNs = scan.durationNs > 0 ? scan.durationNs : std::max<int64_t>(durationNs, 0);
    entry->bytes = bytes;
    entry->state = durable ? SegmentState::Complete : SegmentState::Interrupted;
    NoteLast(CameraOf(dayFolder), *entry);
    NoteEnded(dayFolder, days_[dayFolder], *entry, bytesBefore);
    Append append = PlanAppend(dayFolder, FormatIndexLine(*entry));
    lock.unlock();
    if (!durable)
        log_(LOG_WARNING, "segment " + path +
                              " is not known to be whole on the disk (a write or sync failed): "
                              "listed as interrupted");
    // The next file's begun line rides on this end's sync: one disk round trip fewer a file.
    const bool together =
        next != nullptr && next->dayFolder == dayFolder && !append.text.empty() && !next->append.text.empty();
    if (together)
        append.text += next->append.text;
    AppendLines(dayFolder, append, together ? 2 : 1, &cameraLock);
    return together;
}

FragmentScan RecordingStore::ScanAt(const DayFolder& folder, const std::string& name) const
{
    std::string why;
    const UniqueFd fd = OpenFileAt(folder.day.Get(), name, O_RDONLY, why);
    return fd.Get() >= 0 ? ScanFragments(fd.Get()) : FragmentScan{};
}

FragmentScan RecordingStore::ScanSegment(const std::string& path) const
{
    const fs::path file(path);
    DayFolder folder;
    return OpenDay(file.parent_path().string(), false, folder) ? ScanAt(folder, file.filename().string())
                                                               : FragmentScan{};
}

void RecordingStore::WriteDayOrLater(const std::string& dayFolder, const DayIndex& day)
{
    if (WriteDay(dayFolder, day))
        unwritten_.erase(dayFolder);
    else
        unwritten_.insert(dayFolder);
}

uint64_t RecordingStore::NextSegmentsBytes(int64_t segmentNs)
{
    const uint64_t generation = recentGeneration_.load(std::memory_order_acquire);
    {
        const std::lock_guard cache(nextBytesMutex_);
        if (nextBytes_.generation == generation && nextBytes_.segmentNs == segmentNs)
            return nextBytes_.bytes;
    }
    const std::lock_guard lock(mutex_);
    const NextBytes measured{recentGeneration_.load(std::memory_order_relaxed), segmentNs,
                             MeasureNextSegments(segmentNs)};
    const std::lock_guard cache(nextBytesMutex_);
    nextBytes_ = measured;
    return measured.bytes;
}

uint64_t RecordingStore::MeasureNextSegments(int64_t segmentNs) const
{
    uint64_t total = 0;
    for (const auto& [camera, files] : recent_) {
        double largest = 0; // a double: bytes times nanoseconds overflow 64 bits
        for (const Recent& file : files) {
            const IndexEntry& entry = file.entry;
            const double bytes = static_cast<double>(entry.bytes);
            largest =
                std::max(largest, segmentNs > 0 && entry.durationNs > 0
                                      ? bytes * static_cast<double>(segmentNs) / static_cast<double>(entry.durationNs)
                                      : bytes);
        }
        const uint64_t room = largest >= static_cast<double>(UINT64_MAX) ? UINT64_MAX : static_cast<uint64_t>(largest);
        total += std::min(room, UINT64_MAX - total);
    }
    return total;
}

void RecordingStore::NoteSequences(const DayIndex& day)
{
    for (const IndexEntry& entry : day)
        nextSequence_ = std::max(nextSequence_, entry.sequence + 1);
}

void RecordingStore::NoteLast(const std::string& camera, const IndexEntry& entry)
{
    const auto last = last_.find(camera);
    if (last == last_.end() || SegmentStart(INT64_MIN, &last->second) < SegmentStart(INT64_MIN, &entry))
        last_[camera] = entry;
}

void RecordingStore::Reconcile()
{
    if (!unusable_.empty())
        return;
    ReconcileCounts counts;
    uint64_t next = 0;
    const std::map<std::string, Saved> saved = ReadSummaries(next);
    // The folders are listed without the lock; each day is then reconciled under it on its own.
    const std::vector<std::string> folders = DayFolders(); // sorted: a camera's days together, oldest first
    std::vector<std::string> summarized;
    for (size_t i = 0; i < folders.size(); ++i) {
        const std::string& dayFolder = folders[i];
        const bool latest = i + 1 == folders.size() || CameraOf(dayFolder) != CameraOf(folders[i + 1]);
        const auto summary = latest ? saved.end() : saved.find(dayFolder);
        if (summary != saved.end() && TakeSummary(dayFolder, summary->second))
            summarized.push_back(dayFolder);
        else
            ReconcileDay(dayFolder, counts);
    }
    counts.summarized = static_cast<unsigned>(summarized.size());
    // A camera whose days read hold fewer than three finished files, by which its next file's room
    // is judged, or none to start its next file after, reads its summarized days newest first.
    for (auto day = summarized.rbegin(); day != summarized.rend(); ++day) {
        const std::string camera = CameraOf(*day);
        const std::lock_guard cameraLock(CameraMutex(camera));
        const std::lock_guard lock(mutex_);
        const auto recent = recent_.find(camera);
        if (recent != recent_.end() && recent->second.size() >= 3 && last_.count(camera) > 0)
            continue;
        for (const IndexEntry& entry : LoadedDay(*day))
            NoteLast(camera, entry);
        TrimLoadedDays();
    }
    {
        const std::lock_guard lock(mutex_);
        nextSequence_ = std::max(nextSequence_, next);
    }
    log_(LOG_INFO, Format("reconciled %u day folders: %u segments marked interrupted, %u files added to the index, "
                          "%u files cut back to their last whole fragment, %u entries of missing files dropped, %u "
                          "unplayable files deleted, %u index lines skipped, %u finished files whose size changed; "
                          "%u day folders unchanged since the last clean stop",
                          counts.days, counts.interrupted, counts.added, counts.repaired, counts.dropped,
                          counts.deleted, counts.linesSkipped, counts.resized, counts.summarized));
}

bool RecordingStore::IndexIdentity(const std::string& dayFolder, Saved& identity) const
{
    DayFolder folder;
    struct stat info {};
    if (!OpenDay(dayFolder, false, folder) || fstatat(folder.day.Get(), INDEX_NAME, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
    identity.inode = info.st_ino;
    identity.indexBytes = static_cast<uint64_t>(info.st_size);
    identity.mtimeNs = int64_t{info.st_mtim.tv_sec} * NS_PER_SECOND + info.st_mtim.tv_nsec;
    return true;
}

std::map<std::string, RecordingStore::Saved> RecordingStore::ReadSummaries(uint64_t& next) const
{
    std::map<std::string, Saved> saved;
    std::string why;
    const UniqueFd fd = OpenFileAt(rootFd_.Get(), SUMMARY_NAME, O_RDONLY, why);
    if (fd.Get() < 0)
        return saved;
    std::string text;
    char buffer[65536];
    ssize_t got = 0;
    while (text.size() < MAX_INDEX_BYTES && (got = read(fd.Get(), buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    // Whole lines only: written by a crash-safe replace, so anything else is not this store's.
    for (size_t from = 0, end = 0; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string_view line(text.data() + from, end - from);
        std::string_view fields[7];
        size_t count = 0;
        for (size_t at = 0; at <= line.size() && count < 7; ++count) {
            const size_t space = std::min(line.find(' ', at), line.size());
            fields[count] = line.substr(at, space - at);
            at = space + 1;
        }
        if (count == 2 && fields[0] == "next") {
            if (!ReadNumber(fields[1], next))
                next = 0;
            continue;
        }
        const size_t slash = fields[0].find('/');
        Saved day;
        if (count != 7 || slash == std::string_view::npos || !IsPlainName(fields[0].substr(0, slash)) ||
            !DayFromName(fields[0].substr(slash + 1)) || !ReadNumber(fields[1], day.inode) ||
            !ReadNumber(fields[2], day.indexBytes) || !ReadNumber(fields[3], day.mtimeNs) ||
            !ReadNumber(fields[4], day.sequence) || !ReadNumber(fields[5], day.startNs) ||
            !ReadNumber(fields[6], day.bytes))
            continue; // read in full instead
        saved[(fs::path(root_) / fields[0].substr(0, slash) / fields[0].substr(slash + 1)).string()] = day;
    }
    return saved;
}

bool RecordingStore::TakeSummary(const std::string& dayFolder, const Saved& saved)
{
    Saved now;
    if (!IndexIdentity(dayFolder, now) || now.inode != saved.inode || now.indexBytes != saved.indexBytes ||
        now.mtimeNs != saved.mtimeNs)
        return false;
    const std::lock_guard lock(mutex_);
    const auto [known, fresh] = days_.try_emplace(dayFolder);
    if (!fresh)
        return true;
    Day& day = known->second;
    day.used = ++useClock_;
    day.oldest = DayKey{saved.sequence, saved.startNs, dayFolder};
    oldestFirst_.insert(*day.oldest);
    day.bytes = saved.bytes;
    totalBytes_ += std::min(saved.bytes, UINT64_MAX - totalBytes_);
    return true;
}

void RecordingStore::SaveSummaries()
{
    std::string text = "# day folders: camera/day index_inode index_bytes index_mtime_ns oldest_sequence "
                       "oldest_start_ns bytes\n";
    {
        const std::lock_guard lock(mutex_);
        text += "next " + std::to_string(nextSequence_) + "\n";
        for (const auto& [dayFolder, day] : days_) {
            Saved identity;
            // A day whose index is behind memory, or is being written, is read at the next start.
            if (!day.oldest || unwritten_.count(dayFolder) > 0 || retiring_.count(dayFolder) > 0 ||
                HasOpen(dayFolder) || !IndexIdentity(dayFolder, identity))
                continue;
            const fs::path path(dayFolder);
            text += CameraOf(dayFolder) + "/" + path.filename().string() + " " + std::to_string(identity.inode) + " " +
                    std::to_string(identity.indexBytes) + " " + std::to_string(identity.mtimeNs) + " " +
                    std::to_string(std::get<0>(*day.oldest)) + " " + std::to_string(std::get<1>(*day.oldest)) + " " +
                    std::to_string(day.bytes) + "\n";
        }
    }
    std::string why;
    if (!ReplaceFileAt(rootFd_.Get(), SUMMARY_NAME, text, why))
        log_(LOG_WARNING, root_ + "/" + SUMMARY_NAME + ": " + why + "; the next start reads every day's index");
}

std::optional<RecordingStore::Repaired> RecordingStore::RepairInterrupted(int dayFd, const std::string& path,
                                                                          ReconcileCounts& counts)
{
    const std::string name = fs::path(path).filename().string();
    std::string why;
    FragmentScan scan;
    if (const UniqueFd fd = OpenFileAt(dayFd, name, O_RDONLY, why); fd.Get() >= 0)
        scan = ScanFragments(fd.Get());
    if (!scan.readable) {
        log_(LOG_WARNING, "cannot read " + path + ": " + why + "; listed as it is");
        struct stat info {};
        const bool found = fstatat(dayFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
        return Repaired{found ? static_cast<uint64_t>(info.st_size) : 0, std::nullopt};
    }
    const auto sizes = [&](const char* what, uint64_t newBytes) {
        return Format("%s: %s, %llu bytes to %llu", path.c_str(), what, static_cast<unsigned long long>(scan.fileBytes),
                      static_cast<unsigned long long>(newBytes));
    };
    if (!scan.Playable()) {
        if (unlinkat(dayFd, name.c_str(), 0) != 0) {
            log_(LOG_WARNING, "cannot delete " + path + ", which holds no whole fragment: " + strerror(errno));
            return Repaired{scan.fileBytes, std::nullopt};
        }
        ++counts.deleted;
        log_(LOG_INFO, sizes("no whole fragment, deleted", 0));
        return std::nullopt;
    }
    // Durations count only whole fragments: the cut tail's are not in it.
    const std::optional<int64_t> duration =
        scan.durationNs > 0 ? std::optional<int64_t>(scan.durationNs) : std::nullopt;
    if (scan.wholeBytes == scan.fileBytes)
        return Repaired{scan.fileBytes, duration};
    // Synced before the index says the new size, so a second power cut cannot bring the cut tail back.
    const UniqueFd file = OpenFileAt(dayFd, name, O_WRONLY, why);
    if (file.Get() < 0 || ftruncate(file.Get(), static_cast<off_t>(scan.wholeBytes)) != 0 || fsync(file.Get()) != 0) {
        log_(LOG_WARNING, "cannot cut " + path + " back to its last whole fragment: " +
                              (file.Get() < 0 ? why : std::string(strerror(errno))));
        return Repaired{scan.fileBytes, std::nullopt};
    }
    ++counts.repaired;
    log_(LOG_INFO, sizes("cut back to its last whole fragment", scan.wholeBytes));
    return Repaired{scan.wholeBytes, duration};
}

void RecordingStore::ReconcileDay(const std::string& dayFolder, ReconcileCounts& counts)
{
    const int64_t dayNumber = DayFromName(fs::path(dayFolder).filename().string()).value_or(0);
    const std::lock_guard cameraLock(CameraMutex(CameraOf(dayFolder)));
    const std::lock_guard lock(mutex_);
    DayFolder folder;
    if (!OpenDay(dayFolder, false, folder))
        return;
    ++counts.days;
    unsigned skipped = 0;
    Day& summary = days_[dayFolder];
    summary.used = ++useClock_;
    if (!summary.entries)
        summary.entries = ReadDay(dayFolder, skipped, &summary.lines);
    NoteSequences(*summary.entries);
    counts.linesSkipped += skipped;
    bool changed = skipped > 0;
    DayIndex& day = *summary.entries;

    std::map<std::string, struct stat> files; // the segment files in the folder
    for (const auto& [name, info] : ListFolder(folder.day.Get())) {
        if (name == INDEX_TEMP_NAME)
            unlinkat(folder.day.Get(), name.c_str(), 0); // an index write a crash cut short
        else if (IsSegmentName(name) && S_ISREG(info.st_mode))
            files.emplace(name, info);
    }
    DayIndex kept;
    for (IndexEntry& entry : day) {
        const auto file = files.find(entry.name);
        const std::string path = dayFolder + "/" + entry.name;
        bool keep = true;
        if (open_.count(path) > 0) {
            // Being written now: not a crash's leftover.
        } else if (file == files.end()) {
            keep = false;
            ++counts.dropped;
            changed = true;
        } else if (entry.state == SegmentState::Writing || static_cast<uint64_t>(file->second.st_size) != entry.bytes) {
            // Interrupted by a crash, or a finished file whose size is no longer what was written.
            changed = true;
            const bool writing = entry.state == SegmentState::Writing;
            counts.resized += !writing;
            const std::optional<Repaired> repaired = RepairInterrupted(folder.day.Get(), path, counts);
            keep = repaired.has_value();
            if (keep) {
                if (writing || repaired->bytes < entry.bytes)
                    entry.state = SegmentState::Interrupted;
                counts.interrupted += writing;
                entry.bytes = repaired->bytes;
                entry.durationNs = repaired->durationNs.value_or(writing ? 0 : entry.durationNs);
            }
        } // finished files of their listed size are not touched
        if (keep)
            kept.push_back(std::move(entry));
        if (file != files.end())
            files.erase(file);
    }
    for (const auto& [name, info] : files) {
        changed = true;
        const std::optional<Repaired> repaired =
            RepairInterrupted(folder.day.Get(), (fs::path(dayFolder) / name).string(), counts);
        if (!repaired)
            continue;
        const int64_t start = StartFromName(dayNumber, name)
                                  .value_or(int64_t{info.st_mtim.tv_sec} * NS_PER_SECOND + info.st_mtim.tv_nsec);
        kept.push_back(IndexEntry{name, start, repaired->durationNs.value_or(0), repaired->bytes,
                                  SegmentState::Interrupted, 0, start});
        ++counts.added;
    }
    for (const IndexEntry& entry : kept)
        if (open_.count(dayFolder + "/" + entry.name) == 0)
            NoteLast(fs::path(dayFolder).parent_path().filename().string(), entry);
    day = std::move(kept);
    summary.names.reset();
    if (changed || summary.lines != day.size()) { // repaired, or holding superseded lines
        std::stable_sort(day.begin(), day.end(),
                         [](const IndexEntry& a, const IndexEntry& b) { return a.startNs < b.startNs; });
        WriteDay(dayFolder, day);
    }
    Summarize(dayFolder, summary);
    TrimLoadedDays();
}

// Walks every listed file in recording order, the ones being written too: the days merged in the
// order of their oldest file, each loaded and sorted only once the walk reaches it, so a walk that
// stops early reads only the days at the head of the order. Nothing may change the days' entries
// while it walks. Caller holds mutex_.
class RecordingStore::OldestFirst {
public:
    explicit OldestFirst(RecordingStore& store)
        : store_(store)
    {
    }

    // The next file and its day folder, or nullptr once every file was given.
    const IndexEntry* Next(const std::string*& dayFolder)
    {
        // A day joins the merge before any file that comes after its oldest one is given.
        for (;;) {
            const auto next = lastDay_ ? store_.oldestFirst_.upper_bound(*lastDay_) : store_.oldestFirst_.begin();
            if (next == store_.oldestFirst_.end() || (!heap_.empty() && KeyOf(heap_.front()) < *next))
                break;
            lastDay_ = *next;
            const std::string& folder = store_.days_.find(std::get<2>(*lastDay_))->first;
            Cursor cursor{{}, 0, &folder};
            for (const IndexEntry& entry : store_.LoadedDay(folder))
                cursor.files.push_back(&entry);
            std::sort(cursor.files.begin(), cursor.files.end(), [](const IndexEntry* a, const IndexEntry* b) {
                return RecordedBefore(*a, *b) || (!RecordedBefore(*b, *a) && a->name < b->name);
            });
            if (!cursor.files.empty()) {
                heap_.push_back(std::move(cursor));
                std::push_heap(heap_.begin(), heap_.end(), Later);
            }
        }
        if (heap_.empty())
            return nullptr;
        std::pop_heap(heap_.begin(), heap_.end(), Later);
        Cursor& cursor = heap_.back();
        const IndexEntry* entry = cursor.files[cursor.at++];
        dayFolder = cursor.dayFolder;
        if (cursor.at < cursor.files.size())
            std::push_heap(heap_.begin(), heap_.end(), Later);
        else
            heap_.pop_back();
        return entry;
    }

private:
    // A loaded day's files in recording order, and how many of them were given.
    struct Cursor {
        std::vector<const IndexEntry*> files;
        size_t at = 0;
        const std::string* dayFolder = nullptr;
    };
    static DayKey KeyOf(const Cursor& cursor)
    {
        const IndexEntry& entry = *cursor.files[cursor.at];
        return DayKey{entry.sequence, entry.startNs, *cursor.dayFolder};
    }
    // The heap's order: its front is the cursor whose next file was recorded first.
    static bool Later(const Cursor& a, const Cursor& b)
    {
        const IndexEntry& x = *a.files[a.at];
        const IndexEntry& y = *b.files[b.at];
        if (RecordedBefore(x, y) || RecordedBefore(y, x))
            return RecordedBefore(y, x);
        return std::tie(*a.dayFolder, x.name) > std::tie(*b.dayFolder, y.name);
    }

    RecordingStore& store_;
    std::optional<DayKey> lastDay_; // the last day that joined
    std::vector<Cursor> heap_;      // the days still being given, a heap by Later
};

RetentionResult RecordingStore::EnforceRetention(const RetentionPolicy& policy, int64_t nowNs)
{
    RetentionResult result;
    if (!unusable_.empty())
        return result;
    // Days not yet known (made by another hand, or before Reconcile) are read without the lock, one
    // at a time, and added unless a writer loaded them meanwhile.
    for (std::string& dayFolder : DayFolders(true)) {
        {
            const std::lock_guard lock(mutex_);
            if (days_.count(dayFolder) > 0)
                continue;
        }
        unsigned skipped = 0;
        size_t lines = 0;
        DayIndex day = ReadDay(dayFolder, skipped, &lines);
        const std::lock_guard lock(mutex_);
        AddDay(dayFolder, std::move(day), lines);
        TrimLoadedDays();
    }
    uint64_t floor = 0;
    {
        const std::lock_guard lock(mutex_);
        // Without a floor, or with one lower than that, room is kept for every camera's next file.
        floor = std::max(policy.minFreeBytes, MeasureNextSegments(policy.segmentNs));
    }
    const uint64_t freeAtStart = floor > 0 ? FreeBytes() : UINT64_MAX;

    struct Victim {
        std::string dayFolder;
        IndexEntry entry;
    };
    std::vector<Victim> victims;
    std::set<std::string> touched, refused;
    {
        const std::lock_guard lock(mutex_);
        // Room for the next files is made only when deleting can make it: files being written list 0 bytes.
        const uint64_t reachable = freeAtStart + std::min(totalBytes_, UINT64_MAX - freeAtStart);
        const uint64_t target = reachable >= floor ? floor : policy.minFreeBytes;
        uint64_t freeBytes = freeAtStart;
        bool done = false;
        // Takes the files oldest first until one is young enough and the disk has room (the rest
        // are younger), never one being written.
        const auto consider = [&](const IndexEntry& entry, const std::string& dayFolder,
                                  std::optional<int64_t> recordedAt) {
            if (done || open_.count(dayFolder + "/" + entry.name) > 0)
                return;
            const bool tooOld =
                policy.maxAgeNs > 0 && recordedAt && StartedLongerAgo(*recordedAt, nowNs, policy.maxAgeNs);
            const bool diskShort = freeBytes < target;
            if ((!tooOld && !diskShort) || (policy.batch > 0 && victims.size() >= policy.batch)) {
                done = true;
                return;
            }
            freeBytes += std::min(entry.bytes, UINT64_MAX - freeBytes);
            victims.push_back(Victim{dayFolder, entry});
        };
        // Each file is aged by JudgedTimes' rule as the walk goes: the latest clock that can be
        // right so far, and a file whose clock cannot waits for the next file whose clock can.
        const int64_t latest = nowNs > INT64_MAX - FUTURE_SLACK_NS ? INT64_MAX : nowNs + FUTURE_SLACK_NS;
        std::optional<int64_t> known;
        std::vector<std::pair<const IndexEntry*, const std::string*>> unjudged;
        OldestFirst walk(*this);
        const std::string* dayFolder = nullptr;
        while (!done) {
            const IndexEntry* entry = walk.Next(dayFolder);
            if (entry == nullptr) {
                for (const auto& [waiting, folder] : unjudged)
                    consider(*waiting, *folder, std::nullopt);
                break;
            }
            if (entry->clockNs < EARLIEST_CLOCK_NS || entry->clockNs > latest) {
                unjudged.emplace_back(entry, dayFolder);
                continue;
            }
            known = std::max(entry->clockNs, known.value_or(entry->clockNs));
            for (const auto& [waiting, folder] : unjudged)
                consider(*waiting, *folder, known);
            unjudged.clear();
            consider(*entry, *dayFolder, known);
        }
        // Off the lists now; their days' indexes on disk are behind until their deletion lines
        // are appended below, and retiring_ keeps them loaded meanwhile.
        for (const Victim& victim : victims) {
            Day& day = days_[victim.dayFolder];
            day.entries->erase(std::find_if(day.entries->begin(), day.entries->end(),
                                            [&](const IndexEntry& e) { return e.name == victim.entry.name; }));
            if (day.names)
                day.names->erase(victim.entry.name);
            touched.insert(victim.dayFolder);
        }
        for (const std::string& changed : touched) {
            Summarize(changed, days_[changed]);
            retiring_.insert(changed);
        }
    }

    // Files are deleted without the lock: unlinking a large file can take a while.
    // A day folder refused here (swapped for a symlink since it was read) is forgotten, its files
    // kept: retention must not take them again every pass.
    std::vector<Victim> kept;
    std::map<std::string, std::string> deletions; // day folder -> the deletion lines of its files
    for (Victim& victim : victims) {
        const std::string path = victim.dayFolder + "/" + victim.entry.name;
        const char* name = victim.entry.name.c_str();
        DayFolder folder;
        if (!OpenDay(victim.dayFolder, false, folder)) {
            refused.insert(victim.dayFolder);
            continue;
        }
        struct stat info {};
        const bool found = fstatat(folder.day.Get(), name, &info, AT_SYMLINK_NOFOLLOW) == 0;
        const uint64_t size = found ? static_cast<uint64_t>(info.st_size) : 0;
        if (unlinkat(folder.day.Get(), name, 0) == 0) {
            ++result.deleted;
            result.bytesFreed += size;
        } else if (errno != ENOENT) {
            log_(LOG_WARNING, "retention cannot delete " + path + ": " + strerror(errno));
            kept.push_back(std::move(victim));
            continue;
        }
        deletions[victim.dayFolder] += victim.entry.name + " " + DELETED_STATE + "\n";
    }

    std::set<std::string> due; // the days whose index is written below
    {
        const std::lock_guard lock(mutex_);
        for (Victim& victim : kept) {
            if (refused.count(victim.dayFolder) == 0) {
                Day& day = days_[victim.dayFolder];
                if (day.names)
                    day.names->insert(victim.entry.name);
                day.entries->push_back(std::move(victim.entry));
                Summarize(victim.dayFolder, day);
            }
        }
        for (const std::string& dayFolder : refused) {
            ForgetDay(dayFolder);
            touched.erase(dayFolder);
            retiring_.erase(dayFolder);
        }
        due = unwritten_; // retried with the space freed
        due.insert(touched.begin(), touched.end());
    }
    // Each day under its camera's lock, so no writer appends to an index being replaced or creates
    // a file in a folder being removed; the deletion lines are appended without mutex_.
    for (const std::string& dayFolder : due) {
        const std::lock_guard cameraLock(CameraMutex(CameraOf(dayFolder)));
        std::unique_lock lock(mutex_);
        retiring_.erase(dayFolder);
        const auto known = days_.find(dayFolder);
        if (known == days_.end() || !known->second.entries) {
            unwritten_.erase(dayFolder);
            continue;
        }
        const DayIndex& entries = *known->second.entries;
        if (touched.count(dayFolder) == 0) {
            WriteDayOrLater(dayFolder, entries);
            continue;
        }
        DayFolder folder;
        if (!OpenDay(dayFolder, false, folder)) {
            ForgetDay(dayFolder);
            continue;
        }
        const fs::path day(dayFolder);
        if (entries.empty() && unlinkat(folder.day.Get(), INDEX_NAME, 0) == 0 &&
            unlinkat(folder.camera.Get(), day.filename().c_str(), AT_REMOVEDIR) == 0) {
            ForgetDay(dayFolder);
            // Only when that was its last day.
            unlinkat(rootFd_.Get(), day.parent_path().filename().c_str(), AT_REMOVEDIR);
            continue;
        }
        const Append append = PlanAppend(dayFolder, deletions[dayFolder]);
        lock.unlock();
        AppendLines(dayFolder, append);
    }
    {
        const std::lock_guard lock(mutex_);
        TrimLoadedDays();
    }
    if (floor > 0)
        result.floorStillReached = (result.deleted > 0 ? FreeBytes() : freeAtStart) < floor;
    if (result.deleted > 0)
        log_(LOG_INFO, Format("retention deleted %u files (%llu MB)%s", result.deleted,
                              static_cast<unsigned long long>(result.bytesFreed >> 20),
                              result.floorStillReached ? "; free space is still below the floor" : ""));
    else if (result.floorStillReached)
        log_(LOG_DETAIL, "retention: free space is below the floor and no finished file is left to delete");
    return result;
}

} // namespace segrec
