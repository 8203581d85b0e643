// The soak run: the core in this process with the log plugin, the demo source and recorder and the
// soak plugin (high-rate gated frames, a new reader stream every second, a configuration change
// every 2 s), for a number of minutes (10 unless given). Memory throttling is forced on for 5 s of
// every 30 through the core's resident-size source. At the end every accepted event must have been
// delivered exactly once, every kept block released, no block left in the core's table, and the
// resident size within a small margin of that after the first minute.
//
//   dvrcore_soak [MINUTES]
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "core/dvrcore.h"
#include "ipc/memory_monitor.h"
#include "support/child_process.h"

namespace {

std::map<std::string, long> ReadCounts(const std::string& path)
{
    std::map<std::string, long> counts;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        // "key value" or "key: value"; the demo plugins' stats files use either.
        size_t split = line.find_first_of(" :=");
        if (split == std::string::npos)
            continue;
        size_t value = line.find_first_not_of(" :=", split);
        if (value != std::string::npos)
            counts[line.substr(0, split)] = atol(line.c_str() + value);
    }
    return counts;
}

int failures = 0;

void Check(bool condition, const std::string& what)
{
    printf("%s %s\n", condition ? "ok  " : "FAIL", what.c_str());
    failures += condition ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    double minutes = argc > 1 ? atof(argv[1]) : 10.0;
    auto duration = std::chrono::milliseconds(static_cast<long long>(minutes * 60'000));

    dvr::test::TemporaryDirectory folder;
    std::filesystem::create_directories(folder / "plugins");
    for (const char* plugin : {"LogPI.so", "DemoSource.so", "DemoRecorder.so"})
        std::filesystem::copy_file(std::string(DVRCORE_BUILD_DIR "/plugins/") + plugin,
                                   folder / ("plugins/" + std::string(plugin)));
    std::filesystem::copy_file(DVRCORE_TEST_PLUGIN_DIR "/plugin_soak.so", folder / "plugins/plugin_soak.so");
    if (chdir(folder.Path().c_str()) != 0)
        return 2;

    std::atomic<bool> forceLow{false};
    size_t firstMinuteResident = 0;
    {
        dvrcore core(folder / "dvrcore");
        core.residentBytes = [&forceLow] {
            return forceLow.load() ? dvr::MEMORY_LIMIT + 4096 : dvr::ReadResidentBytes();
        };
        if (!core.Initialize(-1))
            return 2;
        std::thread runner([&core] { core.Start(); });

        auto started = std::chrono::steady_clock::now();
        for (auto elapsed = std::chrono::milliseconds(0); elapsed < duration;
             elapsed =
                 std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)) {
            long second = static_cast<long>(elapsed.count() / 1000);
            forceLow = second % 30 >= 20 && second % 30 < 25;
            if (firstMinuteResident == 0 && elapsed >= std::chrono::minutes(1))
                firstMinuteResident = dvr::ReadResidentBytes();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        forceLow = false;
        size_t endResident = dvr::ReadResidentBytes();
        core.RequestStop();
        runner.join();

        Check(core.referenceBlocks.BlockCount() == 0, "no data block left in the core's table");
        Check(core.referenceBlocks.LeakReport().empty(), "the leak report is empty");
        if (firstMinuteResident != 0) {
            long growth = static_cast<long>(endResident) - static_cast<long>(firstMinuteResident);
            printf("resident after the first minute %zu KiB, at the end %zu KiB (%+ld KiB)\n",
                   firstMinuteResident / 1024, endResident / 1024, growth / 1024);
            Check(growth < static_cast<long>(firstMinuteResident / 10) + 4 * 1048576,
                  "resident size stays within 10% + 4 MiB");
        }
    }

    auto soak = ReadCounts(folder / "soak.out");
    auto source = ReadCounts(folder / "demo_source.stats");
    auto recorder = ReadCounts(folder / "demo_recorder.stats");
    for (const auto& [name, counts] : {std::pair{"soak", soak}, {"source", source}, {"recorder", recorder}})
        for (const auto& [key, value] : counts)
            printf("%s %s %ld\n", name, key.c_str(), value);

    Check(soak["frames_accepted"] > 0 && soak["frames_received"] == soak["frames_accepted"],
          "every accepted soak frame was delivered");
    Check(soak["frames_disordered"] == 0, "soak frames arrived once each, in order");
    Check(soak["frames_throttled"] > 0, "throttling dropped frames while it was forced on");
    Check(soak["stream_accepted"] > 0 && soak["stream_received"] == soak["stream_accepted"],
          "every accepted stream event was delivered");
    Check(soak["stream_disordered"] == 0, "stream events arrived once each, in order, per stream");
    Check(soak["changes"] > 0, "configuration change documents were sent");
    Check(source["accepted"] > 0 && recorder["video"] + recorder["audio"] == source["accepted"],
          "every demo frame the core accepted reached the recorder");
    Check(recorder["damaged"] == 0 && recorder["reordered"] == 0, "no demo frame damaged or out of order");
    Check(recorder["kept"] > 0 && recorder["released"] == recorder["kept"],
          "every block the recorder kept was released");
    printf("soak: %s\n", failures == 0 ? "passed" : "FAILED");
    return failures == 0 ? 0 : 1;
}
