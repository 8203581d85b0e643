// Pure helpers of the recording store: the names of camera and day folders and segment files, and
// the lines of a day's index (format in recording_store.h). No state, no I/O; callable from any thread.
#pragma once

#include "recording_store.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <sys/stat.h>

namespace segrec {

constexpr size_t MAX_NAME = 255; // longest camera or file name taken
constexpr int64_t NS_PER_SECOND = 1'000'000'000;
// The highest sequence number an index may hold: far more files than a recorder ever writes, and
// far enough below the type's end that the numbering cannot wrap.
constexpr uint64_t MAX_SEQUENCE = uint64_t{1} << 62;

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

// Where a camera's next segment starts: at the capture time of its first frame, but never before
// the end (start plus listed duration) of the camera's previous segment, when there is one. Frames
// are stamped by the clock that reads them and durations measured by the media's own clock; the two
// drift apart, and the index must never say two files of a camera hold the same moment.
inline int64_t SegmentStart(int64_t firstFrameNs, const IndexEntry* previous)
{
    if (previous == nullptr)
        return firstFrameNs;
    const int64_t duration = std::max<int64_t>(previous->durationNs, 0);
    const int64_t end = previous->startNs > INT64_MAX - duration ? INT64_MAX : previous->startNs + duration;
    return std::max(firstFrameNs, end);
}

// Whether a was recorded before b: by sequence number; entries of older indexes, numbered 0, came
// first, in the order of their starts.
inline bool RecordedBefore(const IndexEntry& a, const IndexEntry& b)
{
    return a.sequence != b.sequence ? a.sequence < b.sequence : a.startNs < b.startNs;
}

inline bool RecordedAfter(const IndexEntry& a, const IndexEntry& b)
{
    return RecordedBefore(b, a);
}

// A wall clock earlier than this was never set (a device without a real-time clock counts from 1970
// until its first time sync); one later than now by more than FUTURE_SLACK_NS was set wrong then.
constexpr int64_t EARLIEST_CLOCK_NS = int64_t{946684800} * NS_PER_SECOND; // 2000-01-01
constexpr int64_t FUTURE_SLACK_NS = int64_t{3600} * NS_PER_SECOND;

// When files were recorded, judged from their clocks (clocksNs, in recording order) at nowNs: a
// clock that cannot be right (never set, or ahead of now) takes the time of the next file
// recorded after it whose clock can; a clock behind a file recorded before it (it stepped back)
// takes that file's time. So the times never decrease in recording order. Nothing for the last
// files when none after them has a clock that can be right: their age is unknown.
inline std::vector<std::optional<int64_t>> JudgedTimes(const std::vector<int64_t>& clocksNs, int64_t nowNs)
{
    std::vector<std::optional<int64_t>> judged(clocksNs.size());
    const int64_t latest = nowNs > INT64_MAX - FUTURE_SLACK_NS ? INT64_MAX : nowNs + FUTURE_SLACK_NS;
    std::optional<int64_t> known;
    for (size_t i = 0; i < clocksNs.size(); ++i) {
        if (clocksNs[i] < EARLIEST_CLOCK_NS || clocksNs[i] > latest)
            continue;
        known = std::max(clocksNs[i], known.value_or(clocksNs[i]));
        judged[i] = known;
    }
    for (size_t i = clocksNs.size(); i-- > 1;)
        if (!judged[i - 1])
            judged[i - 1] = judged[i];
    return judged;
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

// Start of a segment from its day and its file name "HH-MM-SS.mp4" or "HH-MM-SS-n.mp4".
inline std::optional<int64_t> StartFromName(int64_t day, std::string_view name)
{
    int hour = 0, minute = 0, second = 0;
    if (name.size() < 12 || name[2] != '-' || name[5] != '-' || (name[8] != '.' && name[8] != '-') ||
        !ReadDigits(name, 0, 2, hour) || !ReadDigits(name, 3, 2, minute) || !ReadDigits(name, 6, 2, second) ||
        hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    return ((day * 24 + hour) * 60 + minute) * 60 * NS_PER_SECOND + int64_t{second} * NS_PER_SECOND;
}

// The day folder ("YYYY-MM-DD") and file stem ("HH-MM-SS") of a start time, in UTC.
inline bool UtcNames(int64_t startNs, std::string& day, std::string& time)
{
    static_assert(sizeof(time_t) >= 8, "dates after January 2038 need a 64-bit time_t (_TIME_BITS=64)");
    int64_t seconds = startNs / NS_PER_SECOND;
    if (startNs % NS_PER_SECOND < 0)
        --seconds; // round down before 1970 as well
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    if (gmtime_r(&when, &parts) == nullptr)
        return false;
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
    day = text;
    snprintf(text, sizeof text, "%02d-%02d-%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    time = text;
    return true;
}

// What the store makes of an entry it lists, by its name and its type as lstat gives it.
enum class EntryUse {
    Use,    // a camera or day folder
    Refuse, // a camera's or day's name on a symlink, FIFO, device...: never entered, logged once
    Ignore, // the lock file, stray files, names of no camera or day
};

// An entry of the recordings folder: a camera folder by name.
inline EntryUse CameraEntryUse(std::string_view name, mode_t type)
{
    if (!IsPlainName(name) || S_ISREG(type))
        return EntryUse::Ignore;
    return S_ISDIR(type) ? EntryUse::Use : EntryUse::Refuse;
}

// An entry of a camera folder: a day folder by name.
inline EntryUse DayEntryUse(std::string_view name, mode_t type)
{
    if (!DayFromName(name))
        return EntryUse::Ignore;
    return S_ISDIR(type) ? EntryUse::Use : EntryUse::Refuse;
}

// Why an entry of that type is refused, for the log line.
inline const char* RefusalText(mode_t type)
{
    return S_ISLNK(type) ? "it is a symlink" : "it is not a folder";
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

// One index line "<name> <start ns> <duration ns> <bytes> <state> [<sequence> <clock ns>]"; nothing
// when it does not parse.
inline std::optional<IndexEntry> ParseIndexLine(std::string_view line)
{
    std::string_view fields[7];
    size_t count = 0;
    for (size_t from = 0; from <= line.size(); ++count) {
        if (count == 7)
            return std::nullopt;
        const size_t space = std::min(line.find(' ', from), line.size());
        fields[count] = line.substr(from, space - from);
        from = space + 1;
    }
    IndexEntry entry;
    if ((count != 5 && count != 7) || !IsSegmentName(fields[0]) || !ReadNumber(fields[1], entry.startNs) ||
        !ReadNumber(fields[2], entry.durationNs) || entry.durationNs < 0 || !ReadNumber(fields[3], entry.bytes))
        return std::nullopt;
    entry.clockNs = entry.startNs;
    if (count == 7 && (!ReadNumber(fields[5], entry.sequence) || entry.sequence == 0 || entry.sequence > MAX_SEQUENCE ||
                       !ReadNumber(fields[6], entry.clockNs)))
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

// The word of a deletion line, "<file name> deleted": retention deleted that file.
inline constexpr const char* DELETED_STATE = "deleted";

// The file name of a deletion line (without its newline); nothing when it is not one.
inline std::optional<std::string_view> ParseDeletionLine(std::string_view line)
{
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || line.substr(space + 1) != DELETED_STATE ||
        !IsSegmentName(line.substr(0, space)))
        return std::nullopt;
    return line.substr(0, space);
}

// The index line of an entry, with its newline.
inline std::string FormatIndexLine(const IndexEntry& entry)
{
    std::string line = entry.name + " " + std::to_string(entry.startNs) + " " + std::to_string(entry.durationNs) + " " +
                       std::to_string(entry.bytes) + " " + StateName(entry.state);
    if (entry.sequence > 0) // an older index's entry keeps its form
        line += " " + std::to_string(entry.sequence) + " " + std::to_string(entry.clockNs);
    return line + "\n";
}

} // namespace segrec
