// The recorder's files on disk: where a segment goes, the index of each day, reconciling the index
// with the files after a crash, and retention. Shared by every camera's writer thread and the
// retention pass; each camera's lock and one mutex inside guard the indexes (see Locks below).
//
// Each day folder holds "index.txt" (its lines and the rules by which it is read are in
// plugins/recording_index/day_index.h), one line per segment file, fields separated by one space:
//     <file name> <start ns> <duration ns> <bytes> <state> <sequence> <clock ns>
// e.g. "10-19-19.mp4 1796811559000000000 60000000000 7340032 complete 42 1796811559000000000". The
// start is UTC in ns since 1970, the duration the media duration (0 until the segment ends, and for
// interrupted ones), bytes the file's size, and the state one of writing (being recorded, or cut
// off by a crash until Reconcile runs), complete or interrupted (a crash ended it). The sequence
// numbers the files in the order they were recorded, across cameras, days and restarts; the clock
// is the wall clock at the file's first frame, which differs from the start when the start was
// moved to the end of the camera's previous file (a clock that stepped back). Lines of older
// indexes end after the state: they came before every numbered one, their clock is their start.
// Lines starting with '#' are comments. A line "<file name> deleted" says retention deleted that
// file: it drops the file's earlier lines (a later line of the name lists a new file again). An
// older recorder skips it as unreadable and drops the entry once Reconcile finds the file gone.
// A segment's start and end each append its line (write, fsync), and a retention pass appends one
// deletion line per file it deleted: a later line of a file replaces its earlier ones, and a last
// line without its newline is what a crash left of an append, dropped when read. An index whose
// superseded and deletion lines outnumber its files (plus a slack), Reconcile, unplayable files, a
// retried failed write and a store compacted (Compact) replace the whole file crash-safely instead
// (temporary file, fsync, rename, fsync of the folder), leaving one line a file.
//
// Locks: a camera's lock (CameraMutex) is held by whoever writes an index of that camera's days or
// creates or removes files and folders in them, for the whole change and its write (a segment's
// end and begun lines from a file finisher are synced after it is released); the store's
// mutex_ guards what memory holds and is taken after a camera's lock, never before one, and is not
// held while a segment's start or end line or a pass's deletion lines are appended and synced, so
// the cameras' appends run side by side. A line that does not parse (wrong field count, a
// number out of range, a name that is not a plain "*.mp4", longer than 1024 characters) or repeats
// its file's line before it word for word is skipped with a log line and dropped at the next rewrite.
//
// The folder is input as much as the indexes are (folder_access.h): a camera or day folder that is
// a symlink is refused with a log line, and nothing is written or deleted through it; an index or
// segment that is not a regular file is skipped. The store writes into the folder alone: it holds
// an flock on LOCK_NAME inside it for its whole life, and a store that cannot take it does nothing.
#pragma once

#include "day_index.h"
#include "folder_access.h"
#include "fragment_scan.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

namespace segrec {

// A line for the plugin's log: level (0 detail, 25 information, 50 warning, 100 failure) and text.
using StoreLog = std::function<void(int level, const std::string& text)>;

// When old recordings go. Zero switches a limit off.
struct RetentionPolicy {
    int64_t maxAgeNs = 0;      // files that started longer ago than this are deleted
    uint64_t minFreeBytes = 0; // below this much free space the oldest files are deleted
    unsigned batch = 16;       // at most this many deletions a pass
    int64_t segmentNs = 0;     // how long a file is cut at: NextSegmentsBytes measures room for one
};

// What one retention pass did.
struct RetentionResult {
    unsigned deleted = 0;
    uint64_t bytesFreed = 0;
    bool floorStillReached = false; // free space still below the floor once the pass ended
};

// The day index's entries and rules are shared with the plugins that read the recordings.
using recindex::IndexEntry;
using recindex::SegmentState;

// The lock file in the recordings folder; a camera of that name would be refused.
inline constexpr const char* LOCK_NAME = ".recorder.lock";
// The day summaries a clean stop leaves in the recordings folder (Compact), a line a day folder:
//     <camera>/<day> <index inode> <index bytes> <index mtime ns> <oldest sequence> <oldest start ns> <bytes>
// after a line "next <sequence>". A restart takes a day's summary instead of reading its index
// while the index is still that file (inode, size and time unchanged).
inline constexpr const char* SUMMARY_NAME = ".recorder.days";

class RecordingStore {
public:
    // root: the recordings folder (created when missing; it may itself be a symlink, nothing under
    // it may). Takes the folder's lock: see Unusable.
    RecordingStore(std::string root, StoreLog log);

