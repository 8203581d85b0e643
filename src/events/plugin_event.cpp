// dvrcore::PluginEvent: the decisions taken for every event on the sender's thread.
#include "core/dvrcore.h"
#include "log/log_gate.h"

int dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    if (in->eventType & EVT_LOG) {
        int threshold = logLevels.Get(DVR_MODULE_INDEX(in->providerID));
        if (in->eventFlags & EVF_LOG_MESSAGE) {
            int level = EventLogLevel(in);
            dvr::LogGateDecision decision = dvr::DecideLogMessage(threshold, level);
            if (decision == dvr::LogGateDecision::Drop)
                return 0;
            WriteLogLine(in->providerID, static_cast<uint32_t>(level), static_cast<const char*>(in->data), in->len);
            if (decision == dvr::LogGateDecision::WriteOnly)
                return 0;
        } else if (in->eventFlags & EVF_LOG_QUERY) {
            out->result = threshold;
            return 0;
        }
    }
    // PLACEHOLDER(event bus): release, parent send, stream control, gating, copying and queueing
    // are still missing; every other event is refused.
    out->result = EVENT_REFUSED;
    return 0;
}
