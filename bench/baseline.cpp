// The design baseline: the simplest program that does per event what the core's bus does, to set
// the core's figures against. Producers copy each payload into a fresh malloc block and push a
// 192-byte record to a std::deque under a std::mutex with a std::condition_variable; the consumer
// registers the block in a std::unordered_map with a std::unordered_set of holders, calls every
// sink through a function pointer, then erases the holders and frees the block. The same bound on
// events in flight as the core's runs.
//
//   bench_baseline bus SIZE COUNT PRODUCERS SUBSCRIBERS IN_FLIGHT   -> events_per_s=N
//   bench_baseline copy SIZE COUNT    -> single-thread malloc+memcpy+free, bytes_per_s=N
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "flight_bound.h"

namespace {

constexpr uint32_t CORE_HOLDER = 0x80000000u;

// The 192-byte event record, on 32-bit and 64-bit builds alike.
struct RecordHeader {
    uint32_t size;
    uint32_t version;
    uint32_t len;
    uint32_t reserved;
    void* data;
    uint32_t providerID;
    uint32_t streamID;
    uint32_t eventType;
    uint32_t eventFlags;
};
struct Record : RecordHeader {
    unsigned char extra[192 - sizeof(RecordHeader)];
};
static_assert(sizeof(Record) == 192);

using Sink = void (*)(uint32_t holder, const Record& record);

FlightBound slots;     // the in-flight bound, as in the core's runs
std::mutex queueMutex; // guards queue
std::condition_variable queueCondition;
std::deque<Record> queue;       // queueMutex
volatile uint64_t sinkChecksum; // keeps the sinks' reads

void CountingSink(uint32_t holder, const Record& record)
{
    sinkChecksum = sinkChecksum + holder + record.len;
}

double Seconds(std::chrono::steady_clock::duration elapsed)
{
    return std::chrono::duration<double>(elapsed).count();
}

int RunBus(uint32_t size, uint64_t count, int producers, int subscribers, int inFlight)
{
    FlightBoundInit(&slots, inFlight);
    std::vector<Sink> sinks(static_cast<size_t>(subscribers), CountingSink);
    auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        uint64_t share =
            count / static_cast<uint64_t>(producers) + (p == 0 ? count % static_cast<uint64_t>(producers) : 0);
        threads.emplace_back([size, share, p] {
            std::vector<unsigned char> payload(size, 0x5A);
            for (uint64_t i = 0; i < share; ++i) {
                FlightBoundEnter(&slots);
                Record record{};
                record.size = sizeof record;
                record.providerID = 0x00340000u + static_cast<uint32_t>(p);
                record.eventType = 1;
                if (size != 0) {
                    record.data = malloc(size);
                    if (record.data == nullptr)
                        abort();
                    memcpy(record.data, payload.data(), size);
                    record.len = size;
                }
                {
                    std::lock_guard lock(queueMutex);
                    queue.push_back(record);
                }
                queueCondition.notify_one();
            }
        });
    }

    std::unordered_map<void*, std::unordered_set<uint32_t>> holders;
    for (uint64_t delivered = 0; delivered < count; ++delivered) {
        Record record;
        {
            std::unique_lock lock(queueMutex);
            queueCondition.wait(lock, [] { return !queue.empty(); });
            record = queue.front();
            queue.pop_front();
        }
        if (record.data != nullptr)
            holders[record.data].insert(CORE_HOLDER);
        for (size_t s = 0; s < sinks.size(); ++s) {
            uint32_t holder = 0x00350000u + (static_cast<uint32_t>(s) << 16);
            if (record.data != nullptr)
                holders[record.data].insert(holder);
            sinks[s](holder, record);
            if (record.data != nullptr)
                holders[record.data].erase(holder);
        }
        if (record.data != nullptr) {
            auto entry = holders.find(record.data);
            entry->second.erase(CORE_HOLDER);
            if (entry->second.empty()) {
                holders.erase(entry);
                free(record.data);
            }
        }
        FlightBoundLeave(&slots);
    }
    double seconds = Seconds(std::chrono::steady_clock::now() - started);
    for (std::thread& thread : threads)
        thread.join();
    printf("events_per_s=%.0f\n", static_cast<double>(count) / seconds);
    return 0;
}

int RunCopy(uint32_t size, uint64_t count)
{
    std::vector<unsigned char> payload(size, 0x5A);
    auto started = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < count; ++i) {
        void* block = malloc(size);
        if (block == nullptr)
            abort();
        memcpy(block, payload.data(), size);
        // Keeps the compiler from pairing the malloc with the free and dropping both.
        __asm__ volatile("" : : "r"(block) : "memory");
        free(block);
    }
    double seconds = Seconds(std::chrono::steady_clock::now() - started);
    printf("bytes_per_s=%.0f\n", static_cast<double>(size) * static_cast<double>(count) / seconds);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 7 && strcmp(argv[1], "bus") == 0)
        return RunBus(static_cast<uint32_t>(atol(argv[2])), strtoull(argv[3], nullptr, 10), atoi(argv[4]),
                      atoi(argv[5]), atoi(argv[6]));
    if (argc == 4 && strcmp(argv[1], "copy") == 0)
        return RunCopy(static_cast<uint32_t>(atol(argv[2])), strtoull(argv[3], nullptr, 10));
    fprintf(stderr, "usage: %s bus SIZE COUNT PRODUCERS SUBSCRIBERS IN_FLIGHT | copy SIZE COUNT\n", argv[0]);
    return 2;
}