    // Empty while the store holds the recordings folder and its lock; else why it does not (another
    // process records into it, or the folder cannot be opened or locked): then every call below
    // does nothing and BeginSegment returns "". Not logged here: the owner says it once.
    const std::string& Unusable() const { return unusable_; }

    // Makes each day's index agree with the files on disk: a file the index lists as being written
    // (the one a crash interrupted), a file missing from the index, and a listed file whose size is
    // no longer the index's (cut short by a copy, a card error or a power cut) are cut back to the
    // end of their last whole fragment and listed as interrupted with that size and the duration
    // their fragments hold, or deleted when they hold no whole fragment; an entry whose file is
    // gone is dropped. Logs a line per repaired or deleted file and a summary. Called once before
    // recording starts. Reads only the days that can have changed since the last clean stop: each
    // camera's latest day (where a crash leaves its file) and every day whose index is not the one
    // the stop's summaries (SUMMARY_NAME) describe; the others are taken from their summaries, so
    // a finished file cut short in such a day while the recorder was stopped is not seen.
    void Reconcile();

    // Creates the camera's day folder and in it the empty file of a new segment that starts at
    // startNs (UTC, ns since 1970; the capture time of its first frame), moved to the end of the
    // camera's previous segment when it would start before it (SegmentStart), and returns its path:
    // <root>/<camera>/<YYYY-MM-DD>/<HH-MM-SS>.mp4, with "-1", "-2"... before the extension when that name is taken. The
    // file is created with O_EXCL in the folder's descriptor; its descriptor goes to file when given (open for
    // writing), else is closed. The index lists it as being written until EndSegment. "" (logged) on failure.
    std::string BeginSegment(const std::string& camera, int64_t startNs, UniqueFd* file = nullptr)
    {
        return StartSegment(camera, startNs, file, nullptr);
    }

    // What an index append is to write once mutex_ is released: its text, or nothing when the index
    // was rewritten whole instead (written is then that rewrite's outcome).
    struct Append {
        std::string text;
        bool written = true;
    };
    // How a writer that enters its ended files in the index from another thread begins its next
    // file. In: the earliest start its previous file's end allows (that file may not be entered
    // yet). Out: the start the segment got, and its index line, which the caller writes with
    // WriteBegunLine after the camera's earlier EndSegment calls.
    struct Continuation {
        int64_t notBeforeNs = INT64_MIN;
        int64_t startNs = 0;
        std::string dayFolder;
        Append append;
    };
    // BeginSegment, leaving the index line to continuation's owner.
    std::string BeginSegment(const std::string& camera, int64_t startNs, UniqueFd* file, Continuation& continuation)
    {
        return StartSegment(camera, startNs, file, &continuation);
    }
    // Writes the index line BeginSegment left in continuation. Any thread.
    void WriteBegunLine(const Continuation& continuation);

    // Marks a segment finished in its day's index, with its size and the media duration its
    // fragments hold (durationNs, the writer's count, when they name no video track). Complete only
    // when durable: a segment whose write or sync failed is listed as interrupted, with a log line.
    // A segment that holds no whole fragment (ended before its first frame, or after a failed
    // write) plays nothing: it is deleted and dropped from the index instead, with a log line.
    // The walk of a segment's boxes (ScanFragments), the file opened as the store opens its files.
    recindex::FragmentScan ScanSegment(const std::string& path) const;

    // scanned: the walk of the file (ScanSegment) its writer made once it was written whole, instead
    // of another.
    // next: the camera's next segment, whose begun line goes out with this end's line in one write
    // and one sync when both belong to the same index; answers whether it did (else the caller
    // writes it with WriteBegunLine).
    bool EndSegment(const std::string& path, int64_t durationNs, uint64_t bytes, bool durable = true,
                    const recindex::FragmentScan* scanned = nullptr, const Continuation* next = nullptr);

