#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace dvr {

// The core's own message levels.
constexpr int LOG_DIAGNOSTIC = 0;
constexpr int LOG_INFO = 25;
constexpr int LOG_WARNING = 50;
constexpr int LOG_CONFIG_FAILURE = 75;
constexpr int LOG_FAILURE = 100;

// One signed byte per module index (0 to 254): a log threshold, or -1 when none is set.
// Lock-free: every entry is an atomic byte, read and written with sequentially consistent
// operations from any thread.
class LogLevelTable {
public:
    static constexpr unsigned SIZE = 255;
    static constexpr int UNSET = -1;

    // Every entry unset, entry 0 (the core) 25, stored last.
    LogLevelTable();

    // The entry of a module index as a signed byte; indexes beyond the table read as unset.
    int Get(unsigned index) const;
    // Stores the low 8 bits of value (so -1 and 255 both mean unset); indexes beyond the table are ignored.
    void Set(unsigned index, int value);

private:
    std::array<std::atomic<int8_t>, SIZE> entries_;
};

} // namespace dvr
