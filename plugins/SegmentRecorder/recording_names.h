// Pure helpers of the recording store: the names of camera and day folders and segment files, and
// the times judged from a day index's entries (the lines themselves: day_index.h). No state, no I/O; callable from any
// thread.
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

using recindex::DayFromName;
using recindex::DELETED_STATE;
using recindex::FormatIndexLine;
using recindex::IsPlainName;
using recindex::IsSegmentName;
using recindex::MAX_NAME;
using recindex::MAX_SEQUENCE;
using recindex::NS_PER_SECOND;
using recindex::ParseDeletionLine;
using recindex::ParseIndexLine;
using recindex::ReadDigits;
using recindex::ReadNumber;
using recindex::StateName;

// The end of a segment that starts at startNs and lasts durationNs (a negative duration counts as 0).
inline int64_t SegmentEnd(int64_t startNs, int64_t durationNs)
{
    const int64_t duration = std::max<int64_t>(durationNs, 0);
    return startNs > INT64_MAX - duration ? INT64_MAX : startNs + duration;
}

// Where a camera's next segment starts: at the capture time of its first frame, but never before
// the end (start plus listed duration) of the camera's previous segment, when there is one. Frames
// are stamped by the clock that reads them and durations measured by the media's own clock; the two
// drift apart, and the index must never say two files of a camera hold the same moment.
inline int64_t SegmentStart(int64_t firstFrameNs, const IndexEntry* previous)
{
    return previous == nullptr ? firstFrameNs
                               : std::max(firstFrameNs, SegmentEnd(previous->startNs, previous->durationNs));
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

} // namespace segrec
