// The free space of the recordings' disk between two queries of the file system.
#ifndef SEGREC_FREE_SPACE_ESTIMATE_H
#define SEGREC_FREE_SPACE_ESTIMATE_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace segrec {

// The last measurement less what the writers wrote since. Each camera asks for the free space at
// every fragment; a query of the file system for each costs a system call, while the estimate
// costs none. It is measured again when the last measurement is older than maxAge (another
// program may write to the disk too) or when the estimate comes near the floor (see Enough).
// Retention's deletions only make the estimate low, which errs on the safe side. Any thread.
class FreeSpaceEstimate {
public:
    using Clock = std::chrono::steady_clock;

    explicit FreeSpaceEstimate(Clock::duration maxAge)
        : maxAge_(maxAge)
    {
    }

    // freeBytes were measured at now (UINT64_MAX when unknown).
    void Measured(uint64_t freeBytes, Clock::time_point now)
    {
        std::lock_guard lock(mutex_);
        measured_ = freeBytes;
        measuredAt_ = now;
        written_ = 0;
    }

    void Wrote(uint64_t bytes)
    {
        std::lock_guard lock(mutex_);
        written_ += bytes;
    }

    // The estimate when it can stand in for a measurement against floor; none when a measurement
    // is due.
    std::optional<uint64_t> Enough(uint64_t floor, Clock::time_point now) const
    {
        std::lock_guard lock(mutex_);
        if (!measuredAt_ || now - *measuredAt_ >= maxAge_)
            return std::nullopt;
        if (measured_ == UINT64_MAX)
            return measured_;
        const uint64_t estimate = measured_ > written_ ? measured_ - written_ : 0;
        // Near the floor every answer is measured: a quarter of the floor and 64 MiB to spare.
        const uint64_t margin = floor / 4 + (64ULL << 20);
        if (estimate < floor || estimate - floor < margin)
            return std::nullopt;
        return estimate;
    }

private:
    const Clock::duration maxAge_;
    mutable std::mutex mutex_; // guards the three below
    uint64_t measured_ = 0;
    std::optional<Clock::time_point> measuredAt_;
    uint64_t written_ = 0; // since the measurement
};

} // namespace segrec

#endif
