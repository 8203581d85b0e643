// What the core tells its plugins of itself: the memory status documents it broadcasts (EVT_STATUS,
// "<oDVR><Memory ID=... Throttling=0|1 Time=.../></oDVR>", at start and whenever throttling turns on
// or off), and the resident size of the process the plugin runs in, which is the core's.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

namespace webview {

struct CoreFigures {
    std::optional<bool> throttling; // nothing until the first document
    uint64_t throttlingStarts = 0;  // times it turned on
    int64_t changedAt = 0;          // the document's Time of the last change (seconds since 1970)
};

class CoreStatus {
public:
    // A status document's text; false (and nothing kept) when it holds no Memory element.
    bool Document(std::string_view text);
    bool Throttling() const;
    CoreFigures Figures() const;

private:
    mutable std::mutex mutex_; // guards figures_; the delivery thread writes, the server's reads
    CoreFigures figures_;
};

// The resident bytes of this process, from /proc/self/statm; 0 when it cannot be read.
uint64_t ResidentBytes();

} // namespace webview
