// The recording store at scale (bench_store): builds a recordings folder of empty segment files
// with their day indexes in a temporary folder, then measures the store on it: a first start's
// Reconcile (no summaries of a clean stop: every index is read), retention passes, segment starts
// and ends, the process's resident size, and then the Reconcile of a restart after a clean stop
// (Compact) and after a crash (every camera's file left being written).
//
//     bench_store [--files N]... [--folder DIR] [--json FILE]
//
// Default: 96 files (16 cameras, one day, 6 files each) and 2,072,640 (16 cameras x 90 days of
// 60 s files, the last day until 23:00, where the new segments go). Each size runs in a fresh
// folder, removed afterwards. When the file system has fewer free inodes than files, the size is
// scaled down to what fits, with a note: the store lists a file only while it exists, so every
// file is made.
#include "recording_names.h"
#include "recording_store.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;
using segrec::RecordingStore;
using segrec::RetentionPolicy;

namespace {

constexpr int64_t SECOND = 1'000'000'000;
constexpr int64_t MINUTE = 60 * SECOND;
constexpr int64_t DAY = 86400 * SECOND;
constexpr int64_t FIRST_DAY = int64_t{20454} * DAY; // 2026-01-01
constexpr unsigned PER_DAY = 1440;
constexpr unsigned LAST_DAY_FILES = 1380; // until 23:00

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration elapsed)
{
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

// Resident and peak resident size of this process in MiB, from /proc/self/status.
double StatusMiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atof(line.c_str() + std::strlen(field)) / 1024.0;
    return 0;
}