    // Rewrites the day indexes in memory that hold superseded lines (a file's start and its end),
    // one line a file: called once the writers have stopped, so a recorder closed in order leaves
    // its indexes compact. Indexes not in memory keep their lines until the next rewrite. Then saves
    // every day's summary (SUMMARY_NAME) for the next Reconcile.
    void Compact();

    // One bounded pass: deletes the oldest finished files (never one being written) while a limit
    // of policy is exceeded, removes emptied day and camera folders, updates the indexes. The
    // free-space floor is never less than NextSegmentsBytes, so even without one the disk keeps room
    // for the files being begun; files are deleted for that room only when it can be reached (when
    // others fill the disk, deleting every recording would not make it). Index rewrites that failed
    // earlier (a full disk) are tried again.
    RetentionResult EnforceRetention(const RetentionPolicy& policy, int64_t nowNs);

    // Room for every camera's next file: for each camera, its three latest finished files' bytes a
    // second of media times segmentNs (a file's bytes when that is 0 or it has no duration), the
    // largest, summed over the cameras. 0 before any file was finished.
    uint64_t NextSegmentsBytes(int64_t segmentNs);
    // Free bytes on the recordings' disk, by the free-space query (UINT64_MAX when unknown).
    uint64_t FreeBytes() const;

    // Replaces the free-space query of retention (statvfs on the root: f_bavail * f_frsize), so
    // tests can play a full disk. Call before the store is shared between threads.
    void SetFreeSpaceQuery(std::function<uint64_t()> query);
    // Replaces how an index's text is written into its temporary file (WriteAll), so tests can fail
    // a write midway. Call before the store is shared between threads.
    void SetIndexWriter(TextWriter write);
    // Replaces the sync of an index after its lines were appended (fsync), so tests can play a slow
    // disk. Call before the store is shared between threads.
    void SetIndexSync(std::function<int(int fd)> sync);
    // How many day indexes are kept whole in memory at most, beyond the days being written and the
    // ones whose write is pending (DEFAULT_LOADED_DAYS). Call before the store is shared.
    void SetLoadedDaysLimit(size_t days);
    // The day indexes held whole in memory now, and their entries: for tests and benchmarks.
    std::pair<size_t, size_t> LoadedDays();

    static constexpr size_t DEFAULT_LOADED_DAYS = 48;

private:
    using DayIndex = std::vector<IndexEntry>;
    // Where a day folder stands in recording order: the sequence and start of its oldest file.
    using DayKey = std::tuple<uint64_t, int64_t, std::string>;
    // A day folder as memory holds it: always its summary, its index only while loaded.
    struct Day {
        std::optional<DayIndex> entries; // the index, while loaded
        std::optional<DayKey> oldest;    // its key in oldestFirst_; none when it lists no file
        uint64_t bytes = 0;              // the listed files' bytes (0 for files being written)
        uint64_t used = 0;               // when it was last used, in useClock_ ticks
        size_t lines = 0; // entry lines in its index on disk, superseded and deletion ones too; SIZE_MAX: rewrite it
        unsigned appending = 0; // appends planned and not yet done (AppendLines): keeps entries loaded
        // The names in entries, made once a file is begun in the day: its new name is checked here.
        std::optional<std::unordered_set<std::string>> names;
    };
    // One of a camera's latest finished files, by which its next file's room is judged.
    struct Recent {
        std::string dayFolder;
        IndexEntry entry;
    };
    class OldestFirst;
    struct ReconcileCounts;
    // The descriptors of a day folder and of its camera's folder.
    struct DayFolder {
        UniqueFd camera;
        UniqueFd day;
    };

    // Opens <root>/<camera>/<day> of a day folder's path (making the folders when create is set),
    // following no symlink below the root. false when refused: logged once per folder, unless it
    // is merely missing and create is not set.
    bool OpenDay(const std::string& dayFolder, bool create, DayFolder& opened) const;
    // The walk of the boxes of the file name in folder; not readable when it cannot be opened.
    recindex::FragmentScan ScanAt(const DayFolder& folder, const std::string& name) const;
    // Logs once per path that a folder is refused.
    void Refuse(const std::string& path, const std::string& why) const;

