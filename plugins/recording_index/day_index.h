// The recorder's day index, as every plugin that reads the recordings reads it: the entry of a
// segment file, the names a camera, day and file may have, the lines of "index.txt" and the rules
// by which a whole index is read. Compiled into each plugin that uses it; no state, no locks,
// callable from any thread.
//
// Each day folder holds "index.txt", one line per segment file, fields separated by one space:
//     <file name> <start ns> <duration ns> <bytes> <state> <sequence> <clock ns>
// e.g. "10-19-19.mp4 1796811559000000000 60000000000 7340032 complete 42 1796811559000000000". The
// start is UTC in ns since 1970, the duration the media duration (0 until the segment ends, and for
// interrupted ones), bytes the file's size, and the state one of writing, complete or interrupted.
// The sequence numbers the files in the order they were recorded; the clock is the wall clock at
// the file's first frame. Lines of older indexes end after the state: their sequence is 0 and their
// clock their start. Lines starting with '#' are comments. A line "<file name> deleted" drops the
// file's earlier lines (a later line of the name lists a new file again). A later line of a file
// replaces its earlier ones, and a last line without its newline is what a crash left of an
// append: it is dropped. A line that does not parse (wrong field count, a number out of range, a
// name that is not a plain "*.mp4", longer than MAX_INDEX_LINE characters) or repeats its file's
// line before it word for word is skipped; an index is read up to MAX_INDEX_BYTES.
#pragma once

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace recindex {

inline constexpr const char* INDEX_NAME = "index.txt";
constexpr size_t MAX_INDEX_LINE = 1024;                  // longer index lines are skipped
constexpr uint64_t MAX_INDEX_BYTES = uint64_t{16} << 20; // an index is read up to this size
constexpr size_t MAX_NAME = 255;                         // longest camera or file name taken
constexpr int64_t NS_PER_SECOND = 1'000'000'000;
// The highest sequence number an index may hold: far more files than a recorder ever writes, and
// far enough below the type's end that the numbering cannot wrap.
constexpr uint64_t MAX_SEQUENCE = uint64_t{1} << 62;
// The word of a deletion line, "<file name> deleted": retention deleted that file.
inline constexpr const char* DELETED_STATE = "deleted";

// The state of a segment in its day's index.
enum class SegmentState { Writing, Complete, Interrupted };

// One line of a day's index.
struct IndexEntry {
    std::string name; // file name inside the day folder
    int64_t startNs = 0;
    int64_t durationNs = 0;
    uint64_t bytes = 0;
    SegmentState state = SegmentState::Writing;
    uint64_t sequence = 0; // recording order, from 1; 0 for entries of older indexes, which came first
    int64_t clockNs = 0;   // the wall clock at the file's first frame, whatever startNs was moved to
};

// A name used as one path component: letters, digits, '-', '_', '.', never "." or "..", so it
// cannot lead out of its folder.
inline bool IsPlainName(std::string_view name)
{
    if (name.empty() || name.size() > MAX_NAME || name == "." || name == "..")
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    });
}

inline bool IsSegmentName(std::string_view name)
{
    return name.size() > 4 && name.ends_with(".mp4") && IsPlainName(name);
}

inline bool ReadDigits(std::string_view text, size_t at, size_t count, int& value)
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
inline std::optional<int64_t> DayFromName(std::string_view name)
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

inline const char* StateName(SegmentState state)
{
    switch (state) {
    case SegmentState::Writing: return "writing";
    case SegmentState::Complete: return "complete";
    case SegmentState::Interrupted: return "interrupted";
    }
    return "interrupted";
}

template <typename Number>
inline bool ReadNumber(std::string_view field, Number& value)
{
    const char* end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, value);
    return !field.empty() && error == std::errc() && stop == end;
}

// One index line "<name> <start ns> <duration ns> <bytes> <state> [<sequence> <clock ns>]"
// (without its newline); nothing when it does not parse.
std::optional<IndexEntry> ParseIndexLine(std::string_view line);

// The file name of a deletion line (without its newline); nothing when it is not one.
std::optional<std::string_view> ParseDeletionLine(std::string_view line);

// The index line of an entry, with its newline.
std::string FormatIndexLine(const IndexEntry& entry);

// A day index read by the rules above.
struct DayIndex {
    std::vector<IndexEntry> entries; // in the order of their first lines
    size_t entryLines = 0;           // lines that listed or deleted a file, superseded ones too
    unsigned skipped = 0;            // lines skipped: unreadable, repeated, or the torn last one
    unsigned firstSkipped = 0;       // the line number of the first of them (from 1)
    bool torn = false;               // the last line had no newline
    bool truncated = false;          // longer than MAX_INDEX_BYTES: the rest was not read
};

// Reads an index text fed in pieces of any size.
class DayIndexReader {
public:
    void Feed(std::string_view bytes);
    // The index read; call once, after the last Feed.
    DayIndex Finish();

private:
    void EndLine();

    DayIndex day_;
    std::map<std::string, size_t> names_; // a listed file -> its entry in day_
    std::string line_;                    // the line being read, up to MAX_INDEX_LINE characters
    bool tooLong_ = false;                // the line being read went past MAX_INDEX_LINE
    uint64_t total_ = 0;                  // bytes fed
    unsigned lineNumber_ = 0;
};

// The index of text, a whole index file's content.
DayIndex ParseDayIndex(std::string_view text);

// Reads the index open on fd (from its start, up to MAX_INDEX_BYTES; fd stays open). errno is set
// and the index empty when a read fails.
DayIndex ReadDayIndex(int fd, bool& failed);

} // namespace recindex