// Starts the peak resident size again from the current one.
void ResetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Max(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// A recorder's file in miniature: ftyp, moov, one moof and an mdat, so EndSegment lists it.
std::string SmallMp4()
{
    const auto box = [](const char* type, uint32_t size) {
        std::string box(size, '\0');
        box[0] = static_cast<char>(size >> 24);
        box[1] = static_cast<char>(size >> 16);
        box[2] = static_cast<char>(size >> 8);
        box[3] = static_cast<char>(size);
        box.replace(4, 4, type);
        return box;
    };
    return box("ftyp", 24) + box("moov", 40) + box("moof", 32) + box("mdat", 104);
}

struct Layout {
    unsigned cameras = 1, days = 1, lastDayFiles = 100;
    uint64_t Files() const { return uint64_t{cameras} * ((days - 1) * PER_DAY + lastDayFiles); }
};

Layout LayoutFor(uint64_t files)
{
    // Small stores are one day of the same 16 cameras, so a pass touches as many day indexes.
    if (files < 16 * LAST_DAY_FILES)
        return files < 16 ? Layout{1, 1, static_cast<unsigned>(files)}
                          : Layout{16, 1, static_cast<unsigned>(files / 16)};
    Layout layout{16, 1, LAST_DAY_FILES};
    while (Layout{16, layout.days + 1, LAST_DAY_FILES}.Files() <= files)
        ++layout.days;
    return layout;
}

// Writes every day's index and makes its empty files: the cameras record at once, a file a
// minute each, numbered in that order.
void Build(const std::string& root, const Layout& layout)
{
    for (unsigned day = 0; day < layout.days; ++day) {
        const unsigned files = day + 1 == layout.days ? layout.lastDayFiles : PER_DAY;
        for (unsigned camera = 0; camera < layout.cameras; ++camera) {
            std::string dayName, timeName;
            segrec::UtcNames(FIRST_DAY + day * DAY, dayName, timeName);
            const std::string folder = root + "/cam" + std::to_string(camera) + "/" + dayName;
            fs::create_directories(folder);
            std::string text = "# file start_ns duration_ns bytes state\n";
            for (unsigned i = 0; i < files; ++i) {
                const int64_t start = FIRST_DAY + day * DAY + i * MINUTE;
                segrec::UtcNames(start, dayName, timeName);
                const uint64_t sequence = (uint64_t{day} * PER_DAY + i) * layout.cameras + camera + 1;
                char line[160];
                std::snprintf(line, sizeof line, "%s.mp4 %" PRId64 " %" PRId64 " 0 complete %" PRIu64 " %" PRId64 "\n",
                              timeName.c_str(), start, MINUTE, sequence, start);
                text += line;
                const int fd = open((folder + "/" + timeName + ".mp4").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                if (fd >= 0)
                    close(fd);
            }
            std::ofstream(folder + "/index.txt") << text;
        }
    }
}

struct Figures {
    uint64_t files = 0;
    double buildS = 0, reconcileMs = 0, reconcilePeakMiB = 0, storeMiB = 0;
    double passMs = 0, passMaxMs = 0, idlePassMs = 0, passPeakMiB = 0;
    double beginUs = 0, endUs = 0, beginMaxUs = 0, endMaxUs = 0;
    double cleanRestartMs = 0, crashRestartMs = 0;
    double roundMs = 0; // every camera's start, write and end on its own thread at once
};

Figures Measure(const std::string& parent, uint64_t wanted)
{
    Layout layout = LayoutFor(wanted);
    struct statvfs space {};
    if (statvfs(parent.c_str(), &space) == 0 && space.f_favail < layout.Files() + layout.Files() / 50 + 1000) {
        const uint64_t fits = space.f_favail > 2000 ? (space.f_favail - 1000) * 49 / 50 : 0;
        std::printf("note: %s has %llu free inodes, too few for %llu files: scaled down to %llu\n", parent.c_str(),
                    static_cast<unsigned long long>(space.f_favail), static_cast<unsigned long long>(layout.Files()),
                    static_cast<unsigned long long>(LayoutFor(fits).Files()));
        layout = LayoutFor(fits);
    }
    Figures figures;
    figures.files = layout.Files();
    const std::string root = parent + "/bench-store-" + std::to_string(getpid()) + "-" + std::to_string(wanted);
    auto start = Clock::now();
    Build(root, layout);
    figures.buildS = Ms(Clock::now() - start) / 1000;
    std::printf("store of %llu files (%u cameras x %u days), built in %.1f s\n",
                static_cast<unsigned long long>(figures.files), layout.cameras, layout.days, figures.buildS);
    std::fflush(stdout);

    const double before = StatusMiB("VmRSS:");
    ResetPeak();
    const auto log = [](int level, const std::string& text) {
        if (level >= 50)
            std::fprintf(stderr, "store: %s\n", text.c_str());
    };
    const int64_t end = FIRST_DAY + (layout.days - 1) * DAY + layout.lastDayFiles * MINUTE;
    {
        RecordingStore store(root, log);
        start = Clock::now();
        store.Reconcile();
        figures.reconcileMs = Ms(Clock::now() - start);
        figures.reconcilePeakMiB = StatusMiB("VmHWM:") - before;

        // Five passes that each delete the 16 oldest files (every file is old enough), then passes
        // with nothing old enough.
        const RetentionPolicy policy{MINUTE, 0, 16, MINUTE};
        std::vector<double> passes, idle;
        ResetPeak();
        for (int i = 0; i < 5; ++i) {
            start = Clock::now();
            const unsigned deleted = store.EnforceRetention(policy, end + MINUTE).deleted;
            passes.push_back(Ms(Clock::now() - start));
            if (deleted != 16)
                std::printf("  note: a pass deleted %u files, not 16\n", deleted);
        }
        for (int i = 0; i < 10; ++i) {
            start = Clock::now();
            store.EnforceRetention(policy, FIRST_DAY);
            idle.push_back(Ms(Clock::now() - start));
        }
        figures.passPeakMiB = StatusMiB("VmHWM:") - before;
        figures.passMs = Median(passes);
        figures.passMaxMs = Max(passes);
        figures.idlePassMs = Median(idle);

        // Every camera cuts a file at once, five times: the new files go into the fullest day.
        std::vector<double> begins, ends;
        const std::string mp4 = SmallMp4();
        for (int round = 0; round < 5; ++round)
            for (unsigned camera = 0; camera < layout.cameras; ++camera) {
                segrec::UniqueFd file;
                start = Clock::now();
                const std::string path =
                    store.BeginSegment("cam" + std::to_string(camera), end + round * MINUTE, &file);
                begins.push_back(Ms(Clock::now() - start) * 1000);
                if (path.empty() || !segrec::WriteAll(file.Get(), mp4)) {
                    std::fprintf(stderr, "bench_store: cannot record a segment\n");
                    std::exit(1);
                }
                start = Clock::now();
                store.EndSegment(path, MINUTE, mp4.size());
                ends.push_back(Ms(Clock::now() - start) * 1000);
            }
        figures.beginUs = Median(begins);
        figures.beginMaxUs = Max(begins);
        figures.endUs = Median(ends);
        figures.endMaxUs = Max(ends);
        // Then five rounds with each camera on its own thread, as the writers cut at once.
        std::vector<double> rounds;
        for (int round = 5; round < 10; ++round) {
            std::atomic<bool> go{false};
            std::vector<std::thread> cameras;
            for (unsigned camera = 0; camera < layout.cameras; ++camera)
                cameras.emplace_back([&, camera] {
                    while (!go)
                        std::this_thread::yield();
                    segrec::UniqueFd file;
                    const std::string path =
                        store.BeginSegment("cam" + std::to_string(camera), end + round * MINUTE, &file);
                    if (!path.empty() && segrec::WriteAll(file.Get(), mp4))
                        store.EndSegment(path, MINUTE, mp4.size());
                });
            start = Clock::now();
            go = true;
            for (std::thread& camera : cameras)
                camera.join();
            rounds.push_back(Ms(Clock::now() - start));
        }
        figures.roundMs = Median(rounds);
        figures.storeMiB = StatusMiB("VmRSS:") - before;
        store.Compact(); // a clean stop
    }
    {
        RecordingStore store(root, log);
        start = Clock::now();
        store.Reconcile();
        figures.cleanRestartMs = Ms(Clock::now() - start);
        // A crash: every camera's next file is begun, written and never ended.
        const std::string mp4 = SmallMp4();
        for (unsigned camera = 0; camera < layout.cameras; ++camera) {
            segrec::UniqueFd file;
            store.BeginSegment("cam" + std::to_string(camera), end + 10 * MINUTE, &file);
            if (!segrec::WriteAll(file.Get(), mp4))
                std::fprintf(stderr, "bench_store: cannot write a segment\n");
        }
    }
    {
        RecordingStore store(root, log);
        start = Clock::now();
        store.Reconcile();
        figures.crashRestartMs = Ms(Clock::now() - start);
    }
    std::printf("  first start (Reconcile, every index read): %.0f ms, peak resident +%.1f MiB\n", figures.reconcileMs,
                figures.reconcilePeakMiB);
    std::printf("  retention pass deleting 16 files: median %.2f ms (max %.2f); deleting none: %.2f ms\n",
                figures.passMs, figures.passMaxMs, figures.idlePassMs);
    std::printf("  segment start: median %.0f us (max %.0f); segment end: median %.0f us (max %.0f)\n", figures.beginUs,
                figures.beginMaxUs, figures.endUs, figures.endMaxUs);
    std::printf("  store resident: +%.1f MiB after the passes, peak during them +%.1f MiB\n", figures.storeMiB,
                figures.passPeakMiB);
    std::printf("  %u cameras each starting, writing and ending a file at once: median %.2f ms a round\n",
                layout.cameras, figures.roundMs);
    std::printf("  restart (Reconcile) after a clean stop: %.1f ms; after a crash: %.1f ms\n", figures.cleanRestartMs,
                figures.crashRestartMs);
    std::fflush(stdout);
    std::error_code error;
    fs::remove_all(root, error);
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<uint64_t> sizes;
    std::string folder = fs::temp_directory_path().string(), json;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--files") == 0)
            sizes.push_back(std::strtoull(argv[i + 1], nullptr, 10));
        else if (std::strcmp(argv[i], "--folder") == 0)
            folder = argv[i + 1];
        else if (std::strcmp(argv[i], "--json") == 0)
            json = argv[i + 1];
    }
    if (sizes.empty())
        sizes = {96, Layout{16, 90, LAST_DAY_FILES}.Files()};
    std::string out = "[";
    for (const uint64_t size : sizes) {
        const Figures f = Measure(folder, size);
        char row[768];
        std::snprintf(
            row, sizeof row,
            "%s{\"files\": %llu, \"build_s\": %.1f, \"reconcile_ms\": %.1f, \"reconcile_peak_mib\": %.2f, "
            "\"pass_ms\": %.3f, \"pass_max_ms\": %.3f, \"idle_pass_ms\": %.3f, \"pass_peak_mib\": %.2f, "
            "\"store_mib\": %.2f, \"begin_us\": %.1f, \"begin_max_us\": %.1f, \"end_us\": %.1f, "
            "\"end_max_us\": %.1f, \"clean_restart_ms\": %.1f, \"crash_restart_ms\": %.1f, \"round_ms\": %.2f}",
            out.size() > 1 ? ", " : "", static_cast<unsigned long long>(f.files), f.buildS, f.reconcileMs,
            f.reconcilePeakMiB, f.passMs, f.passMaxMs, f.idlePassMs, f.passPeakMiB, f.storeMiB, f.beginUs, f.beginMaxUs,
            f.endUs, f.endMaxUs, f.cleanRestartMs, f.crashRestartMs, f.roundMs);
        out += row;
    }
    if (!json.empty())
        std::ofstream(json) << out << "]\n";
    return 0;
}