    // Reads a day's index from disk, skipping (logging and counting) lines that do not parse and a
    // last line without its newline; a later line of a file replaces its earlier ones. lines, when
    // given, is set to the entry lines read, or SIZE_MAX when the last was cut short. No lock.
    DayIndex ReadDay(const std::string& dayFolder, unsigned& skipped, size_t* lines = nullptr) const;
    // Replaces a day's index on disk crash-safely; false (logged) when it could not. Caller holds mutex_.
    bool WriteDay(const std::string& dayFolder, const DayIndex& day);
    // The lines to append to the day's index (entries new or changed, or deletion lines), or, when
    // the index must be rewritten whole instead (a torn last line, a failed write before, or more
    // dead lines than files), that rewrite done. Caller holds the day's camera lock and mutex_.
    // BeginSegment; with a continuation, its index line is left to the caller.
    std::string StartSegment(const std::string& camera, int64_t startNs, UniqueFd* file, Continuation* continuation);
    Append PlanAppend(const std::string& dayFolder, std::string lines);
    // Appends an Append's text to the day's index and syncs it (a crash leaves at most a last line
    // without its newline, which ReadDay drops), then notes the outcome under mutex_: a failed append
    // (logged) leaves the index as it was and due for a rewrite. Caller holds the day's camera lock
    // and not mutex_.
    // plans: how many PlanAppend lines append carries. cameraLock, when given, is the day's camera
    // lock the caller holds: released once the lines are written, before the sync.
    bool AppendLines(const std::string& dayFolder, const Append& append, unsigned plans = 1,
                     std::unique_lock<std::mutex>* cameraLock = nullptr);
    // The lock of a camera's index writes and its folders' changes; never taken under mutex_.
    std::mutex& CameraMutex(const std::string& camera);
    // The camera of a day folder's path.
    static std::string CameraOf(const std::string& dayFolder);
    // A loaded day's names, made from its entries when it has none. Caller holds mutex_.
    static std::unordered_set<std::string>& Names(Day& day);
    // Brings a day's summary and the totals up to a file it now lists as being written (begun) or
    // as finished (ended, once bytesBefore), without going over the day's other files. Caller holds
    // mutex_.
    void NoteBegun(const std::string& dayFolder, Day& day, const IndexEntry& entry);
    void NoteEnded(const std::string& dayFolder, Day& day, const IndexEntry& entry, uint64_t bytesBefore);
    // The day's index, read from disk when not loaded. Caller holds mutex_.
    DayIndex& LoadedDay(const std::string& dayFolder);
    // Adds a day read without the lock unless it is known by now. Caller holds mutex_.
    void AddDay(const std::string& dayFolder, DayIndex entries, size_t lines);
    // Brings a loaded day's summary, oldestFirst_, totalBytes_ and its camera's recent_ up to its
    // entries; called after every change to them. Caller holds mutex_.
    void Summarize(const std::string& dayFolder, Day& day);
    // Drops a day from memory, its summary too (emptied, removed or refused). Caller holds mutex_.
    void ForgetDay(const std::string& dayFolder);
    // Unloads the least recently used days beyond the limit; never a day with a file being written
    // or an index write pending. Caller holds mutex_.
    void TrimLoadedDays();
    // Whether a file of the day folder is being written. Caller holds mutex_.
    bool HasOpen(const std::string& dayFolder) const;
    // The day folders on disk (<root>/<camera>/<YYYY-MM-DD>); with changedOnly, only those of the
    // camera folders changed since their last listing. Takes listedMutex_ alone.
    std::vector<std::string> DayFolders(bool changedOnly = false);
    void ReconcileDay(const std::string& dayFolder, ReconcileCounts& counts);
    // A day's summary as a clean stop saved it, with the identity of the index it summarizes.
    struct Saved {
        uint64_t inode = 0, indexBytes = 0, bytes = 0, sequence = 0;
        int64_t mtimeNs = 0, startNs = 0;
    };
    // The summaries of SUMMARY_NAME by day folder path, and the sequence it gives next; empty when
    // there is none or it does not parse. No lock.
    std::map<std::string, Saved> ReadSummaries(uint64_t& next) const;
    // Writes SUMMARY_NAME from days_: the days whose index on disk says what memory does.
    void SaveSummaries();
    // Takes a day's saved summary when its index is still the one summarized; false when not.
    bool TakeSummary(const std::string& dayFolder, const Saved& saved);
    // The identity of a day's index: inode, size and modification time; false when there is none.
    bool IndexIdentity(const std::string& dayFolder, Saved& identity) const;
    // What a repaired file holds: its size and, when its fragments say, its media duration.
    struct Repaired {
        uint64_t bytes = 0;
        std::optional<int64_t> durationNs;
    };
    // Cuts a file a crash interrupted back to the end of its last whole fragment, or deletes it when
    // it holds none; logs either. Returns what it holds then, or nothing when it was deleted. Caller
    // holds mutex_.
    std::optional<Repaired> RepairInterrupted(int dayFd, const std::string& path, ReconcileCounts& counts);
    // WriteDay, and a day whose write failed is written again at the next retention pass, so the
    // index on disk catches up with it. Caller holds mutex_.
    void WriteDayOrLater(const std::string& dayFolder, const DayIndex& day);
    // NextSegmentsBytes measured from recent_. Caller holds mutex_.
    uint64_t MeasureNextSegments(int64_t segmentNs) const;
    // Keeps nextSequence_ above the sequence numbers of a day just loaded. Caller holds mutex_.
    void NoteSequences(const DayIndex& day);
    // Keeps entry as camera's latest segment when it ends after the one kept. Caller holds mutex_.
    void NoteLast(const std::string& camera, const IndexEntry& entry);

