#pragma once

namespace dvr {

// What becomes of one log message, given the sender's threshold (-1 when unset) and its level.
enum class LogGateDecision {
    Drop,           // below the threshold: neither written nor passed on
    WriteOnly,      // written to the console, not passed to the logging plugins
    WriteAndDeliver // written and queued for the plugins that take log lines
};

// A set threshold drops lines below it; an unset one writes every line and passes on all but
// level 0, so an unconfigured module's chatter reaches the console but no log file.
inline LogGateDecision DecideLogMessage(int threshold, int level)
{
    if (threshold >= 0)
        return level < threshold ? LogGateDecision::Drop : LogGateDecision::WriteAndDeliver;
    return level == 0 ? LogGateDecision::WriteOnly : LogGateDecision::WriteAndDeliver;
}

} // namespace dvr
