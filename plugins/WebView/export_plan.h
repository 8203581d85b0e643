// What an export of a camera's span is made of, decided from the day indexes alone: the files to
// read, the parts of the span no file covers, and the names the reply carries. Pure functions, no
// I/O; callable from any thread.
#pragma once

#include "recordings_index.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace webview {

// A hole between files shorter than this is the frame or two between a file's last frame and the
// next file's first, not a gap.
constexpr int64_t EXPORT_GAP_NS = int64_t{1'000'000'000};
// The longest span one export may ask for.
constexpr int64_t MAX_EXPORT_NS = int64_t{86400} * 1'000'000'000;

// A part of the asked span that no file covers, in ns since 1970.
struct ExportGap {
    int64_t fromNs = 0;
    int64_t toNs = 0;
};

struct ExportPlan {
    std::vector<Recording> files; // by start
    std::vector<ExportGap> gaps;  // by start
};

// Why [fromNs, toNs] cannot be exported (for a 400), or nothing when it can.
std::optional<std::string> ExportSpanProblem(int64_t fromNs, int64_t toNs);

// The files of found (the camera's recordings meeting the span, ListRecordings) that the export of
// [fromNs, toNs] reads, and the parts of the span longer than EXPORT_GAP_NS that none covers. A
// file being written covers everything after its start.
ExportPlan PlanExport(std::vector<Recording> found, int64_t fromNs, int64_t toNs);

// The X-Dvr-Gaps header: "<count>" and, when there are gaps, "; " and the first 32 of them as
// "<from ns>-<to ns>" separated by ",".
std::string GapHeader(const std::vector<ExportGap>& gaps);

// The file name a browser saves the export under: "<camera>_<YYYY-MM-DD>_<HH-MM-SS>.mp4" of the
// span's start in UTC, the camera's name with anything but letters, digits, '-', '_' and '.' as '_'.
std::string ExportFileName(const std::string& camera, int64_t fromNs);

} // namespace webview
