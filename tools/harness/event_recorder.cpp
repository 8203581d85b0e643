#include "event_recorder.h"

#include <algorithm>

namespace dvr::harness {

int32_t EventRecorder::NextAnswer(uint32_t eventType)
{
    std::lock_guard lock(lock_);
    for (uint32_t key : {eventType, 0u}) {
        auto queued = queuedAnswers_.find(key);
        if (queued != queuedAnswers_.end() && !queued->second.empty()) {
            int32_t answer = queued->second.front();
            queued->second.pop_front();
            return answer;
        }
    }
    for (uint32_t key : {eventType, 0u})
        if (auto standing = answers_.find(key); standing != answers_.end())
            return standing->second;
    return EVENT_ACCEPTED;
}

void EventRecorder::SetAnswer(uint32_t eventType, int32_t result)
{
    std::lock_guard lock(lock_);
    answers_[eventType] = result;
}

void EventRecorder::QueueAnswers(uint32_t eventType, const int32_t* results, size_t count)
{
    std::lock_guard lock(lock_);
    queuedAnswers_[eventType].insert(queuedAnswers_[eventType].end(), results, results + count);
}

void EventRecorder::Record(const _EventParmsIn& event, int32_t answer, int threadRole, long threadId)
{
    Recorded recorded;
    recorded.event.record = event;
    recorded.event.answer = answer;
    recorded.event.thread_role = threadRole;
    recorded.event.thread_id = threadId;
    if (event.eventType != EVT_RELEASE && event.data != nullptr && event.len != 0)
        recorded.bytes.assign(static_cast<const uint8_t*>(event.data),
                              static_cast<const uint8_t*>(event.data) + event.len);
    std::lock_guard lock(lock_);
    recorded.event.sequence = events_.size();
    events_.push_back(std::move(recorded));
    Recorded& stored = events_.back();
    stored.event.data = stored.bytes.empty() ? nullptr : stored.bytes.data();
    changed_.notify_all();
}

bool EventRecorder::Matches(const Recorded& recorded, uint32_t eventType)
{
    return eventType == 0 || recorded.event.record.eventType == eventType;
}

bool EventRecorder::LogLine(const Recorded& recorded, int* level, std::string* text)
{
    const _EventParmsIn& record = recorded.event.record;
    if (record.eventType != EVT_LOG || (record.eventFlags & EVF_LOG_MESSAGE) == 0)
        return false;
    *level = EventLogLevel(&record);
    const auto* bytes = reinterpret_cast<const char*>(recorded.bytes.data());
    *text = std::string(bytes, std::find(bytes, bytes + recorded.bytes.size(), '\0'));
    return true;
}

const EventRecorder::Recorded* EventRecorder::FindLocked(uint32_t eventType, size_t index) const
{
    for (const Recorded& recorded : events_)
        if (Matches(recorded, eventType) && index-- == 0)
            return &recorded;
    return nullptr;
}

size_t EventRecorder::Count(uint32_t eventType)
{
    std::lock_guard lock(lock_);
    return static_cast<size_t>(
        std::count_if(events_.begin(), events_.end(), [&](const Recorded& r) { return Matches(r, eventType); }));
}

const dvr_harness_event* EventRecorder::At(uint32_t eventType, size_t index)
{
    std::lock_guard lock(lock_);
    const Recorded* found = FindLocked(eventType, index);
    return found == nullptr ? nullptr : &found->event;
}

const dvr_harness_event* EventRecorder::Pull(uint32_t eventType, std::chrono::milliseconds timeout)
{
    Recorded* found = nullptr;
    auto next = [&] {
        auto unpulled = std::find_if(events_.begin(), events_.end(),
                                     [&](const Recorded& r) { return !r.pulled && Matches(r, eventType); });
        found = unpulled == events_.end() ? nullptr : &*unpulled;
        return found != nullptr;
    };
    std::unique_lock lock(lock_);
    if (!changed_.wait_for(lock, timeout, next))
        return nullptr;
    found->pulled = true;
    return &found->event;
}

bool EventRecorder::WaitForCount(uint32_t eventType, size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return count == 0 || FindLocked(eventType, count - 1) != nullptr; });
}

bool EventRecorder::WaitForLog(int level, const std::string& text, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::any_of(events_.begin(), events_.end(), [&](const Recorded& recorded) {
            int lineLevel = 0;
            std::string line;
            return LogLine(recorded, &lineLevel, &line) && (level < 0 || level == lineLevel) &&
                   line.find(text) != std::string::npos;
        });
    });
}

void EventRecorder::ExpectLog(int level, const std::string& text)
{
    std::lock_guard lock(lock_);
    expectedLogs_.push_back({level, text});
}

void EventRecorder::ReportUnexpectedFailures(std::vector<std::string>& violations)
{
    std::lock_guard lock(lock_);
    for (const Recorded& recorded : events_) {
        int level = 0;
        std::string line;
        if (!LogLine(recorded, &level, &line) || level < 100)
            continue;
        auto expected = [&](const Expected& e) {
            return (e.level < 0 || e.level == level) && line.find(e.text) != std::string::npos;
        };
        if (std::none_of(expectedLogs_.begin(), expectedLogs_.end(), expected))
            violations.push_back("unexpected failure line (level " + std::to_string(level) + "): " + line);
    }
}

} // namespace dvr::harness
