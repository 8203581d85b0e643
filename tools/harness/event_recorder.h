#pragma once

// What the plugin raised, the script of answers, and the log lines the test expects.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dvrcore/harness.h>

namespace dvr::harness {

class EventRecorder {
public:
    // The scripted answer for the next event of eventType: a queued one first (of the type, then of
    // any type), then the type's standing answer, then the standing answer for every type.
    int32_t NextAnswer(uint32_t eventType);
    void SetAnswer(uint32_t eventType, int32_t result);
    void QueueAnswers(uint32_t eventType, const int32_t* results, size_t count);

    // Keeps a copy of event (and of its data unless it is a release) with the answer given.
    void Record(const _EventParmsIn& event, int32_t answer, int threadRole, long threadId);

    size_t Count(uint32_t eventType);
    const dvr_harness_event* At(uint32_t eventType, size_t index);
    // The oldest matching event not pulled yet, waiting up to timeout for one.
    const dvr_harness_event* Pull(uint32_t eventType, std::chrono::milliseconds timeout);
    bool WaitForCount(uint32_t eventType, size_t count, std::chrono::milliseconds timeout);
    bool WaitForLog(int level, const std::string& text, std::chrono::milliseconds timeout);

    void ExpectLog(int level, const std::string& text);
    // One violation per level-100 line of the plugin that no expectation matches.
    void ReportUnexpectedFailures(std::vector<std::string>& violations);

private:
    struct Recorded {
        dvr_harness_event event{};
        std::vector<uint8_t> bytes; // event.data points here
        bool pulled = false;
    };
    struct Expected {
        int level;
        std::string text;
    };
    static bool Matches(const Recorded& recorded, uint32_t eventType);
    // The text of a log line, or nothing when the event is not one.
    static bool LogLine(const Recorded& recorded, int* level, std::string* text);
    const Recorded* FindLocked(uint32_t eventType, size_t index) const;

    std::mutex lock_;                 // guards every member below
    std::condition_variable changed_; // signalled when an event is recorded
    std::deque<Recorded> events_;     // a deque: records stay where they are as it grows
    std::map<uint32_t, int32_t> answers_;
    std::map<uint32_t, std::deque<int32_t>> queuedAnswers_;
    std::vector<Expected> expectedLogs_;
};

} // namespace dvr::harness
