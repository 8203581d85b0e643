// A stand-in for the recording store, to be replaced by the real one: it only names new segments
// (and creates their folders); the day index, reconciling and retention do nothing.
#include "recording_store.h"

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <utility>

namespace segrec {

RecordingStore::RecordingStore(std::string root, StoreLog log)
    : root_(std::move(root)),
      log_(std::move(log))
{
    std::error_code ignored;
    std::filesystem::create_directories(root_, ignored);
}

void RecordingStore::Reconcile() {}

std::string RecordingStore::BeginSegment(const std::string& camera, int64_t startNs)
{
    time_t seconds = static_cast<time_t>(startNs / 1000000000LL);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char day[16];
    char time[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &utc);
    std::strftime(time, sizeof time, "%H-%M-%S", &utc);
    const std::string folder = root_ + "/" + camera + "/" + day;
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    std::lock_guard lock(mutex_);
    std::string path = folder + "/" + time + ".mp4";
    struct stat status {};
    for (int suffix = 1; open_.count(path) != 0 || stat(path.c_str(), &status) == 0; ++suffix)
        path = folder + "/" + time + "-" + std::to_string(suffix) + ".mp4";
    open_.insert(path);
    return path;
}

void RecordingStore::EndSegment(const std::string& path, int64_t durationNs, uint64_t bytes)
{
    (void)durationNs;
    (void)bytes;
    std::lock_guard lock(mutex_);
    open_.erase(path);
}

RetentionResult RecordingStore::EnforceRetention(const RetentionPolicy& policy, int64_t nowNs)
{
    (void)policy;
    (void)nowNs;
    return {};
}

} // namespace segrec
