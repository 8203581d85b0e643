#include "day_index.h"

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace recindex {

std::optional<IndexEntry> ParseIndexLine(std::string_view line)
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

std::optional<std::string_view> ParseDeletionLine(std::string_view line)
{
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || line.substr(space + 1) != DELETED_STATE ||
        !IsSegmentName(line.substr(0, space)))
        return std::nullopt;
    return line.substr(0, space);
}

std::string FormatIndexLine(const IndexEntry& entry)
{
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about a chain of operator+.
    std::string line = entry.name;
    for (const std::string& field : {std::to_string(entry.startNs), std::to_string(entry.durationNs),
                                     std::to_string(entry.bytes), std::string(StateName(entry.state))})
        line.append(" ").append(field);
    if (entry.sequence > 0) // an older index's entry keeps its form
        for (const std::string& field : {std::to_string(entry.sequence), std::to_string(entry.clockNs)})
            line.append(" ").append(field);
    line.push_back('\n');
    return line;
}

void DayIndexReader::Feed(std::string_view bytes)
{
    if (day_.truncated)
        return;
    if (total_ + bytes.size() > MAX_INDEX_BYTES) {
        bytes = bytes.substr(0, static_cast<size_t>(MAX_INDEX_BYTES - total_));
        day_.truncated = true;
    }
    total_ += bytes.size();
    for (const char c : bytes) {
        if (c == '\n')
            EndLine();
        else if (line_.size() < MAX_INDEX_LINE)
            line_ += c;
        else
            tooLong_ = true;
    }
}

void DayIndexReader::EndLine()
{
    ++lineNumber_;
    const bool tooLong = std::exchange(tooLong_, false);
    std::string line;
    line.swap(line_);
    if (!tooLong && (line.empty() || line[0] == '#'))
        return;
    if (const auto gone = tooLong ? std::nullopt : ParseDeletionLine(line)) {
        if (const auto listed = names_.find(std::string(*gone)); listed != names_.end()) {
            day_.entries[listed->second].name.clear(); // taken out in Finish
            names_.erase(listed);
        }
        ++day_.entryLines;
        return;
    }
    std::optional<IndexEntry> entry;
    if (!tooLong)
        entry = ParseIndexLine(line);
    const auto [listed, fresh] =
        entry ? names_.try_emplace(entry->name, day_.entries.size()) : std::pair{names_.end(), false};
    if (entry && fresh) {
        day_.entries.push_back(std::move(*entry));
        ++day_.entryLines;
    } else if (entry && FormatIndexLine(day_.entries[listed->second]) != line + "\n") {
        day_.entries[listed->second] = std::move(*entry); // a later line of a file replaces the earlier
        ++day_.entryLines;
    } else if (day_.skipped++ == 0) {
        day_.firstSkipped = lineNumber_;
    }
}

DayIndex DayIndexReader::Finish()
{
    std::erase_if(day_.entries, [](const IndexEntry& entry) { return entry.name.empty(); });
    if (!line_.empty() || tooLong_) {
        // Without its newline: an append a crash cut short, whatever it parses as.
        day_.torn = true;
        if (day_.skipped++ == 0)
            day_.firstSkipped = lineNumber_ + 1;
    }
    return std::move(day_);
}

DayIndex ParseDayIndex(std::string_view text)
{
    DayIndexReader reader;
    reader.Feed(text);
    return reader.Finish();
}

DayIndex ReadDayIndex(int fd, bool& failed)
{
    DayIndexReader reader;
    char buffer[65536];
    off_t at = 0;
    failed = false;
    for (;;) {
        const ssize_t got = pread(fd, buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            failed = true;
            return {};
        }
        if (got == 0 || at >= static_cast<off_t>(MAX_INDEX_BYTES))
            break;
        reader.Feed(std::string_view(buffer, static_cast<size_t>(got)));
        at += got;
    }
    return reader.Finish();
}

} // namespace recindex