    std::string root_;
    StoreLog log_;
    UniqueFd rootFd_;      // the recordings folder, every name below it opened from here
    UniqueFd lock_;        // holds the flock of LOCK_NAME
    std::string unusable_; // set in the constructor only
    mutable std::mutex refusedMutex_;
    mutable std::set<std::string> refused_; // folders already logged as refused; guarded by refusedMutex_
    std::mutex listedMutex_;
    std::map<std::string, int64_t> listed_; // camera -> its folder's time at its last listing; guarded by listedMutex_
    std::function<uint64_t()> freeSpace_;   // set before the store is shared, then only read
    TextWriter indexWriter_ = WriteAll;     // the same
    std::function<int(int)> indexSync_ = fsync; // the same
    std::mutex cameraLocksMutex_;
    std::map<std::string, std::unique_ptr<std::mutex>> cameraLocks_; // camera -> its lock; guarded by cameraLocksMutex_
    // NextSegmentsBytes's last answer while recent_ is unchanged: every camera asks at every
    // fragment, and would otherwise wait for mutex_ each time. Taken after mutex_, never before it.
    struct NextBytes {
        uint64_t generation = UINT64_MAX; // of recent_ when measured
        int64_t segmentNs = 0;
        uint64_t bytes = 0;
    };
    std::mutex nextBytesMutex_;                         // guards nextBytes_
    NextBytes nextBytes_;                               // guarded by nextBytesMutex_
    std::atomic<uint64_t> recentGeneration_{0};         // counts the changes of recent_; changed under mutex_
    std::mutex mutex_;                                  // guards everything below
    std::set<std::string> open_;                        // paths of the segments being written
    std::map<std::string, Day> days_;                   // day folder path -> its summary and, if loaded, index
    std::set<DayKey> oldestFirst_;                      // the days listing files, by their oldest file
    uint64_t totalBytes_ = 0;                           // the bytes of every listed file
    std::map<std::string, std::vector<Recent>> recent_; // camera -> its latest finished files, newest first
    std::map<std::string, IndexEntry> last_;            // camera -> its latest listed segment that has ended
    std::set<std::string> unwritten_;                   // day folders whose index on disk is behind days_
    std::set<std::string>
        retiring_;              // day folders a retention pass deleted from, until their deletion lines are written
    uint64_t nextSequence_ = 1; // above every sequence number loaded or given
    uint64_t useClock_ = 0;     // ticks at every use of a day, for Day::used
    size_t loadedLimit_ = DEFAULT_LOADED_DAYS; // set before the store is shared
};

} // namespace segrec
